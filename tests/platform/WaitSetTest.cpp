#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"
#include "platform/Wait.h"

namespace varn {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

class WaitSetTest : public ::testing::TestWithParam<platform::WaitBackend> {
protected:
    void SetUp() override {
        ASSERT_TRUE(socket->create());
        ASSERT_TRUE(socket->bind(PeerAddress::fromHostOrder(kLoopback, 0).address, 0));
    }

    std::unique_ptr<platform::WaitSet> set = platform::createWaitSet(GetParam());
    std::unique_ptr<platform::DatagramSocket> socket = platform::createUdpSocket();
};

// A handle that is not open is refused with the system's reason and never watched; the wait then
// runs its time-out, reports it ran out, and nothing as ready.
TEST_P(WaitSetTest, AHandleNotOpenIsRefusedAndTheWaitRunsOut) {
    platform::WaitHandle closed = platform::kNoWaitHandle;
    {
        const auto gone = platform::createUdpSocket();
        ASSERT_TRUE(gone->create());
        closed = gone->waitHandle();
    }
    const platform::WaitResult added = set->add(closed, 7, false);
    EXPECT_TRUE(added.failed);
    EXPECT_FALSE(added.reason.empty());
    const auto before = std::chrono::steady_clock::now();
    const platform::WaitResult waited = set->wait(200);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(150));
    EXPECT_FALSE(waited.failed) << waited.reason;
    EXPECT_TRUE(waited.timedOut);
    EXPECT_TRUE(set->events().empty());
}

#if !defined(_WIN32)
// Keys come back as given; a handle removed is no longer reported, even while ready. (On Windows a
// handle is an event, signalled for what its socket selected: a datagram socket's only for input.)
TEST_P(WaitSetTest, ReadyHandlesAreReportedUnderTheirKeysUntilRemoved) {
    ASSERT_FALSE(set->add(socket->waitHandle(), 42, true).failed);
    const platform::WaitResult ready = set->wait(5000);
    EXPECT_FALSE(ready.timedOut);
    ASSERT_EQ(set->events().size(), 1u);
    EXPECT_EQ(set->events()[0].key, 42u);
    EXPECT_TRUE(set->events()[0].writable);
    EXPECT_FALSE(set->events()[0].readable);
    set->remove(socket->waitHandle());
    EXPECT_TRUE(set->wait(100).timedOut);
    EXPECT_TRUE(set->events().empty());
}
#endif

#if defined(__linux__)
INSTANTIATE_TEST_SUITE_P(Backends, WaitSetTest,
                         ::testing::Values(platform::WaitBackend::poll, platform::WaitBackend::epoll),
                         [](const ::testing::TestParamInfo<platform::WaitBackend>& backend) {
                             return std::string(platform::createWaitSet(backend.param)->name());
                         });
#else
INSTANTIATE_TEST_SUITE_P(Backends, WaitSetTest, ::testing::Values(platform::WaitBackend::automatic),
                         [](const ::testing::TestParamInfo<platform::WaitBackend>& backend) {
                             return std::string(platform::createWaitSet(backend.param)->name());
                         });
#endif

}  // namespace
}  // namespace varn
