#include <windows.h>

#include <mmsystem.h>

#include "platform/Clock.h"

namespace varn::platform {

namespace {

// 100-nanosecond intervals between 1601-01-01, where FILETIME counts from, and 1970-01-01.
constexpr std::uint64_t kFileTimeUnixEpoch = 116'444'736'000'000'000ull;
constexpr std::uint64_t kFileTimeUnitsPerSecond = 10'000'000;
constexpr std::uint64_t kFileTimeUnitsPerMillisecond = 10'000;

std::uint64_t calendarFileTime() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

std::int64_t SystemClock::calendarSeconds() const {
    return static_cast<std::int64_t>((calendarFileTime() - kFileTimeUnixEpoch) / kFileTimeUnitsPerSecond);
}

std::int64_t SystemClock::calendarMilliseconds() const {
    return static_cast<std::int64_t>((calendarFileTime() - kFileTimeUnixEpoch) / kFileTimeUnitsPerMillisecond);
}

// Milliseconds since the system started, in 64 bits: never wraps and never steps with the calendar.
std::int64_t SystemClock::monotonicSeconds() const { return static_cast<std::int64_t>(::GetTickCount64() / 1000u); }

std::int64_t SystemClock::monotonicMilliseconds() const { return static_cast<std::int64_t>(::GetTickCount64()); }

// The multimedia timer, as the client's ping replies expect it: milliseconds cut to 16 bits.
std::uint16_t SystemClock::pingMilliseconds() const { return static_cast<std::uint16_t>(::timeGetTime()); }

// Milliseconds since the system started, wrapping after 49.7 days; the heartbeat schedule allows for it.
std::uint32_t SystemClock::tickMilliseconds() const { return ::GetTickCount(); }

int SystemClock::millisecondsToNextSecond() const {
    // One millisecond past the boundary, so the wait never ends just before the second turns.
    return static_cast<int>(1000 - ::GetTickCount64() % 1000u) + 1;
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace varn::platform
