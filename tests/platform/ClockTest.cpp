#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/Clock.h"

namespace varn {
namespace {

// The millisecond reading of the calendar is the same clock as the whole seconds: it lies between
// two second readings taken around it, and agrees with the standard library's system clock.
TEST(SystemClockTest, CalendarMillisecondsFollowTheCalendarSeconds) {
    const platform::Clock& clock = platform::SystemClock::instance();
    const std::int64_t secondsBefore = clock.calendarSeconds();
    const std::int64_t milliseconds = clock.calendarMilliseconds();
    const std::int64_t secondsAfter = clock.calendarSeconds();
    EXPECT_GE(milliseconds, secondsBefore * 1000);
    EXPECT_LT(milliseconds, (secondsAfter + 1) * 1000);

    const auto library = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    EXPECT_LE(library - clock.calendarMilliseconds(), 1000);
    EXPECT_GE(library - milliseconds, 0);
}

TEST(ManualClockTest, CalendarMillisecondsMoveWithTheCalendarOnly) {
    platform::ManualClock clock(2'000);
    clock.setCalendarMillisecondPart(250);
    EXPECT_EQ(clock.calendarMilliseconds(), 2'000'250);
    clock.advanceSeconds(3);
    EXPECT_EQ(clock.calendarMilliseconds(), 2'003'250);
    clock.stepCalendarSeconds(-3600);
    EXPECT_EQ(clock.calendarMilliseconds(), (2'003 - 3'600) * 1000 + 250);
    EXPECT_EQ(clock.monotonicSeconds(), 2'003);
}

}  // namespace
}  // namespace varn
