#pragma once

// The words of the log that programs read back: the statistics lines, the lines that say how a
// player left, and the time stamp. The server writes them from here and varnstats reads them from
// here; tests/varnstats/make_log.py reads this file (and log/LogTimestamp.h) too, so every definition below stays on one
// line in the form `inline constexpr <type> kName = <value>;`.

#include <cstddef>
#include <string_view>

#include "log/LogTimestamp.h"

namespace varn::logvocabulary {

// ---- the statistics lines (file only, with StatLogging 1) ----
// Fields of the join and server-start lines end with this byte.
inline constexpr char kSeparator = static_cast<char>(0xA9);
// "ServerInit: <name>SEP<port>SEP<label>SEP<slots>SEP"
inline constexpr std::string_view kServerInit = "ServerInit: ";
inline constexpr std::string_view kServerInitLabel = "Skyr:PB";
// "Join: <id>SEP<name>SEP<address>SEP"
inline constexpr std::string_view kJoin = "Join: ";
// "Quit: <id>", a voluntary quit only
inline constexpr std::string_view kQuit = "Quit: ";
// "Kill: <killer id> <victim id>" then "Death: <victim id>"
inline constexpr std::string_view kKill = "Kill: ";
inline constexpr std::string_view kDeath = "Death: ";
// "Veh: <id> <vehicle>" and "Wea: <id> <weapon>", written by the sync relay when they change
inline constexpr std::string_view kVehicle = "Veh: ";
inline constexpr std::string_view kWeapon = "Wea: ";
// The shut-down totals line, the last line of a session.
inline constexpr std::string_view kShutdownTotals = "SERVER: A total of ";

// ---- how a player left: "<prefix><name><kPlayerIdField><id><ending>" ----
inline constexpr std::string_view kQuitPrefix = "QUIT: '";
inline constexpr std::string_view kKickedPrefix = "KICKED: '";
inline constexpr std::string_view kBannedPrefix = "BANNED: '";
inline constexpr std::string_view kPlayerIdField = "', PlayerID = ";
inline constexpr std::string_view kTimeoutEnding = " ... quit due to timeout.";
inline constexpr std::string_view kChatFloodEnding = " ... quit due to chat flood.";
inline constexpr std::string_view kChatFloodBanEnding = " ... banned due to chat flood.";
inline constexpr std::string_view kCrcTimeoutEnding = " ... quit due to client crc timeout.";
inline constexpr std::string_view kCrcMismatchEnding = " ... quit due to client crc mismatch.";
inline constexpr std::string_view kTrainerEnding = " ... client quit due to trainer usage";
// Kicks and bans end with the one who made them: " by Admin <name>" or " by Script <file>".
inline constexpr std::string_view kByAdministrator = " by Admin ";
inline constexpr std::string_view kByScript = " by Script ";

// ---- the time stamp: kTimestampShape, kTimestampLength and kTimestampFormat, defined by the log
// that writes it (log/LogTimestamp.h) ----

}  // namespace varn::logvocabulary
