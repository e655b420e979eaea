#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/ServerLog.h"
#include "support/TemporaryDirectory.h"

// Log rotation renames the open file before asking for a reopen (SIGUSR1): POSIX only, since Windows
// renames no open file.
namespace varn {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class ServerLogPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = testing::makeTemporaryDirectory("varn-log-");
        ASSERT_FALSE(directory.empty());
        log.setConsole(&console);
    }
    void TearDown() override {
        log.close();
        std::filesystem::remove_all(directory);
    }

    std::filesystem::path directory;
    std::ostringstream console;
    ServerLog log;
};

TEST_F(ServerLogPosixTest, ReopenAfterRotationContinuesInANewFile) {
    const auto path = directory / "server.log", rotated = directory / "server.log.1";
    ASSERT_TRUE(log.open(path.string()));
    log.write("before");
    std::filesystem::rename(path, rotated);
    ASSERT_TRUE(log.reopen());
    log.write("after");
    ASSERT_TRUE(log.reopen());  // an existing file is appended to, not emptied
    log.close();
    EXPECT_EQ(readFile(rotated), "- VarnServer log opened -\nbefore\n- VarnServer log closed -\n");
    EXPECT_EQ(readFile(path),
              "- VarnServer log opened -\nafter\n- VarnServer log closed -\n"
              "- VarnServer log opened -\n- VarnServer log closed -\n");
    ServerLog withoutFile;
    EXPECT_FALSE(withoutFile.reopen());
}

}  // namespace
}  // namespace varn
