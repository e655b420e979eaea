#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <ctime>

#include "platform/Clock.h"

namespace varn {
namespace {

// Pings are measured with the multimedia timer cut to 16 bits and heartbeats scheduled with
// GetTickCount, as the client and the master servers expect.
TEST(WindowsClockTest, ClocksAreTheSystemTimers) {
    const platform::Clock& clock = platform::SystemClock::instance();

    const DWORD multimediaBefore = ::timeGetTime();
    const std::uint16_t ping = clock.pingMilliseconds();
    const DWORD multimediaAfter = ::timeGetTime();
    EXPECT_LE(static_cast<std::uint16_t>(ping - static_cast<std::uint16_t>(multimediaBefore)),
              multimediaAfter - multimediaBefore);

    const DWORD tickBefore = ::GetTickCount();
    const std::uint32_t tick = clock.tickMilliseconds();
    const DWORD tickAfter = ::GetTickCount();
    EXPECT_LE(tick - tickBefore, tickAfter - tickBefore);

    const std::int64_t calendarBefore = std::time(nullptr);
    const std::int64_t seconds = clock.calendarSeconds();
    const std::int64_t calendarAfter = std::time(nullptr);
    EXPECT_GE(seconds, calendarBefore);
    EXPECT_LE(seconds, calendarAfter);

    const int toNextSecond = clock.millisecondsToNextSecond();
    EXPECT_GE(toNextSecond, 1);
    EXPECT_LE(toNextSecond, 1001);
}

// The loop's timers count monotonic seconds (GetTickCount64), so its wait ends just after that
// clock's second turns, whatever the calendar's fraction of a second is.
TEST(WindowsClockTest, WaitToTheNextSecondEndsJustAfterTheMonotonicSecondTurns) {
    const platform::Clock& clock = platform::SystemClock::instance();
    for (int reading = 0; reading < 20; ++reading) {
        const ULONGLONG before = ::GetTickCount64();
        const std::int64_t seconds = clock.monotonicSeconds();
        const int wait = clock.millisecondsToNextSecond();
        const ULONGLONG after = ::GetTickCount64();
        ASSERT_GE(wait, 1);
        ASSERT_LE(wait, 1001);
        EXPECT_GE(seconds, static_cast<std::int64_t>(before / 1000u));
        EXPECT_LE(seconds, static_cast<std::int64_t>(after / 1000u));
        bool matches = false;
        for (ULONGLONG now = before; now <= after && !matches; ++now) {
            matches = now + static_cast<ULONGLONG>(wait) == (now / 1000u + 1) * 1000u + 1;
        }
        EXPECT_TRUE(matches) << "a wait of " << wait << " ms at tick " << before << " to " << after << " ms";
    }
}

}  // namespace
}  // namespace varn
