#include "Statistics.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "Calendar.h"

namespace varnstats {

namespace {

constexpr std::int64_t kOnlineWindow = 7 * kMillisecondsPerDay;
constexpr std::int64_t kOnlineIntervals[] = {60'000, 5 * 60'000, 15 * 60'000, kMillisecondsPerHour,
                                             3 * kMillisecondsPerHour};
constexpr std::size_t kMostOnlinePoints = 200;
constexpr std::int64_t kKillDays = 30;
constexpr std::int64_t kWeek = 7 * kMillisecondsPerDay;

std::int64_t floorTo(std::int64_t value, std::int64_t step) {
    const std::int64_t quotient = value / step;
    return (value % step != 0 && value < 0 ? quotient - 1 : quotient) * step;
}

// The most frequent key; the smallest key among equals.
std::optional<std::int64_t> mostUsed(const std::map<std::int64_t, std::int64_t>& uses) {
    std::optional<std::int64_t> best;
    std::int64_t bestCount = 0;
    for (const auto& [key, count] : uses) {
        if (count > bestCount) {
            best = key;
            bestCount = count;
        }
    }
    return best;
}

class Loader {
public:
    Loader(Database& database, const std::optional<std::string>& server) : database_(database), only_(server) {}

    Statistics load() {
        loadServers();
        loadPlayers();
        loadSessions();
        loadKills();
        loadChanges("SELECT session_id, vehicle FROM vehicle_changes", &PlayerFigures::vehicleUses);
        loadChanges("SELECT session_id, weapon FROM weapon_changes", &PlayerFigures::weaponUses);
        for (PlayerFigures& player : statistics_.players) {
            // On foot is no vehicle, and 0 is no weapon.
            player.vehicleUses.erase(0);
            player.weaponUses.erase(0);
            player.favouriteVehicle = mostUsed(player.vehicleUses);
            player.favouriteWeapon = mostUsed(player.weaponUses);
        }
        if (only_) {
            std::erase_if(statistics_.players, [](const PlayerFigures& player) { return player.sessions == 0; });
        }
        computeOnline();
        computeWeekHours();
        computeKillsPerDay();
        return std::move(statistics_);
    }

private:
    void noteTime(std::optional<std::int64_t> time) {
        if (!time) return;
        statistics_.firstTime = std::min(statistics_.firstTime.value_or(*time), *time);
        statistics_.lastTime = std::max(statistics_.lastTime.value_or(*time), *time);
    }

    void loadServers() {
        auto rows = database_.prepare(
            "SELECT id, name, port, game_label, slots, last_seen_at FROM servers ORDER BY id");
        while (rows->next()) {
            ServerFigures server;
            server.id = rows->integer(0);
            server.name = rows->text(1);
            server.port = rows->text(2);
            server.gameLabel = rows->text(3);
            server.slots = rows->integer(4);
            server.lastSeen = rows->optionalInteger(5);
            if (only_ && !namesServer(server, *only_)) continue;
            noteTime(server.lastSeen);
            serverIndex_[server.id] = statistics_.servers.size();
            statistics_.servers.push_back(std::move(server));
        }
        auto starts = database_.prepare("SELECT server_id, started_at FROM server_starts ORDER BY id");
        while (starts->next()) {
            const auto found = serverIndex_.find(starts->integer(0));
            if (found == serverIndex_.end()) {
                if (!only_) noteTime(starts->optionalInteger(1));
                continue;
            }
            ++statistics_.servers[found->second].starts;
            noteTime(starts->optionalInteger(1));
        }
    }

    void loadPlayers() {
        auto rows = database_.prepare("SELECT id, name FROM players ORDER BY id");
        while (rows->next()) {
            PlayerFigures player;
            player.id = rows->integer(0);
            player.name = rows->text(1);
            playerIndex_[player.id] = statistics_.players.size();
            statistics_.players.push_back(std::move(player));
        }
    }

    void loadSessions() {
        auto rows = database_.prepare(
            "SELECT id, server_id, player_id, joined_at, left_at, ended FROM sessions ORDER BY id");
        while (rows->next()) {
            SessionFigures session;
            session.id = rows->integer(0);
            session.serverId = rows->integer(1);
            session.playerId = rows->integer(2);
            session.joined = rows->optionalInteger(3);
            session.left = rows->optionalInteger(4);
            session.ended = rows->optionalText(5);
            addSession(std::move(session));
        }
    }

    void addSession(SessionFigures session) {
        const auto server = serverIndex_.find(session.serverId);
        const auto player = playerIndex_.find(session.playerId);
        if (server == serverIndex_.end() || player == playerIndex_.end()) return;
        ServerFigures& serverFigures = statistics_.servers[server->second];
        ++serverFigures.sessions;
        std::optional<std::int64_t> end = session.left;
        if (!session.ended) {
            ++serverFigures.online;
            end = serverFigures.lastSeen;
        }
        if (session.joined && end && *end >= *session.joined) session.duration = *end - *session.joined;
        noteTime(session.joined);
        noteTime(session.left);

        PlayerFigures& figures = statistics_.players[player->second];
        ++figures.sessions;
        if (session.duration) {
            figures.playMilliseconds += *session.duration;
            ++figures.timedSessions;
        } else {
            ++statistics_.untimedSessions;
        }
        ++figures.sessionEnds[session.ended.value_or("online")];
        for (const std::optional<std::int64_t> time : {session.joined, session.left}) {
            if (!time) continue;
            figures.firstSeen = std::min(figures.firstSeen.value_or(*time), *time);
            figures.lastSeen = std::max(figures.lastSeen.value_or(*time), *time);
        }
        sessionPlayer_[session.id] = player->second;
        figures.sessionIndexes.push_back(statistics_.sessions.size());
        statistics_.sessions.push_back(std::move(session));
    }

    void loadKills() {
        auto rows =
            database_.prepare("SELECT killer_session_id, victim_session_id, at FROM kills ORDER BY id");
        while (rows->next()) {
            const auto killer = sessionPlayer_.find(rows->integer(0));
            const auto victim = sessionPlayer_.find(rows->integer(1));
            if (killer == sessionPlayer_.end() || victim == sessionPlayer_.end()) continue;
            const std::optional<std::int64_t> at = rows->optionalInteger(2);
            PlayerFigures& killerFigures = statistics_.players[killer->second];
            PlayerFigures& victimFigures = statistics_.players[victim->second];
            ++victimFigures.deaths;
            if (killer->second == victim->second) {
                ++victimFigures.suicides;
                ++statistics_.suicides;
                continue;
            }
            ++killerFigures.kills;
            ++killerFigures.victims[victimFigures.id];
            ++victimFigures.killers[killerFigures.id];
            ++statistics_.kills;
            if (at) {
                ++killerFigures.killsPerDay[dayOf(*at)];
                kills_.push_back(*at);
                noteTime(at);
            } else {
                ++statistics_.untimedKills;
            }
        }
    }

    void loadChanges(const char* sql, std::map<std::int64_t, std::int64_t> PlayerFigures::*uses) {
        auto rows = database_.prepare(sql);
        while (rows->next()) {
            const auto player = sessionPlayer_.find(rows->integer(0));
            if (player != sessionPlayer_.end())
                ++(statistics_.players[player->second].*uses)[rows->integer(1)];
        }
    }

    // The most players at once in each interval: a sweep over joins (+1) and leaves (-1), a leave
    // before a join at the same moment.
    void computeOnline() {
        if (!statistics_.lastTime || !statistics_.firstTime) return;
        const std::int64_t last = *statistics_.lastTime;
        const std::int64_t first = std::max(*statistics_.firstTime, last - kOnlineWindow);
        std::int64_t interval = kOnlineIntervals[std::size(kOnlineIntervals) - 1];
        for (const std::int64_t candidate : kOnlineIntervals) {
            if (static_cast<std::size_t>((last - first) / candidate) < kMostOnlinePoints) {
                interval = candidate;
                break;
            }
        }
        statistics_.onlineInterval = interval;
        std::vector<std::pair<std::int64_t, int>> changes;
        for (const SessionFigures& session : statistics_.sessions) {
            if (!session.joined || !session.duration) continue;
            changes.emplace_back(*session.joined, 1);
            changes.emplace_back(*session.joined + *session.duration, -1);
        }
        std::sort(changes.begin(), changes.end());
        std::size_t next = 0;
        std::int64_t online = 0;
        for (std::int64_t start = floorTo(first, interval); start <= last; start += interval) {
            // A session counts from its join up to, not including, its leave.
            while (next < changes.size() && changes[next].first <= start) online += changes[next++].second;
            std::int64_t most = online;
            while (next < changes.size() && changes[next].first < start + interval) {
                online += changes[next++].second;
                most = std::max(most, online);
            }
            statistics_.online.push_back(TimeSeriesPoint{start, most});
        }
    }

    // Player time in each hour of the week, divided by how often that hour occurs in the data.
    void computeWeekHours() {
        if (!statistics_.firstTime || !statistics_.lastTime) return;
        std::array<std::array<std::int64_t, 24>, 7> played{};
        for (const SessionFigures& session : statistics_.sessions) {
            if (!session.joined || !session.duration) continue;
            const std::int64_t end = *session.joined + *session.duration;
            // Each whole week of a session is an hour in every hour of the week; only the rest is
            // walked, so a session costs at most a week's hours however long it lasted.
            const std::int64_t weeks = *session.duration / kWeek;
            if (weeks > 0) {
                for (auto& day : played) {
                    for (std::int64_t& hour : day) hour += weeks * kMillisecondsPerHour;
                }
            }
            for (std::int64_t at = *session.joined + weeks * kWeek; at < end;) {
                const std::int64_t hourEnd =
                    std::min(end, floorTo(at, kMillisecondsPerHour) + kMillisecondsPerHour);
                played[static_cast<std::size_t>(weekdayOf(at))][static_cast<std::size_t>(hourOf(at))] +=
                    hourEnd - at;
                at = hourEnd;
            }
        }
        std::array<std::array<std::int64_t, 24>, 7> occurrences{};
        const std::int64_t lastHour = floorTo(*statistics_.lastTime, kMillisecondsPerHour);
        for (std::int64_t hour = floorTo(*statistics_.firstTime, kMillisecondsPerHour); hour <= lastHour;
             hour += kMillisecondsPerHour) {
            ++occurrences[static_cast<std::size_t>(weekdayOf(hour))][static_cast<std::size_t>(hourOf(hour))];
        }
        for (std::size_t day = 0; day < 7; ++day) {
            for (std::size_t hour = 0; hour < 24; ++hour) {
                const std::int64_t divisor = occurrences[day][hour] * kMillisecondsPerHour;
                statistics_.weekHoursCovered[day][hour] = occurrences[day][hour] > 0;
                statistics_.weekHours[day][hour] =
                    divisor > 0 ? (played[day][hour] * 10 + divisor / 2) / divisor : 0;
            }
        }
    }

    void computeKillsPerDay() {
        if (!statistics_.lastTime) return;
        const std::int64_t lastDay = dayOf(*statistics_.lastTime);
        const std::int64_t firstDay = std::max(dayOf(*statistics_.firstTime), lastDay - kKillDays + 1);
        std::map<std::int64_t, std::int64_t> perDay;
        for (const std::int64_t at : kills_) ++perDay[dayOf(at)];
        for (std::int64_t day = firstDay; day <= lastDay; ++day) {
            const auto found = perDay.find(day);
            statistics_.killsPerDay.push_back(
                TimeSeriesPoint{day * kMillisecondsPerDay, found != perDay.end() ? found->second : 0});
        }
    }

    Database& database_;
    std::optional<std::string> only_;
    Statistics statistics_;
    std::unordered_map<std::int64_t, std::size_t> serverIndex_;
    std::unordered_map<std::int64_t, std::size_t> playerIndex_;
    std::unordered_map<std::int64_t, std::size_t> sessionPlayer_;
    std::vector<std::int64_t> kills_;
};

}  // namespace

std::int64_t killsPerDeathHundredths(const PlayerFigures& player) {
    const std::int64_t deaths = std::max<std::int64_t>(player.deaths, 1);
    return (player.kills * 200 + deaths) / (2 * deaths);
}

std::string formatKillsPerDeath(const PlayerFigures& player) {
    const std::int64_t hundredths = killsPerDeathHundredths(player);
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(hundredths / 100),
                  static_cast<long long>(hundredths % 100));
    return text;
}

const PlayerFigures* Statistics::player(std::int64_t id) const {
    const auto found =
        std::lower_bound(players.begin(), players.end(), id,
                         [](const PlayerFigures& player, std::int64_t wanted) { return player.id < wanted; });
    return found != players.end() && found->id == id ? &*found : nullptr;
}

const ServerFigures* Statistics::server(std::int64_t id) const {
    for (const ServerFigures& server : servers) {
        if (server.id == id) return &server;
    }
    return nullptr;
}

Statistics loadStatistics(Database& database, const std::optional<std::string>& server) {
    return Loader(database, server).load();
}

bool namesServer(const ServerFigures& server, std::string_view text) {
    return text == server.name || text == server.port || text == server.name + ":" + server.port;
}

std::vector<const PlayerFigures*> playersInOrder(const Statistics& statistics, PlayerOrder order) {
    std::vector<const PlayerFigures*> players;
    players.reserve(statistics.players.size());
    for (const PlayerFigures& player : statistics.players) players.push_back(&player);
    // Kills per death compared exactly: a/b > c/d as a*d > c*b.
    const auto ratioCompare = [](const PlayerFigures& a, const PlayerFigures& b) {
        const std::int64_t left = a.kills * std::max<std::int64_t>(b.deaths, 1);
        const std::int64_t right = b.kills * std::max<std::int64_t>(a.deaths, 1);
        return left < right ? -1 : (left > right ? 1 : 0);
    };
    const auto tieBreak = [](const PlayerFigures& a, const PlayerFigures& b) {
        if (a.kills != b.kills) return a.kills > b.kills;
        if (a.deaths != b.deaths) return a.deaths < b.deaths;
        if (a.name != b.name) return a.name < b.name;
        return a.id < b.id;
    };
    std::sort(players.begin(), players.end(), [&](const PlayerFigures* a, const PlayerFigures* b) {
        switch (order) {
            case PlayerOrder::Name:
                if (a->name != b->name) return a->name < b->name;
                break;
            case PlayerOrder::Kills: break;
            case PlayerOrder::Deaths:
                if (a->deaths != b->deaths) return a->deaths > b->deaths;
                break;
            case PlayerOrder::KillsPerDeath:
                if (const int compared = ratioCompare(*a, *b); compared != 0) return compared > 0;
                break;
            case PlayerOrder::PlayTime:
                if (a->playMilliseconds != b->playMilliseconds)
                    return a->playMilliseconds > b->playMilliseconds;
                break;
            case PlayerOrder::Sessions:
                if (a->sessions != b->sessions) return a->sessions > b->sessions;
                break;
        }
        return tieBreak(*a, *b);
    });
    return players;
}

}  // namespace varnstats
