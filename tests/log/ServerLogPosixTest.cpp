#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "log/ServerLogFixture.h"

// Log rotation renames the open file before asking for a reopen (SIGUSR1): POSIX only, since Windows
// renames no open file.
namespace varn {
namespace {

using testing::readFile;

class ServerLogPosixTest : public testing::ServerLogFixture {};

TEST_F(ServerLogPosixTest, ReopenAfterRotationContinuesInANewFile) {
    const auto path = directory / "server.log", rotated = directory / "server.log.1";
    ASSERT_TRUE(log.open(path.string()));
    log.line("before");
    std::filesystem::rename(path, rotated);
    ASSERT_TRUE(log.reopen());
    log.line("after");
    ASSERT_TRUE(log.reopen());  // an existing file is appended to, not emptied
    log.close();
    EXPECT_EQ(readFile(rotated), "- VarnServer log opened -\nbefore\n- VarnServer log closed -\n");
    EXPECT_EQ(readFile(path),
              "- VarnServer log opened -\nafter\n- VarnServer log closed -\n"
              "- VarnServer log opened -\n- VarnServer log closed -\n");
    ServerLog withoutFile;
    EXPECT_FALSE(withoutFile.reopen());
}

// Standard error, captured for the life of the object.
class ErrorCapture {
public:
    ErrorCapture() : previous_(std::cerr.rdbuf(stream_.rdbuf())) {}
    ~ErrorCapture() { std::cerr.rdbuf(previous_); }
    std::string text() const { return stream_.str(); }

private:
    std::ostringstream stream_;
    std::streambuf* previous_;
};

TEST_F(ServerLogPosixTest, AFailedReopenIsReportedAndEveryLaterReopenTriesAgain) {
    const auto folder = directory / "logs", away = directory / "away";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string path = (folder / "server.log").string();
    ASSERT_TRUE(log.open(path));
    log.line("before");

    std::filesystem::rename(folder, away);
    ErrorCapture errors;
    EXPECT_FALSE(log.reopen());
    const std::string failure =
        "SERVER-ERROR: Unable to reopen the log file '" + path + "' (" + std::strerror(ENOENT) + ").\n";
    EXPECT_EQ(errors.text(), failure);
    log.line("while the folder is away");
    EXPECT_EQ(console.str(), "before\nwhile the folder is away\n") << "the console goes on";
    EXPECT_FALSE(log.reopen());
    EXPECT_EQ(errors.text(), failure + failure) << "each reopen tries again and says so";

    std::filesystem::rename(away, folder);
    ASSERT_TRUE(log.reopen());
    log.line("after");
    log.close();
    EXPECT_EQ(errors.text(), failure + failure);
    EXPECT_EQ(readFile(folder / "server.log"),
              "- VarnServer log opened -\nbefore\n- VarnServer log closed -\n"
              "- VarnServer log opened -\nafter\n- VarnServer log closed -\n");
}

}  // namespace
}  // namespace varn
