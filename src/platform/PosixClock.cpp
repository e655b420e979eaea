#include <time.h>

#include "platform/Clock.h"
#include "platform/SystemCalls.h"

namespace varn::platform {

namespace {

std::uint64_t readMonotonicMilliseconds() {
    timespec now{};
    ++systemCalls.clockReads;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

}  // namespace

std::int64_t SystemClock::calendarSeconds() const {
    timespec now{};
    ++systemCalls.clockReads;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec);
}

std::int64_t SystemClock::calendarMilliseconds() const {
    timespec now{};
    ++systemCalls.clockReads;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + static_cast<std::int64_t>(now.tv_nsec / 1'000'000);
}

std::int64_t SystemClock::monotonicSeconds() const {
    return static_cast<std::int64_t>(readMonotonicMilliseconds() / 1000u);
}

std::int64_t SystemClock::monotonicMilliseconds() const {
    return static_cast<std::int64_t>(readMonotonicMilliseconds());
}

std::uint16_t SystemClock::pingMilliseconds() const {
    return static_cast<std::uint16_t>(readMonotonicMilliseconds());
}

std::uint32_t SystemClock::tickMilliseconds() const {
    return static_cast<std::uint32_t>(readMonotonicMilliseconds());
}

int SystemClock::millisecondsToNextSecond() const {
    // One millisecond past the boundary, so the wait never ends just before the second turns.
    return static_cast<int>(1000 - readMonotonicMilliseconds() % 1000u) + 1;
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace varn::platform
