#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/SocketDrain.h"
#include "config/ConfigFile.h"
#include "net/ReceiveBatch.h"
#include "net/UdpEndpoint.h"
#include "support/FakeNetwork.h"

namespace varn {
namespace {

using testing::FakeNetwork;
using Bytes = std::vector<std::uint8_t>;

const PeerAddress kSender = PeerAddress::fromHostOrder(0x7F000002, 5000);

class SocketDrainTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(endpoint.open(4000, nullptr)); }

    // Datagram number n is {n & 0xFF, n >> 8}, so the handler can tell them apart.
    void arrive(std::size_t count) {
        for (std::size_t number = 0; number < count; ++number) arrive(numbered(arrived_++));
    }
    void arrive(const Bytes& bytes) { network.inbound.push_back({network.socketsCreated - 1, kSender, bytes}); }
    static Bytes numbered(std::size_t number) {
        return {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8)};
    }

    // One pass with the budget; every datagram handled is recorded, and answered with one send.
    bool pass(std::size_t budget, std::size_t closeAfter = 0) {
        return drainForOnePass(
            endpoint, batch, budget,
            [&](std::uint8_t first, const std::uint8_t* rest, const PeerAddress& from, std::int32_t length) {
                EXPECT_EQ(from, kSender);
                Bytes datagram = {first};
                datagram.insert(datagram.end(), rest, rest + (length - 1));
                handled.push_back(datagram);
                endpoint.send(from, datagram.data(), datagram.size());
                if (handled.size() == closeAfter) endpoint.close();
            },
            [&] {
                ++flushes;
                endpoint.flush();
            });
    }

    ConfigFile config;
    FakeNetwork network;
    UdpEndpoint endpoint{readServerSettings(config).sendLimit, network.factory()};
    ReceiveBatch batch;
    std::vector<Bytes> handled;
    int flushes = 0;

private:
    std::size_t arrived_ = 0;
};

// A socket that holds more than a pass's budget gives the loop back after the budget; the rest
// comes in the next pass, in arrival order. Each receive batch's sends go out before the next read.
TEST_F(SocketDrainTest, APassReadsAtMostItsBudgetAndTheNextGoesOnInOrder) {
    endpoint.setBatchedSends(true);
    arrive(300);
    EXPECT_TRUE(pass(256)) << "datagrams may still wait";
    ASSERT_EQ(handled.size(), 256u);
    EXPECT_EQ(network.inbound.size(), 44u);
    EXPECT_EQ(flushes, 4);
    EXPECT_EQ(network.sendBatches, (std::vector<std::size_t>(4, ReceiveBatch::kCapacity)));

    EXPECT_FALSE(pass(256)) << "the socket said nothing more";
    ASSERT_EQ(handled.size(), 300u);
    EXPECT_TRUE(network.inbound.empty());
    for (std::size_t number = 0; number < handled.size(); ++number) EXPECT_EQ(handled[number], numbered(number));
    EXPECT_EQ(network.sentTo(kSender), handled) << "every answer, in order";
}

// Below the budget the whole socket is read in one pass; a refused or empty datagram is skipped
// and those behind it are still read in the same pass.
TEST_F(SocketDrainTest, RefusedAndEmptyDatagramsAreSkippedWithinThePass) {
    arrive(2);
    arrive(Bytes(ReceiveBatch::kDatagramBytes + 1, 0x55));
    arrive(Bytes{});
    arrive(2);
    EXPECT_FALSE(pass(256));
    EXPECT_EQ(handled, (std::vector<Bytes>{numbered(0), numbered(1), numbered(2), numbered(3)}));
    EXPECT_TRUE(network.inbound.empty());
}

// When the endpoint closes in the middle of a batch (the send limit shut it), nothing more is
// handled and what has not been read stays unread.
TEST_F(SocketDrainTest, AnEndpointClosedMidBatchStopsThePass) {
    arrive(10);
    EXPECT_FALSE(pass(256, 3));
    EXPECT_EQ(handled.size(), 3u);
    EXPECT_FALSE(endpoint.isOpen);
    EXPECT_EQ(flushes, 1);
    EXPECT_FALSE(pass(256)) << "a closed endpoint is not read";
    EXPECT_EQ(handled.size(), 3u);
}

}  // namespace
}  // namespace varn
