#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace varn
