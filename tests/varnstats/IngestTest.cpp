#include <gtest/gtest.h>

#include <filesystem>

#include "StatsTestSupport.h"
#include "../support/ReleasedFifo.h"

namespace varnstats {
namespace {

using namespace testing;

// stamped.log starts at 2026-12-07 20:00:00 UTC; plain-crlf.log holds the same lines without
// stamps and with Windows line ends.
constexpr std::int64_t kFixtureStart = 1796673600000;

const std::string kSessionsQuery =
    "SELECT p.name || '|' || s.slot || '|' || coalesce(s.ended, 'open') || '|' || "
    "coalesce(s.joined_at - " +
    std::to_string(kFixtureStart) + ", -1) || '|' || coalesce(s.left_at - " + std::to_string(kFixtureStart) +
    ", -1) FROM sessions s JOIN players p ON p.id = s.player_id ORDER BY s.id";
const std::string kKillsQuery =
    "SELECT killer.name || '>' || victim.name || '|' || coalesce(k.at - " + std::to_string(kFixtureStart) +
    ", -1) FROM kills k JOIN sessions ks ON ks.id = k.killer_session_id JOIN players killer ON killer.id = "
    "ks.player_id JOIN sessions vs ON vs.id = k.victim_session_id JOIN players victim ON victim.id = "
    "vs.player_id "
    "ORDER BY k.id";
const std::string kChangesQuery =
    "SELECT 'veh ' || p.name || ' ' || c.vehicle FROM vehicle_changes c JOIN sessions s ON s.id = "
    "c.session_id "
    "JOIN players p ON p.id = s.player_id UNION ALL SELECT 'wea ' || p.name || ' ' || c.weapon FROM "
    "weapon_changes c "
    "JOIN sessions s ON s.id = c.session_id JOIN players p ON p.id = s.player_id";

class IngestTest : public ::testing::Test {
protected:
    std::string dump() {
        auto connection = openDatabase(database, OpenMode::ReadOnly);
        return dumpTables(*connection);
    }
    std::vector<std::string> rows(const std::string& sql) {
        auto connection = openDatabase(database, OpenMode::ReadOnly);
        return queryRows(*connection, sql);
    }
    std::int64_t number(const std::string& sql) {
        auto connection = openDatabase(database, OpenMode::ReadOnly);
        return queryNumber(*connection, sql);
    }

    ScratchDirectory scratch;
    std::string database = scratch.file("stats.sqlite");
};

TEST_F(IngestTest, StoresEveryEventOfAStampedLogWithHowEachSessionEnded) {
    const std::string log = scratch.file("server.log");
    writeFile(log, fixture("stamped.log"));
    const FileSummary summary = ingest(database, {log}).at(0);
    EXPECT_FALSE(summary.error);
    EXPECT_FALSE(summary.known);
    EXPECT_EQ(summary.malformed, 0u);
    EXPECT_EQ(summary.unmatched, 0u);
    EXPECT_EQ(summary.withoutTime, 0u);
    // ServerInit, 9 joins, 5 vehicle and weapon lines, 4 kills with their 4 deaths, 1 quit.
    EXPECT_EQ(summary.stored, 1u + 9 + 5 + 8 + 1);
    EXPECT_EQ(summary.endOffset, readFile(log).size());

    EXPECT_EQ(rows(kSessionsQuery), (std::vector<std::string>{
                                        "Rico|0|quit|1000|3600000",
                                        "O'Neil|1|timeout|2000|40000",
                                        "<b>Ana</b>|2|shutdown|3000|3700000",
                                        "Kicked|3|kick|4000|30000",
                                        "Banned|4|ban|5000|31000",
                                        "Flooder|5|flood|6000|32000",
                                        "Cheater|6|checksum|7000|33000",
                                        "Mismatch|7|checksum|8000|34000",
                                        "Trainer|8|trainer|9000|35000",
                                    }));
    EXPECT_EQ(rows(kKillsQuery),
              (std::vector<std::string>{"Rico>O'Neil|20000", "Rico><b>Ana</b>|21000", "O'Neil>Rico|22000",
                                        "<b>Ana</b>><b>Ana</b>|23000"}));
    EXPECT_EQ(rows(kChangesQuery), (std::vector<std::string>{"veh Rico 7", "veh O'Neil -3", "veh Rico 0",
                                                             "veh Rico 7", "wea Rico 22"}));
    EXPECT_EQ(
        rows("SELECT name || '|' || port || '|' || game_label || '|' || slots || '|' || (last_seen_at - " +
             std::to_string(kFixtureStart) + ") FROM servers"),
        (std::vector<std::string>{"Fixture Server|2003|Skyr:PB|16|3700002"}));
    EXPECT_EQ(number("SELECT started_at - " + std::to_string(kFixtureStart) + " FROM server_starts"), 4);
    EXPECT_EQ(rows("SELECT address FROM sessions WHERE slot = 0"), (std::vector<std::string>{"10.0.0.1"}));
}

TEST_F(IngestTest, ALogWithoutTimeStampsGivesTheSameEventsWithoutTimes) {
    const std::string log = scratch.file("server.log");
    writeFile(log, fixture("plain-crlf.log"));
    const FileSummary summary = ingest(database, {log}).at(0);
    EXPECT_EQ(summary.stored, 24u);
    EXPECT_EQ(summary.withoutTime, 24u);
    EXPECT_EQ(summary.malformed, 0u);
    const std::vector<std::string> sessions = rows(kSessionsQuery);
    ASSERT_EQ(sessions.size(), 9u);
    EXPECT_EQ(sessions[0], "Rico|0|quit|-1|-1");
    EXPECT_EQ(sessions[2], "<b>Ana</b>|2|shutdown|-1|-1");
    EXPECT_EQ(sessions[8], "Trainer|8|trainer|-1|-1");
    EXPECT_EQ(rows(kKillsQuery), (std::vector<std::string>{"Rico>O'Neil|-1", "Rico><b>Ana</b>|-1",
                                                           "O'Neil>Rico|-1", "<b>Ana</b>><b>Ana</b>|-1"}));
    EXPECT_EQ(number("SELECT count(*) FROM servers WHERE last_seen_at IS NULL"), 1);
}

TEST_F(IngestTest, TheSameFileTwiceAndItsRotatedAndCompressedCopiesAddNothing) {
    const std::string log = scratch.file("server.log");
    writeFile(log, fixture("stamped.log"));
    ingest(database, {log});
    const std::string before = dump();
    ASSERT_NE(before.find("Rico"), std::string::npos);

    std::filesystem::copy_file(log, scratch.file("server.log.1"));
    writeGzipFile(scratch.file("server.log.2.gz"), fixture("stamped.log"));
    for (const FileSummary& summary :
         ingest(database, {log, scratch.file("server.log.1"), scratch.file("server.log.2.gz")})) {
        SCOPED_TRACE(summary.path);
        EXPECT_FALSE(summary.error);
        EXPECT_TRUE(summary.known);
        EXPECT_EQ(summary.lines, 0u);
        EXPECT_EQ(summary.stored, 0u);
    }
    EXPECT_EQ(dump(), before);
}

TEST_F(IngestTest, ACutCopyOfALogReadBeforeAddsNothing) {
    const std::string log = scratch.file("varnserver.log");
    writeFile(log, fixture("stamped.log"));
    ingest(database, {log});
    const std::string before = dump();
    // The first 30 lines kept aside, plain and compressed.
    const std::string whole = fixture("stamped.log");
    std::size_t end = 0;
    for (int line = 0; line < 30; ++line) end = whole.find('\n', end) + 1;
    ASSERT_GT(end, 1024u);
    writeFile(scratch.file("varnserver.log.bak"), whole.substr(0, end));
    writeGzipFile(scratch.file("first-lines.gz"), whole.substr(0, end));
    for (int run = 0; run < 2; ++run) {
        for (const FileSummary& summary :
             ingest(database, {scratch.file("varnserver.log.bak"), scratch.file("first-lines.gz")})) {
            SCOPED_TRACE(summary.path);
            EXPECT_FALSE(summary.error);
            EXPECT_TRUE(summary.known);
            EXPECT_TRUE(summary.skipped);
            EXPECT_EQ(summary.lines, 0u);
        }
    }
    EXPECT_EQ(dump(), before);

    // At the path of the log itself the same bytes are the server's new log, emptied at its start.
    writeFile(log, whole.substr(0, end));
    const FileSummary refilled = ingest(database, {log}).at(0);
    EXPECT_FALSE(refilled.known);
    EXPECT_GT(refilled.stored, 0u);
    EXPECT_EQ(number("SELECT count(*) FROM server_starts"), 2);
}

TEST_F(IngestTest, ACompressedFileNeverReadIsReadLikeThePlainOne) {
    writeGzipFile(scratch.file("server.log.3.gz"), fixture("stamped.log"));
    const FileSummary summary = ingest(database, {scratch.file("server.log.3.gz")}).at(0);
    EXPECT_FALSE(summary.error);
    EXPECT_EQ(summary.stored, 24u);
    EXPECT_EQ(summary.endOffset, fixture("stamped.log").size());

    ScratchDirectory other;
    const std::string plainDatabase = other.file("plain.sqlite");
    writeFile(other.file("server.log"), fixture("stamped.log"));
    ingest(plainDatabase, {other.file("server.log")});
    auto plain = openDatabase(plainDatabase, OpenMode::ReadOnly);
    EXPECT_EQ(dump(), dumpTables(*plain));
}

TEST_F(IngestTest, ACompressedFileCutShortGivesItsCompleteLinesAndAnError) {
    const std::string whole = scratch.file("whole.gz");
    writeGzipFile(whole, fixture("stamped.log"));
    const std::string compressed = readFile(whole);
    writeFile(scratch.file("cut.gz"), compressed.substr(0, compressed.size() * 3 / 4));
    const FileSummary cut = ingest(database, {scratch.file("cut.gz")}).at(0);
    ASSERT_TRUE(cut.error);
    EXPECT_NE(cut.error->find("cut.gz: ends early"), std::string::npos) << *cut.error;
    EXPECT_GT(cut.stored, 0u);
    EXPECT_LT(cut.endOffset, fixture("stamped.log").size());
    // The whole file later: only the rest is read.
    const FileSummary rest = ingest(database, {whole}).at(0);
    EXPECT_TRUE(rest.known);
    EXPECT_EQ(rest.startOffset, cut.endOffset);
    EXPECT_EQ(cut.stored + rest.stored, 24u);
    EXPECT_EQ(number("SELECT count(*) FROM sessions"), 9);
}

TEST_F(IngestTest, ACompressedFileReadToItsEndIsNotDecompressedAgainUntilItChanges) {
    const std::string gz = scratch.file("server.log.2.gz");
    writeGzipFile(gz, fixture("stamped.log"));
    FileSummary summary = ingest(database, {gz}).at(0);
    EXPECT_FALSE(summary.skipped);
    EXPECT_EQ(summary.stored, 24u);
    summary = ingest(database, {gz}).at(0);
    EXPECT_TRUE(summary.skipped);
    EXPECT_TRUE(summary.known);
    EXPECT_FALSE(summary.error);
    EXPECT_EQ(summary.endOffset, fixture("stamped.log").size());

    // Written again with more in it: read on where the last run stopped.
    const std::string more =
        "2026-12-07T21:10:00.000Z Join: 9" + kSep + "Late" + kSep + "10.0.0.9" + kSep + "\n";
    writeGzipFile(gz, fixture("stamped.log") + more);
    summary = ingest(database, {gz}).at(0);
    EXPECT_FALSE(summary.skipped);
    EXPECT_EQ(summary.startOffset, fixture("stamped.log").size());
    EXPECT_EQ(summary.stored, 1u);
    EXPECT_TRUE(ingest(database, {gz}).at(0).skipped);

    // One cut short was not read to its end: it is tried again.
    const std::string cut = scratch.file("cut.gz");
    const std::string compressed = readFile(gz);
    writeFile(cut, compressed.substr(0, compressed.size() - 6));
    for (int run = 0; run < 2; ++run) {
        summary = ingest(database, {cut}).at(0);
        EXPECT_FALSE(summary.skipped);
        EXPECT_TRUE(summary.error);
    }
    EXPECT_EQ(number("SELECT count(*) FROM sessions"), 10);
}

TEST_F(IngestTest, ACompressedFileLargerThanTheLimitIsRefusedInOneLineNamingIt) {
    IngestOptions options;
    options.gzipLimit = 1 << 20;
    // Zeros compress a thousandfold: a small file, a large read.
    const std::string bomb = scratch.file("bomb.log.gz");
    writeGzipFile(bomb, fixture("stamped.log") + std::string(3 << 20, '\0') + "\n");
    // A file of exactly the limit is read whole.
    const std::string full = scratch.file("full.log.gz");
    writeGzipFile(full, std::string((1 << 20) - 1, 'x') + "\n");
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const std::vector<FileSummary> summaries = ingest(database, {bomb, full}, options);
        ASSERT_TRUE(summaries[0].error);
        EXPECT_EQ(*summaries[0].error,
                  bomb + ": refused: more than 1 MiB when uncompressed (--gzip-limit); not read");
        EXPECT_FALSE(summaries[1].error);
    }
    // The lines before the limit were read once; the refusal is remembered with the limit it met.
    EXPECT_EQ(number("SELECT count(*) FROM sessions"), 9);
    EXPECT_EQ(number("SELECT refused_limit FROM compressed_files WHERE path LIKE '%bomb.log.gz'"), 1 << 20);
    // A higher limit reads it.
    options.gzipLimit = 8 << 20;
    const FileSummary summary = ingest(database, {bomb}, options).at(0);
    EXPECT_FALSE(summary.error);
    EXPECT_EQ(summary.endOffset, fixture("stamped.log").size() + (3 << 20) + 1);
}

TEST_F(IngestTest, ALastLineWithoutItsEndIsLeftForTheNextRun) {
    const std::string log = scratch.file("server.log");
    const std::string start = "ServerInit: S" + kSep + "1" + kSep + "Skyr:PB" + kSep + "4" + kSep +
                              "\nJoin: 0" + kSep + "A" + kSep + "1.2.3.4" + kSep + "\nJoin: 1" + kSep + "B" +
                              kSep + "1.2.3.5" + kSep + "\n";
    writeFile(log, start + "Kill: 0 ");
    FileSummary summary = ingest(database, {log}).at(0);
    EXPECT_EQ(summary.stored, 3u);
    EXPECT_EQ(summary.endOffset, start.size());
    EXPECT_EQ(number("SELECT count(*) FROM kills"), 0);

    appendFile(log, "1\nDeath: 1\nVeh: 0 5");
    summary = ingest(database, {log}).at(0);
    EXPECT_TRUE(summary.known);
    EXPECT_EQ(summary.startOffset, start.size());
    EXPECT_EQ(summary.stored, 2u);
    EXPECT_EQ(summary.malformed, 0u);
    EXPECT_EQ(number("SELECT count(*) FROM kills"), 1);
    EXPECT_EQ(number("SELECT count(*) FROM vehicle_changes"), 0);

    appendFile(log, "\n");
    ingest(database, {log});
    ingest(database, {log});
    EXPECT_EQ(number("SELECT count(*) FROM kills"), 1);
    EXPECT_EQ(number("SELECT count(*) FROM vehicle_changes"), 1);

    // A run between a kill and its death line: the death belongs to the kill read before.
    appendFile(log, "Kill: 1 0\n");
    EXPECT_EQ(ingest(database, {log}).at(0).stored, 1u);
    appendFile(log, "Death: 0\n");
    summary = ingest(database, {log}).at(0);
    EXPECT_EQ(summary.unmatched, 0u);
    EXPECT_EQ(number("SELECT count(*) FROM kills"), 2);
}

// logrotate renames the log and the server reopens a new file at the same path; the lines written
// between the last run and the rotation are only in the rotated file.
TEST_F(IngestTest, SessionsGoOnAcrossARotatedLog) {
    const std::string log = scratch.file("varnserver.log");
    const std::string rotated = scratch.file("varnserver.log.1");
    writeFile(log, "- VarnServer log opened -\nServerInit: S" + kSep + "4000" + kSep + "Skyr:PB" + kSep +
                       "8" + kSep + "\nJoin: 0" + kSep + "Rico" + kSep + "127.0.0.10" + kSep + "\nJoin: 1" +
                       kSep + "Ana" + kSep + "127.0.0.11" + kSep + "\n");
    ingest(database, {log});
    appendFile(log, "Kill: 0 1\nDeath: 1\n- VarnServer log closed -\n");
    std::filesystem::rename(log, rotated);
    writeFile(
        log,
        "- VarnServer log opened -\nVeh: 1 4\nQuit: 0\nQUIT: 'Ana', PlayerID = 1 ... quit due to timeout.\n");
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(rotated, now - std::chrono::hours(1));
    std::filesystem::last_write_time(log, now);

    EXPECT_EQ(orderForIngest({log, rotated, log}), (std::vector<std::string>{rotated, log}));
    const std::vector<FileSummary> summaries = ingest(database, orderForIngest({log, rotated}));
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_TRUE(summaries[0].known);
    EXPECT_EQ(summaries[0].stored, 2u);
    EXPECT_FALSE(summaries[1].known);
    EXPECT_EQ(summaries[1].stored, 2u);
    EXPECT_EQ(summaries[1].unmatched, 0u);
    EXPECT_EQ(rows(kSessionsQuery), (std::vector<std::string>{"Rico|0|quit|-1|-1", "Ana|1|timeout|-1|-1"}));
    EXPECT_EQ(rows(kKillsQuery), (std::vector<std::string>{"Rico>Ana|-1"}));
    EXPECT_EQ(rows(kChangesQuery), (std::vector<std::string>{"veh Ana 4"}));

    // The next rotation compresses the old file: nothing new in it.
    const std::string before = dump();
    writeGzipFile(scratch.file("varnserver.log.2.gz"), readFile(rotated));
    std::filesystem::remove(rotated);
    std::filesystem::rename(log, rotated);
    writeFile(log, "- VarnServer log opened -\n");
    for (const FileSummary& summary : ingest(database, {scratch.file("varnserver.log.2.gz"), rotated, log})) {
        EXPECT_EQ(summary.stored, 0u) << summary.path;
        EXPECT_FALSE(summary.error) << summary.path;
    }
    EXPECT_EQ(dump(), before);
}

// The server empties its log at every start: same path, same inode, new content that may begin with
// the very same lines.
TEST_F(IngestTest, ALogEmptiedByARestartIsReadFromItsStart) {
    const std::string log = scratch.file("server.log");
    // More start-up lines than the first bytes a file is known by, so only the bytes before the
    // offset read tell the two runs apart.
    std::string start = "- VarnServer log opened -\n";
    for (int step = 0; step < 40; ++step) start += "SERVER: starting, step " + std::to_string(step) + "\n";
    start += "ServerInit: S" + kSep + "4000" + kSep + "Skyr:PB" + kSep + "8" + kSep + "\nJoin: 0" + kSep +
             "Rico" + kSep + "127.0.0.10" + kSep + "\n";
    ASSERT_GT(start.size(), 1024u);
    writeFile(log, start + "Veh: 0 5\n");
    ingest(database, {log});
    writeFile(log, start + "Veh: 0 6\nJoin: 1" + kSep + "Ana" + kSep + "127.0.0.11" + kSep +
                       "\nKill: 1 0\nDeath: 0\n");
    const FileSummary summary = ingest(database, {log}).at(0);
    EXPECT_FALSE(summary.known);
    EXPECT_EQ(summary.startOffset, 0u);
    EXPECT_EQ(number("SELECT count(*) FROM server_starts"), 2);
    // The first run stopped without its closing lines.
    EXPECT_EQ(rows(kSessionsQuery),
              (std::vector<std::string>{"Rico|0|lost|-1|-1", "Rico|0|open|-1|-1", "Ana|1|open|-1|-1"}));
    EXPECT_EQ(rows(kChangesQuery), (std::vector<std::string>{"veh Rico 5", "veh Rico 6"}));
    EXPECT_EQ(rows(kKillsQuery), (std::vector<std::string>{"Ana>Rico|-1"}));
}

TEST_F(IngestTest, AServerStartAfterACrashEndsOpenSessionsAtTheLastLineSeen) {
    const std::string log = scratch.file("server.log");
    const std::string init = "ServerInit: S" + kSep + "4000" + kSep + "Skyr:PB" + kSep + "8" + kSep + "\n";
    writeFile(log, "2026-12-07T20:00:00.000Z " + init + "2026-12-07T20:00:01.000Z Join: 0" + kSep + "Rico" +
                       kSep + "1.1.1.1" + kSep + "\n2026-12-07T20:00:02.000Z Join: 1" + kSep + "Ana" + kSep +
                       "1.1.1.2" + kSep + "\n2026-12-07T20:00:05.000Z Join: 1" + kSep + "Bo" + kSep +
                       "1.1.1.3" + kSep + "\n2026-12-07T20:00:09.000Z SERVER-DEBUG: something\n");
    ingest(database, {log});
    writeFile(log, "2026-12-07T21:00:00.000Z " + init);
    ingest(database, {log});
    // Ana's slot was taken by Bo without a line saying she left: she was gone by the line before.
    EXPECT_EQ(rows(kSessionsQuery), (std::vector<std::string>{"Rico|0|lost|1000|9000", "Ana|1|lost|2000|2000",
                                                              "Bo|1|lost|5000|9000"}));
}

TEST_F(IngestTest, MalformedAndUnknownLinesAreCountedAndNothingOfThemIsStored) {
    const std::string log = scratch.file("server.log");
    writeFile(log, "Join: 0" + kSep + "Early" + kSep + "1.1.1.1" + kSep + "\nServerInit: S" + kSep + "4000" +
                       kSep + "Skyr:PB" + kSep + "8" + kSep + "\nJoin: 0" + kSep + "Rico" + kSep + "1.1.1.1" +
                       kSep + "\nJoin: x" + kSep + "Bad" + kSep + "1.1.1.2" + kSep +
                       "\nKill: 0\nVeh: 0 999\nKill: 0 5\n" + "Wea: 3 1\nDeath: 7\nQuit: 4\n" +
                       std::string(70 * 1024, 'x') + "\nVeh: 0 3\n");
    const FileSummary summary = ingest(database, {log}).at(0);
    EXPECT_EQ(summary.malformed, 4u);
    EXPECT_EQ(summary.malformedByPrefix, (std::map<std::string, std::uint64_t>{
                                             {"(overlong line)", 1}, {"Join", 1}, {"Kill", 1}, {"Veh", 1}}));
    ASSERT_EQ(summary.malformedExamples.size(), 4u);
    EXPECT_NE(summary.malformedExamples[0].find("Join: x\\xA9Bad"), std::string::npos);
    // The join before any server start, the kill of an unknown victim, and the weapon, death and quit
    // of unknown slots.
    EXPECT_EQ(summary.unmatched, 5u);
    EXPECT_EQ(summary.stored, 3u);
    EXPECT_EQ(number("SELECT count(*) FROM sessions"), 1);
    EXPECT_EQ(number("SELECT count(*) FROM kills"), 0);
    EXPECT_EQ(rows(kChangesQuery), (std::vector<std::string>{"veh Rico 3"}));
    EXPECT_EQ(number("SELECT count(*) FROM players"), 1);
}

// A time stamp the server cannot have written (before 2000, or after the day following the run) would
// stretch sessions over centuries: the line is refused whole, like any malformed line.
TEST_F(IngestTest, TimeStampsOutsideAPlausibleRangeAreMalformed) {
    IngestOptions options;
    options.now = 1796904000000;  // 2026-12-10T12:00:00Z
    const struct {
        const char* stamp;
        bool kept;
    } cases[] = {
        {"0000-01-01T00:00:00.000Z", false}, {"1999-12-31T23:59:59.999Z", false},
        {"2000-01-01T00:00:00.000Z", true},  {"2026-12-10T12:00:00.000Z", true},
        {"2026-12-11T23:59:59.999Z", true},  {"2026-12-12T00:00:00.000Z", false},
        {"9999-12-31T23:59:59.999Z", false},
    };
    std::string log = "2000-01-01T00:00:00.000Z ServerInit: S" + kSep + "4000" + kSep + "Skyr:PB" + kSep +
                      "16" + kSep + "\n";
    std::vector<std::string> kept;
    for (std::size_t slot = 0; slot < std::size(cases); ++slot) {
        const std::string name = std::string(1, 'P').append(std::to_string(slot));
        log += std::string(cases[slot].stamp) + " Join: " + std::to_string(slot) + kSep + name + kSep +
               "1.1.1.1" + kSep + "\n";
        if (cases[slot].kept) kept.push_back(name);
    }
    // A line of no statistics with a stamp out of range would move the server's last line.
    log += "9999-12-31T23:59:59.999Z SERVER-DEBUG: clock gone wrong\n";
    writeFile(scratch.file("server.log"), log);
    const FileSummary summary = ingest(database, {scratch.file("server.log")}, options).at(0);
    EXPECT_EQ(summary.malformed, 5u);
    EXPECT_EQ(summary.malformedByPrefix,
              (std::map<std::string, std::uint64_t>{{"(time stamp out of range)", 5}}));
    EXPECT_EQ(rows("SELECT p.name FROM sessions s JOIN players p ON p.id = s.player_id ORDER BY s.id"), kept);
    EXPECT_EQ(number("SELECT last_seen_at FROM servers"), 1797033599999);  // 2026-12-11T23:59:59.999Z
}

TEST_F(IngestTest, SmallBatchesGiveTheSameDatabaseAndTheSamePlaceToGoOnFrom) {
    const std::string log = scratch.file("server.log");
    writeFile(log, fixture("stamped.log"));
    IngestOptions tiny;
    tiny.batchLines = 1;
    ingest(database, {log}, tiny);
    ScratchDirectory other;
    writeFile(other.file("server.log"), fixture("stamped.log"));
    ingest(other.file("whole.sqlite"), {other.file("server.log")});
    auto whole = openDatabase(other.file("whole.sqlite"), OpenMode::ReadOnly);
    EXPECT_EQ(dump(), dumpTables(*whole));

    const FileSummary again = ingest(database, {log}, tiny).at(0);
    EXPECT_TRUE(again.known);
    EXPECT_EQ(again.lines, 0u);
    EXPECT_EQ(number("SELECT read_offset FROM log_files"),
              static_cast<std::int64_t>(fixture("stamped.log").size()));
}

TEST_F(IngestTest, EachServerKeepsItsOwnSessions) {
    const auto serverLog = [](const std::string& name, const std::string& port, const std::string& player) {
        return "ServerInit: " + name + kSep + port + kSep + "Skyr:PB" + kSep + "8" + kSep + "\nJoin: 0" +
               kSep + player + kSep + "1.1.1.1" + kSep + "\nJoin: 1" + kSep + "Shared" + kSep + "1.1.1.2" +
               kSep + "\nKill: 1 0\nDeath: 0\nVeh: 1 3\n";
    };
    writeFile(scratch.file("a.log"), serverLog("Alpha", "4000", "Ann"));
    writeFile(scratch.file("b.log"), serverLog("Beta", "4000", "Bob") + "Quit: 1\n");
    ingest(database, {scratch.file("a.log"), scratch.file("b.log")});
    EXPECT_EQ(rows("SELECT sv.name || ':' || p.name || ':' || coalesce(s.ended, 'open') FROM sessions s JOIN "
                   "servers sv "
                   "ON sv.id = s.server_id JOIN players p ON p.id = s.player_id ORDER BY s.id"),
              (std::vector<std::string>{"Alpha:Ann:open", "Alpha:Shared:open", "Beta:Bob:open",
                                        "Beta:Shared:quit"}));
    EXPECT_EQ(rows(kKillsQuery), (std::vector<std::string>{"Shared>Ann|-1", "Shared>Bob|-1"}));
    EXPECT_EQ(number("SELECT count(*) FROM players"), 3);
    // Every row of an event names the server it happened on.
    for (const char* table : {"kills", "vehicle_changes"}) {
        EXPECT_EQ(rows(std::string("SELECT sv.name FROM ") + table +
                       " e JOIN servers sv ON sv.id = e.server_id ORDER BY e.id"),
                  (std::vector<std::string>{"Alpha", "Beta"}))
            << table;
    }
}

TEST_F(IngestTest, TheDatabaseFileIsReadableByItsOwnerOnly) {
    writeFile(scratch.file("server.log"), fixture("stamped.log"));
    ingest(database, {scratch.file("server.log")});
    const auto permissions = std::filesystem::status(database).permissions();
    EXPECT_EQ(permissions & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(IngestTest, AMissingFileIsReportedAndTheOthersAreStillRead) {
    writeFile(scratch.file("server.log"), fixture("stamped.log"));
    const std::vector<FileSummary> summaries =
        ingest(database, {scratch.file("gone.log"), scratch.file("server.log")});
    ASSERT_TRUE(summaries[0].error);
    EXPECT_NE(summaries[0].error->find("gone.log"), std::string::npos);
    EXPECT_FALSE(summaries[1].error);
    EXPECT_EQ(summaries[1].stored, 24u);
}

// A FIFO (or a device, or a folder) whose name matches the log pattern is skipped at once and named,
// not waited on: only regular files are read. The files beside it are read as ever.
TEST_F(IngestTest, ANonRegularFileIsSkippedAtOnceAndTheOthersAreRead) {
    writeFile(scratch.file("server.log"), fixture("stamped.log"));
    varn::testing::ReleasedFifo fifo(scratch.file("server.log.1"));
    ASSERT_TRUE(fifo.made());
    std::filesystem::create_directory(scratch.file("server.log.2"));
    std::vector<FileSummary> summaries;
    const long long taken = varn::testing::millisecondsTaken([&] {
        summaries = ingest(database, {fifo.path(), scratch.file("server.log.2"), scratch.file("server.log")});
    });
    EXPECT_LT(taken, 1500) << "waited on the FIFO";
    ASSERT_EQ(summaries.size(), 3u);
    for (std::size_t index = 0; index < 2; ++index) {
        SCOPED_TRACE(summaries[index].path);
        EXPECT_TRUE(summaries[index].notRegularFile);
        EXPECT_FALSE(summaries[index].error);
        EXPECT_EQ(summaries[index].lines, 0u);
    }
    EXPECT_FALSE(summaries[2].notRegularFile);
    EXPECT_EQ(summaries[2].stored, 24u);
}

}  // namespace
}  // namespace varnstats
