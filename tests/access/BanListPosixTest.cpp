#include "access/BanList.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "access/BanListFixture.h"
#include "support/TestBanList.h"
#include "support/LogCapture.h"
#include "support/ReleasedFifo.h"

// How a save treats POSIX file modes, symbolic links, folders the server may not write to and a
// kill in the middle of a save; and a FIFO in place of the ban file. The Windows build leaves these
// out.
namespace varn {
namespace {

namespace fs = std::filesystem;

class BanListPosixTest : public testing::BanListFixture {};

TEST_F(BanListPosixTest, SaveKeepsFilePermissions) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "1.2.3.4\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    testing::TestBanList list;
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

    testing::TestBanList list;
    ASSERT_TRUE(list.load(link.string()));
    ASSERT_TRUE(list.add("5.6.7.8"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), target);
    EXPECT_EQ(readBytes(target.string()), "1.2.3.4\n5.6.7.8\n");
    // No temporary file is left beside either of them.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(BanListPosixTest, FifoInPlaceOfTheFileIsRefusedAtOnceLikeAMissingFile) {
    testing::ReleasedFifo fifo(pathOf("bans.txt"));
    ASSERT_TRUE(fifo.made());
    testing::TestBanList list;
    bool loaded = true;
    EXPECT_LT(testing::millisecondsTaken([&] { loaded = list.load(fifo.path()); }), 1000);
    EXPECT_FALSE(loaded);
    // Something is there that could not be read: every save fails with the reason, and nothing
    // is ever saved over it.
    testing::LogCapture log;
    EXPECT_FALSE(list.add("1.2.3.4"));
    EXPECT_TRUE(list.isBanned("1.2.3.4"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "SERVER-WARNING: Unable to save the Banned IP list (not a regular file)."}));
    EXPECT_TRUE(fs::is_fifo(fifo.path())) << "nothing is ever saved over it";
}

// Runs body in a child process as a user that may write the ban file but not its folder; what body
// returns comes back as text. As root the child becomes the user nobody, which owns only the file.
template <typename Body>
std::string runWhereTheFolderIsReadOnly(const fs::path& folder, const fs::path& file, Body body) {
    constexpr uid_t kNobody = 65534;
    const bool asRoot = ::geteuid() == 0;
    if (asRoot && ::chown(file.c_str(), kNobody, kNobody) != 0) return "chown failed";
    if (::chmod(folder.c_str(), 0555) != 0) return "chmod failed";
    int channel[2];
    if (::pipe(channel) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (asRoot && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(1);
        const std::string result = body();
        [[maybe_unused]] const ssize_t written = ::write(channel[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string result;
    char chunk[4096];
    for (ssize_t got; (got = ::read(channel[0], chunk, sizeof chunk)) > 0;) {
        result.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(folder.c_str(), 0755);
    return result;
}

// The folder takes no temporary file, only the file itself may be written: the operator is told at
// load, and every save writes the file in place, whole, and nothing beside it.
TEST_F(BanListPosixTest, FolderThatTakesNoNewFileIsToldAtLoadAndSavesGoInPlace) {
    const fs::path folder = dir_ / "locked";
    fs::create_directory(folder);
    const fs::path file = folder / "bans.txt";
    writeBytes(file.string(), "1.2.3.4\n10.0.0.0\n");
    const std::string result = runWhereTheFolderIsReadOnly(folder, file, [&] {
        testing::LogCapture log;
        testing::TestBanList list;
        std::ostringstream out;
        out << list.load(file.string()) << "|" << log.text() << "|";
        log.clear();
        out << list.add("5.6.7.8") << list.remove("1.2.3.4") << "|" << readBytes(file.string()) << "|"
            << log.text();
        return out.str();
    });
    EXPECT_EQ(result,
              "1|SERVER-WARNING: The folder '" + folder.string() +
                  "' does not take a temporary file (Permission denied), so saves of the Banned IP list "
                  "cannot be crash-safe there; make the folder writable.\n|11|10.0.0.0\n5.6.7.8\n|");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Every line a whole entry as the saving child writes them (10.a.b.c), each with its line end.
bool isWholeList(const std::string& text) {
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        const std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) return false;
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        int dots = 0;
        bool digitBefore = false;
        for (const char c : line) {
            if (c == '.') {
                if (!digitBefore) return false;
                ++dots;
                digitBefore = false;
            } else if (c >= '0' && c <= '9') {
                digitBefore = true;
            } else {
                return false;
            }
        }
        if (dots != 3 || !digitBefore || line.rfind("10.", 0) != 0) return false;
        lineStart = lineEnd + 1;
    }
    return true;
}

// Saves killed at random moments: the ban file is always a whole list (every line a whole entry),
// and the folder never holds more than one temporary file beside it, which the next save replaces.
TEST_F(BanListPosixTest, KilledSavesLeaveAWholeFileAndAtMostOneTemporaryFile) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "");
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> killAfterMicroseconds(500, 8000);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            testing::TestBanList list;
            if (!list.load(path)) ::_exit(1);
            for (int entry = 0; entry < 100000; ++entry) {
                list.add("10." + std::to_string(round) + "." + std::to_string(entry / 250) + "." +
                         std::to_string(entry % 250));
                if (entry % 3 == 2) list.remove(list.entries().front());
            }
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(killAfterMicroseconds(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        EXPECT_TRUE(isWholeList(readBytes(path))) << readBytes(path);
        EXPECT_LE(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
    }
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    ASSERT_TRUE(list.add("1.2.3.4"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace varn
