#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Files.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class WindowsFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = testing::makeTemporaryDirectory("varn-files-");
        ASSERT_FALSE(directory_.empty());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    long long filesInFolder() const {
        return std::distance(fs::directory_iterator(directory_), fs::directory_iterator());
    }
    fs::path directory_;
};

// A first save moves a new file into place, later ones replace the old file; neither leaves the
// temporary file behind, and a CR LF file reads back with plain line ends.
TEST_F(WindowsFilesTest, SavesReplaceTheFileAndLeaveNothingBeside) {
    const std::string path = (directory_ / "banned.txt").string();
    platform::FileSystem& files = platform::FileSystem::system();
    const platform::SavePlan plan = platform::planSaves(files, path);
    ASSERT_TRUE(plan.crashSafe) << plan.folderError.message();
    EXPECT_EQ(plan.temporary, (directory_ / ".banned.txt.saving").string());

    EXPECT_FALSE(platform::saveFile(files, plan, "1.2.3.4\r\n"));
    EXPECT_FALSE(platform::saveFile(files, plan, "1.2.3.4\r\n5.6.7.8\r\n"));
    EXPECT_EQ(readBytes(path), "1.2.3.4\r\n5.6.7.8\r\n");
    EXPECT_EQ(filesInFolder(), 1);

    std::string content;
    ASSERT_TRUE(platform::readTextFile(path, content));
    EXPECT_EQ(content, "1.2.3.4\n5.6.7.8\n");
    EXPECT_FALSE(platform::readTextFile(directory_.string(), content)) << "a directory is no text file";
    EXPECT_FALSE(platform::readTextFile("NUL", content)) << "a device is no text file";
}

// Where the folder takes no temporary file the file is written over in place and cut to its new
// length.
TEST_F(WindowsFilesTest, InPlaceSaveWritesOverTheFileAndCutsIt) {
    const std::string path = (directory_ / "banned.txt").string();
    std::ofstream(path, std::ios::binary) << "1.2.3.4\r\n5.6.7.8\r\n";
    platform::FileSystem& files = platform::FileSystem::system();
    platform::SavePlan plan = platform::planSaves(files, path);
    plan.crashSafe = false;
    EXPECT_FALSE(platform::saveFile(files, plan, "9.9.9.9\r\n"));
    EXPECT_EQ(readBytes(path), "9.9.9.9\r\n");
    EXPECT_EQ(filesInFolder(), 1);
}

}  // namespace
}  // namespace varn
