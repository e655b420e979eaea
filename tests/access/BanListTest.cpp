#include "access/BanList.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/FileText.h"
#include "access/BanListFixture.h"
#include "support/TestBanList.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

using Entries = std::vector<std::string>;

class BanListTest : public testing::BanListFixture {
protected:
    // Entries added to a list without a file, so nothing is written anywhere.
    static void fill(BanList& list, const Entries& entries) {
        for (const std::string& entry : entries) list.add(entry);
    }
};

TEST_F(BanListTest, LoadSplitsLinesAsTheFileHoldsThem) {
    struct Case {
        const char* bytes;
        Entries expected;
    };
    const Case cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a\n", {"a"}},
        {"a", {"a"}},
        {"1.2.3.4\r\n5.6.0.0", {"1.2.3.4", "5.6.0.0"}},
        {"1.2.3.4\n\n5.6.0.0\n", {"1.2.3.4", "", "5.6.0.0"}},
        {"1.2.3.4\r\n\r\n5.6.0.0\r\n", {"1.2.3.4", "", "5.6.0.0"}},
        // Only a CR right before an LF belongs to the line end.
        {"a\rb\n\r\r\nc\r", {"a\rb", "\r", "c\r"}},
        {"x\n\n\n", {"x", "", ""}},
    };
    const std::string path = pathOf("bans.txt");
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.bytes)));
        writeBytes(path, c.bytes);
        testing::TestBanList list;
        ASSERT_TRUE(list.load(path));
        EXPECT_EQ(list.entries(), c.expected);
        EXPECT_EQ(list.filePath(), path);
    }
}

TEST_F(BanListTest, LoadWritesNothingAndNextSaveWritesEveryEntryWithLineEnd) {
    const std::string path = pathOf("bans.txt");
    const std::string original = "1.2.3.4\r\n\r\n5.6.0.0";
    writeBytes(path, original);
    {
        testing::TestBanList list;
        ASSERT_TRUE(list.load(path));
        EXPECT_EQ(readBytes(path), original);
        ASSERT_TRUE(list.save());
        EXPECT_EQ(readBytes(path), testing::asFileText("1.2.3.4\n\n5.6.0.0\n"));
        ASSERT_TRUE(list.add("7.7.7.7"));
        EXPECT_EQ(readBytes(path), testing::asFileText("1.2.3.4\n\n5.6.0.0\n7.7.7.7\n"));
    }
    testing::TestBanList reloaded;
    ASSERT_TRUE(reloaded.load(path));
    EXPECT_EQ(reloaded.entries(), (Entries{"1.2.3.4", "", "5.6.0.0", "7.7.7.7"}));
}

TEST_F(BanListTest, SecondLoadReplacesEntriesAndPath) {
    const std::string first = pathOf("first.txt");
    const std::string second = pathOf("second.txt");
    writeBytes(first, "1.1.1.1\n2.2.2.2\n");
    writeBytes(second, "3.3.3.3\n");
    testing::TestBanList list;
    ASSERT_TRUE(list.load(first));
    ASSERT_TRUE(list.load(second));
    EXPECT_EQ(list.entries(), (Entries{"3.3.3.3"}));
    EXPECT_EQ(list.filePath(), second);
    ASSERT_TRUE(list.add("4.4.4.4"));
    EXPECT_EQ(readBytes(first), "1.1.1.1\n2.2.2.2\n");
    EXPECT_EQ(readBytes(second), testing::asFileText("3.3.3.3\n4.4.4.4\n"));
}

// A missing file is no reason to lose bans: the list keeps the path, and the first save creates
// the file, which the next start reads.
TEST_F(BanListTest, MissingFileIsCreatedByTheFirstSave) {
    const std::string missing = pathOf("missing.txt");
    {
        testing::TestBanList unchanged;
        EXPECT_FALSE(unchanged.load(missing));
        EXPECT_FALSE(unchanged.save());
    }
    EXPECT_FALSE(fs::exists(missing)) << "a list that never changed has nothing to create";
    {
        testing::TestBanList list;
        EXPECT_FALSE(list.load(missing));
        EXPECT_TRUE(list.entries().empty());
        EXPECT_EQ(list.filePath(), missing);
        EXPECT_FALSE(fs::exists(missing)) << "loading writes nothing";

        EXPECT_TRUE(list.add("9.9.9.9"));
        EXPECT_TRUE(list.addAddress(PeerAddress::fromHostOrder(0x0A000001, 4000)));
        EXPECT_EQ(list.entries(), (Entries{"9.9.9.9", "10.0.0.1"}));
        EXPECT_TRUE(list.isBanned("9.9.9.9"));
        EXPECT_TRUE(list.isBannedAddress(PeerAddress::fromHostOrder(0x0A000001, 5000)));
        EXPECT_EQ(readBytes(missing), testing::asFileText("9.9.9.9\n10.0.0.1\n"));
    }
    testing::TestBanList restarted;
    ASSERT_TRUE(restarted.load(missing));
    EXPECT_EQ(restarted.entries(), (Entries{"9.9.9.9", "10.0.0.1"}));
}

TEST_F(BanListTest, FailedLoadKeepsEarlierEntriesAndPath) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "1.2.3.4\n");
    fs::create_directory(pathOf("folder"));
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    EXPECT_FALSE(list.load(pathOf("missing.txt")));
    EXPECT_FALSE(list.load(pathOf("folder")));
    EXPECT_EQ(list.entries(), (Entries{"1.2.3.4"}));
    EXPECT_EQ(list.filePath(), path);
}

TEST_F(BanListTest, FailedSaveKeepsChangeInMemory) {
    const fs::path sub = dir_ / "sub";
    fs::create_directory(sub);
    const std::string path = (sub / "bans.txt").string();
    writeBytes(path, "1.2.3.4\n");
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    fs::remove_all(sub);

    EXPECT_FALSE(list.add("5.6.7.8"));
    EXPECT_EQ(list.entries(), (Entries{"1.2.3.4", "5.6.7.8"}));
    EXPECT_TRUE(list.isBanned("5.6.7.8"));
    // The entry is gone whatever the save gave, and remove says so.
    EXPECT_TRUE(list.remove("1.2.3.4"));
    EXPECT_EQ(list.entries(), (Entries{"5.6.7.8"}));
    EXPECT_FALSE(fs::exists(sub));
}

TEST_F(BanListTest, DuplicatesAreKeptAndRemoveTakesOnlyTheFirst) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "");
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    ASSERT_TRUE(list.add("1.2.3.4"));
    ASSERT_TRUE(list.add("5.6.0.0"));
    ASSERT_TRUE(list.add("1.2.3.4"));
    EXPECT_EQ(readBytes(path), testing::asFileText("1.2.3.4\n5.6.0.0\n1.2.3.4\n"));

    ASSERT_TRUE(list.remove("1.2.3.4"));
    EXPECT_EQ(list.entries(), (Entries{"5.6.0.0", "1.2.3.4"}));
    EXPECT_EQ(readBytes(path), testing::asFileText("5.6.0.0\n1.2.3.4\n"));

    // A failed remove must not save: the marker shows the file was left alone.
    writeBytes(path, "marker\n");
    EXPECT_FALSE(list.remove("5.6.7.8"));
    EXPECT_FALSE(list.remove("5.6.0"));
    EXPECT_EQ(list.entries(), (Entries{"5.6.0.0", "1.2.3.4"}));
    EXPECT_EQ(readBytes(path), "marker\n");
    // The file as the list left it: a marker left there would be an operator's edit that saves keep.
    writeBytes(path, testing::asFileText("5.6.0.0\n1.2.3.4\n"));

    ASSERT_TRUE(list.remove("5.6.0.0"));
    ASSERT_TRUE(list.remove("1.2.3.4"));
    EXPECT_TRUE(list.entries().empty());
    EXPECT_EQ(readBytes(path), testing::asFileText(""));
}

TEST_F(BanListTest, MalformedAndEmptyEntriesAreStoredAsGiven) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "");
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    ASSERT_TRUE(list.add("not an address"));
    ASSERT_TRUE(list.add(""));
    ASSERT_TRUE(list.add("300.1.1.1"));
    EXPECT_EQ(readBytes(path), testing::asFileText("not an address\n\n300.1.1.1\n"));
    ASSERT_TRUE(list.remove(""));
    EXPECT_EQ(readBytes(path), testing::asFileText("not an address\n300.1.1.1\n"));
}

TEST_F(BanListTest, MatchTestTakesExactTextOrZeroOctetRanges) {
    struct Case {
        const char* entry;
        const char* peer;
        bool banned;
    };
    const Case cases[] = {
        {"1.2.3.4", "1.2.3.4", true},
        {"1.2.3.4", "1.2.3.5", false},
        {"1.2.3.4", "1.2.3.40", false},
        {"192.168.0.0", "192.168.4.20", true},
        {"192.168.0.0", "192.169.4.20", false},
        {"10.0.5.0", "10.7.5.9", true},
        {"10.0.5.0", "10.7.6.9", false},
        {"0.2.3.4", "99.2.3.4", true},
        {"0.2.3.4", "99.2.3.5", false},
        {"0.0.0.0", "8.8.4.4", true},
        {"0.0.0.0", "255.255.255.255", true},
        {"255.0.0.0", "255.255.255.255", true},
        {"255.255.255.255", "255.255.255.255", true},
        {"255.255.255.255", "255.255.255.254", false},
        // A wildcard only works from the entry's side.
        {"1.2.3.4", "1.2.0.0", false},
        // Fewer parts: the last part fills the remaining low octets.
        {"10", "1.2.3.10", true},
        {"10", "10.1.2.3", false},
        {"10.5", "10.9.9.5", true},
        {"10.5", "10.5.0.0", false},
        {"1.2.3", "1.2.77.3", true},
        {"1.2.3", "1.2.3.77", false},
        {"1.2.770", "1.2.3.2", true},
        {"127.1", "127.0.0.1", true},
        {"127.0.0.1", "127.1", true},
        {"167772160", "10.3.4.5", true},
        // Hexadecimal and octal parts.
        {"0x0A.0.0.0", "10.1.1.1", true},
        {"0xc0.0xA8.0.0", "192.168.3.3", true},
        {"012.0.0.0", "10.1.1.1", true},
        {"010.0.0.0", "10.1.1.1", false},
        {"010.0.0.0", "8.1.1.1", true},
        {"0.0.0.0", "0x7f.0.0.1", true},
        // Rejected texts take part in the exact pass only.
        {"", "", true},
        {"", "1.2.3.4", false},
        {"", "0.0.0.0", false},
        {"not an address", "not an address", true},
        {"not an address", "1.2.3.4", false},
        {"not an address", "255.255.255.255", false},
        {"300.0.0.0", "44.1.2.3", false},
        {"300.0.0.0", "255.255.255.255", false},
        {"08.0.0.0", "8.1.1.1", false},
        {"1.2.3.4.5", "1.2.3.4", false},
        {"0.0.0.0", "not an address", false},
        {"0.0.0.0", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("entry '") + c.entry + "', peer '" + c.peer + "'");
        testing::TestBanList list;
        fill(list, {c.entry});
        EXPECT_EQ(list.isBanned(c.peer), c.banned);
    }
}

TEST_F(BanListTest, OctetPassLooksAtEveryEntry) {
    testing::TestBanList list;
    fill(list, {"not an address", "", "300.0.0.0", "9.9.9.9", "5.6.0.0"});
    EXPECT_TRUE(list.isBanned("5.6.7.8"));
    EXPECT_TRUE(list.isBanned("9.9.9.9"));
    EXPECT_FALSE(list.isBanned("5.7.7.8"));
    EXPECT_FALSE(list.isBanned("255.255.255.255"));
    EXPECT_FALSE(testing::TestBanList().isBanned("1.2.3.4"));
    EXPECT_FALSE(testing::TestBanList().isBanned(""));
}

TEST_F(BanListTest, AddressChecksIgnoreThePort) {
    testing::TestBanList list;
    list.addAddress(PeerAddress::fromHostOrder(0x7F000001, 4000));
    list.add("192.168.0.0");
    EXPECT_EQ(list.entries(), (Entries{"127.0.0.1", "192.168.0.0"}));
    EXPECT_TRUE(list.isBannedAddress(PeerAddress::fromHostOrder(0x7F000001, 4000)));
    EXPECT_TRUE(list.isBannedAddress(PeerAddress::fromHostOrder(0x7F000001, 61000)));
    EXPECT_FALSE(list.isBannedAddress(PeerAddress::fromHostOrder(0x7F000002, 4000)));
    EXPECT_TRUE(list.isBannedAddress(PeerAddress::fromHostOrder(0xC0A80414, 1)));
    EXPECT_FALSE(list.isBannedAddress(PeerAddress::fromHostOrder(0xC0A90414, 1)));
}

TEST_F(BanListTest, ListTextWritesEntriesWithBars) {
    std::array<char, 64> buffer{};
    const testing::TestBanList empty;
    EXPECT_EQ(empty.listText(buffer), 0u);

    testing::TestBanList two;
    fill(two, {"1.2.3.4", "10.0.0.0"});
    ASSERT_EQ(two.listText(buffer), 17u);
    EXPECT_EQ(std::string(buffer.data(), 17), "1.2.3.4|10.0.0.0|");

    testing::TestBanList withBlank;
    fill(withBlank, {"", "a", ""});
    ASSERT_EQ(withBlank.listText(buffer), 4u);
    EXPECT_EQ(std::string(buffer.data(), 4), "|a||");
}

TEST_F(BanListTest, ListTextStopsBeforeFirstEntryThatDoesNotFit) {
    testing::TestBanList list;
    fill(list, {"1.2.3.4", "10.0.0.0", "5.5.5.5"});
    struct Case {
        std::size_t size;
        const char* expected;
    };
    const Case cases[] = {
        {0, ""},
        {7, ""},
        {8, "1.2.3.4|"},
        {16, "1.2.3.4|"},
        {17, "1.2.3.4|10.0.0.0|"},
        {24, "1.2.3.4|10.0.0.0|"},
        {25, "1.2.3.4|10.0.0.0|5.5.5.5|"},
        {40, "1.2.3.4|10.0.0.0|5.5.5.5|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::array<char, 48> buffer;
        buffer.fill('#');
        const std::size_t written = list.listText(std::span<char>(buffer.data(), c.size));
        EXPECT_EQ(std::string(buffer.data(), written), c.expected);
        EXPECT_EQ(std::string(buffer.data() + c.size, buffer.size() - c.size),
                  std::string(buffer.size() - c.size, '#'));
    }

    // A later, shorter entry is not pulled in after one that did not fit.
    testing::TestBanList longFirst;
    fill(longFirst, {"a", "255.255.255.255", "b"});
    std::array<char, 6> small{};
    ASSERT_EQ(longFirst.listText(small), 2u);
    EXPECT_EQ(std::string(small.data(), 2), "a|");
}

TEST_F(BanListTest, DestructionSavesOnceMore) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "1.2.3.4\r\n5.6.0.0");
    {
        testing::TestBanList list;
        ASSERT_TRUE(list.load(path));
        // Gone meanwhile: the destruction's save makes it again (an edited file would be read first).
        std::filesystem::remove(path);
    }
    EXPECT_EQ(readBytes(path), testing::asFileText("1.2.3.4\n5.6.0.0\n"));
}

}  // namespace
}  // namespace varn
