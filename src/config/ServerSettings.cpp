#include "config/ServerSettings.h"

#include "config/ConfigFile.h"

namespace varn {

namespace {

constexpr std::int32_t kDefaultChatFloodMaxCount = 2;
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

void readAdminSettings(const ConfigFile& config, ServerSettings& settings) {
    settings.adminServer = config.isOn("AdminServer");
    settings.adminAddress = textOf(config, "AdminIPAddress");
    settings.adminPort = config.getInt("AdminPort");
    settings.adminPassword = textOf(config, "AdminPassword");
    settings.adminAllowShutdown = config.isOn("AdminAllowShutdown");
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
}

}  // namespace

ServerSettings readServerSettings(const ConfigFile& config) {
    ServerSettings settings;
    readGameSettings(config, settings);
    readAdminSettings(config, settings);
    readLoggingAndPolicing(config, settings);
    readNetworkSettings(config, settings);
    return settings;
}

bool logTimestampsWanted(const ConfigFile& config) { return config.isOn("LogTimestamps"); }

bool logFileValueCountInvalid(const ConfigFile& config) {
    return config.has("LogFile") && config.valueCount("LogFile") != 1;
}

}  // namespace varn
