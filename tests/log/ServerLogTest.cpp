#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/ServerLogFixture.h"
#include "platform/Clock.h"
#include "support/FileText.h"

namespace varn {
namespace {

using testing::readFile;

class ServerLogTest : public testing::ServerLogFixture {};

TEST_F(ServerLogTest, PiecesFormLinesAndMarkersStayInTheFile) {
    const auto path = directory / "server.log";
    std::ofstream(path) << "old content\n";
    ASSERT_TRUE(log.open(path.string()));
    log.write("SERVER: A total of ", false);
    log.write(std::uint64_t{5'000'000'000}, false);
    log.write(" bytes were received and ", false);
    log.write(-7, false);
    log.write(" bytes were sent.");
    log.write("Join: 0\xA9name\xA9", true, false);
    log.write("");
    log.close();
    EXPECT_EQ(readFile(path), testing::asFileText("- VarnServer log opened -\n"
                                                  "SERVER: A total of 5000000000 bytes were received and -7 "
                                                  "bytes were sent.\n"
                                                  "Join: 0\xA9name\xA9\n"
                                                  "\n"
                                                  "- VarnServer log closed -\n"));
    EXPECT_EQ(console.str(), "SERVER: A total of 5000000000 bytes were received and -7 bytes were sent.\n\n");
}

TEST_F(ServerLogTest, QuietModeSilencesTheConsoleOnly) {
    const auto path = directory / "quiet.log";
    log.setQuiet(true);
    ASSERT_TRUE(log.open(path.string()));
    log.write("JOIN: 'a', PlayerID = ", false);
    log.write(0, false);
    log.write(" (127.0.0.1)");
    log.close();
    EXPECT_EQ(console.str(), "");
    const std::string line = testing::asFileText("JOIN: 'a', PlayerID = 0 (127.0.0.1)\n");
    EXPECT_NE(readFile(path).find(line), std::string::npos);
}

TEST_F(ServerLogTest, UnopenableFileLeavesTheConsole) {
    EXPECT_FALSE(log.open((directory / "missing" / "server.log").string()));
    EXPECT_FALSE(log.isOpen());
    log.write("still here");
    EXPECT_EQ(console.str(), "still here\n");
}

TEST_F(ServerLogTest, ReopeningClosesTheFirstFileWithItsMarker) {
    const auto first = directory / "first.log", second = directory / "second.log";
    ASSERT_TRUE(log.open(first.string()));
    ASSERT_TRUE(log.open(second.string()));
    EXPECT_EQ(readFile(first), testing::asFileText("- VarnServer log opened -\n- VarnServer log closed -\n"));
}

TEST(UtcTimestampTest, CalendarMillisecondsBecomeIsoUtcText) {
    struct Case {
        std::int64_t milliseconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1'796'904'000'123, "2026-12-10T12:00:00.123Z"},
        {946'684'799'999, "1999-12-31T23:59:59.999Z"},
        {951'868'799'000, "2000-02-29T23:59:59.000Z"},
        {1'709'164'800'007, "2024-02-29T00:00:00.007Z"},
        {4'107'542'400'000, "2100-03-01T00:00:00.000Z"},
        {253'402'300'799'999, "9999-12-31T23:59:59.999Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& testCase : cases) EXPECT_EQ(utcTimestamp(testCase.milliseconds), testCase.text);
}

// Every line of the file starts with the time its first piece was written at, once, whatever the
// line is made of; the console is never stamped.
TEST_F(ServerLogTest, TimestampsStartEveryFileLineOnce) {
    const auto path = directory / "stamped.log";
    platform::ManualClock clock(1'796'904'000);
    clock.setCalendarMillisecondPart(123);
    log.setTimestampClock(&clock);
    ASSERT_TRUE(log.open(path.string()));
    log.write("SERVER: A total of ", false);
    clock.advanceSeconds(1);
    log.write(12, false);
    log.write(" bytes were received.");
    log.write("Join: 0\xA9name\xA9", true, false);
    log.write("");
    clock.stepCalendarSeconds(3600);
    log.write("JOIN: 'a'");
    log.close();

    EXPECT_EQ(readFile(path), testing::asFileText("2026-12-10T12:00:00.123Z - VarnServer log opened -\n"
                                                  "2026-12-10T12:00:00.123Z SERVER: A total of 12 bytes were "
                                                  "received.\n"
                                                  "2026-12-10T12:00:01.123Z Join: 0\xA9name\xA9\n"
                                                  "2026-12-10T12:00:01.123Z \n"
                                                  "2026-12-10T13:00:01.123Z JOIN: 'a'\n"
                                                  "2026-12-10T13:00:01.123Z - VarnServer log closed -\n"));
    EXPECT_EQ(console.str(), "SERVER: A total of 12 bytes were received.\n\nJOIN: 'a'\n");
}

}  // namespace
}  // namespace varn
