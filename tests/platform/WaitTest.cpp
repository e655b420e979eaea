#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"
#include "platform/Wait.h"

namespace varn {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x7F000001;

// How long the loop's wait lasted on the socket's handle, at most the given time-out.
milliseconds timedWait(const platform::DatagramSocket& socket, int timeoutMilliseconds) {
    const std::array<platform::WaitHandle, 2> handles = {platform::kNoWaitHandle, socket.waitHandle()};
    const auto start = SteadyClock::now();
    platform::waitForInput(handles, timeoutMilliseconds);
    return std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start);
}

class WaitForInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server->create());
        ASSERT_TRUE(server->bind(PeerAddress::fromHostOrder(kLoopback, 0).address, 0));
        ASSERT_NE(server->localPort(), 0);
        ASSERT_NE(server->waitHandle(), platform::kNoWaitHandle);
        ASSERT_TRUE(client->create());
    }

    void sendOne() {
        const std::uint8_t datagram[] = {1, 2, 3};
        const std::uint32_t loopback = PeerAddress::fromHostOrder(kLoopback, 0).address;
        ASSERT_EQ(client->sendTo(loopback, server->localPort(), datagram, sizeof datagram), 3);
    }

    std::unique_ptr<platform::DatagramSocket> server = platform::createUdpSocket();
    std::unique_ptr<platform::DatagramSocket> client = platform::createUdpSocket();
};

// The loop reads a socket until its readiness test says no; the wait must then sleep, not spin on a
// datagram it has already taken, and still wake for the next one.
TEST_F(WaitForInputTest, DatagramWakesTheWaitAndADrainedSocketLetsItSleep) {
    EXPECT_GE(timedWait(*server, 300).count(), 200) << "nothing waiting: the time-out runs out";

    sendOne();
    EXPECT_LT(timedWait(*server, 10'000).count(), 5'000) << "a waiting datagram ends the wait";
    std::uint8_t buffer[16];
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    int received = 0;
    while (server->waitReadable(0)) received += server->receiveFrom(buffer, sizeof buffer, address, port) > 0;
    EXPECT_EQ(received, 1);
    EXPECT_GE(timedWait(*server, 300).count(), 200) << "a drained socket does not wake the wait";

    sendOne();
    EXPECT_LT(timedWait(*server, 10'000).count(), 5'000) << "the next datagram wakes it again";
}

// The query socket is read without a readiness test, until a receive finds nothing.
TEST_F(WaitForInputTest, NonBlockingSocketReadUntilEmptyLetsTheWaitSleep) {
    ASSERT_TRUE(server->setNonBlocking());
    sendOne();
    sendOne();
    ASSERT_LT(timedWait(*server, 10'000).count(), 5'000);
    std::uint8_t buffer[16];
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    int received = 0;
    while (server->receiveFrom(buffer, sizeof buffer, address, port) > 0) ++received;
    EXPECT_EQ(received, 2);
    EXPECT_GE(timedWait(*server, 300).count(), 200);

    sendOne();
    EXPECT_LT(timedWait(*server, 10'000).count(), 5'000);
    EXPECT_EQ(server->receiveFrom(buffer, sizeof buffer, address, port), 3);
}

}  // namespace
}  // namespace varn
