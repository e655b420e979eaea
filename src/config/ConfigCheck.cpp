#include "config/ConfigCheck.h"

#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "config/ConfigFile.h"
#include "config/ConfigKeys.h"
#include "config/NameSuggestion.h"
#include "log/ServerLog.h"
#include "platform/FileModes.h"
#include "platform/AddressText.h"
#include "platform/Files.h"

namespace varn {

namespace {

// A warning shows at most this much of a key or value read from the file.
constexpr std::size_t kShownSettingLimit = 80;
// Beyond this, a number's exact value does not matter: it is out of every range.
constexpr std::int64_t kSaturation = std::int64_t{1} << 40;

std::string shownSetting(std::string_view text) {
    if (text.size() <= kShownSettingLimit)
        return printableForLog(text);
    return printableForLog(text.substr(0, kShownSettingLimit)) + "...";
}

// The value of a text that is wholly a decimal number (an optional sign, then digits only), saturated
// far beyond 32 bits; none for any other text.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
    std::size_t position = 0;
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    if (position == text.size())
        return std::nullopt;
    std::int64_t magnitude = 0;
    for (; position < text.size(); ++position) {
        const char c = text[position];
        if (c < '0' || c > '9')
            return std::nullopt;
        if (magnitude < kSaturation)
            magnitude = magnitude * 10 + (c - '0');
    }
    return negative ? -magnitude : magnitude;
}

// The number the server takes from the text, as its readers do.
std::int64_t numberUsed(const ConfigKey& key, std::string_view text) {
    const std::int32_t read = configTextToInt(text);
    if (key.zeroOrLessMeans && read <= 0)
        return *key.zeroOrLessMeans;
    if (key.kind == ConfigKeyKind::unsignedInteger)
        return static_cast<std::uint32_t>(read);
    return read;
}

bool isInRange(const ConfigKey& key, std::int64_t exact, std::string_view text) {
    if (exact >= key.lowest && exact <= key.highest)
        return true;
    // "0 or less" stands for the default only when it also reads as 0 or less once wrapped.
    return key.zeroOrLessMeans && exact <= 0 && configTextToInt(text) <= 0;
}

std::string rangeText(const ConfigKey& key) {
    std::string range = std::to_string(key.lowest) + " to " + std::to_string(key.highest);
    if (key.zeroOrLessMeans)
        range += ", or 0 or less for " + std::to_string(*key.zeroOrLessMeans);
    return range;
}

std::string where(const std::string& file, std::uint32_t line) {
    return " in " + file + " line " + std::to_string(line);
}

std::optional<std::string> numberWarning(const ConfigKey& key, std::string_view text,
                                         const std::string& place) {
    const std::optional<std::int64_t> exact = wholeNumber(text);
    std::string problem;
    if (!exact) {
        problem = "is not a number";
    } else if (!isInRange(key, *exact, text)) {
        problem = "is out of range (" + rangeText(key) + ")";
    } else {
        return std::nullopt;
    }
    const std::int64_t used = numberUsed(key, text);
    std::string warning = "warning: " + std::string(key.name) + " '" + shownSetting(text) + "'" + place + " " + problem;
    // A number the start-up refuses is never "used": the warning agrees with the error that follows it.
    const std::optional<bool> taken = startUpTakesNumber(key.name, static_cast<std::int32_t>(used));
    if (taken && !*taken)
        return warning + ": the server will not start";
    warning += "; " + std::to_string(used) + " will be used";
    if (key.kind == ConfigKeyKind::onOff)
        warning += used == 1 ? " (on)" : " (off)";
    return warning;
}

const ConfigKey* findIn(std::span<const ConfigKey> keys, std::string_view name) {
    for (const ConfigKey& key : keys) {
        if (key.name == name) return &key;
    }
    return nullptr;
}

std::string unknownKeyWarning(std::span<const ConfigKey> keys, std::string_view key, const std::string& place) {
    std::vector<std::string_view> names;
    for (const ConfigKey& known : keys)
        names.push_back(known.name);
    std::string warning = "warning: unknown key '" + shownSetting(key) + "'" + place;
    // A tab is part of the key: "ServerPort<tab>4000" is one key without values.
    if (const auto tab = key.find('\t'); tab != std::string_view::npos && findIn(keys, key.substr(0, tab))) {
        return warning + " (a tab does not end a key: did you mean '" + std::string(key.substr(0, tab)) +
               "' followed by a space?)";
    }
    const std::vector<std::string_view> closest = closestNames(key, names);
    if (!closest.empty())
        warning += " (did you mean " + quotedAlternatives(closest) + "?)";
    return warning;
}

std::string octalMode(unsigned mode) {
    std::string text;
    for (int shift = 9; shift >= 0; shift -= 3) text += static_cast<char>('0' + ((mode >> shift) & 7u));
    return text;
}

// The line a key was last given on, or 0.
std::uint32_t lastLineOf(const ConfigFile& config, std::string_view key) {
    std::uint32_t last = 0;
    for (const ConfigFile::KeyLine& keyLine : config.keyLines()) {
        if (keyLine.key == key) last = keyLine.line;
    }
    return last;
}

// Four decimal numbers from 0 to 255 between dots, without leading zeros (which some readers take
// for octal).
bool isDottedIPv4(std::string_view text) {
    std::size_t parts = 0;
    std::size_t position = 0;
    while (parts < 4) {
        std::size_t end = position;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        const std::string_view digits = text.substr(position, end - position);
        if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) return false;
        if (std::stoi(std::string(digits)) > 255) return false;
        ++parts;
        if (parts == 4) return end == text.size();
        if (end >= text.size() || text[end] != '.') return false;
        position = end + 1;
    }
    return false;
}

// Addresses that only the host itself (loopback) or a local network (the private and link-local
// ranges) can reach.
bool isLocalNetworkAddress(std::uint32_t hostOrder) {
    const auto within = [hostOrder](std::uint32_t network, int bits) {
        return (hostOrder >> (32 - bits)) == (network >> (32 - bits));
    };
    return within(0x7F000000u, 8) || within(0x0A000000u, 8) || within(0xAC100000u, 12) ||
           within(0xC0A80000u, 16) || within(0xA9FE0000u, 16);
}

std::uint32_t hostOrderOf(std::uint32_t networkOrder) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkOrder);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

bool readsNumber(ConfigKeyKind kind) {
    return kind == ConfigKeyKind::onOff || kind == ConfigKeyKind::integer ||
           kind == ConfigKeyKind::unsignedInteger;
}

}  // namespace

std::vector<std::string> configurationWarnings(const ConfigFile& config) {
    return configurationWarnings(config, knownConfigKeys());
}

std::vector<std::string> configurationWarnings(const ConfigFile& config, std::span<const ConfigKey> keys) {
    const std::string file = config.loadedPath() != nullptr ? *config.loadedPath() : "the configuration";
    // Only a key's last line counts: its values replaced those of earlier lines.
    std::map<std::string_view, std::uint32_t> lastLines;
    for (const ConfigFile::KeyLine& keyLine : config.keyLines()) {
        if (const ConfigKey* key = findIn(keys, keyLine.key))
            lastLines[key->name] = keyLine.line;
    }
    std::vector<std::string> warnings;
    for (const ConfigFile::KeyLine& keyLine : config.keyLines()) {
        const std::string place = where(file, keyLine.line);
        const ConfigKey* key = findIn(keys, keyLine.key);
        if (key == nullptr) {
            warnings.push_back(unknownKeyWarning(keys, keyLine.key, place));
            continue;
        }
        if (!readsNumber(key->kind) || lastLines[key->name] != keyLine.line)
            continue;
        const std::string* value = config.getString(key->name);
        if (value == nullptr)
            continue;
        if (auto warning = numberWarning(*key, *value, place))
            warnings.push_back(std::move(*warning));
    }
    return warnings;
}

std::size_t reportConfigurationWarnings(const ConfigFile& config) {
    return reportConfigurationWarnings(config, knownConfigKeys());
}

std::size_t reportConfigurationWarnings(const ConfigFile& config, std::span<const ConfigKey> keys) {
    const std::vector<std::string> warnings = configurationWarnings(config, keys);
    for (const std::string& warning : warnings)
        ServerLog::instance().diagnostic(warning);
    return warnings.size();
}

void reportConfigurationLoadFailure(const ConfigFile& config) {
    const std::string* path = config.loadedPath();
    if (path == nullptr)
        return;
    ServerLog::instance().diagnostic("varnserver: ", *path, ": ", platform::whyFileCannotBeRead(*path));
}

std::vector<std::string> adminPasswordWarnings(const ConfigFile& config, const std::string* passwordFile) {
    const std::string file = config.loadedPath() != nullptr ? *config.loadedPath() : "the configuration";
    const std::string ownerOnly = "; make it readable by its owner only (chmod 600)";
    std::vector<std::string> warnings;
    if (config.isOn("AdminServer") && config.getString("AdminPassword") == nullptr) {
        warnings.push_back("warning: AdminServer 1" + where(file, lastLineOf(config, "AdminServer")) +
                           " without an admin password (AdminPassword or --admin-password-file); the admin "
                           "server will not start");
    }
    if (passwordFile != nullptr) {
        if (const auto mode = platform::modeReadableByOthers(*passwordFile)) {
            warnings.push_back("warning: the admin password file '" + shownSetting(*passwordFile) +
                               "' is readable by group or others (mode " + octalMode(*mode) + ")" + ownerOnly);
        }
    }
    const std::uint32_t passwordLine = lastLineOf(config, "AdminPassword");
    if (passwordLine != 0 && config.loadedPath() != nullptr) {
        if (const auto mode = platform::modeReadableByOthers(*config.loadedPath())) {
            warnings.push_back("warning: " + shownSetting(file) + " holds AdminPassword (line " +
                               std::to_string(passwordLine) + ") and is readable by group or others (mode " +
                               octalMode(*mode) + ")" + ownerOnly + ", or give the password with "
                               "--admin-password-file");
        }
    }
    return warnings;
}

std::size_t reportAdminPasswordWarnings(const ConfigFile& config, const std::string* passwordFile) {
    const std::vector<std::string> warnings = adminPasswordWarnings(config, passwordFile);
    for (const std::string& warning : warnings) ServerLog::instance().diagnostic(warning);
    return warnings.size();
}

std::vector<std::string> adminAddressWarnings(const ConfigFile& config) {
    if (!config.isOn("AdminServer") || !config.isOn("PasswordLockout")) return {};
    const std::string file = config.loadedPath() != nullptr ? *config.loadedPath() : "the configuration";
    const std::string advice =
        " with PasswordLockout 1: whoever can forge an administrator's source address can lock that "
        "administrator out; give AdminIPAddress 127.0.0.1 and administer through varnadmin over SSH or the "
        "web console on the same host";
    const std::string* address = config.getString("AdminIPAddress");
    if (address == nullptr) {
        return {"warning: AdminServer 1" + where(file, lastLineOf(config, "AdminServer")) +
                " listens on every local address (no AdminIPAddress)" + advice};
    }
    // Read as the admin socket is bound.
    const std::uint32_t bound = hostOrderOf(platform::systemAddressFromText(address->c_str()));
    if (bound == 0xFFFFFFFFu || isLocalNetworkAddress(bound)) return {};
    const std::string kind = bound == 0 ? "every local address" : "a public address";
    return {"warning: AdminIPAddress '" + shownSetting(*address) + "'" + where(file, lastLineOf(config, "AdminIPAddress")) +
            " listens on " + kind + advice};
}

std::size_t reportAdminAddressWarnings(const ConfigFile& config) {
    const std::vector<std::string> warnings = adminAddressWarnings(config);
    for (const std::string& warning : warnings) ServerLog::instance().diagnostic(warning);
    return warnings.size();
}

std::optional<std::string> metricsAddressError(const ConfigFile& config) {
    const std::string* address = config.getString("MetricsAddress");
    if (address == nullptr || *address == "localhost" || isDottedIPv4(*address)) return std::nullopt;
    return "ERROR: MetricsAddress '" + shownSetting(*address) +
           "' is not a dotted IPv4 address (such as 127.0.0.1) or localhost; the metrics endpoint is not started.";
}

std::string strictConfigurationCheckSummary(std::uint32_t errorCount, std::uint32_t warningCount,
                                            bool serverWouldStart) {
    if (warningCount == 0) return configurationCheckSummary(errorCount, serverWouldStart);
    std::string summary = "Configuration has ";
    if (errorCount > 0) summary += std::to_string(errorCount) + (errorCount == 1 ? " error and " : " errors and ");
    summary += std::to_string(warningCount) + (warningCount == 1 ? " warning" : " warnings");
    return summary + ", which --strict counts as errors" +
           (serverWouldStart ? "; the server would start anyway." : "; the server would not start.");
}

std::string configurationCheckSummary(std::uint32_t errorCount, bool serverWouldStart) {
    if (errorCount == 0)
        return "Configuration OK.";
    return "Configuration has " + std::to_string(errorCount) + (errorCount == 1 ? " error" : " errors") +
           (serverWouldStart ? "; the server would start anyway." : "; the server would not start.");
}

}  // namespace varn
