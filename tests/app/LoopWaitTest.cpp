#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "app/LoopWait.h"
#include "platform/DatagramSocket.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

// A wait set holding a handle that is no longer open fails every time: the loop logs that once, and
// every wait still lasts its time-out, so the loop does not spin.
TEST(LoopWaitTest, AFailingWaitIsLoggedOnceAndNeverSpins) {
    testing::LogCapture log;
    platform::WaitHandle closed = platform::kNoWaitHandle;
    {
        const auto gone = platform::createUdpSocket();
        ASSERT_TRUE(gone->create());
        closed = gone->waitHandle();
    }
    const std::array<platform::WaitHandle, 1> handles = {closed};
    LoopWait loopWait;
    for (int pass = 0; pass < 3; ++pass) {
        const auto start = std::chrono::steady_clock::now();
        loopWait.wait(handles, 200);
        const auto lasted = std::chrono::steady_clock::now() - start;
        EXPECT_GE(lasted, std::chrono::milliseconds(150)) << "pass " << pass;
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << log.text();
    EXPECT_TRUE(lines[0].starts_with("SERVER-WARNING: Unable to wait for network and console input ("))
        << lines[0];
    EXPECT_TRUE(lines[0].ends_with(").")) << lines[0];
    EXPECT_GT(lines[0].size(),
              std::string("SERVER-WARNING: Unable to wait for network and console input ().").size());
}

}  // namespace
}  // namespace varn
