#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>

#include "platform/Clock.h"

namespace varn {
namespace {

std::uint64_t monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

// The loop's timers count monotonic seconds, so its wait ends just after the monotonic second turns,
// whatever the calendar's fraction of a second is.
TEST(ClockPosixTest, WaitToTheNextSecondEndsJustAfterTheMonotonicSecondTurns) {
    const platform::Clock& clock = platform::SystemClock::instance();
    for (int reading = 0; reading < 20; ++reading) {
        const std::uint64_t before = monotonicMilliseconds();
        const std::int64_t seconds = clock.monotonicSeconds();
        const int wait = clock.millisecondsToNextSecond();
        const std::uint64_t after = monotonicMilliseconds();
        ASSERT_GE(wait, 1);
        ASSERT_LE(wait, 1001);
        EXPECT_GE(seconds, static_cast<std::int64_t>(before / 1000u));
        EXPECT_LE(seconds, static_cast<std::int64_t>(after / 1000u));
        bool matches = false;
        for (std::uint64_t now = before; now <= after && !matches; ++now) {
            matches = now + static_cast<std::uint64_t>(wait) == (now / 1000u + 1) * 1000u + 1;
        }
        EXPECT_TRUE(matches) << "a wait of " << wait << " ms at monotonic " << before << " to " << after
                             << " ms";
    }
}

}  // namespace
}  // namespace varn
