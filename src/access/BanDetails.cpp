#include "access/BanDetails.h"

#include <array>

namespace varn {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::string_view kUntilKey = "until=";
constexpr std::string_view kByKey = "by=";
constexpr std::string_view kAtKey = "at=";
constexpr std::string_view kReasonKey = "reason=";

bool isValueByte(char c) { return c >= '!' && c <= '~'; }
bool isReasonByte(char c) { return c >= ' ' && c <= '~'; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Exactly digits decimal digits at text[at..].
std::optional<unsigned> digitsAt(std::string_view text, std::size_t at, std::size_t digits) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(unsigned year, unsigned month) {
    constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// One "key=value" detail that is not the reason; false when it cannot be read or is there already.
bool readDetail(std::string_view token, BanDetails& details) {
    const auto dateValue = [&token](std::string_view key, std::optional<std::int64_t>& field) {
        if (!startsWith(token, key) || field) return false;
        field = readUtcDate(token.substr(key.size()));
        return field.has_value();
    };
    for (const char c : token) {
        if (!isValueByte(c)) return false;
    }
    if (startsWith(token, kUntilKey)) return dateValue(kUntilKey, details.until);
    if (startsWith(token, kAtKey)) return dateValue(kAtKey, details.at);
    if (startsWith(token, kByKey)) {
        const std::string_view value = token.substr(kByKey.size());
        if (!details.by.empty() || value.empty() || value.find_first_of("#=") != std::string_view::npos) {
            return false;
        }
        details.by = std::string(value);
        return true;
    }
    return false;
}

bool readReason(std::string_view value, BanDetails& details) {
    if (value.size() > kMaxBanReasonLength) return false;
    for (const char c : value) {
        if (!isReasonByte(c)) return false;
    }
    details.reason = std::string(value);
    return true;
}

}  // namespace

BanLine readBanLine(std::string_view line) {
    BanLine result;
    const std::size_t separator = line.find(kBanDetailsSeparator);
    if (separator == std::string_view::npos) {
        result.entry = line;
        return result;
    }
    result.entry = line.substr(0, separator);
    result.hasDetails = true;
    result.detailsText = line.substr(separator + kBanDetailsSeparator.size());
    std::string_view rest = result.detailsText;
    while (!rest.empty()) {
        if (startsWith(rest, kReasonKey)) {
            if (!readReason(rest.substr(kReasonKey.size()), result.details)) ++result.unreadableDetails;
            break;
        }
        const std::size_t space = rest.find(' ');
        const std::string_view token = rest.substr(0, space);
        if (!readDetail(token, result.details)) ++result.unreadableDetails;
        if (space == std::string_view::npos) break;
        rest = rest.substr(space + 1);
    }
    return result;
}

std::string banDetailsText(const BanDetails& details) {
    std::string text;
    const auto append = [&text](std::string_view key, std::string_view value) {
        if (!text.empty()) text += ' ';
        text += key;
        text += value;
    };
    if (details.until) append(kUntilKey, utcDateText(*details.until));
    if (!details.by.empty()) append(kByKey, banDetailValue(details.by));
    if (details.at) append(kAtKey, utcDateText(*details.at));
    if (!details.reason.empty()) append(kReasonKey, banReasonValue(details.reason));
    return text;
}

std::string banDetailValue(std::string_view received) {
    std::string value(received);
    for (char& c : value) {
        if (!isValueByte(c) || c == '#' || c == '=') c = '?';
    }
    return value;
}

std::string banReasonValue(std::string_view received) {
    std::string value(received.substr(0, kMaxBanReasonLength));
    for (char& c : value) {
        if (!isReasonByte(c)) c = '?';
    }
    return value;
}

std::string utcDateText(std::int64_t seconds) {
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t inDay = seconds % kSecondsPerDay;
    if (inDay < 0) {
        inDay += kSecondsPerDay;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    std::string text;
    const auto append = [&text](std::int64_t value, std::size_t width, char after) {
        std::string digits = std::to_string(value);
        if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
        text += digits;
        if (after != 0) text += after;
    };
    append(date.year, 4, '-');
    append(date.month, 2, '-');
    append(date.day, 2, 'T');
    append(inDay / 3600, 2, ':');
    append(inDay / 60 % 60, 2, ':');
    append(inDay % 60, 2, 'Z');
    return text;
}

std::optional<std::int64_t> readUtcDate(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ
    constexpr std::size_t kLength = 20;
    if (text.size() != kLength || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const auto year = digitsAt(text, 0, 4);
    const auto month = digitsAt(text, 5, 2);
    const auto day = digitsAt(text, 8, 2);
    const auto hour = digitsAt(text, 11, 2);
    const auto minute = digitsAt(text, 14, 2);
    const auto second = digitsAt(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    return daysFromCivil(*year, *month, *day) * kSecondsPerDay + *hour * 3600 + *minute * 60 + *second;
}

}  // namespace varn
