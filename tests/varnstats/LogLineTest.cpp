#include <gtest/gtest.h>

#include <string>

#include "Calendar.h"
#include "LogLine.h"

namespace varnstats {
namespace {

const std::string kSep = "\xA9";
constexpr std::string_view kStamp = "2026-12-10T12:00:00.123Z ";
constexpr std::int64_t kStampMilliseconds = 1796904000123;

struct LineCase {
    std::string text;
    LineKind kind;
    std::int64_t slot = 0;
    std::int64_t value = 0;
    std::string name = {};
};

// Every kind of line the statistics care about, and lines that only look like them.
const LineCase kLineCases[] = {
    {"Join: 3" + kSep + "Rico" + kSep + "10.1.2.3" + kSep, LineKind::Join, 3, 0, "Rico"},
    {"Join: 0" + kSep + "a b|c'd<e>" + kSep + "127.0.0.1" + kSep, LineKind::Join, 0, 0, "a b|c'd<e>"},
    {"Quit: 12", LineKind::Quit, 12},
    {"Kill: 4 7", LineKind::Kill, 4, 7},
    {"Kill: 5 5", LineKind::Kill, 5, 5},
    {"Death: 7", LineKind::Death, 7},
    {"Veh: 2 -3", LineKind::Vehicle, 2, -3},
    {"Veh: 2 0", LineKind::Vehicle, 2, 0},
    {"Wea: 1 29", LineKind::Weapon, 1, 29},
    {"QUIT: 'Rico', PlayerID = 3 ... quit due to timeout.", LineKind::PlayerRemoved, 3, 0, "Rico"},
    {"QUIT: 'O'Neil', PlayerID = 1 ... quit due to chat flood.", LineKind::PlayerRemoved, 1, 0, "O'Neil"},
    {"QUIT: 'x', PlayerID = 2 ... quit due to client crc timeout.", LineKind::PlayerRemoved, 2, 0, "x"},
    {"QUIT: 'x', PlayerID = 2 ... quit due to client crc mismatch.", LineKind::PlayerRemoved, 2, 0, "x"},
    {"QUIT: 'x', PlayerID = 2 ... client quit due to trainer usage", LineKind::PlayerRemoved, 2, 0, "x"},
    {"BANNED: 'y', PlayerID = 9 ... banned due to chat flood.", LineKind::PlayerRemoved, 9, 0, "y"},
    {"BANNED: 'y', PlayerID = 9 by Admin boss", LineKind::PlayerRemoved, 9, 0, "y"},
    {"KICKED: ''', PlayerID = 10 by Admin ', PlayerID = 4", LineKind::PlayerRemoved, 10, 0, "'"},
    {"SERVER: A total of 1 bytes were received and 2 bytes were sent.", LineKind::ServerShutdown},
    // The voluntary quit is told by "Quit: "; its words are not a removal.
    {"QUIT: 'Rico', PlayerID = 3", LineKind::Other},
    {"QUIT: 'Rico', PlayerID = 3 ... quit due to timeout. ", LineKind::Other},
    {"BANNED: '10.0.0.9' for Join Flood.", LineKind::Other},
    {"ADMIN-QUIT: 'boss', ID = 0 ... quit due to timeout.", LineKind::Other},
    {"---> Rico: Kill: 1 2", LineKind::Other},
    {"JOIN: 'Rico', PlayerID = 3 (10.1.2.3)", LineKind::Other},
    {"", LineKind::Other},
    {"Join: 3" + kSep + "Rico" + kSep + "10.1.2.3", LineKind::Malformed},
    {"Join: 3" + kSep + "Rico" + kSep + "10.1.2" + kSep, LineKind::Malformed},
    {"Join: 3" + kSep + "Rico" + kSep + "10.1.2.256" + kSep, LineKind::Malformed},
    {"Join: x" + kSep + "Rico" + kSep + "10.1.2.3" + kSep, LineKind::Malformed},
    {"Join: 3" + kSep + kSep + "10.1.2.3" + kSep, LineKind::Malformed},
    {"Join: 3" + kSep + "Ri\tco" + kSep + "10.1.2.3" + kSep, LineKind::Malformed},
    {"Join: 3" + kSep + "Rico" + kSep + "10.1.2.3" + kSep + "extra", LineKind::Malformed},
    {"Quit: ", LineKind::Malformed},
    {"Quit: 3 4", LineKind::Malformed},
    {"Kill: 4", LineKind::Malformed},
    {"Kill: 4 x", LineKind::Malformed},
    {"Kill: 4  7", LineKind::Malformed},
    {"Death: +", LineKind::Malformed},
    {"Veh: 2 128", LineKind::Malformed},
    {"Wea: 2 -129", LineKind::Malformed},
    {"ServerInit: Test" + kSep + "2003" + kSep + "Skyr:PB" + kSep + "16", LineKind::Malformed},
    {"ServerInit: Test" + kSep + "port" + kSep + "Skyr:PB" + kSep + "16" + kSep, LineKind::Malformed},
    {"ServerInit: " + kSep + "2003" + kSep + "Skyr:PB" + kSep + "16" + kSep, LineKind::Malformed},
};

TEST(LogLineTest, ReadsEveryKindOfLineWithAndWithoutTimeStampAndCarriageReturn) {
    for (const LineCase& lineCase : kLineCases) {
        for (const bool stamped : {false, true}) {
            for (const char* lineEnd : {"", "\r"}) {
                const std::string text = (stamped ? std::string(kStamp) : "") + lineCase.text + lineEnd;
                SCOPED_TRACE(text);
                const LogLine line = parseLogLine(text);
                EXPECT_EQ(line.kind, lineCase.kind);
                EXPECT_EQ(line.time,
                          stamped ? std::optional<std::int64_t>(kStampMilliseconds) : std::nullopt);
                if (line.kind == LineKind::Malformed || line.kind == LineKind::Other) continue;
                EXPECT_EQ(line.slot, lineCase.slot);
                EXPECT_EQ(line.value, lineCase.value);
                EXPECT_EQ(line.playerName, lineCase.name);
            }
        }
    }
}

TEST(LogLineTest, RemovalsTellHowTheSessionEnded) {
    const std::pair<std::string, SessionEnd> cases[] = {
        {"QUIT: 'a', PlayerID = 1 ... quit due to timeout.", SessionEnd::Timeout},
        {"QUIT: 'a', PlayerID = 1 ... quit due to chat flood.", SessionEnd::Flood},
        {"BANNED: 'a', PlayerID = 1 ... banned due to chat flood.", SessionEnd::Flood},
        {"QUIT: 'a', PlayerID = 1 ... quit due to client crc timeout.", SessionEnd::Checksum},
        {"QUIT: 'a', PlayerID = 1 ... quit due to client crc mismatch.", SessionEnd::Checksum},
        {"QUIT: 'a', PlayerID = 1 ... client quit due to trainer usage", SessionEnd::Trainer},
        {"KICKED: 'a', PlayerID = 1 by Admin x", SessionEnd::Kick},
        {"BANNED: 'a', PlayerID = 1 by Admin x", SessionEnd::Ban},
    };
    for (const auto& [text, end] : cases) {
        SCOPED_TRACE(text);
        const LogLine line = parseLogLine(text);
        ASSERT_EQ(line.kind, LineKind::PlayerRemoved);
        EXPECT_EQ(line.end, end);
        EXPECT_EQ(sessionEndFromText(sessionEndText(end)), end);
    }
}

TEST(LogLineTest, ServerInitTakesItsNameFromBeforeTheLastThreeFields) {
    const LogLine line =
        parseLogLine("ServerInit: My " + kSep + " Server" + kSep + "02003" + kSep + kSep + "26" + kSep);
    ASSERT_EQ(line.kind, LineKind::ServerInit);
    EXPECT_EQ(line.serverName, "My " + kSep + " Server");
    EXPECT_EQ(line.port, "02003");
    EXPECT_EQ(line.gameLabel, "");
    EXPECT_EQ(line.slots, 26);
}

TEST(LogLineTest, TimeStampsMustBeWholeAndValid) {
    EXPECT_EQ(parseTimeStamp("1970-01-01T00:00:00.000Z"), 0);
    EXPECT_EQ(parseTimeStamp("2024-02-29T23:59:59.999Z"), 1709251199999);
    EXPECT_EQ(parseTimeStamp(std::string(kStamp)), kStampMilliseconds);
    for (const char* bad : {"2026-13-10T12:00:00.123Z", "2026-02-29T12:00:00.123Z",
                            "2026-12-10T24:00:00.123Z", "2026-12-10 12:00:00.123Z", "2026-12-10T12:00:00.123",
                            "2026-12-10T12:00:00,123Z", "2026-1-10T12:00:00.123Z "}) {
        EXPECT_EQ(parseTimeStamp(bad), std::nullopt) << bad;
    }
    // A line whose stamp is not one is read as if it had none: here it is no statistics line at all.
    const LogLine line = parseLogLine("2026-13-10T12:00:00.123Z Quit: 3");
    EXPECT_EQ(line.kind, LineKind::Other);
    EXPECT_EQ(line.time, std::nullopt);
}

TEST(CalendarTest, DatesWeekdaysAndDurations) {
    for (const std::int64_t day : {-719468LL, -1LL, 0LL, 11016LL, 20432LL, 2932896LL}) {
        EXPECT_EQ(daysFromCivil(civilFromDays(day)), day);
    }
    EXPECT_EQ(formatDate(kStampMilliseconds), "2026-12-10");
    EXPECT_EQ(formatDateTime(kStampMilliseconds), "2026-12-10 12:00");
    EXPECT_EQ(weekdayOf(kStampMilliseconds), 3);  // a Thursday
    EXPECT_EQ(weekdayOf(0), 3);                   // 1970-01-01 was a Thursday too
    EXPECT_EQ(weekdayOf(-1), 2);
    EXPECT_EQ(hourOf(kStampMilliseconds), 12);
    EXPECT_EQ(formatDuration(45'999), "45 s");
    EXPECT_EQ(formatDuration(3'599'000), "59 min");
    EXPECT_EQ(formatDuration(3'600'000 * 27 + 5 * 60'000), "27 h 05 min");
}

}  // namespace
}  // namespace varnstats
