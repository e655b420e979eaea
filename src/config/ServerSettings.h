#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varn {

class ConfigFile;

// What an endpoint's send limit is read from. The numbers are kept as the configuration gives them
// (-1 when missing); the endpoint reads them as unsigned counts.
struct SendLimitSettings {
    bool enabled = false;
    std::int32_t bytesPerPeriod = -1;
    std::int32_t maxAllowed = -1;
    bool logDropped = false;
};

// What the operator's scripts are given. ScriptFiles is read at start-up only; without it nothing of
// the scripting is built.
struct ScriptSettings {
    std::vector<std::string> files;
    // Where each script's store lives ("<folder>/<script path>.store", see ScriptStore).
    std::string dataFolder = ".";
    std::size_t memoryLimitBytes = std::size_t{32} << 20;
    // Lua instructions one call may run (about a millisecond of work by default).
    std::int64_t instructionLimit = 200'000;
    // A script that errs more often than this in a minute is switched off until the next reload.
    std::int32_t errorLimitPerMinute = 10;
    // The wall-clock time one call may take (10 to 1000 ms); past it the call is stopped.
    std::int32_t timeLimitMilliseconds = 200;
    // The sender id and chat kind of the texts scripts send; kind 3 is never relayed, so it is refused.
    std::int32_t textSenderId = 255;
    std::int32_t textKind = 0;
};

// The server's settings, read from the configuration once at start-up and handed to the parts that
// need them. Numbers read as the configuration reads them: -1 for a missing key; an on/off key is on
// only when it reads as 1. The administrator's password change updates serverPassword, in memory only.
struct ServerSettings {
    // The Game and GameMode the welcome, the start-up lines and the browser status report.
    std::int32_t game = -1;
    std::int32_t gameMode = -1;
    std::int32_t maxPlayers = -1;
    // The browser lists 0 players as the maximum when MaxPlayers is missing.
    bool maxPlayersGiven = false;

    std::optional<std::string> serverName;
    // The port as written in the file, for the start-up line, and as a number.
    std::string serverPortText;
    std::int32_t serverPort = -1;
    std::optional<std::string> gameAddress;
    std::optional<std::string> bannedFile;

    // The in-game password: the switch as written, and the password while there is one to change.
    bool serverPasswordSwitchedOn = false;
    std::optional<std::string> serverPassword;
    bool passwordLockout = false;

    bool adminServer = false;
    std::optional<std::string> adminAddress;
    std::int32_t adminPort = -1;
    std::optional<std::string> adminPassword;
    bool adminAllowShutdown = false;
    // Days an address that logged in as an administrator stays exempt from the shared budget of
    // wrong admin passwords; 0 remembers none.
    std::int32_t adminRememberDays = 30;

    bool testMode = false;
    bool statLogging = false;
    bool debugOutput = false;
    bool logChat = true;
    bool logTimestamps = false;
    bool messageOfTheDay = false;
    bool banOnChatFlood = false;
    // More chat lines than this in one second is a flood (2 when the key is missing or not above 0).
    std::int32_t chatFloodMaxCount = 2;
    // Minutes a join-flood or chat-flood ban lasts; 0 or less (or no key) keeps it permanent.
    std::int32_t joinFloodBanMinutes = 0;
    std::int32_t chatFloodBanMinutes = 0;
    // Bans the server may make by itself in one minute (60 when the key is missing or not above 0).
    std::int32_t autoBanMaxPerMinute = 60;
    // Joins the server accepts in one second (100 when the key is missing or not above 0).
    static constexpr std::int32_t kDefaultJoinMaxPerSecond = 100;
    std::int32_t joinMaxPerSecond = kDefaultJoinMaxPerSecond;

    bool browserRegistration = false;
    bool queryFloodGuard = false;
    // The receive buffer asked for the game socket (ReceiveBufferBytes; the default when the key is
    // missing or not above 0): room for the datagrams that arrive while a pass is busy or the
    // process waits for a CPU.
    static constexpr std::int32_t kDefaultReceiveBufferBytes = 1024 * 1024;
    std::int32_t receiveBufferBytes = kDefaultReceiveBufferBytes;
    // The operator's master servers, at most two; empty for the built-in ones.
    std::vector<std::string> masterServers;

    SendLimitSettings sendLimit;
    ScriptSettings scripts;

    // The metrics endpoint's TCP port; none (no endpoint, no TCP socket) without the key.
    std::optional<std::int32_t> metricsPort;
    std::string metricsAddress = "127.0.0.1";
};

// Reads every setting from the configuration; writes nothing. The start-up checks stay with
// validateConfiguration, which writes their messages.
ServerSettings readServerSettings(const ConfigFile& config);

// What start-up needs before the settings are read: whether log lines carry the time, and whether
// LogFile is given with other than one value.
bool logTimestampsWanted(const ConfigFile& config);
bool logFileValueCountInvalid(const ConfigFile& config);

}  // namespace varn
