#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/ServerLogFixture.h"
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

}  // namespace
}  // namespace varn
