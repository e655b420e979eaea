#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>

#include "log/ServerLogFixture.h"
#include "platform/Clock.h"
#include "support/FileText.h"

namespace varn {
namespace {

using testing::readFile;

class ServerLogTest : public testing::ServerLogFixture {};

template <typename T>
concept LinePiece = requires(ServerLog& log, const T& piece) { log.line("x", piece); };
template <typename T>
concept FileOnlyPiece = requires(ServerLog& log, const T& piece) { log.fileOnly(piece, "x"); };

static_assert(LinePiece<std::int8_t> && LinePiece<std::uint8_t> && LinePiece<std::int16_t> &&
              LinePiece<std::uint16_t> && LinePiece<std::int32_t> && LinePiece<std::uint32_t> &&
              LinePiece<long> && LinePiece<std::int64_t> && LinePiece<std::uint64_t> &&
              LinePiece<std::size_t>);
static_assert(LinePiece<const char*> && LinePiece<char[4]> && LinePiece<std::string> &&
              LinePiece<std::string_view> && FileOnlyPiece<std::string> && FileOnlyPiece<std::int32_t>);
// A flag or a byte says nothing about whether it is meant as a number or a letter.
static_assert(!LinePiece<bool> && !LinePiece<char> && !LinePiece<char8_t> && !LinePiece<wchar_t> &&
              !FileOnlyPiece<bool> && !FileOnlyPiece<char>);
static_assert(!LinePiece<double> && !LinePiece<const void*>);

TEST_F(ServerLogTest, PiecesFormLinesAndMarkersStayInTheFile) {
    const auto path = directory / "server.log";
    std::ofstream(path) << "old content\n";
    ASSERT_TRUE(log.open(path.string()));
    log.line("SERVER: A total of ", std::uint64_t{5'000'000'000}, " bytes were received and ", -7,
             " bytes were sent.");
    log.fileOnly("Join: 0\xA9name\xA9");
    log.line("");
    log.close();
    EXPECT_EQ(readFile(path), testing::asFileText("- VarnServer log opened -\n"
                                                  "SERVER: A total of 5000000000 bytes were received and -7 "
                                                  "bytes were sent.\n"
                                                  "Join: 0\xA9name\xA9\n"
                                                  "\n"
                                                  "- VarnServer log closed -\n"));
    EXPECT_EQ(console.str(), "SERVER: A total of 5000000000 bytes were received and -7 bytes were sent.\n\n");
}

TEST_F(ServerLogTest, IntegersOfEveryWidthAndMissingTextsFormOneLine) {
    const auto path = directory / "numbers.log";
    ASSERT_TRUE(log.open(path.string()));
    log.line(std::numeric_limits<std::int8_t>::min(), " ", std::numeric_limits<std::uint8_t>::max(), " ",
             std::numeric_limits<std::int16_t>::min(), " ", std::numeric_limits<std::uint16_t>::max(), " ",
             std::numeric_limits<std::int32_t>::min(), " ", std::numeric_limits<std::uint32_t>::max(), " ",
             std::numeric_limits<std::int64_t>::min(), " ", std::numeric_limits<std::uint64_t>::max(), " ",
             0, "|", static_cast<const char*>(nullptr), "|", std::string_view(), "|", std::string());
    log.close();
    const std::string line =
        "-128 255 -32768 65535 -2147483648 4294967295 -9223372036854775808 18446744073709551615 0|||\n";
    EXPECT_EQ(console.str(), line);
    EXPECT_EQ(readFile(path),
              testing::asFileText("- VarnServer log opened -\n" + line + "- VarnServer log closed -\n"));
}

TEST_F(ServerLogTest, QuietModeSilencesTheConsoleOnly) {
    const auto path = directory / "quiet.log";
    log.setQuiet(true);
    ASSERT_TRUE(log.open(path.string()));
    log.line("JOIN: 'a', PlayerID = ", 0, " (127.0.0.1)");
    log.close();
    EXPECT_EQ(console.str(), "");
    const std::string line = testing::asFileText("JOIN: 'a', PlayerID = 0 (127.0.0.1)\n");
    EXPECT_NE(readFile(path).find(line), std::string::npos);
}

TEST_F(ServerLogTest, UnopenableFileLeavesTheConsole) {
    EXPECT_FALSE(log.open((directory / "missing" / "server.log").string()));
    EXPECT_FALSE(log.isOpen());
    log.line("still here");
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

// Every line of the file starts with the time it was written at, once; the console is never stamped.
TEST_F(ServerLogTest, TimestampsStartEveryFileLineOnce) {
    const auto path = directory / "stamped.log";
    platform::ManualClock clock(1'796'904'000);
    clock.setCalendarMillisecondPart(123);
    log.setTimestampClock(&clock);
    ASSERT_TRUE(log.open(path.string()));
    log.line("SERVER: A total of ", 12, " bytes were received.");
    clock.advanceSeconds(1);
    log.fileOnly("Join: 0\xA9name\xA9");
    log.line("");
    clock.stepCalendarSeconds(3600);
    log.line("JOIN: 'a'");
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

// Diagnostics are for the operator at the terminal or the service manager's journal: never in the
// file, never on standard output, and not silenced by quiet mode.
TEST_F(ServerLogTest, DiagnosticsGoToStandardErrorOnly) {
    std::ostringstream errors;
    log.setErrorStream(&errors);
    const auto path = directory / "server.log";
    ASSERT_TRUE(log.open(path.string()));
    log.line("SERVER: one");
    log.diagnostic("warning: ", 2, " things");
    log.setQuiet(true);
    log.diagnostic("varnserver: quiet");
    log.close();
    EXPECT_EQ(errors.str(), "warning: 2 things\nvarnserver: quiet\n");
    EXPECT_EQ(console.str(), "SERVER: one\n");
    EXPECT_EQ(readFile(path),
              testing::asFileText("- VarnServer log opened -\nSERVER: one\n- VarnServer log closed -\n"));
}

TEST_F(ServerLogTest, AFailedOpenKeepsThePathAndTheReasonUntilAnOpenWorks) {
    EXPECT_EQ(log.openFailure(), "");
    const std::string missing = (directory / "no-such-folder" / "server.log").string();
    EXPECT_FALSE(log.open(missing));
    EXPECT_EQ(log.openFailure(), missing + ": No such file or directory");
    EXPECT_FALSE(log.open(directory.string())) << "a folder";
    EXPECT_EQ(log.openFailure().rfind(directory.string() + ": ", 0), 0u) << log.openFailure();
    EXPECT_GT(log.openFailure().size(), directory.string().size() + 2);
    ASSERT_TRUE(log.open((directory / "server.log").string()));
    EXPECT_EQ(log.openFailure(), "");
}

}  // namespace
}  // namespace varn
