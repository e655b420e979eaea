#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/Files.h"
#include "support/ReleasedFifo.h"
#include "support/TemporaryDirectory.h"

// The readers of the configuration, the ban file and motd.txt take regular files only, and never
// wait on anything else.
namespace varn {
namespace {

namespace fs = std::filesystem;

constexpr long long kAtOnceMilliseconds = 1000;

class FilesPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testing::makeTemporaryDirectory("varn-files-");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path dir_;
};

TEST_F(FilesPosixTest, ReaderRefusesAtOnceWhatIsNoRegularFile) {
    testing::ReleasedFifo fifo((dir_ / "fifo").string());
    ASSERT_TRUE(fifo.made());
    fs::create_symlink(dir_ / "fifo", dir_ / "link-to-fifo");
    fs::create_directory(dir_ / "folder");
    struct Case {
        const char* name;
        std::string path;
    };
    const Case cases[] = {
        {"a FIFO without a writer", fifo.path()},
        {"a symbolic link to a FIFO", (dir_ / "link-to-fifo").string()},
        {"a folder", (dir_ / "folder").string()},
        {"a device that is always empty", "/dev/null"},
        {"a device that never ends", "/dev/zero"},
        {"a missing file", (dir_ / "missing").string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string content = "untouched";
        bool read = true;
        // The bound keeps a reader that does take /dev/zero from filling the memory.
        EXPECT_LT(
            testing::millisecondsTaken([&] { read = platform::readTextFile(c.path, content, 1 << 20); }),
            kAtOnceMilliseconds);
        EXPECT_FALSE(read);
        EXPECT_EQ(content, "untouched");
        // The reason is looked for without opening what might block.
        std::string reason;
        EXPECT_LT(testing::millisecondsTaken([&] { reason = platform::whyFileCannotBeRead(c.path); }),
                  kAtOnceMilliseconds);
        EXPECT_EQ(reason, c.path == (dir_ / "missing").string() ? "No such file or directory" : "not a regular file");
    }
}

TEST_F(FilesPosixTest, ReaderTakesRegularFilesDirectlyOrThroughALink) {
    std::ofstream(dir_ / "motd.txt", std::ios::binary) << "Hi\r\nthere";
    fs::create_symlink(dir_ / "motd.txt", dir_ / "link");
    for (const char* name : {"motd.txt", "link"}) {
        SCOPED_TRACE(name);
        std::string content;
        ASSERT_TRUE(platform::readTextFile((dir_ / name).string(), content));
        EXPECT_EQ(content, "Hi\nthere");
    }
}

}  // namespace
}  // namespace varn
