#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/LogVocabulary.h"

namespace varnstats {

// What one line of the server's log says, as far as statistics care.
enum class LineKind {
    Other,           // any line that says nothing about statistics
    Malformed,       // starts like a statistics line but does not read as one
    ServerInit,      // "ServerInit: " name, port, game label, slots
    Join,            // "Join: " slot, name, address
    Quit,            // "Quit: " slot
    Kill,            // "Kill: " killer slot, victim slot
    Death,           // "Death: " victim slot
    Vehicle,         // "Veh: " slot, vehicle
    Weapon,          // "Wea: " slot, weapon
    PlayerRemoved,   // a removal the server logs in words: time-out, kick, ban, flood, ...
    ServerShutdown,  // the traffic totals the server writes as it shuts down
};

// How a session ended. Stored as its text in the database.
enum class SessionEnd {
    Quit,      // the player left by himself
    Timeout,   // went silent
    Kick,      // kicked by an administrator
    Ban,       // banned by an administrator
    Flood,     // removed or banned for flooding the chat
    Checksum,  // client check-sum missing or wrong
    Trainer,   // the client reported a cheating tool
    Shutdown,  // the server shut down while he played
    Lost,      // the log does not say (the server stopped without its closing lines)
};

std::string_view sessionEndText(SessionEnd end);
std::optional<SessionEnd> sessionEndFromText(std::string_view text);

struct LogLine {
    LineKind kind = LineKind::Other;
    // Milliseconds since 1970-01-01 UTC, when the line carries a time stamp.
    std::optional<std::int64_t> time;

    // ServerInit
    std::string serverName;
    std::string port;
    std::string gameLabel;
    std::int64_t slots = 0;

    // Join, Quit, Kill (killer), Death, Vehicle, Weapon, PlayerRemoved
    std::int64_t slot = 0;
    // Kill: the victim's slot. Vehicle and Weapon: the value.
    std::int64_t value = 0;
    // Join and PlayerRemoved
    std::string playerName;
    // Join
    std::string address;
    // PlayerRemoved
    SessionEnd end = SessionEnd::Lost;

    // Malformed: the prefix of the statistics line it failed to be.
    std::string_view malformedPrefix;
};

// Reads one line of the log, without its line end (a trailing carriage return is allowed). A line may
// begin with a time stamp "YYYY-MM-DDTHH:MM:SS.mmmZ " (UTC).
LogLine parseLogLine(std::string_view line);

// The time stamp at the start of a line, in milliseconds since 1970 UTC; nothing when the line has
// none or it is not a valid time.
std::optional<std::int64_t> parseTimeStamp(std::string_view text);
inline constexpr std::size_t kTimeStampLength = varn::logvocabulary::kTimestampLength;

}  // namespace varnstats
