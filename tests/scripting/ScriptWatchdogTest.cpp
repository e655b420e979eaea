// The watchdog ends the process when a call is stuck: after stuckAfter, or past the time limit once a
// stop was asked for; calls that come and go never end it. The process's end is the test's here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scripting/ScriptWatchdog.h"
#include "support/LogCapture.h"

namespace varn::testing {
namespace {

using namespace std::chrono_literals;

struct Ending {
    std::atomic<int> status{-1};
    std::atomic<bool> stopAsked{false};
};

// Waits (bounded) until the watchdog has ended the process or the time is over; answers the wait.
std::chrono::milliseconds waitForEnd(const Ending& ending, std::chrono::milliseconds most) {
    const auto began = std::chrono::steady_clock::now();
    while (ending.status.load() < 0 && std::chrono::steady_clock::now() - began < most) std::this_thread::sleep_for(5ms);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
}

TEST(ScriptWatchdogTest, AStuckCallEndsTheProcessWithOneLine) {
    struct Case {
        const char* what;
        bool stopAsked;
        const char* line;
    };
    const Case cases[] = {
        {"stuck for stuckAfter", false,
         "SCRIPT-ERROR: hang.lua: a call has been stuck for 400 ms where its budget cannot stop it; the server ends "
         "(exit status 1)."},
        {"stuck past the time limit when a stop is asked for", true,
         "SCRIPT-ERROR: hang.lua: a call is stuck past its time limit and a stop was asked for; the server ends "
         "(exit status 1)."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        LogCapture log;
        Ending ending;
        ending.stopAsked = test.stopAsked;
        const std::string file = "hang.lua";
        {
            ScriptWatchdog watchdog(
                100ms, [&ending] { return ending.stopAsked.load(); }, [&ending](int status) { ending.status = status; },
                400ms);
            const auto began = std::chrono::steady_clock::now();
            watchdog.callStarted(file);
            waitForEnd(ending, 3s);
            const auto took = std::chrono::steady_clock::now() - began;
            EXPECT_EQ(ending.status.load(), 1);
            if (test.stopAsked) {
                EXPECT_LT(took, 400ms) << "a stop does not wait for stuckAfter";
            } else {
                EXPECT_GE(took, 400ms);
            }
            // The claimed call, were it to come back, goes on only once the end is done.
            watchdog.callEnded();
        }
        EXPECT_EQ(log.lines(), std::vector<std::string>{test.line});
    }
}

TEST(ScriptWatchdogTest, CallsThatComeAndGoNeverEndTheProcess) {
    LogCapture log;
    Ending ending;
    const std::string file = "busy.lua";
    {
        ScriptWatchdog watchdog(
            200ms, [] { return true; }, [&ending](int status) { ending.status = status; }, 400ms);
        const auto began = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - began < 400ms) {
            watchdog.callStarted(file);
            std::this_thread::sleep_for(1ms);
            watchdog.callEnded();
        }
        // Idle between calls, however long.
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(ending.status.load(), -1);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace varn::testing
