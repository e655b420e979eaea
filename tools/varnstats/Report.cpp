#include "Report.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <unordered_set>

#include "Calendar.h"
#include "Charts.h"
#include "Html.h"
#include "Schema.h"
#include "SiteWriter.h"
#include "Statistics.h"

namespace varnstats {

namespace {

constexpr std::size_t kTopPlayers = 10;
constexpr std::size_t kRecentSessions = 20;
constexpr std::size_t kListedOpponents = 10;
// The site stays bounded however many names the log holds (forged joins are a join and a quit each,
// without play): a player has a page of his own when he played a minute or more, or is among the
// players with the most kills; each leaderboard lists at most so many of those players.
constexpr std::int64_t kPagePlayMilliseconds = 60'000;
constexpr std::size_t kPagedTopPlayers = 100;
constexpr std::size_t kLeaderboardRows = 1000;
constexpr std::string_view kNone = "&ndash;";

constexpr std::string_view kStyle =
    R"CSS(:root { --ink: #1f5fa8; --text: #1d232b; --muted: #5b6675; --line: #d5dbe3; --band: #f3f6fa; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
body { color: var(--text); background: #fff; }
header { background: var(--ink); color: #fff; padding: 0.8rem 1rem; }
header h1 { margin: 0; font-size: 1.35rem; }
header nav a { color: #fff; margin-right: 1rem; font-weight: 600; }
main { max-width: 64rem; margin: 0 auto; padding: 1rem; }
h2 { font-size: 1.15rem; margin: 1.6rem 0 0.6rem; }
a { color: var(--ink); }
.no-data { color: var(--muted); font-style: italic; }
h3 { font-size: 1rem; margin: 1.2rem 0 0.4rem; }
.notice { background: #fff6dd; border-left: 4px solid #d9a400; padding: 0.6rem 0.8rem; }
.totals { display: flex; flex-wrap: wrap; gap: 0.6rem; padding: 0; list-style: none; }
.totals li { background: var(--band); border-radius: 6px; padding: 0.5rem 0.8rem; min-width: 8rem; }
.totals b { display: block; font-size: 1.4rem; }
.scroll { overflow-x: auto; -webkit-overflow-scrolling: touch; }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
th, td { padding: 0.35rem 0.5rem; border-bottom: 1px solid var(--line); text-align: right; }
th, td { white-space: nowrap; }
th:nth-child(2), td:nth-child(2) { text-align: left; }
th { background: var(--band); }
th a { text-decoration: none; }
th[aria-sort] { background: #dfe8f4; }
svg.chart { width: 100%; height: auto; display: block; }
dl.figures { display: grid; grid-template-columns: max-content 1fr; gap: 0.25rem 1rem; }
dl.figures dt { color: var(--muted); }
dl.figures dd { margin: 0; font-weight: 600; }
footer { max-width: 64rem; margin: 2rem auto 1rem; padding: 0 1rem; color: var(--muted); font-size: 0.85rem; }
@media (max-width: 40rem) { body { font-size: 15px; } th, td { padding: 0.3rem 0.35rem; } }
)CSS";

struct LeaderboardPage {
    PlayerOrder order;
    const char* file;
    const char* heading;  // the column it sorts
};

constexpr std::array kLeaderboards{
    LeaderboardPage{PlayerOrder::Kills, "leaderboard.html", "Kills"},
    LeaderboardPage{PlayerOrder::Name, "leaderboard-name.html", "Player"},
    LeaderboardPage{PlayerOrder::Deaths, "leaderboard-deaths.html", "Deaths"},
    LeaderboardPage{PlayerOrder::KillsPerDeath, "leaderboard-kd.html", "K/D"},
    LeaderboardPage{PlayerOrder::PlayTime, "leaderboard-playtime.html", "Play time"},
    LeaderboardPage{PlayerOrder::Sessions, "leaderboard-sessions.html", "Sessions"},
};

std::string playerFile(const PlayerFigures& player) { return std::to_string(player.id) + ".html"; }

std::string optionalNumber(const std::optional<std::int64_t>& value) {
    return value ? "#" + std::to_string(*value) : std::string(kNone);
}

std::string playTime(const PlayerFigures& player) {
    return player.timedSessions > 0 ? formatDuration(player.playMilliseconds) : std::string(kNone);
}

std::string optionalDateTime(const std::optional<std::int64_t>& time) {
    return time ? formatDateTime(*time) : std::string(kNone);
}

std::string intervalInWords(std::int64_t milliseconds) {
    const std::int64_t minutes = milliseconds / 60'000;
    if (minutes < 60) return minutes == 1 ? "minute" : std::to_string(minutes) + " minutes";
    return minutes == 60 ? "hour" : std::to_string(minutes / 60) + " hours";
}

std::string endInWords(const std::string& ended) {
    static constexpr std::pair<std::string_view, std::string_view> kWords[] = {
        {"quit", "quit"},
        {"timeout", "timed out"},
        {"kick", "kicked"},
        {"ban", "banned"},
        {"flood", "removed for flooding"},
        {"checksum", "failed the client check"},
        {"trainer", "reported a cheating tool"},
        {"shutdown", "server shut down"},
        {"lost", "not in the log"},
        {"online", "still on the server"},
    };
    for (const auto& [key, words] : kWords) {
        if (key == ended) return std::string(words);
    }
    return ended;
}

class SiteBuilder {
public:
    SiteBuilder(const Statistics& statistics, const ReportOptions& options)
        : statistics_(statistics), options_(options) {
        std::size_t rank = 0;
        for (const PlayerFigures* player : playersInOrder(statistics_, PlayerOrder::Kills)) {
            if (rank++ < kPagedTopPlayers || player->playMilliseconds >= kPagePlayMilliseconds) {
                paged_.insert(player->id);
            }
        }
        if (options_.generatedAt) {
            const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            generated_ = "Generated " + formatDateTime(now.count()) + " UTC. ";
        }
    }

    std::string overview() const {
        std::string page = pageStart("Overview", false);
        page += timeNotice();
        page += totals();
        page += serversTable();
        if (statistics_.lastTime) {
            page +=
                "<section id=\"online\"><h2>Players online over time</h2><p>The most players at once in "
                "each " +
                intervalInWords(statistics_.onlineInterval) + ", over the last week of the data (UTC).</p>" +
                onlineChart(statistics_.online, statistics_.onlineInterval) + "</section>\n";
            page +=
                "<section id=\"hours\"><h2>Busiest hours of the week</h2><p>Players on the server on average "
                "in each hour (UTC); darker is busier.</p>" +
                weekHeatMap(statistics_.weekHours, statistics_.weekHoursCovered) + coverage() +
                "</section>\n";
            page += "<section id=\"kills-per-day\"><h2>Kills per day</h2>" +
                    dailyBars(statistics_.killsPerDay, "kills") + "</section>\n";
        }
        page += topTen();
        return page + pageEnd();
    }

    std::string leaderboard(const LeaderboardPage& sorted) const {
        std::string page = pageStart("Leaderboard", false);
        page += "<p>Sorted by " + std::string(sorted.heading) +
                ". Choose a column heading to sort by it. Kills do not count suicides; deaths do. Listed are "
                "the players who played a minute or more and the " +
                std::to_string(kPagedTopPlayers) + " with the most kills, at most " +
                std::to_string(kLeaderboardRows) + ".</p>\n";
        page += "<div class=\"scroll\"><table id=\"leaderboard\"><thead><tr><th>#</th>";
        for (const char* column : {"Player", "Kills", "Deaths", "K/D", "Play time", "Sessions"}) {
            const LeaderboardPage* target = nullptr;
            for (const LeaderboardPage& candidate : kLeaderboards) {
                if (std::string_view(candidate.heading) == column) target = &candidate;
            }
            const bool current = target == &sorted;
            page +=
                std::string("<th") +
                (current
                     ? " aria-sort=\"" +
                           std::string(sorted.order == PlayerOrder::Name ? "ascending" : "descending") + "\""
                     : "") +
                "><a href=\"" + target->file + "\">" + column + (current ? " &#9660;" : "") + "</a></th>";
        }
        page += "<th>Favourite vehicle</th><th>Favourite weapon</th></tr></thead>\n<tbody>\n";
        std::size_t rank = 0;
        for (const PlayerFigures* player : playersInOrder(statistics_, sorted.order)) {
            if (!hasPage(*player)) continue;
            if (rank == kLeaderboardRows) break;
            page += "<tr data-player=\"" + std::to_string(player->id) + "\"><td>" + std::to_string(++rank) +
                    "</td><td class=\"name\">" + nameLink(*player, "players/") + "</td><td class=\"kills\">" +
                    std::to_string(player->kills) + "</td><td class=\"deaths\">" +
                    std::to_string(player->deaths) + "</td><td class=\"kd\">" + formatKillsPerDeath(*player) +
                    "</td><td class=\"playtime\">" + playTime(*player) + "</td><td class=\"sessions\">" +
                    std::to_string(player->sessions) + "</td><td class=\"vehicle\">" +
                    optionalNumber(player->favouriteVehicle) + "</td><td class=\"weapon\">" +
                    optionalNumber(player->favouriteWeapon) + "</td></tr>\n";
        }
        page += "</tbody></table></div>\n";
        return page + pageEnd();
    }

    std::string playerPage(const PlayerFigures& player) const {
        std::string page = pageStart(player.name, true);
        page += "<p>Everything below is what the server logged under the name <strong>" +
                escapeHtml(player.name) + "</strong>. A player is known by his name only.</p>\n";
        page += "<dl class=\"figures\">";
        const auto figure = [&page](const char* id, const char* label, const std::string& value) {
            page += std::string("<dt>") + label + "</dt><dd id=\"" + id + "\">" + value + "</dd>";
        };
        figure("kills", "Kills", std::to_string(player.kills));
        figure("deaths", "Deaths", std::to_string(player.deaths));
        figure("suicides", "of them suicides", std::to_string(player.suicides));
        figure("kd", "Kills per death", formatKillsPerDeath(player));
        figure("playtime", "Play time", playTime(player));
        figure("sessions", "Sessions", std::to_string(player.sessions));
        figure("first-seen", "First seen (UTC)", optionalDateTime(player.firstSeen));
        figure("last-seen", "Last seen (UTC)", optionalDateTime(player.lastSeen));
        figure("vehicle", "Favourite vehicle", optionalNumber(player.favouriteVehicle));
        figure("weapon", "Favourite weapon", optionalNumber(player.favouriteWeapon));
        page += "</dl>\n";
        if (!player.killsPerDay.empty() && statistics_.lastTime) {
            std::vector<TimeSeriesPoint> days;
            for (const TimeSeriesPoint& day : statistics_.killsPerDay) {
                const auto found = player.killsPerDay.find(dayOf(day.start));
                days.push_back(
                    TimeSeriesPoint{day.start, found != player.killsPerDay.end() ? found->second : 0});
            }
            page += "<h2>Kills per day</h2>" + dailyBars(days, "kills");
        }
        page += opponents("Most killed", "victims", player.victims);
        page += opponents("Most killed by", "killers", player.killers);
        page += uses("Vehicles got into", "vehicles", player.vehicleUses);
        page += uses("Weapons taken up", "weapons", player.weaponUses);
        page += sessionEnds(player);
        page += recentSessions(player);
        return page + pageEnd();
    }

    static std::string_view style() { return kStyle; }

    // Whether the player gets a page of his own.
    bool hasPage(const PlayerFigures& player) const { return paged_.contains(player.id); }

private:
    std::string pageStart(const std::string& heading, bool inPlayers) const {
        const std::string up = inPlayers ? "../" : "";
        return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
               escapeHtml(heading) + " - " + escapeHtml(options_.title) +
               "</title>\n<link rel=\"stylesheet\" href=\"" + up +
               "style.css\">\n</head>\n<body>\n<header><h1>" + escapeHtml(options_.title) +
               "</h1><nav><a href=\"" + up + "index.html\">Overview</a><a href=\"" + up +
               "leaderboard.html\">Leaderboard</a></nav></header>\n<main>\n<h2 id=\"page-title\">" +
               escapeHtml(heading) + "</h2>\n";
    }

    std::string pageEnd() const {
        return "</main>\n<footer>" + generated_ +
               "A player is known by the name he plays under: two people who use one name count as one "
               "player, and "
               "one person under two names as two. Times are UTC.</footer>\n</body>\n</html>\n";
    }

    std::string timeNotice() const {
        // Nothing at all read: the statistics lines are off (the usual cause), or ingest has not run.
        if (statistics_.servers.empty() && statistics_.players.empty()) {
            return "<p class=\"notice\" id=\"no-statistics\">No statistics lines have been read yet. Turn on "
                   "<code>StatLogging 1</code> in the server's configuration (and <code>LogTimestamps 1</code> "
                   "for the figures over time), restart the server, and let <code>varnstats ingest</code> read "
                   "its log.</p>\n";
        }
        if (!statistics_.lastTime) {
            return "<p class=\"notice\" id=\"no-time-stamps\">The logs read so far carry no time stamps, so "
                   "the "
                   "figures over time (players online, busiest hours, kills per day, play time) are left "
                   "out. Turn "
                   "on <code>LogTimestamps 1</code> in the server's configuration to have them.</p>\n";
        }
        if (statistics_.untimedSessions > 0 || statistics_.untimedKills > 0) {
            return "<p class=\"notice\" id=\"partly-timed\">" + std::to_string(statistics_.untimedSessions) +
                   " sessions and " + std::to_string(statistics_.untimedKills) +
                   " kills came from log lines without time stamps (or without a known end): they count in "
                   "the "
                   "totals but not in the figures over time.</p>\n";
        }
        return "";
    }

    // Under the heat map: which part of the week the data covers, when not all of it.
    std::string coverage() const {
        std::size_t days = 0;
        for (const auto& day : statistics_.weekHoursCovered) {
            days += std::any_of(day.begin(), day.end(), [](bool covered) { return covered; }) ? 1 : 0;
        }
        if (days == 7) return "";
        return "<p class=\"no-data\" id=\"hours-coverage\">The data covers " +
               std::string(days == 1 ? "one day" : std::to_string(days) + " days") +
               " of the week so far; hours it does not cover are left blank.</p>";
    }

    std::string totals() const {
        std::int64_t starts = 0;
        for (const ServerFigures& server : statistics_.servers) starts += server.starts;
        std::string html = "<ul class=\"totals\">";
        const auto total = [&html](const char* id, std::int64_t value, const char* label) {
            html +=
                std::string("<li><b id=\"") + id + "\">" + std::to_string(value) + "</b>" + label + "</li>";
        };
        total("total-players", static_cast<std::int64_t>(statistics_.players.size()), "players");
        total("total-sessions", static_cast<std::int64_t>(statistics_.sessions.size()), "sessions");
        total("total-kills", statistics_.kills, "kills");
        total("total-suicides", statistics_.suicides, "suicides");
        total("total-starts", starts, "server starts");
        html += "</ul>\n";
        if (statistics_.firstTime && statistics_.lastTime) {
            html += "<p id=\"data-span\">From " + formatDateTime(*statistics_.firstTime) + " to " +
                    formatDateTime(*statistics_.lastTime) + " UTC.</p>\n";
        }
        return html;
    }

    std::string serversTable() const {
        std::string html =
            "<h2>Servers</h2><div class=\"scroll\"><table id=\"servers\"><thead><tr><th>#</th><th>Server</th>"
            "<th>Port</th><th>Game</th><th>Slots</th><th>Starts</th><th>Sessions</th><th>Online at last "
            "line</th><th>Last line (UTC)</th></tr></thead><tbody>\n";
        for (const ServerFigures& server : statistics_.servers) {
            html += "<tr><td>" + std::to_string(server.id) + "</td><td>" + escapeHtml(server.name) +
                    "</td><td>" + escapeHtml(server.port) + "</td><td>" + escapeHtml(server.gameLabel) +
                    "</td><td>" + std::to_string(server.slots) + "</td><td>" + std::to_string(server.starts) +
                    "</td><td>" + std::to_string(server.sessions) + "</td><td>" +
                    std::to_string(server.online) + "</td><td>" + optionalDateTime(server.lastSeen) +
                    "</td></tr>\n";
        }
        return html + "</tbody></table></div>\n";
    }

    std::string topTen() const {
        std::string html =
            "<section id=\"top-ten\"><h2>Top ten</h2><div class=\"scroll\"><table "
            "id=\"top\"><thead><tr><th>#</th>"
            "<th>Player</th><th>Kills</th><th>Deaths</th><th>K/D</th><th>Play "
            "time</th></tr></thead><tbody>\n";
        std::vector<std::pair<std::string, std::int64_t>> bars;
        std::size_t rank = 0;
        for (const PlayerFigures* player : playersInOrder(statistics_, PlayerOrder::Kills)) {
            if (rank == kTopPlayers) break;
            html += "<tr data-player=\"" + std::to_string(player->id) + "\"><td>" + std::to_string(++rank) +
                    "</td><td class=\"name\"><a href=\"players/" + playerFile(*player) + "\">" +
                    escapeHtml(player->name) + "</a></td><td class=\"kills\">" +
                    std::to_string(player->kills) + "</td><td class=\"deaths\">" +
                    std::to_string(player->deaths) + "</td><td class=\"kd\">" + formatKillsPerDeath(*player) +
                    "</td><td class=\"playtime\">" + playTime(*player) + "</td></tr>\n";
            bars.emplace_back(player->name, player->kills);
        }
        html += "</tbody></table></div>\n";
        if (bars.empty()) {
            html += "<p class=\"no-data\">No player has joined yet.</p>";
        } else {
            html += "<h3 id=\"top-ten-kills\">Kills of the top ten</h3>" + horizontalBars(bars, "kills");
        }
        return html + "<p><a href=\"leaderboard.html\">All players</a></p></section>\n";
    }

    std::string opponents(const char* heading, const char* id,
                          const std::map<std::int64_t, std::int64_t>& counts) const {
        if (counts.empty()) return "";
        std::vector<std::pair<std::int64_t, const PlayerFigures*>> rows;
        for (const auto& [playerId, count] : counts) {
            if (const PlayerFigures* other = statistics_.player(playerId)) rows.emplace_back(count, other);
        }
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
            if (a.first != b.first) return a.first > b.first;
            if (a.second->name != b.second->name) return a.second->name < b.second->name;
            return a.second->id < b.second->id;
        });
        std::string html = std::string("<h2>") + heading + "</h2><div class=\"scroll\"><table id=\"" + id +
                           "\"><thead><tr><th>#</th><th>Player</th><th>Times</th></tr></thead><tbody>\n";
        for (std::size_t index = 0; index < rows.size() && index < kListedOpponents; ++index) {
            html += "<tr><td>" + std::to_string(index + 1) + "</td><td>" + nameLink(*rows[index].second, "") +
                    "</td><td>" + std::to_string(rows[index].first) + "</td></tr>\n";
        }
        return html + "</tbody></table></div>\n";
    }

    static std::string uses(const char* heading, const char* id,
                            const std::map<std::int64_t, std::int64_t>& counts) {
        if (counts.empty()) return "";
        std::vector<std::pair<std::int64_t, std::int64_t>> rows(counts.begin(), counts.end());
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
            return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        std::string html = std::string("<h2>") + heading + "</h2><div class=\"scroll\"><table id=\"" + id +
                           "\"><thead><tr><th>#</th><th>Number</th><th>Times</th></tr></thead><tbody>\n";
        for (std::size_t index = 0; index < rows.size() && index < kListedOpponents; ++index) {
            html += "<tr><td>" + std::to_string(index + 1) + "</td><td>#" +
                    std::to_string(rows[index].first) + "</td><td>" + std::to_string(rows[index].second) +
                    "</td></tr>\n";
        }
        return html + "</tbody></table></div>\n";
    }

    static std::string sessionEnds(const PlayerFigures& player) {
        std::string html = "<h2>How sessions ended</h2><ul id=\"session-ends\">";
        for (const auto& [ended, count] : player.sessionEnds) {
            html += "<li data-end=\"" + escapeHtml(ended) + "\">" + escapeHtml(endInWords(ended)) + ": " +
                    std::to_string(count) + "</li>";
        }
        return html + "</ul>\n";
    }

    std::string recentSessions(const PlayerFigures& player) const {
        std::string html =
            "<h2>Recent sessions</h2><div class=\"scroll\"><table "
            "id=\"recent-sessions\"><thead><tr><th>#</th>"
            "<th>Server</th><th>Joined (UTC)</th><th>Left "
            "(UTC)</th><th>Played</th><th>Ended</th></tr></thead>"
            "<tbody>\n";
        std::size_t shown = 0;
        for (auto index = player.sessionIndexes.rbegin();
             index != player.sessionIndexes.rend() && shown < kRecentSessions; ++index, ++shown) {
            const SessionFigures& session = statistics_.sessions[*index];
            const ServerFigures* server = statistics_.server(session.serverId);
            html += "<tr><td>" + std::to_string(shown + 1) + "</td><td>" +
                    (server != nullptr ? escapeHtml(server->name) : std::string(kNone)) + "</td><td>" +
                    optionalDateTime(session.joined) + "</td><td>" + optionalDateTime(session.left) +
                    "</td><td>" +
                    (session.duration ? formatDuration(*session.duration) : std::string(kNone)) +
                    "</td><td>" + escapeHtml(endInWords(session.ended.value_or("online"))) + "</td></tr>\n";
        }
        return html + "</tbody></table></div>\n";
    }

    // The name, linked to the player's page when he has one; folder leads from the page to players/.
    std::string nameLink(const PlayerFigures& player, const std::string& folder) const {
        if (!hasPage(player)) return escapeHtml(player.name);
        return "<a href=\"" + folder + playerFile(player) + "\">" + escapeHtml(player.name) + "</a>";
    }

    const Statistics& statistics_;
    const ReportOptions& options_;
    std::string generated_;
    std::unordered_set<std::int64_t> paged_;
};

}  // namespace

ReportResult writeReport(Database& database, const ReportOptions& options) {
    ReportResult result;
    const int version = schemaVersionOf(database);
    if (version == 0) {
        result.error = database.description() + " holds no statistics yet: run varnstats ingest first";
        return result;
    }
    if (version != kSchemaVersion) {
        result.error = database.description() + " has schema version " + std::to_string(version) +
                       ", this varnstats " + std::to_string(kSchemaVersion) +
                       (version < kSchemaVersion ? ": run varnstats ingest to bring it up to date" : "");
        return result;
    }
    SiteWriter writer;
    if (std::optional<std::string> error = writer.open(options.outputDirectory, database.filePath())) {
        result.error = error;
        return result;
    }
    const Statistics statistics = loadStatistics(database, options.server);
    if (options.server && statistics.servers.empty()) {
        std::string known;
        for (const ServerFigures& server : loadStatistics(database).servers) {
            known += (known.empty() ? "" : ", ") + server.name + ":" + server.port;
        }
        result.error = "no server '" + *options.server + "' in " + database.description() + " (it has: " +
                       (known.empty() ? "none" : known) + ")";
        return result;
    }
    const SiteBuilder builder(statistics, options);
    const auto write = [&](std::string_view name, const std::string& content, bool inPlayers) {
        if (result.error) return;
        result.error = writer.write(name, content, inPlayers);
        if (!result.error) ++result.pages;
    };
    write("style.css", std::string(SiteBuilder::style()), false);
    write("index.html", builder.overview(), false);
    for (const LeaderboardPage& page : kLeaderboards) write(page.file, builder.leaderboard(page), false);
    for (const PlayerFigures& player : statistics.players) {
        if (builder.hasPage(player)) write(playerFile(player), builder.playerPage(player), true);
    }
    result.players = statistics.players.size();
    return result;
}

}  // namespace varnstats
