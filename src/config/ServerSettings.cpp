#include "config/ServerSettings.h"

#include "config/ConfigCheck.h"
#include "config/ConfigFile.h"

namespace varn {

namespace {

constexpr std::int32_t kDefaultChatFloodMaxCount = 2;
constexpr std::int32_t kDefaultAutoBanMaxPerMinute = 60;
constexpr std::int32_t kDefaultAdminRememberDays = 30;
constexpr std::int32_t kMostAdminRememberDays = 3650;
constexpr std::uint32_t kMaxMasterServers = 2;

std::optional<std::string> textOf(const ConfigFile& config, std::string_view key) {
    const std::string* value = config.getString(key);
    return value != nullptr ? std::optional<std::string>(*value) : std::nullopt;
}

void readGameSettings(const ConfigFile& config, ServerSettings& settings) {
    settings.game = config.getInt("Game");
    settings.gameMode = config.getInt("GameMode");
    settings.maxPlayers = config.getInt("MaxPlayers");
    settings.maxPlayersGiven = config.getString("MaxPlayers") != nullptr;
    settings.serverName = textOf(config, "ServerName");
    settings.serverPortText = textOf(config, "ServerPort").value_or(std::string());
    settings.serverPort = config.getInt("ServerPort");
    settings.gameAddress = textOf(config, "GameIPAddress");
    settings.bannedFile = textOf(config, "BannedFile");
    settings.serverPasswordSwitchedOn = config.isOn("ServerPasswordEnabled");
    settings.serverPassword = textOf(config, "ServerPassword");
    settings.passwordLockout = config.isOn("PasswordLockout");
}

// Days an address that logged in as an administrator is remembered: the default when the key is
// missing or out of range, 0 when the operator wants none remembered.
std::int32_t adminRememberDays(const ConfigFile& config) {
    if (config.getString("AdminRememberDays") == nullptr) return kDefaultAdminRememberDays;
    const std::int32_t days = config.getInt("AdminRememberDays");
    if (days < 0 || days > kMostAdminRememberDays) return kDefaultAdminRememberDays;
    return days;
}

void readAdminSettings(const ConfigFile& config, ServerSettings& settings) {
    settings.adminServer = config.isOn("AdminServer");
    settings.adminAddress = textOf(config, "AdminIPAddress");
    settings.adminPort = config.getInt("AdminPort");
    settings.adminPassword = textOf(config, "AdminPassword");
    settings.adminAllowShutdown = config.isOn("AdminAllowShutdown");
    settings.adminRememberDays = adminRememberDays(config);
}

void readLoggingAndPolicing(const ConfigFile& config, ServerSettings& settings) {
    settings.testMode = config.isOn("Testmode");
    settings.statLogging = config.isOn("StatLogging");
    settings.debugOutput = config.isOn("DebugOutput");
    settings.logChat = !config.isOn("DoNotOutputChatToLog");
    settings.logTimestamps = config.isOn("LogTimestamps");
    settings.messageOfTheDay = config.isOn("MOTDEnabled");
    settings.banOnChatFlood = config.isOn("BanOnChatFlood");
    settings.chatFloodMaxCount = config.getInt("ChatFloodMaxCount");
    if (settings.chatFloodMaxCount <= 0) settings.chatFloodMaxCount = kDefaultChatFloodMaxCount;
    settings.joinFloodBanMinutes = config.getInt("JoinFloodBanMinutes");
    settings.chatFloodBanMinutes = config.getInt("ChatFloodBanMinutes");
    const std::int32_t autoBans = config.getInt("AutoBanMaxPerMinute");
    settings.autoBanMaxPerMinute = autoBans > 0 ? autoBans : kDefaultAutoBanMaxPerMinute;
    const std::int32_t joins = config.getInt("JoinMaxPerSecond");
    settings.joinMaxPerSecond = joins > 0 ? joins : ServerSettings::kDefaultJoinMaxPerSecond;
}

void readNetworkSettings(const ConfigFile& config, ServerSettings& settings) {
    settings.browserRegistration = config.isOn("ASE");
    settings.queryFloodGuard = config.isOn("QueryFloodGuard");
    for (std::uint32_t index = 0; index < kMaxMasterServers; ++index) {
        const std::string* name = config.getString("ASEMasterServers", index);
        if (name == nullptr) break;
        settings.masterServers.push_back(*name);
    }
    settings.receiveBufferBytes = config.getInt("ReceiveBufferBytes");
    if (settings.receiveBufferBytes <= 0) settings.receiveBufferBytes = ServerSettings::kDefaultReceiveBufferBytes;
    settings.sendLimit.enabled = config.isOn("ServerSendLimitEnabled");
    settings.sendLimit.bytesPerPeriod = config.getInt("ServerSendLimit");
    settings.sendLimit.maxAllowed = config.getInt("ServerSendLimitMaxAllowed");
    settings.sendLimit.logDropped = config.isOn("ServerSendLimitLogDropped");
    if (config.getString("MetricsPort") != nullptr) settings.metricsPort = config.getInt("MetricsPort");
    if (const std::string* address = config.getString("MetricsAddress")) {
        settings.metricsAddress = *address == "localhost" ? "127.0.0.1" : *address;
    }
    // An address that is not taken leaves no endpoint; the start-up says why.
    if (metricsAddressError(config)) settings.metricsPort.reset();
}

void readScriptSettings(const ConfigFile& config, ServerSettings& settings) {
    ScriptSettings& scripts = settings.scripts;
    for (std::uint32_t index = 0; const std::string* file = config.getString("ScriptFiles", index); ++index) {
        scripts.files.push_back(*file);
    }
    if (const std::string* folder = config.getString("ScriptDataFolder")) scripts.dataFolder = *folder;
    if (const std::int32_t mebibytes = config.getInt("ScriptMemoryLimit"); mebibytes > 0) {
        scripts.memoryLimitBytes = static_cast<std::size_t>(mebibytes) << 20;
    }
    if (const std::int32_t limit = config.getInt("ScriptInstructionLimit"); limit > 0) scripts.instructionLimit = limit;
    if (const std::int32_t limit = config.getInt("ScriptErrorLimit"); limit > 0) scripts.errorLimitPerMinute = limit;
    if (const std::int32_t limit = config.getInt("ScriptTimeLimit"); limit > 0) scripts.timeLimitMilliseconds = limit;
    if (config.has("ScriptTextSenderId")) scripts.textSenderId = config.getInt("ScriptTextSenderId");
    if (config.has("ScriptTextKind")) scripts.textKind = config.getInt("ScriptTextKind");
}

}  // namespace

ServerSettings readServerSettings(const ConfigFile& config) {
    ServerSettings settings;
    readGameSettings(config, settings);
    readAdminSettings(config, settings);
    readLoggingAndPolicing(config, settings);
    readNetworkSettings(config, settings);
    readScriptSettings(config, settings);
    return settings;
}

bool logTimestampsWanted(const ConfigFile& config) { return config.isOn("LogTimestamps"); }

bool logFileValueCountInvalid(const ConfigFile& config) {
    return config.has("LogFile") && config.valueCount("LogFile") != 1;
}

}  // namespace varn
