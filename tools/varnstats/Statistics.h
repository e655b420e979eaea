#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database.h"

namespace varnstats {

// Every figure the report shows, worked out here from the stored rows (not in SQL), so that SQLite
// and PostgreSQL give the same pages.

struct ServerFigures {
    std::int64_t id = 0;
    std::string name;
    std::string port;
    std::string gameLabel;
    std::int64_t slots = 0;
    std::int64_t starts = 0;
    std::int64_t sessions = 0;
    std::int64_t online = 0;  // sessions open at the server's last line
    std::optional<std::int64_t> lastSeen;
};

struct SessionFigures {
    std::int64_t id = 0;
    std::int64_t serverId = 0;
    std::int64_t playerId = 0;
    std::optional<std::int64_t> joined;
    std::optional<std::int64_t> left;
    std::optional<std::string> ended;  // nothing while the player is on the server
    // The time played, when the log gave both ends (an open session counts to its server's last line).
    std::optional<std::int64_t> duration;
};

struct PlayerFigures {
    std::int64_t id = 0;
    std::string name;
    std::int64_t kills = 0;   // other players killed
    std::int64_t deaths = 0;  // suicides included
    std::int64_t suicides = 0;
    std::int64_t sessions = 0;
    std::int64_t playMilliseconds = 0;
    std::int64_t timedSessions = 0;
    std::optional<std::int64_t> firstSeen;
    std::optional<std::int64_t> lastSeen;
    std::optional<std::int64_t> favouriteVehicle;
    std::optional<std::int64_t> favouriteWeapon;
    std::map<std::int64_t, std::int64_t> vehicleUses;  // vehicle -> times got into it
    std::map<std::int64_t, std::int64_t> weaponUses;
    std::map<std::int64_t, std::int64_t> victims;      // player id -> kills of him
    std::map<std::int64_t, std::int64_t> killers;      // player id -> deaths by him
    std::map<std::string, std::int64_t> sessionEnds;   // how sessions ended -> count
    std::map<std::int64_t, std::int64_t> killsPerDay;  // day since 1970 -> kills
    std::vector<std::size_t> sessionIndexes;           // into Statistics::sessions, oldest first
};

// Kills per death in hundredths, rounded half up; with no death, the kills themselves.
std::int64_t killsPerDeathHundredths(const PlayerFigures& player);
std::string formatKillsPerDeath(const PlayerFigures& player);

struct TimeSeriesPoint {
    std::int64_t start = 0;
    std::int64_t value = 0;
};

struct Statistics {
    std::vector<ServerFigures> servers;
    std::vector<PlayerFigures> players;  // by id
    std::vector<SessionFigures> sessions;
    std::int64_t kills = 0;
    std::int64_t suicides = 0;
    std::int64_t untimedSessions = 0;
    std::int64_t untimedKills = 0;
    // The first and last time stamps of the data; nothing when the logs had none.
    std::optional<std::int64_t> firstTime;
    std::optional<std::int64_t> lastTime;

    // Players online: the most at once in each interval, over the last week of the data.
    std::vector<TimeSeriesPoint> online;
    std::int64_t onlineInterval = 0;
    // Hours of the week (Monday first, UTC): average players online, in tenths.
    std::array<std::array<std::int64_t, 24>, 7> weekHours{};
    // Whether the data covers that hour of the week at all (a day's play covers one or two days).
    std::array<std::array<bool, 24>, 7> weekHoursCovered{};
    // Kills per day over the last 30 days of the data.
    std::vector<TimeSeriesPoint> killsPerDay;

    const PlayerFigures* player(std::int64_t id) const;
    const ServerFigures* server(std::int64_t id) const;
};

// Every server's figures, or (server given) one server's: a server is named by its name, its port, or
// "name:port". The one server's figures leave out the other servers, their sessions, kills and the
// players who never played on it.
Statistics loadStatistics(Database& database, const std::optional<std::string>& server = std::nullopt);

// Whether the text names the server (its name, its port, or "name:port").
bool namesServer(const ServerFigures& server, std::string_view text);

enum class PlayerOrder { Name, Kills, Deaths, KillsPerDeath, PlayTime, Sessions };

// Players in the given order; ties go by kills (most first), deaths (fewest first), name and id.
std::vector<const PlayerFigures*> playersInOrder(const Statistics& statistics, PlayerOrder order);

}  // namespace varnstats
