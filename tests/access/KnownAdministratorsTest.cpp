#include "access/KnownAdministrators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "access/BanDetails.h"
#include "access/BanListFixture.h"
#include "net/PeerAddress.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "support/FaultyFileSystem.h"
#include "support/FileText.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::uint32_t address(std::uint32_t lastOctet) { return PeerAddress::fromHostOrder(0x7F000000u | lastOctet, 1).address; }

class KnownAdministratorsTest : public testing::BanListFixture {
protected:
    testing::LogCapture log;
    testing::FaultyFileSystem files;
    platform::ManualClock clock{1796904000};  // 2026-12-10T12:00:00Z
};

// A login is written at once (the file is made when missing) and read back after a restart; lines
// that cannot be read, and logins older than the days kept, are left out; a login within the hour
// of the last one from the same address writes nothing.
TEST_F(KnownAdministratorsTest, LoginsAreKeptForTheirDaysAcrossRestarts) {
    const std::string path = pathOf(KnownAdministrators::kFileName);
    {
        KnownAdministrators known(files, clock, 7);
        ASSERT_TRUE(known.load(path));
        EXPECT_EQ(known.size(), 0u);
        EXPECT_FALSE(fs::exists(path));
        known.remember(address(9));
        EXPECT_EQ(readBytes(path), testing::asFileText("127.0.0.9 2026-12-10T12:00:00Z\n"));
        EXPECT_TRUE(known.isKnown(address(9)));
        EXPECT_FALSE(known.isKnown(address(8)));
        files.forgetOpened();
        clock.advanceSeconds(60);
        known.remember(address(9));
        EXPECT_TRUE(files.opened().empty()) << "nothing new to write";
    }
    writeBytes(path, testing::asFileText("127.0.0.9 2026-12-10T12:00:00Z\n"
                                         "127.0.0.10 2026-12-01T12:00:00Z\n"
                                         "not an address 2026-12-10T12:00:00Z\n"
                                         "127.0.0.11 yesterday\n"
                                         "127.0.0.12 2026-12-09T12:00:00Z\n"));
    clock.advanceSeconds(86400);
    KnownAdministrators restarted(files, clock, 7);
    ASSERT_TRUE(restarted.load(path));
    EXPECT_EQ(restarted.size(), 2u);
    EXPECT_TRUE(restarted.isKnown(address(9)));
    EXPECT_TRUE(restarted.isKnown(address(12)));
    EXPECT_FALSE(restarted.isKnown(address(10))) << "nine days old";
    clock.advanceSeconds(6 * 86400);
    EXPECT_FALSE(restarted.isKnown(address(9))) << "seven days since its login";
    EXPECT_TRUE(log.lines().empty());
}

// A file that is there but cannot be read is never written over; a failing save is told.
TEST_F(KnownAdministratorsTest, AnUnreadableFileIsKeptAndFailingSavesAreTold) {
    fs::create_directory(pathOf("folder"));
    KnownAdministrators unreadable(files, clock, 7);
    EXPECT_FALSE(unreadable.load(pathOf("folder")));
    EXPECT_EQ(log.lines(), Lines{"SERVER-WARNING: Unable to read the known administrators' addresses '" +
                                 pathOf("folder") + "' (not a regular file); none are known."});
    files.forgetOpened();
    unreadable.remember(address(9));
    EXPECT_TRUE(files.opened().empty());
    EXPECT_TRUE(fs::is_directory(pathOf("folder")));

    log.clear();
    KnownAdministrators failing(files, clock, 7);
    ASSERT_TRUE(failing.load(pathOf("known.txt")));
    files.fail(testing::FaultyFileSystem::Step::Write, ENOSPC, 1);
    failing.remember(address(9));
    EXPECT_TRUE(failing.isKnown(address(9))) << "known for this run all the same";
    EXPECT_EQ(log.lines(), Lines{"SERVER-WARNING: Unable to save the known administrators' addresses '" +
                                 pathOf("known.txt") + "' (No space left on device)."});
}

// However long the file (a remembered address per line, written by anybody with access to the
// folder), the start-up reads it in time that grows with its length, not its square: 50,000 lines
// took seconds when every line beyond the 256 kept cost a pass over all of them. The addresses with
// the newest logins are the ones kept.
TEST_F(KnownAdministratorsTest, ALongFileLoadsQuicklyAndKeepsTheNewest) {
    std::string content;
    for (std::uint32_t line = 0; line < 50'000; ++line) {
        content += PeerAddress::fromHostOrder(0x0A000000u | line, 1).ipText().view();
        content += ' ' + utcDateText(clock.calendarSeconds() - line) + '\n';
    }
    writeBytes(pathOf("long.txt"), content);
    // The best of three loads, so that a busy machine does not decide it.
    long long best = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        KnownAdministrators known(files, clock, 7);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(known.load(pathOf("long.txt")));
        const long long taken =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (best < 0 || taken < best) best = taken;
        EXPECT_EQ(known.size(), KnownAdministrators::kMaxAddresses);
    }
    EXPECT_LT(best, 1000) << "milliseconds to load 50,000 lines";

    KnownAdministrators known(files, clock, 7);
    ASSERT_TRUE(known.load(pathOf("long.txt")));
    const auto addressOfLine = [](std::uint32_t line) { return PeerAddress::fromHostOrder(0x0A000000u | line, 1).address; };
    EXPECT_TRUE(known.isKnown(addressOfLine(0)));
    EXPECT_TRUE(known.isKnown(addressOfLine(KnownAdministrators::kMaxAddresses - 1)));
    EXPECT_FALSE(known.isKnown(addressOfLine(KnownAdministrators::kMaxAddresses))) << "the oldest logins go";
}

}  // namespace
}  // namespace varn
