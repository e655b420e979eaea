#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/ConfigKeys.h"

namespace varn {
class ConfigFile;
}

namespace varn::master {

// Every setting of varnmaster.conf, read once at start.
struct MasterSettings {
    std::string listenAddress = "0.0.0.0";
    std::int32_t listenPort = 27900;
    std::string httpAddress = "127.0.0.1";
    std::int32_t httpPort = 27980;
    std::int32_t pollSeconds = 60;
    std::int32_t maxServers = 10'000;
    std::int32_t maxPending = 4'096;
    std::int32_t maxPortsPerAddress = 32;
    std::int32_t heartbeatsPerAddressPerMinute = 30;
    std::int32_t sendDatagramsPerSecond = 2'000;
    std::int32_t sendBytesPerSecond = 200'000;
    std::int32_t challengeSeconds = 5;
    std::int32_t listSeconds = 5;
    std::optional<std::string> stateFile;
    std::optional<std::string> listFolder;
    std::optional<std::string> logFile;
    std::optional<std::string> title;
};

// The keys varnmaster.conf knows, with their ranges, for the same mistake reports as the server's.
std::span<const ConfigKey> masterConfigKeys();

// The settings from a loaded file; a number out of its range takes its default (the check says so).
MasterSettings readMasterSettings(const ConfigFile& config);

// Mistakes that stop the start: addresses that are not IPv4 addresses. One line each.
std::vector<std::string> masterSettingErrors(const MasterSettings& settings);

}  // namespace varn::master
