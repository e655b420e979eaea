#include "LogLine.h"

#include <array>
#include <charconv>
#include <utility>

#include "Calendar.h"
#include "protocol/LogVocabulary.h"

namespace varnstats {

namespace {

namespace words = varn::logvocabulary;

constexpr char kSeparator = words::kSeparator;
// The server cuts names to 12 characters; a little room for other builds, none for nonsense.
constexpr std::size_t kMaxNameLength = 32;

constexpr std::string_view kServerInit = words::kServerInit;
constexpr std::string_view kJoin = words::kJoin;
constexpr std::string_view kQuit = words::kQuit;
constexpr std::string_view kKill = words::kKill;
constexpr std::string_view kDeath = words::kDeath;
constexpr std::string_view kVehicle = words::kVehicle;
constexpr std::string_view kWeapon = words::kWeapon;
constexpr std::string_view kShutdown = words::kShutdownTotals;

constexpr std::string_view kPlayerIdField = words::kPlayerIdField;

// The removals the server writes in words: the line's prefix and the text after the id.
struct RemovalForm {
    std::string_view prefix;
    std::string_view suffix;
    bool suffixIsPrefix;  // " by Admin " and " by Script " are followed by a name
    SessionEnd end;
};

constexpr std::array kRemovalForms{
    RemovalForm{words::kQuitPrefix, words::kTimeoutEnding, false, SessionEnd::Timeout},
    RemovalForm{words::kQuitPrefix, words::kChatFloodEnding, false, SessionEnd::Flood},
    RemovalForm{words::kQuitPrefix, words::kCrcTimeoutEnding, false, SessionEnd::Checksum},
    RemovalForm{words::kQuitPrefix, words::kCrcMismatchEnding, false, SessionEnd::Checksum},
    RemovalForm{words::kQuitPrefix, words::kTrainerEnding, false, SessionEnd::Trainer},
    RemovalForm{words::kBannedPrefix, words::kChatFloodBanEnding, false, SessionEnd::Flood},
    RemovalForm{words::kBannedPrefix, words::kByAdministrator, true, SessionEnd::Ban},
    RemovalForm{words::kKickedPrefix, words::kByAdministrator, true, SessionEnd::Kick},
    RemovalForm{words::kBannedPrefix, words::kByScript, true, SessionEnd::Ban},
    RemovalForm{words::kKickedPrefix, words::kByScript, true, SessionEnd::Kick},
};

constexpr std::array<std::pair<SessionEnd, std::string_view>, 9> kEndTexts{{
    {SessionEnd::Quit, "quit"},
    {SessionEnd::Timeout, "timeout"},
    {SessionEnd::Kick, "kick"},
    {SessionEnd::Ban, "ban"},
    {SessionEnd::Flood, "flood"},
    {SessionEnd::Checksum, "checksum"},
    {SessionEnd::Trainer, "trainer"},
    {SessionEnd::Shutdown, "shutdown"},
    {SessionEnd::Lost, "lost"},
}};

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A signed decimal number that is the whole text.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isPrintableName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (const char c : name) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// Dotted decimal IPv4, each part 0..255 without a sign.
bool isAddressText(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > 3) return false;
        for (const char c : part) {
            if (c < '0' || c > '9') return false;
        }
        if (*wholeNumber(part) > 255) return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts == 4;
}

LogLine malformed(std::string_view prefix) {
    LogLine line;
    line.kind = LineKind::Malformed;
    line.malformedPrefix = prefix;
    return line;
}

// "name SEP port SEP label SEP slots SEP"; the name is read last, so a separator byte inside it does
// no harm.
LogLine parseServerInit(std::string_view rest) {
    if (!endsWith(rest, std::string_view(&kSeparator, 1))) return malformed(kServerInit);
    rest.remove_suffix(1);
    std::array<std::string_view, 3> tail;  // port, label, slots
    for (std::size_t index = tail.size(); index-- > 0;) {
        const std::size_t separator = rest.rfind(kSeparator);
        if (separator == std::string_view::npos) return malformed(kServerInit);
        tail[index] = rest.substr(separator + 1);
        rest = rest.substr(0, separator);
    }
    const std::optional<std::int64_t> slots = wholeNumber(tail[2]);
    if (rest.empty() || tail[0].empty() || !wholeNumber(tail[0]) || !slots) return malformed(kServerInit);
    LogLine line;
    line.kind = LineKind::ServerInit;
    line.serverName = rest;
    line.port = tail[0];
    line.gameLabel = tail[1];
    line.slots = *slots;
    return line;
}

// "slot SEP name SEP address SEP"
LogLine parseJoin(std::string_view rest) {
    std::array<std::string_view, 3> fields;
    for (std::string_view& field : fields) {
        const std::size_t separator = rest.find(kSeparator);
        if (separator == std::string_view::npos) return malformed(kJoin);
        field = rest.substr(0, separator);
        rest.remove_prefix(separator + 1);
    }
    const std::optional<std::int64_t> slot = wholeNumber(fields[0]);
    if (!rest.empty() || !slot || !isPrintableName(fields[1]) || !isAddressText(fields[2]))
        return malformed(kJoin);
    LogLine line;
    line.kind = LineKind::Join;
    line.slot = *slot;
    line.playerName = fields[1];
    line.address = fields[2];
    return line;
}

LogLine parseOneNumber(std::string_view rest, LineKind kind, std::string_view prefix) {
    const std::optional<std::int64_t> slot = wholeNumber(rest);
    if (!slot) return malformed(prefix);
    LogLine line;
    line.kind = kind;
    line.slot = *slot;
    return line;
}

// "a b"; for vehicles and weapons b is a byte the server wrote as a signed value.
LogLine parseTwoNumbers(std::string_view rest, LineKind kind, std::string_view prefix, bool secondIsByte) {
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return malformed(prefix);
    const std::optional<std::int64_t> first = wholeNumber(rest.substr(0, space));
    const std::optional<std::int64_t> second = wholeNumber(rest.substr(space + 1));
    if (!first || !second || (secondIsByte && (*second < -128 || *second > 127))) return malformed(prefix);
    LogLine line;
    line.kind = kind;
    line.slot = *first;
    line.value = *second;
    return line;
}

// "QUIT: 'name', PlayerID = 3 ... quit due to timeout." and the like. A name is at most 12
// characters, shorter than "', PlayerID = ", so the first occurrence of that text ends the name.
std::optional<LogLine> parseRemoval(std::string_view text) {
    for (const RemovalForm& form : kRemovalForms) {
        if (!startsWith(text, form.prefix)) continue;
        const std::string_view rest = text.substr(form.prefix.size());
        const std::size_t nameEnd = rest.find(kPlayerIdField);
        if (nameEnd == std::string_view::npos) return std::nullopt;
        std::string_view afterId = rest.substr(nameEnd + kPlayerIdField.size());
        std::size_t digits = 0;
        while (digits < afterId.size() && afterId[digits] >= '0' && afterId[digits] <= '9') ++digits;
        const std::optional<std::int64_t> slot = wholeNumber(afterId.substr(0, digits));
        afterId.remove_prefix(digits);
        const bool suffixMatches =
            form.suffixIsPrefix ? startsWith(afterId, form.suffix) : afterId == form.suffix;
        if (!slot || !suffixMatches) continue;
        LogLine line;
        line.kind = LineKind::PlayerRemoved;
        line.playerName = rest.substr(0, nameEnd);
        line.slot = *slot;
        line.end = form.end;
        return line;
    }
    return std::nullopt;
}

int digitsValue(std::string_view text, std::size_t from, std::size_t count) {
    int value = 0;
    for (std::size_t index = from; index < from + count; ++index) {
        const char c = text[index];
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string_view sessionEndText(SessionEnd end) {
    for (const auto& [value, text] : kEndTexts) {
        if (value == end) return text;
    }
    return "lost";
}

std::optional<SessionEnd> sessionEndFromText(std::string_view text) {
    for (const auto& [value, name] : kEndTexts) {
        if (name == text) return value;
    }
    return std::nullopt;
}

std::optional<std::int64_t> parseTimeStamp(std::string_view text) {
    if (text.size() < kTimeStampLength) return std::nullopt;
    constexpr std::string_view kShape = words::kTimestampShape;
    for (std::size_t index = 0; index < kShape.size(); ++index) {
        const bool digitWanted = kShape[index] == '0';
        const char c = text[index];
        if (digitWanted ? (c < '0' || c > '9') : c != kShape[index]) return std::nullopt;
    }
    const int year = digitsValue(text, 0, 4);
    const int month = digitsValue(text, 5, 2);
    const int day = digitsValue(text, 8, 2);
    const int hour = digitsValue(text, 11, 2);
    const int minute = digitsValue(text, 14, 2);
    const int second = digitsValue(text, 17, 2);
    const int millisecond = digitsValue(text, 20, 3);
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 60) {
        return std::nullopt;
    }
    const std::int64_t days = daysFromCivil(CivilDate{year, month, day});
    return days * kMillisecondsPerDay + ((hour * 60 + minute) * 60 + second) * kMillisecondsPerSecond +
           millisecond;
}

LogLine parseLogLine(std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    std::optional<std::int64_t> time;
    if (text.size() > kTimeStampLength && text[kTimeStampLength] == ' ') {
        time = parseTimeStamp(text);
        if (time) text.remove_prefix(kTimeStampLength + 1);
    }
    LogLine line;
    if (startsWith(text, kServerInit)) {
        line = parseServerInit(text.substr(kServerInit.size()));
    } else if (startsWith(text, kJoin)) {
        line = parseJoin(text.substr(kJoin.size()));
    } else if (startsWith(text, kQuit)) {
        line = parseOneNumber(text.substr(kQuit.size()), LineKind::Quit, kQuit);
    } else if (startsWith(text, kKill)) {
        line = parseTwoNumbers(text.substr(kKill.size()), LineKind::Kill, kKill, false);
    } else if (startsWith(text, kDeath)) {
        line = parseOneNumber(text.substr(kDeath.size()), LineKind::Death, kDeath);
    } else if (startsWith(text, kVehicle)) {
        line = parseTwoNumbers(text.substr(kVehicle.size()), LineKind::Vehicle, kVehicle, true);
    } else if (startsWith(text, kWeapon)) {
        line = parseTwoNumbers(text.substr(kWeapon.size()), LineKind::Weapon, kWeapon, true);
    } else if (startsWith(text, kShutdown)) {
        line.kind = LineKind::ServerShutdown;
    } else if (std::optional<LogLine> removal = parseRemoval(text)) {
        line = std::move(*removal);
    }
    line.time = time;
    return line;
}

}  // namespace varnstats
