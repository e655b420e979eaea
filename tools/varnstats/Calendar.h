#pragma once

#include <cstdint>
#include <string>

namespace varnstats {

inline constexpr std::int64_t kMillisecondsPerSecond = 1000;
inline constexpr std::int64_t kMillisecondsPerHour = 3600 * kMillisecondsPerSecond;
inline constexpr std::int64_t kMillisecondsPerDay = 24 * kMillisecondsPerHour;

struct CivilDate {
    std::int64_t year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
};

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
std::int64_t daysFromCivil(const CivilDate& date);
CivilDate civilFromDays(std::int64_t days);
int daysInMonth(std::int64_t year, int month);

// Whole days since 1970 of a time in milliseconds (rounded down, also before 1970).
std::int64_t dayOf(std::int64_t milliseconds);
// 0 for Monday .. 6 for Sunday.
int weekdayOf(std::int64_t milliseconds);
int hourOf(std::int64_t milliseconds);

// "2026-12-10" and "2026-12-10 12:00" (UTC).
std::string formatDate(std::int64_t milliseconds);
std::string formatDateTime(std::int64_t milliseconds);
// "3 h 05 min", "12 min", "45 s".
std::string formatDuration(std::int64_t milliseconds);

}  // namespace varnstats
