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

// A first save moves a new file into place, later ones replace the old file; neither leaves the
// temporary file behind, and a CR LF file reads back with plain line ends.
TEST(WindowsFilesTest, SavesReplaceTheFileAndLeaveNothingBeside) {
    const fs::path directory = testing::makeTemporaryDirectory("varn-files-");
    ASSERT_FALSE(directory.empty());
    const std::string path = (directory / "banned.txt").string();

    ASSERT_TRUE(platform::replaceFileContent(path, "1.2.3.4\r\n"));
    ASSERT_TRUE(platform::replaceFileContent(path, "1.2.3.4\r\n5.6.7.8\r\n"));
    EXPECT_EQ(readBytes(path), "1.2.3.4\r\n5.6.7.8\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);

    std::string content;
    ASSERT_TRUE(platform::readTextFile(path, content));
    EXPECT_EQ(content, "1.2.3.4\n5.6.7.8\n");
    EXPECT_FALSE(platform::readTextFile(directory.string(), content)) << "a directory is no text file";

    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

}  // namespace
}  // namespace varn
