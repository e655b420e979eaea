#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>

#include <cerrno>
#endif

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"
#include "platform/Wait.h"

namespace varn {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x7F000001;

// How long a wait on the handles lasted, and what it came to.
struct TimedWait {
    milliseconds lasted;
    platform::WaitResult result;
};

TimedWait timedWait(std::span<const platform::WaitHandle> handles, int timeoutMilliseconds) {
    const auto start = SteadyClock::now();
    platform::WaitResult result = platform::waitForInput(handles, timeoutMilliseconds);
    return {std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start), std::move(result)};
}

// How long the loop's wait lasted on the socket's handle, at most the given time-out.
milliseconds timedWait(const platform::DatagramSocket& socket, int timeoutMilliseconds) {
    const std::array<platform::WaitHandle, 2> handles = {platform::kNoWaitHandle, socket.waitHandle()};
    const TimedWait wait = timedWait(handles, timeoutMilliseconds);
    EXPECT_FALSE(wait.result.failed) << wait.result.reason;
    return wait.lasted;
}

void drain(platform::DatagramSocket& socket) {
    std::uint8_t buffer[16];
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    while (socket.waitReadable(0)) socket.receiveFrom(buffer, sizeof buffer, address, port);
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

// A set far larger than the loop's: a datagram to any socket of it ends the wait, one beyond the
// first eight and the last one too (on Windows, one beyond the 64 objects of a kernel wait).
TEST_F(WaitForInputTest, EveryHandleOfALargeSetIsWatched) {
    constexpr std::size_t kSockets = 100;
    std::vector<std::unique_ptr<platform::DatagramSocket>> sockets;
    std::vector<platform::WaitHandle> handles;
    for (std::size_t i = 0; i < kSockets; ++i) {
        sockets.push_back(platform::createUdpSocket());
        ASSERT_TRUE(sockets.back()->create());
        ASSERT_TRUE(sockets.back()->bind(PeerAddress::fromHostOrder(kLoopback, 0).address, 0));
        handles.push_back(sockets.back()->waitHandle());
    }
    const std::uint32_t loopback = PeerAddress::fromHostOrder(kLoopback, 0).address;
    for (const std::size_t target : {std::size_t{8}, std::size_t{70}, kSockets - 1}) {
        SCOPED_TRACE(target);
        const std::uint8_t datagram[] = {7};
        ASSERT_EQ(client->sendTo(loopback, sockets[target]->localPort(), datagram, sizeof datagram), 1);
        const TimedWait wait = timedWait(handles, 10'000);
        EXPECT_LT(wait.lasted.count(), 5'000) << "a datagram to socket " << target << " ends the wait";
        EXPECT_FALSE(wait.result.failed) << wait.result.reason;
        drain(*sockets[target]);
    }
    EXPECT_GE(timedWait(handles, 300).lasted.count(), 200) << "all drained: the time-out runs out";
}

// A handle that is no longer open fails the wait: the failure says why, the wait still lasts until
// its time-out instead of returning at once (a loop around it would spin), and the handles that are
// open still end it.
TEST_F(WaitForInputTest, AHandleNotOpenIsReportedAndTheWaitStillSleeps) {
    platform::WaitHandle closed = platform::kNoWaitHandle;
    {
        const auto gone = platform::createUdpSocket();
        ASSERT_TRUE(gone->create());
        closed = gone->waitHandle();
    }
    const std::array<platform::WaitHandle, 2> handles = {closed, server->waitHandle()};
    const TimedWait idle = timedWait(handles, 300);
    EXPECT_TRUE(idle.result.failed);
    EXPECT_FALSE(idle.result.reason.empty());
    EXPECT_GE(idle.lasted.count(), 200) << "a failed wait sleeps out its time-out";

    sendOne();
    const TimedWait woken = timedWait(handles, 10'000);
    EXPECT_LT(woken.lasted.count(), 5'000) << "the open socket still ends the wait";
    EXPECT_TRUE(woken.result.failed);
}

#if !defined(_WIN32)
// poll itself refuses the set, here because it holds more entries than the process may open files:
// the wait reports the system's reason and sleeps out its time-out.
TEST_F(WaitForInputTest, AFailingPollIsReportedAndTheWaitStillSleeps) {
    struct FileLimit {
        rlimit saved{};
        rlimit lowered{};
        bool set = false;
        FileLimit() {
            getrlimit(RLIMIT_NOFILE, &saved);
            lowered = saved;
            lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 64);
            set = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        }
        ~FileLimit() {
            if (set) setrlimit(RLIMIT_NOFILE, &saved);
        }
    } limit;
    ASSERT_TRUE(limit.set);
    const std::vector<platform::WaitHandle> handles(limit.lowered.rlim_cur + 1, server->waitHandle());
    const TimedWait wait = timedWait(handles, 300);
    EXPECT_TRUE(wait.result.failed);
    EXPECT_EQ(wait.result.reason, std::strerror(EINVAL));
    EXPECT_GE(wait.lasted.count(), 200) << "a failed wait sleeps out its time-out";
}
#endif

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
