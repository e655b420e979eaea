#include "Calendar.h"

#include <cstdio>

namespace varnstats {

namespace {

std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

}  // namespace

// The civil calendar arithmetic counts in eras of 400 years, which repeat exactly.
std::int64_t daysFromCivil(const CivilDate& date) {
    const std::int64_t year = date.month <= 2 ? date.year - 1 : date.year;
    const std::int64_t era = floorDivide(year, 400);
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t shiftedMonth = date.month > 2 ? date.month - 3 : date.month + 9;
    const std::int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + date.day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = floorDivide(days, 146097);
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    CivilDate date;
    date.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    date.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

int daysInMonth(std::int64_t year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

std::int64_t dayOf(std::int64_t milliseconds) { return floorDivide(milliseconds, kMillisecondsPerDay); }

int weekdayOf(std::int64_t milliseconds) {
    // 1970-01-01 was a Thursday.
    const std::int64_t days = dayOf(milliseconds);
    return static_cast<int>(((days + 3) % 7 + 7) % 7);
}

int hourOf(std::int64_t milliseconds) {
    return static_cast<int>(
        floorDivide(milliseconds - dayOf(milliseconds) * kMillisecondsPerDay, kMillisecondsPerHour));
}

std::string formatDate(std::int64_t milliseconds) {
    const CivilDate date = civilFromDays(dayOf(milliseconds));
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(date.year), date.month,
                  date.day);
    return text;
}

std::string formatDateTime(std::int64_t milliseconds) {
    const std::int64_t minuteOfDay =
        floorDivide(milliseconds - dayOf(milliseconds) * kMillisecondsPerDay, 60 * kMillisecondsPerSecond);
    char text[16];
    std::snprintf(text, sizeof text, " %02d:%02d", static_cast<int>(minuteOfDay / 60),
                  static_cast<int>(minuteOfDay % 60));
    return formatDate(milliseconds) + text;
}

std::string formatDuration(std::int64_t milliseconds) {
    const std::int64_t seconds = milliseconds / kMillisecondsPerSecond;
    char text[48];
    if (seconds < 60) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(text, sizeof text, "%lld min", static_cast<long long>(seconds / 60));
    } else {
        std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60));
    }
    return text;
}

}  // namespace varnstats
