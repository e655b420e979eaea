#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "net/ReceiveBatch.h"
#include "net/UdpEndpoint.h"
#include "support/FakeNetwork.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

// What the metrics read from an endpoint: every datagram received, sent and dropped counted once,
// whichever way it went (at once, queued and flushed in a batch, or dropped by the send limit).
TEST(TrafficCountersTest, SentQueuedAndDroppedDatagramsAreEachCountedOnce) {
    ConfigFile config;
    config.loadText("ServerSendLimitEnabled 1\nServerSendLimit 1000\nServerSendLimitMaxAllowed 0\n");
    testing::FakeNetwork network;
    UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
    ASSERT_TRUE(endpoint.open(4000, nullptr));
    testing::LogCapture log;
    const PeerAddress peer = PeerAddress::fromHostOrder(0x7F000002, 5000);
    const std::vector<std::uint8_t> datagram(400, 0xAB);
    // 0, 400, 800 are below the limit: three go, the rest of the period is dropped.
    for (int index = 0; index < 2; ++index) endpoint.send(peer, datagram.data(), datagram.size());
    endpoint.setBatchedSends(true);
    for (int index = 0; index < 3; ++index) endpoint.send(peer, datagram.data(), datagram.size());
    EXPECT_EQ(endpoint.traffic().datagramsSent, 2u) << "a queued datagram counts once it has gone";
    endpoint.flush();
    EXPECT_EQ(endpoint.traffic().datagramsSent, 3u);
    EXPECT_EQ(endpoint.traffic().bytesSent, 1200u);
    EXPECT_EQ(endpoint.traffic().datagramsDropped, 2u);
    EXPECT_EQ(network.sent.size(), 3u);
    // A new open (the totals of the shut-down line start again) keeps the counters.
    endpoint.close();
    ASSERT_TRUE(endpoint.open(4000, nullptr));
    EXPECT_EQ(endpoint.bytesSent, 0u);
    EXPECT_EQ(endpoint.traffic().bytesSent, 1200u);
}

TEST(TrafficCountersTest, ReceivedEmptyAndOversizedDatagramsOnARealSocket) {
    UdpEndpoint endpoint;
    std::uint16_t port = 0;
    for (std::uint16_t candidate = 47000; candidate < 47100 && port == 0; ++candidate) {
        testing::LogCapture quiet;
        if (endpoint.open(candidate, "127.0.0.1")) port = candidate;
    }
    ASSERT_NE(port, 0);
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const std::vector<std::uint8_t> ordinary(10, 1);
    const std::vector<std::uint8_t> oversized(ReceiveBatch::kDatagramBytes + 1, 2);
    const auto send = [&](const std::vector<std::uint8_t>& bytes) {
        ::sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    send(ordinary);
    send({});
    send(oversized);
    send(ordinary);
    ReceiveBatch batch;
    std::size_t entries = 0;
    for (int attempt = 0; attempt < 100 && entries < 4; ++attempt) {
        if (!endpoint.isReadable(20'000)) continue;
        entries += endpoint.receiveBatch(batch, 4 - entries);
    }
    ::close(sender);
    const TrafficCounters traffic = endpoint.traffic();
    EXPECT_EQ(traffic.datagramsReceived, 3u);
    EXPECT_EQ(traffic.bytesReceived, 20u);
    EXPECT_EQ(traffic.emptyReceived, 1u);
    EXPECT_EQ(traffic.oversizedReceived, 1u);
}

}  // namespace
}  // namespace varn
