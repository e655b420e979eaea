#include "MasterSettings.h"

#include <array>

#include "config/ConfigFile.h"
#include "net/PeerAddress.h"

namespace varn::master {

namespace {

constexpr ConfigKey text(std::string_view name) { return {name, ConfigKeyKind::text, 0, 0, std::nullopt}; }
constexpr ConfigKey address(std::string_view name) { return {name, ConfigKeyKind::address, 0, 0, std::nullopt}; }
constexpr ConfigKey number(std::string_view name, std::int64_t lowest, std::int64_t highest) {
    return {name, ConfigKeyKind::integer, lowest, highest, std::nullopt};
}

constexpr std::array kKeys = {
    address("ListenAddress"),
    number("ListenPort", 1, 65535),
    address("HttpAddress"),
    number("HttpPort", 0, 65535),
    number("PollSeconds", 1, 3600),
    number("MaxServers", 1, 1'000'000),
    number("MaxPending", 1, 1'000'000),
    number("MaxPortsPerAddress", 1, 65535),
    number("HeartbeatsPerAddressPerMinute", 1, 1'000'000),
    number("SendDatagramsPerSecond", 1, 10'000'000),
    number("SendBytesPerSecond", 64, 1'000'000'000),
    number("ChallengeSeconds", 1, 60),
    number("ListSeconds", 1, 3600),
    text("StateFile"),
    text("ListFolder"),
    text("LogFile"),
    text("Title"),
};

void readNumber(const ConfigFile& config, std::string_view name, std::int32_t& into) {
    if (!config.has(name) || config.getString(name) == nullptr) return;
    const ConfigKey* key = nullptr;
    for (const ConfigKey& known : kKeys) {
        if (known.name == name) key = &known;
    }
    const std::int64_t value = configTextToInt(*config.getString(name));
    if (key != nullptr && value >= key->lowest && value <= key->highest) into = static_cast<std::int32_t>(value);
}

void readText(const ConfigFile& config, std::string_view name, std::string& into) {
    if (const std::string* value = config.getString(name)) into = *value;
}

void readOptional(const ConfigFile& config, std::string_view name, std::optional<std::string>& into) {
    if (const std::string* value = config.getString(name); value != nullptr && !value->empty()) into = *value;
}

}  // namespace

std::span<const ConfigKey> masterConfigKeys() { return kKeys; }

MasterSettings readMasterSettings(const ConfigFile& config) {
    MasterSettings settings;
    readText(config, "ListenAddress", settings.listenAddress);
    readNumber(config, "ListenPort", settings.listenPort);
    readText(config, "HttpAddress", settings.httpAddress);
    readNumber(config, "HttpPort", settings.httpPort);
    readNumber(config, "PollSeconds", settings.pollSeconds);
    readNumber(config, "MaxServers", settings.maxServers);
    readNumber(config, "MaxPending", settings.maxPending);
    readNumber(config, "MaxPortsPerAddress", settings.maxPortsPerAddress);
    readNumber(config, "HeartbeatsPerAddressPerMinute", settings.heartbeatsPerAddressPerMinute);
    readNumber(config, "SendDatagramsPerSecond", settings.sendDatagramsPerSecond);
    readNumber(config, "SendBytesPerSecond", settings.sendBytesPerSecond);
    readNumber(config, "ChallengeSeconds", settings.challengeSeconds);
    readNumber(config, "ListSeconds", settings.listSeconds);
    readOptional(config, "StateFile", settings.stateFile);
    readOptional(config, "ListFolder", settings.listFolder);
    readOptional(config, "LogFile", settings.logFile);
    readOptional(config, "Title", settings.title);
    return settings;
}

std::vector<std::string> masterSettingErrors(const MasterSettings& settings) {
    std::vector<std::string> errors;
    if (addressFromText(settings.listenAddress.c_str()) == kNoAddress) {
        errors.push_back("error: ListenAddress '" + settings.listenAddress + "' is not an IPv4 address");
    }
    if (addressFromText(settings.httpAddress.c_str()) == kNoAddress) {
        errors.push_back("error: HttpAddress '" + settings.httpAddress + "' is not an IPv4 address");
    }
    return errors;
}

}  // namespace varn::master
