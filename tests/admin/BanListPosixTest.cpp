#include "admin/BanList.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "admin/BanListFixture.h"

// How a save treats POSIX file modes and symbolic links; the Windows build leaves these out.
namespace varn {
namespace {

namespace fs = std::filesystem;

class BanListPosixTest : public testing::BanListFixture {};

TEST_F(BanListPosixTest, SaveKeepsFilePermissions) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "1.2.3.4\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    BanList list;
    ASSERT_TRUE(list.load(path));
    ASSERT_TRUE(list.add("5.6.7.8"));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(readBytes(path), "1.2.3.4\n5.6.7.8\n");
}

TEST_F(BanListPosixTest, SaveThroughSymbolicLinkUpdatesTarget) {
    fs::create_directory(dir_ / "real");
    const fs::path target = dir_ / "real" / "bans.txt";
    const fs::path link = dir_ / "bans-link.txt";
    writeBytes(target.string(), "1.2.3.4\n");
    fs::create_symlink(target, link);

    BanList list;
    ASSERT_TRUE(list.load(link.string()));
    ASSERT_TRUE(list.add("5.6.7.8"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), target);
    EXPECT_EQ(readBytes(target.string()), "1.2.3.4\n5.6.7.8\n");
    // No temporary file is left beside either of them.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace varn
