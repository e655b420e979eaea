#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "Calendar.h"
#include "Html.h"
#include "Report.h"
#include "SiteWriter.h"
#include "Statistics.h"
#include "StatsTestSupport.h"

namespace varnstats {
namespace {

using namespace testing;

class ReportTest : public ::testing::Test {
protected:
    void ingestFixture(const std::string& name) {
        writeFile(scratch.file(name), fixture(name));
        ingest(database, {scratch.file(name)});
    }

    ReportResult report(const std::string& out, bool generatedAt = false,
                        const std::optional<std::string>& server = std::nullopt) {
        auto connection = openDatabase(database, OpenMode::ReadOnly);
        ReportOptions options;
        options.server = server;
        options.outputDirectory = out;
        options.title = "Fixture & <Friends>";
        options.generatedAt = generatedAt;
        return writeReport(*connection, options);
    }

    // Every file of the site with its content, by path relative to the site.
    static std::map<std::string, std::string> siteFiles(const std::string& out) {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
            if (entry.is_regular_file()) {
                files[std::filesystem::relative(entry.path(), out).string()] =
                    readFile(entry.path().string());
            }
        }
        return files;
    }

    // The leaderboard row of a player: the text of its cells joined with '|'.
    static std::string leaderboardRow(const std::string& page, const std::string& escapedName) {
        const std::size_t name = page.find(">" + escapedName + "</a>");
        if (name == std::string::npos) return "";
        const std::size_t start = page.rfind("<tr", name);
        const std::string row = page.substr(start, page.find("</tr>", name) - start);
        // Each <td class="CLASS">, maybe with a link, up to the next tag: "CLASS=TEXT|".
        std::string cells;
        constexpr std::string_view kCell = "<td class=\"";
        for (std::size_t at = row.find(kCell); at != std::string::npos; at = row.find(kCell, at + 1)) {
            const std::size_t classEnd = row.find('"', at + kCell.size());
            std::size_t text = row.find('>', classEnd) + 1;
            if (row.compare(text, 3, "<a ") == 0) text = row.find('>', text) + 1;
            cells += row.substr(at + kCell.size(), classEnd - at - kCell.size()) + "=" +
                     row.substr(text, row.find('<', text) - text) + "|";
        }
        return cells;
    }

    ScratchDirectory scratch;
    std::string database = scratch.file("stats.sqlite");
    std::string site = scratch.file("site");
};

TEST_F(ReportTest, PagesShowTheFiguresOfTheDatabaseWithNamesEscapedAndNoAddress) {
    ingestFixture("stamped.log");
    const ReportResult result = report(site);
    ASSERT_FALSE(result.error) << *result.error;
    EXPECT_EQ(result.players, 9u);
    EXPECT_EQ(result.pages, 1u + 1 + 6 + 9);

    const std::map<std::string, std::string> files = siteFiles(site);
    const std::string& leaderboard = files.at("leaderboard.html");
    EXPECT_EQ(leaderboardRow(leaderboard, "Rico"),
              "name=Rico|kills=2|deaths=1|kd=2.00|playtime=59 min|sessions=1|vehicle=#7|weapon=#22|");
    EXPECT_EQ(
        leaderboardRow(leaderboard, "O&#39;Neil"),
        "name=O&#39;Neil|kills=1|deaths=1|kd=1.00|playtime=38 s|sessions=1|vehicle=#-3|weapon=&ndash;|");
    EXPECT_EQ(
        leaderboardRow(leaderboard, "&lt;b&gt;Ana&lt;/b&gt;"),
        "name=&lt;b&gt;Ana&lt;/b&gt;|kills=0|deaths=2|kd=0.00|playtime=1 h 01 min|sessions=1|vehicle=&ndash;|"
        "weapon=&ndash;|");
    EXPECT_NE(files.at("index.html").find("<b id=\"total-kills\">3</b>"), std::string::npos);
    EXPECT_NE(files.at("index.html").find("<b id=\"total-suicides\">1</b>"), std::string::npos);
    EXPECT_NE(files.at("index.html").find("Fixture &amp; &lt;Friends&gt;"), std::string::npos);

    // Pages of the site itself, or players/NUMBER.html.
    const auto isSitePath = [](const std::string& path) {
        if (path.find('/') == std::string::npos) return true;
        const std::string number = path.substr(8, path.size() - 8 - 5);
        return path.rfind("players/", 0) == 0 && path.size() > 13 && path.ends_with(".html") &&
               number.find_first_not_of("0123456789") == std::string::npos;
    };
    for (const auto& [path, content] : files) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(isSitePath(path));
        EXPECT_EQ(content.find("10.0.0."), std::string::npos);
        EXPECT_EQ(content.find("<b>Ana"), std::string::npos);
        EXPECT_EQ(content.find("O'Neil"), std::string::npos);
        EXPECT_EQ(content.find("<Friends>"), std::string::npos);
        EXPECT_EQ(content.find("Generated"), std::string::npos);
        EXPECT_EQ(content.find("<script"), std::string::npos);
        EXPECT_EQ(content.find("http://"), content.find("http://www.w3.org/2000/svg"));
    }
    const std::string& rico = files.at("players/1.html");
    for (const char* figure :
         {"<dd id=\"kills\">2</dd>", "<dd id=\"deaths\">1</dd>", "<dd id=\"sessions\">1</dd>",
          "<dd id=\"first-seen\">2026-12-07 20:00</dd>", "<li data-end=\"quit\">quit: 1</li>"}) {
        EXPECT_NE(rico.find(figure), std::string::npos) << figure;
    }
}

TEST_F(ReportTest, TheSameDataGivesTheSameBytesUnlessTheTimeIsAskedFor) {
    ingestFixture("stamped.log");
    ASSERT_FALSE(report(site).error);
    ASSERT_FALSE(report(scratch.file("again")).error);
    EXPECT_EQ(siteFiles(site), siteFiles(scratch.file("again")));
    ASSERT_FALSE(report(scratch.file("stamped"), true).error);
    EXPECT_NE(siteFiles(scratch.file("stamped")).at("index.html").find("Generated "), std::string::npos);
}

TEST_F(ReportTest, WithoutTimeStampsTheFiguresOverTimeAreLeftOutAndThePageSaysSo) {
    ingestFixture("plain-crlf.log");
    ASSERT_FALSE(report(site).error);
    const std::string index = readFile(site + "/index.html");
    EXPECT_NE(index.find("id=\"no-time-stamps\""), std::string::npos);
    EXPECT_EQ(index.find("id=\"online\""), std::string::npos);
    EXPECT_EQ(index.find("id=\"hours\""), std::string::npos);
    EXPECT_NE(index.find("<b id=\"total-kills\">3</b>"), std::string::npos);
}

// Two servers share a database: the pages are of both, or of the one asked for by name, port or both.
TEST_F(ReportTest, PagesForOneServerLeaveTheOthersOut) {
    ingestFixture("stamped.log");
    const std::string other = scratch.file("other.log");
    const std::string mark = "\xA9";
    writeFile(other, "2026-12-08T10:00:00.000Z - VarnServer log opened -\n"
                     "2026-12-08T10:00:00.004Z ServerInit: Other Server" + mark + "2010" + mark + "Skyr:PB" + mark + "8" +
                         mark + "\n"
                         "2026-12-08T10:00:01.000Z Join: 0" + mark + "Solo" + mark + "10.0.0.50" + mark + "\n"
                         "2026-12-08T10:00:09.000Z Quit: 0\n");
    ingest(database, {other});
    struct Case {
        std::optional<std::string> server;
        bool rico;
        bool solo;
    };
    const Case cases[] = {
        {std::nullopt, true, true},
        {"Other Server", false, true},
        {"2003", true, false},
        {"Fixture Server:2003", true, false},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.server.value_or("every server"));
        const std::string out = scratch.file("site-" + std::to_string(&testCase - cases));
        const ReportResult result = report(out, false, testCase.server);
        ASSERT_FALSE(result.error) << *result.error;
        const std::string board = readFile(out + "/leaderboard.html");
        EXPECT_EQ(board.find(">Rico</a>") != std::string::npos, testCase.rico);
        EXPECT_EQ(board.find(">Solo</a>") != std::string::npos, testCase.solo);
        EXPECT_EQ(result.players, std::size_t{(testCase.rico ? 9u : 0u) + (testCase.solo ? 1u : 0u)});
    }
    const ReportResult unknown = report(scratch.file("none"), false, std::string("Nowhere"));
    ASSERT_TRUE(unknown.error);
    EXPECT_NE(unknown.error->find("no server 'Nowhere'"), std::string::npos) << *unknown.error;
    EXPECT_NE(unknown.error->find("Other Server:2010"), std::string::npos) << *unknown.error;
}

// A log written with StatLogging 0 holds no statistics line: the empty site names that key, the real
// cause, not only the time stamps.
TEST_F(ReportTest, AnEmptySiteNamesStatLogging) {
    const std::string log = scratch.file("no-statistics.log");
    writeFile(log, "Varn Server for Varn:PB 0.3 (Server: 0.3.1)\n\nSERVER: press 'q' or 'Q' to shutdown the server.\n");
    ingest(database, {log});
    ASSERT_FALSE(report(site).error);
    const std::string index = readFile(site + "/index.html");
    EXPECT_NE(index.find("id=\"no-statistics\""), std::string::npos) << index;
    EXPECT_NE(index.find("<code>StatLogging 1</code>"), std::string::npos);
    EXPECT_EQ(index.find("id=\"no-time-stamps\""), std::string::npos);
}

TEST_F(ReportTest, RefusesAnOutputDirectoryThatHoldsTheDatabase) {
    ingestFixture("stamped.log");
    for (const std::string& out : {scratch.path().string(), scratch.path().parent_path().string()}) {
        const ReportResult result = report(out);
        ASSERT_TRUE(result.error) << out;
        EXPECT_NE(result.error->find("holds the database"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.file("index.html")));
    EXPECT_FALSE(std::filesystem::exists(scratch.file("players")));
}

// The same check on resolved paths, for directories a test cannot write to: the root holds every file.
TEST(SiteWriterTest, ADirectoryHoldsWhatLiesBelowItAtAnyDepthAndTheRootHoldsEverything) {
    const struct {
        const char* directory;
        const char* path;
        bool holds;
    } cases[] = {
        {"/", "/stats.sqlite", true},          {"/", "/var/lib/stats.sqlite", true},
        {"/srv", "/srv/stats.sqlite", true},   {"/srv", "/srv/a/b/stats.sqlite", true},
        {"/srv/", "/srv/stats.sqlite", true},  {"/srv", "/srvstats.sqlite", false},
        {"/srv/site", "/srv/stats", false},    {"/srv/site", "/srv/site", false},
        {"/srv/site", "/srv/sit/x", false},
    };
    for (const auto& check : cases) {
        EXPECT_EQ(directoryHolds(check.directory, check.path), check.holds)
            << check.directory << " " << check.path;
    }
}

TEST_F(ReportTest, WritesNothingOutsideItsDirectory) {
    ingestFixture("stamped.log");
    std::filesystem::create_directory(site);
    writeFile(scratch.file("outside.html"), "keep me");
    std::filesystem::create_symlink(scratch.file("outside.html"), site + "/index.html");
    ASSERT_FALSE(report(site).error);
    EXPECT_EQ(readFile(scratch.file("outside.html")), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(site + "/index.html"));
    EXPECT_NE(readFile(site + "/index.html").find("<!DOCTYPE html>"), std::string::npos);

    const std::string other = scratch.file("other-site");
    std::filesystem::create_directory(other);
    std::filesystem::create_directory(scratch.file("elsewhere"));
    std::filesystem::create_directory_symlink(scratch.file("elsewhere"), other + "/players");
    const ReportResult result = report(other);
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(std::filesystem::is_empty(scratch.file("elsewhere")));
}

TEST_F(ReportTest, ADatabaseWithoutStatisticsIsNoReport) {
    auto connection = openDatabase(database, OpenMode::ReadWrite);
    ReportOptions options;
    options.outputDirectory = site;
    const ReportResult result = writeReport(*connection, options);
    ASSERT_TRUE(result.error);
    EXPECT_NE(result.error->find("run varnstats ingest first"), std::string::npos);
}

// Monday 2026-12-07: Rico plays 10:00 to 11:00, Ana 10:30 to 11:00 and again 11:10 to 11:20.
TEST_F(ReportTest, OnlinePlayersAndBusyHoursFollowTheSessions) {
    const auto at = [](const char* time) { return std::string("2026-12-07T") + time + ".000Z "; };
    writeFile(scratch.file("server.log"),
              at("10:00:00") + "ServerInit: S" + kSep + "1" + kSep + "Skyr:PB" + kSep + "8" + kSep + "\n" +
                  at("10:00:00") + "Join: 0" + kSep + "Rico" + kSep + "1.1.1.1" + kSep + "\n" +
                  at("10:30:00") + "Join: 1" + kSep + "Ana" + kSep + "1.1.1.2" + kSep + "\n" +
                  at("11:00:00") + "Quit: 0\n" + at("11:00:00") + "Quit: 1\n" + at("11:10:00") + "Join: 1" +
                  kSep + "Ana" + kSep + "1.1.1.2" + kSep + "\n" + at("11:20:00") + "Quit: 1\n");
    ingest(database, {scratch.file("server.log")});
    auto connection = openDatabase(database, OpenMode::ReadOnly);
    const Statistics statistics = loadStatistics(*connection);
    // Hour 10 was seen once and held 1.5 player-hours; hour 11 held 10 player-minutes.
    EXPECT_EQ(statistics.weekHours[0][10], 15);
    EXPECT_EQ(statistics.weekHours[0][11], 2);
    EXPECT_EQ(statistics.weekHours[1][10], 0);
    ASSERT_EQ(statistics.onlineInterval, 60'000);
    std::map<std::string, std::int64_t> online;
    for (const TimeSeriesPoint& point : statistics.online)
        online[formatDateTime(point.start).substr(11)] = point.value;
    EXPECT_EQ(online.at("10:00"), 1);
    EXPECT_EQ(online.at("10:30"), 2);
    EXPECT_EQ(online.at("10:59"), 2);
    EXPECT_EQ(online.at("11:00"), 0);
    EXPECT_EQ(online.at("11:15"), 1);
    EXPECT_EQ(online.at("11:20"), 0);
    const PlayerFigures* ana = statistics.player(2);
    ASSERT_NE(ana, nullptr);
    EXPECT_EQ(ana->playMilliseconds, 40 * 60'000);
    EXPECT_EQ(ana->sessions, 2);
}

// Sessions of 1,300 weeks each, Monday 2001-01-01 00:00 to Monday 2025-12-01 00:00: every hour of the
// week held every player for 1,300 hours. Walking each session hour by hour took seconds here.
TEST_F(ReportTest, TheBusyHoursOfVeryLongSessionsCostNoMoreThanShortOnes) {
    constexpr int kPlayers = 400;
    constexpr std::int64_t kWeeks = 1300;
    std::string log = "2001-01-01T00:00:00.000Z ServerInit: S" + kSep + "1" + kSep + "Skyr:PB" + kSep +
                      std::to_string(kPlayers) + kSep + "\n";
    for (int slot = 0; slot < kPlayers; ++slot) {
        log += "2001-01-01T00:00:00.000Z Join: " + std::to_string(slot) + kSep +
               std::string(1, 'P').append(std::to_string(slot)) + kSep + "1.1.1.1" + kSep + "\n";
    }
    for (int slot = 0; slot < kPlayers; ++slot)
        log += "2025-12-01T00:00:00.000Z Quit: " + std::to_string(slot) + "\n";
    writeFile(scratch.file("server.log"), log);
    ingest(database, {scratch.file("server.log")});
    auto connection = openDatabase(database, OpenMode::ReadOnly);
    const auto started = std::chrono::steady_clock::now();
    const Statistics statistics = loadStatistics(*connection);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The last line's hour, Monday 00:00, was seen once more than the others and held nobody.
    for (std::size_t day = 0; day < 7; ++day) {
        for (std::size_t hour = 0; hour < 24; ++hour) {
            const std::int64_t expected = day == 0 && hour == 0
                                              ? (kPlayers * kWeeks * 10 + (kWeeks + 1) / 2) / (kWeeks + 1)
                                              : kPlayers * 10;
            EXPECT_EQ(statistics.weekHours[day][hour], expected) << day << " " << hour;
        }
    }
    // A few milliseconds; hour by hour it was about two seconds (Release), far more with sanitizers.
    EXPECT_LT(seconds, 0.5);
}

// Forged joins are a join and a quit each, without play: however many the log holds, the site gets
// a page for each player who played a minute or more and for the hundred with the most kills, and
// each leaderboard lists at most a thousand of them.
TEST_F(ReportTest, PagesAndLeaderboardsStayBoundedHoweverManyNamesJoined) {
    constexpr int kPlayed = 1200;
    constexpr int kForged = 3000;
    std::string log = "2026-01-01T00:00:00.000Z ServerInit: S" + kSep + "1" + kSep + "Skyr:PB" + kSep + "26" + kSep + "\n";
    for (int slot = 0; slot < kPlayed; ++slot) {
        log += "2026-01-01T00:00:00.000Z Join: " + std::to_string(slot) + kSep + "P" + std::to_string(10000 + slot) +
               kSep + "1.1.1.1" + kSep + "\n";
    }
    for (int slot = 0; slot < kPlayed; ++slot) log += "2026-01-01T00:01:00.000Z Quit: " + std::to_string(slot) + "\n";
    for (int forged = 0; forged < kForged; ++forged) {
        log += "2026-01-01T00:02:00.000Z Join: 0" + kSep + "F" + std::to_string(10000 + forged) + kSep + "1.1.1.1" + kSep +
               "\n2026-01-01T00:02:00.000Z Quit: 0\n";
    }
    writeFile(scratch.file("server.log"), log);
    ingest(database, {scratch.file("server.log")});
    const ReportResult result = report(site);
    ASSERT_FALSE(result.error) << *result.error;
    EXPECT_EQ(result.players, static_cast<std::size_t>(kPlayed + kForged));

    std::size_t playerPages = 0;
    std::size_t forgedPages = 0;
    for (const auto& entry : std::filesystem::directory_iterator(site + "/players")) {
        ++playerPages;
        const std::string page = readFile(entry.path().string());
        if (page.find("<strong>F1") != std::string::npos) ++forgedPages;
    }
    // Ties at no kills go by name, so the hundred "top" players are forged ones.
    EXPECT_EQ(playerPages, static_cast<std::size_t>(kPlayed + 100));
    EXPECT_EQ(forgedPages, 100u);
    for (const char* name : {"leaderboard.html", "leaderboard-name.html", "leaderboard-playtime.html"}) {
        SCOPED_TRACE(name);
        const std::string page = readFile(site + "/" + name);
        std::size_t rows = 0;
        for (std::size_t at = page.find("<tr data-player="); at != std::string::npos;
             at = page.find("<tr data-player=", at + 1)) {
            ++rows;
        }
        EXPECT_EQ(rows, 1000u);
        EXPECT_LT(page.size(), 400'000u);
    }
    // The players listed are linked to their pages.
    const std::string top = readFile(site + "/leaderboard-playtime.html");
    EXPECT_NE(top.find(">P10000</a>"), std::string::npos);
}

TEST(LeaderboardOrderTest, TiesGoByKillsThenFewestDeathsThenName) {
    Statistics statistics;
    const auto add = [&statistics](std::int64_t id, const char* name, std::int64_t kills, std::int64_t deaths,
                                   std::int64_t minutes) {
        PlayerFigures player;
        player.id = id;
        player.name = name;
        player.kills = kills;
        player.deaths = deaths;
        player.playMilliseconds = minutes * 60'000;
        statistics.players.push_back(player);
    };
    add(1, "bob", 2, 3, 10);
    add(2, "Ann", 2, 3, 10);
    add(3, "cid", 4, 6, 10);
    add(4, "dan", 2, 0, 50);
    add(5, "eve", 0, 0, 0);
    const auto names = [&statistics](PlayerOrder order) {
        std::string text;
        for (const PlayerFigures* player : playersInOrder(statistics, order)) text += player->name + " ";
        return text;
    };
    EXPECT_EQ(names(PlayerOrder::Kills), "cid dan Ann bob eve ");
    EXPECT_EQ(names(PlayerOrder::Name), "Ann bob cid dan eve ");
    EXPECT_EQ(names(PlayerOrder::Deaths), "cid Ann bob dan eve ");
    // 2/0 counts as 2, ahead of 4/6 and 2/3 (equal: by kills, then name).
    EXPECT_EQ(names(PlayerOrder::KillsPerDeath), "dan cid Ann bob eve ");
    EXPECT_EQ(names(PlayerOrder::PlayTime), "dan cid Ann bob eve ");

    const std::pair<std::pair<std::int64_t, std::int64_t>, const char*> ratios[] = {
        {{1, 3}, "0.33"}, {{2, 3}, "0.67"}, {{5, 0}, "5.00"},
        {{0, 4}, "0.00"}, {{1, 8}, "0.13"}, {{200, 3}, "66.67"}};
    for (const auto& [figures, text] : ratios) {
        PlayerFigures player;
        player.kills = figures.first;
        player.deaths = figures.second;
        EXPECT_EQ(formatKillsPerDeath(player), text) << figures.first << "/" << figures.second;
    }
}

TEST(HtmlTest, EscapesEveryCharacterThatEndsTextOrAnAttribute) {
    EXPECT_EQ(escapeHtml("<a href=\"x\" title='y'>&amp;</a>"),
              "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
    EXPECT_EQ(escapeHtml("plain text 123"), "plain text 123");
}

}  // namespace
}  // namespace varnstats
