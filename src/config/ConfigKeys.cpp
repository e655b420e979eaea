#include "config/ConfigKeys.h"

#include <array>
#include <limits>

namespace varn {

namespace {

using Kind = ConfigKeyKind;

constexpr std::int64_t kHighestInt = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kHighestUnsigned = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kHighestPortNumber = 65535;
constexpr std::int32_t kDefaultAdminPort = 4003;
constexpr std::int32_t kDefaultChatFloodMaxCount = 2;
constexpr std::int32_t kDefaultReceiveBufferBytes = 1024 * 1024;
constexpr std::int32_t kDefaultScriptMemoryMebibytes = 32;
constexpr std::int32_t kDefaultScriptInstructions = 200'000;
constexpr std::int32_t kDefaultScriptErrorLimit = 10;
constexpr std::int32_t kDefaultScriptTimeLimitMilliseconds = 200;
constexpr std::int32_t kDefaultAutoBanMaxPerMinute = 60;
constexpr std::int32_t kDefaultJoinMaxPerSecond = 100;
constexpr std::int64_t kMostAdminRememberDays = 3650;

constexpr ConfigKey onOff(std::string_view name) {
    return {name, Kind::onOff, 0, 1, std::nullopt};
}

constexpr ConfigKey text(std::string_view name) {
    return {name, Kind::text, 0, 0, std::nullopt};
}

constexpr ConfigKey address(std::string_view name) {
    return {name, Kind::address, 0, 0, std::nullopt};
}

constexpr ConfigKey integer(std::string_view name, std::int64_t lowest, std::int64_t highest,
                            std::optional<std::int32_t> zeroOrLessMeans = std::nullopt) {
    return {name, Kind::integer, lowest, highest, zeroOrLessMeans};
}

constexpr ConfigKey unsignedInteger(std::string_view name) {
    return {name, Kind::unsignedInteger, 0, kHighestUnsigned, std::nullopt};
}

constexpr std::array kKeys = {
    text("ServerName"),
    onOff("ServerNameOAllowed"),
    integer("ServerPort", 1, kHighestPortNumber),
    address("GameIPAddress"),
    integer("MaxPlayers", 1, 26),
    integer("Game", 2, 2),
    integer("GameMode", 1, 2),
    text("BannedFile"),
    onOff("ServerPasswordEnabled"),
    text("ServerPassword"),
    onOff("AdminServer"),
    address("AdminIPAddress"),
    integer("AdminPort", 1, kHighestPortNumber, kDefaultAdminPort),
    text("AdminPassword"),
    onOff("AdminAllowShutdown"),
    onOff("MOTDEnabled"),
    onOff("Testmode"),
    onOff("StatLogging"),
    onOff("DebugOutput"),
    onOff("DoNotOutputChatToLog"),
    integer("ChatFloodMaxCount", 1, kHighestInt, kDefaultChatFloodMaxCount),
    onOff("BanOnChatFlood"),
    integer("ChatFloodBanMinutes", 0, kHighestInt),
    integer("JoinFloodBanMinutes", 0, kHighestInt),
    integer("AutoBanMaxPerMinute", 1, kHighestInt, kDefaultAutoBanMaxPerMinute),
    integer("JoinMaxPerSecond", 1, kHighestInt, kDefaultJoinMaxPerSecond),
    text("LogFile"),
    onOff("LogTimestamps"),
    onOff("ASE"),
    text("ASEMasterServers"),
    onOff("PasswordLockout"),
    integer("AdminRememberDays", 0, kMostAdminRememberDays),
    onOff("QueryFloodGuard"),
    integer("ReceiveBufferBytes", 1, kHighestInt, kDefaultReceiveBufferBytes),
    onOff("ServerSendLimitEnabled"),
    unsignedInteger("ServerSendLimit"),
    unsignedInteger("ServerSendLimitMaxAllowed"),
    onOff("ServerSendLimitLogDropped"),
    text("ScriptFiles"),
    text("ScriptDataFolder"),
    integer("ScriptMemoryLimit", 1, 4096, kDefaultScriptMemoryMebibytes),
    integer("ScriptInstructionLimit", 1000, kHighestInt, kDefaultScriptInstructions),
    integer("ScriptErrorLimit", 1, kHighestInt, kDefaultScriptErrorLimit),
    integer("ScriptTimeLimit", 10, 1000, kDefaultScriptTimeLimitMilliseconds),
    integer("ScriptTextSenderId", 0, 255),
    integer("ScriptTextKind", 0, 255),
    integer("MetricsPort", 1, kHighestPortNumber),
    address("MetricsAddress"),
};

}  // namespace

std::span<const ConfigKey> knownConfigKeys() {
    return kKeys;
}

const ConfigKey* findConfigKey(std::string_view name) {
    for (const ConfigKey& key : kKeys) {
        if (key.name == name)
            return &key;
    }
    return nullptr;
}

}  // namespace varn
