#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "log/ServerLogFixture.h"
#include "platform/Clock.h"

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

// A full disk: /dev/full takes the open but no byte. Every failed line is counted, the first and then
// one a minute is reported, the console goes on, and the first line written again is reported.
TEST_F(ServerLogPosixTest, FailedWritesAreCountedReportedOnceAMinuteAndTheirEndToo) {
    const auto link = directory / "server.log", good = directory / "good.log";
    std::filesystem::create_symlink("/dev/full", link);
    platform::ManualClock clock;
    std::ostringstream errors;
    log.setErrorStream(&errors);
    log.setReportClock(&clock);
    const std::string path = link.string();
    const std::string failure =
        "SERVER-ERROR: Unable to write the log file '" + path + "' (" + std::strerror(ENOSPC) + ").\n";

    ASSERT_TRUE(log.open(path));  // its opening marker already fails
    log.line("one");
    clock.advanceSeconds(59);
    log.line("two");
    EXPECT_EQ(errors.str(), failure) << "once a minute at most";
    EXPECT_EQ(log.writeFailures(), 3u);
    EXPECT_EQ(console.str(), "one\ntwo\n") << "the console goes on";

    clock.advanceSeconds(1);
    log.line("three");
    EXPECT_EQ(errors.str(), failure + failure);
    EXPECT_EQ(log.writeFailures(), 4u);

    // The disk has room again (the path now names a regular file).
    std::filesystem::remove(link);
    std::filesystem::create_symlink(good, link);
    ASSERT_TRUE(log.reopen());  // the closing marker fails, the opening marker is written
    log.line("four");
    EXPECT_EQ(errors.str(), failure + failure + "SERVER: Writing the log file '" + path + "' again.\n");
    EXPECT_EQ(log.writeFailures(), 5u);
    log.close();
    EXPECT_EQ(readFile(good), "- VarnServer log opened -\nfour\n- VarnServer log closed -\n");
}

}  // namespace
}  // namespace varn
