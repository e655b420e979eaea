#include "config/ConfigFile.h"

#include <string>
#include <utility>

#include "log/ServerLog.h"
#include "platform/Files.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

constexpr char kSpace = ' ';
constexpr char kQuote = '"';
constexpr std::string_view kOfficialNamePrefix = "Varn Official";
// The only Game the server supports.
constexpr std::int32_t kSupportedGame = kGamePalmBay;

// Only the space byte is trimmed; a tab is part of the text.
std::string_view trimSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

void reportUnmatchedQuotation(std::uint32_t lineNumber) {
    auto& log = ServerLog::instance();
    log.line("ERROR: Unmatched quotation in configuration file. (Line #", lineNumber, ")");
}

// Splits the rest of a line into values: separated by spaces, or enclosed in double quotes when they
// hold spaces. Text between the scan position and an opening quote is dropped. An unclosed quote
// ends the line with the values found so far.
std::vector<std::string> splitValues(std::string_view rest, std::uint32_t lineNumber,
                                     bool& unmatchedQuotation) {
    std::vector<std::string> values;
    std::size_t position = 0;
    // The next quote and the next space at or after the scan position. Each is looked for again only
    // once the scan has passed it, so a line is read once however many values it holds.
    std::size_t quote = rest.find(kQuote);
    std::size_t space = rest.find(kSpace);
    while (true) {
        if (quote < position)
            quote = rest.find(kQuote, position);
        if (space < position)
            space = rest.find(kSpace, position);
        if (quote != std::string_view::npos && (space == std::string_view::npos || quote < space)) {
            const auto closing = rest.find(kQuote, quote + 1);
            if (closing == std::string_view::npos) {
                reportUnmatchedQuotation(lineNumber);
                unmatchedQuotation = true;
                break;
            }
            if (closing > quote + 1)
                values.emplace_back(rest.substr(quote + 1, closing - quote - 1));
            position = closing + 1;
        } else if (space != std::string_view::npos) {
            if (space > position)
                values.emplace_back(rest.substr(position, space - position));
            position = space + 1;
        } else {
            if (position < rest.size())
                values.emplace_back(rest.substr(position));
            break;
        }
    }
    return values;
}

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isPresentAndNotEmpty(const std::string* value) {
    return value != nullptr && !value->empty();
}

bool fail(const char* message) {
    ServerLog::instance().line(message);
    return false;
}

}  // namespace

ConfigFile& ConfigFile::instance() {
    static ConfigFile config;
    return config;
}

bool ConfigFile::load(const std::string& path) {
    loadedPath_ = path;
    std::string text;
    if (!platform::readTextFile(path, text))
        return false;
    loadText(text);
    return true;
}

void ConfigFile::loadText(std::string_view text) {
    lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        ++lineNumber;
        parseLine(text.substr(start, end - start));
        start = end + 1;
    }
}

void ConfigFile::parseLine(std::string_view line) {
    line = trimSpaces(line);
    if (line.empty() || line.front() == '#')
        return;
    const auto space = line.find(kSpace);
    if (space == std::string_view::npos) {
        keyLines_.push_back({std::string(line), lineNumber});
        setValues(line, {});
        return;
    }
    const std::string_view key = line.substr(0, space);
    keyLines_.push_back({std::string(key), lineNumber});
    bool unmatchedQuotation = false;
    setValues(key, splitValues(line.substr(space + 1), lineNumber, unmatchedQuotation));
    if (unmatchedQuotation) ++lineErrorCount_;
}

void ConfigFile::clear() {
    entries_.clear();
    keyLines_.clear();
    loadedPath_.reset();
    lineErrorCount_ = 0;
    lineNumber = 0;
}

const std::string* ConfigFile::getString(std::string_view key, std::uint32_t index) const {
    const auto entry = entries_.find(key);
    if (entry == entries_.end() || index >= entry->second.size())
        return nullptr;
    return &entry->second[index];
}

std::int32_t ConfigFile::getInt(std::string_view key, std::uint32_t index) const {
    const std::string* value = getString(key, index);
    if (value == nullptr)
        return -1;
    return configTextToInt(*value);
}

bool ConfigFile::has(std::string_view key) const {
    return entries_.find(key) != entries_.end();
}

std::int32_t ConfigFile::valueCount(std::string_view key) const {
    const auto entry = entries_.find(key);
    if (entry == entries_.end())
        return -1;
    return static_cast<std::int32_t>(entry->second.size());
}

bool ConfigFile::setValue(std::string_view key, std::string_view text, std::uint32_t index) {
    const auto entry = entries_.find(key);
    if (entry == entries_.end() || index >= entry->second.size())
        return false;
    entry->second[index] = std::string(text);
    return true;
}

void ConfigFile::setValues(std::string_view key, std::vector<std::string> values) {
    const auto entry = entries_.find(key);
    if (entry != entries_.end()) {
        entry->second = std::move(values);
    } else {
        entries_.emplace(std::string(key), std::move(values));
    }
}

std::int32_t configTextToInt(std::string_view text) {
    std::size_t position = 0;
    while (position < text.size() && isWhiteSpace(text[position]))
        ++position;
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    // Unsigned arithmetic wraps by definition, which is the documented behaviour for huge numbers.
    std::uint32_t magnitude = 0;
    while (position < text.size() && isDigit(text[position])) {
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(text[position] - '0');
        ++position;
    }
    if (negative)
        magnitude = 0u - magnitude;
    return static_cast<std::int32_t>(magnitude);
}

bool validateConfiguration() {
    return validateConfiguration(ConfigFile::instance());
}

std::optional<bool> startUpTakesNumber(std::string_view key, std::int32_t value) {
    if (key == "ServerPort") return value >= 1;
    if (key == "MaxPlayers") return value >= 1 && value <= kMaxPlayers;
    if (key == "Game") return value == kSupportedGame;
    if (key == "GameMode") return value == kGameModeRegular || value == kGameModeStunt;
    return std::nullopt;
}

bool validateConfiguration(const ConfigFile& config) {
    const std::string* serverName = config.getString("ServerName");
    if (!isPresentAndNotEmpty(serverName)) {
        return fail("ERROR: A ServerName MUST be specified in the configuration file AND be > 0 in length.");
    }
    if (serverName->starts_with(kOfficialNamePrefix) && config.getInt("ServerNameOAllowed") != 1) {
        return fail("ERROR: Only authorized Servers may use 'Varn Official Server'.");
    }
    if (!*startUpTakesNumber("ServerPort", config.getInt("ServerPort"))) {
        return fail("ERROR: A ServerPort MUST be specified in the configuration file AND be > 0.");
    }
    if (!*startUpTakesNumber("MaxPlayers", config.getInt("MaxPlayers"))) {
        return fail("ERROR: MaxPlayers MUST be specified in the configuration file, be > 0 AND be <= 26.");
    }
    if (!*startUpTakesNumber("Game", config.getInt("Game"))) {
        return fail("ERROR: A Game MUST be specified in the configuration file AND be 2 (Skyr:PB).");
    }
    if (!*startUpTakesNumber("GameMode", config.getInt("GameMode"))) {
        return fail(
            "ERROR: A GameMode MUST be specified in the configuration file AND be 1 (Regular) or 2 (Stunt).");
    }
    if (!isPresentAndNotEmpty(config.getString("BannedFile"))) {
        return fail("ERROR: A BannedFile MUST be specified in the configuration file AND be > 0 in length.");
    }
    return true;
}

}  // namespace varn
