#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "access/BanList.h"
#include "access/BanListFixture.h"
#include "support/TestBanList.h"
#include "protocol/BanEntryText.h"
#include "support/FileText.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// 2026-12-10T12:00:00Z
constexpr std::int64_t kNow = 1796904000;

std::string dotted(std::uint32_t hostAddress) {
    return std::to_string(hostAddress >> 24) + "." + std::to_string((hostAddress >> 16) & 0xFFu) + "." +
           std::to_string((hostAddress >> 8) & 0xFFu) + "." + std::to_string(hostAddress & 0xFFu);
}

BanDetails until(std::int64_t seconds) {
    BanDetails details;
    details.until = seconds;
    return details;
}

class BanListDetailsTest : public testing::BanListFixture {
protected:
    // The answer of a list holding only entry (with details) for a peer, by text and by address.
    static void expectMatch(const std::string& entry, const BanDetails& details, const std::string& peer,
                            bool banned) {
        SCOPED_TRACE("entry '" + entry + "', peer " + peer);
        testing::TestBanList list;
        list.add(entry, details);
        list.expireDue(kNow);
        EXPECT_EQ(list.isBanned(peer), banned);
        const std::optional<std::uint32_t> address = banAddressOf(peer);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(list.isBannedAddress(PeerAddress{*address, 4000}), banned);
    }

    testing::LogCapture log;
};

TEST_F(BanListDetailsTest, MatchesExactOctetZeroCidrAndOnlyUnexpiredEntries) {
    struct Case {
        const char* entry;
        BanDetails details;
        const char* peer;
        bool banned;
    };
    const Case cases[] = {
        {"1.2.3.4", {}, "1.2.3.4", true},
        {"1.2.3.4", {}, "1.2.3.5", false},
        {"10.0.5.0", {}, "10.77.5.9", true},
        {"10.0.5.0", {}, "10.77.6.9", false},
        // In a CIDR entry a 0 octet is a 0, and the bits beyond the prefix are ignored as written.
        {"10.0.0.0/16", {}, "10.0.200.1", true},
        {"10.0.0.0/16", {}, "10.1.0.0", false},
        {"10.1.2.3/8", {}, "10.200.0.1", true},
        {"10.1.2.3/8", {}, "11.1.2.3", false},
        {"0.0.0.0/0", {}, "203.0.113.9", true},
        {"203.0.113.9/32", {}, "203.0.113.9", true},
        {"203.0.113.9/32", {}, "203.0.113.8", false},
        // Details change nothing about matching; the date does.
        {"1.2.3.4", until(kNow + 1), "1.2.3.4", true},
        {"1.2.3.4", until(kNow), "1.2.3.4", false},
        {"1.2.3.4", until(kNow - 86400), "1.2.3.4", false},
        {"10.0.0.0/8", until(kNow + 3600), "10.9.9.9", true},
        {"10.0.0.0/8", until(kNow), "10.9.9.9", false},
    };
    for (const Case& c : cases) expectMatch(c.entry, c.details, c.peer, c.banned);

    // Every prefix length: the address that differs right after the prefix is in, the one that
    // differs in the prefix's last bit is out.
    const std::uint32_t base = 0xC0A8817Fu;  // 192.168.129.127
    for (int length = 0; length <= 32; ++length) {
        const std::string entry = dotted(base) + "/" + std::to_string(length);
        expectMatch(entry, {}, dotted(base), true);
        if (length < 32) expectMatch(entry, {}, dotted(base ^ (1u << (31 - length))), true);
        if (length > 0) expectMatch(entry, {}, dotted(base ^ (1u << (32 - length))), false);
    }
    // A text with a '/' that is no CIDR range matches only by its own text, as malformed entries do.
    // The address parser reads the last two as 10.0.0.0 (it stops at a space or a NUL).
    for (const std::string& entry : {"10.0.0.0/33"s, "10.0.0.0/"s, "10.0.0/8"s, "10.0 /8"s, "10.0\0/8"s}) {
        SCOPED_TRACE(::testing::PrintToString(entry));
        testing::TestBanList list;
        list.add(entry);
        EXPECT_TRUE(list.isBanned(entry));
        EXPECT_FALSE(list.isBanned("10.0.0.1"));
    }
    testing::TestBanList list;
    list.add("10.0.0.0/8");
    EXPECT_TRUE(list.isBanned("10.0.0.0/8"));
    list.remove("10.0.0.0/8");
    EXPECT_FALSE(list.isBanned("10.0.0.0/8"));
    EXPECT_FALSE(list.isBanned("10.0.0.1"));
}

TEST_F(BanListDetailsTest, FileRoundTripsKeepEveryLineByteForByte) {
    struct Case {
        const char* name;
        std::string file;
        Lines entries;
        Lines warnings;
    };
    const Case cases[] = {
        {"an old file", "1.2.3.4\n\n10.0.0.0\nnot an address\n1.2.3.4 #x\n", {"1.2.3.4", "", "10.0.0.0", "not an address",
                                                                               "1.2.3.4 #x"},
         {}},
        {"detailed lines",
         "10.1.2.3 # until=2099-12-31T00:00:00Z by=Ops at=2026-12-10T12:00:00Z reason=wall hack, twice\n"
         "10.0.0.0/8 # reason=\n5.6.7.8\n",
         {"10.1.2.3", "10.0.0.0/8", "5.6.7.8"},
         {}},
        {"unreadable details are kept as written",
         "1.2.3.4 # colour=red by=Ops\n2.0.0.0 # until=soon\n3.3.3.3 # by=A reason=" + std::string(130, 'r') + "\n",
         {"1.2.3.4", "2.0.0.0", "3.3.3.3"},
         {"SERVER-WARNING: 3 ban details in '" + pathOf("bans.txt") +
          "' could not be read (the first on line 1); they are kept as written and ignored."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pathOf("bans.txt");
        writeBytes(path, testing::asFileText(c.file));
        log.clear();
        testing::TestBanList list;
        ASSERT_TRUE(list.load(path));
        EXPECT_EQ(list.entries(), c.entries);
        EXPECT_EQ(log.lines(), c.warnings);
        // A change saves every line back as it was, the change aside.
        list.add("9.9.9.9");
        ASSERT_TRUE(list.remove("9.9.9.9"));
        EXPECT_EQ(readBytes(path), testing::asFileText(c.file));
    }
}

TEST_F(BanListDetailsTest, AddedDetailsAreWrittenAfterTheEntryAndListedPageByPage) {
    const std::string path = pathOf("bans.txt");
    writeBytes(path, "");
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    BanDetails details;
    details.until = kNow + 7 * 86400;
    details.by = "Ops";
    details.at = kNow;
    details.reason = "wall hack";
    list.add("10.1.2.3", details);
    list.add("5.6.7.8", BanDetails{});
    list.addAddress(PeerAddress::fromHostOrder(0x0A000001u, 5000), until(kNow + 60));
    const std::string lines =
        "10.1.2.3 # until=2026-12-17T12:00:00Z by=Ops at=2026-12-10T12:00:00Z reason=wall hack\n"
        "5.6.7.8\n"
        "10.0.0.1 # until=2026-12-10T12:01:00Z\n";
    EXPECT_EQ(readBytes(path), testing::asFileText(lines));
    // The old listing shows the entries alone.
    char bars[64];
    EXPECT_EQ(std::string(bars, list.listText(bars)), "10.1.2.3|5.6.7.8|10.0.0.1|");

    char page[128];
    std::size_t count = 0;
    EXPECT_EQ(std::string(page, list.listLines(0, page, count)), lines.substr(0, lines.find("5.6.7.8\n") + 8));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(page, list.listLines(2, page, count)), "10.0.0.1 # until=2026-12-10T12:01:00Z\n");
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(list.listLines(3, page, count), 0u);
    EXPECT_EQ(count, 0u);
    // A line longer than the page is cut so that every page makes progress.
    char small[10];
    EXPECT_EQ(std::string(small, list.listLines(0, small, count)), "10.1.2.3 \n");
    EXPECT_EQ(count, 1u);
}

TEST_F(BanListDetailsTest, ExpiredEntriesStopMatchingAreLoggedOnceAndLeaveAtTheNextSave) {
    const std::string path = pathOf("bans.txt");
    const std::string file =
        "1.2.3.4 # until=2026-12-10T12:00:10Z by=join-flood at=2026-12-10T12:00:00Z\n"
        "1.2.3.4\n"
        "10.0.0.0/8 # until=2026-12-10T12:00:20Z\n"
        "20.0.0.0 # until=2020-01-01T00:00:00Z reason=long gone\n";
    writeBytes(path, testing::asFileText(file));
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    EXPECT_TRUE(list.isBanned("20.1.1.1")) << "nothing expires before the first check";

    list.expireDue(kNow);
    EXPECT_EQ(log.lines(), Lines{"SERVER: Ban on 20.0.0.0 expired."});
    EXPECT_FALSE(list.isBanned("20.1.1.1"));
    EXPECT_TRUE(list.isBanned("10.2.3.4"));

    log.clear();
    list.expireDue(kNow + 9);
    EXPECT_TRUE(log.lines().empty());
    list.expireDue(kNow + 10);
    EXPECT_EQ(log.lines(), Lines{"SERVER: Ban on 1.2.3.4 expired."});
    EXPECT_TRUE(list.isBanned("1.2.3.4")) << "the permanent entry for the same address stays";
    EXPECT_EQ(list.entries(), (Lines{"1.2.3.4", "10.0.0.0/8"}));
    EXPECT_EQ(readBytes(path), testing::asFileText(file)) << "expiry alone writes nothing";

    log.clear();
    list.expireDue(kNow + 30);
    list.expireDue(kNow + 31);
    EXPECT_EQ(log.lines(), Lines{"SERVER: Ban on 10.0.0.0/8 expired."});
    EXPECT_FALSE(list.isBanned("10.2.3.4"));
    ASSERT_TRUE(list.save());
    EXPECT_EQ(readBytes(path), testing::asFileText("1.2.3.4\n"));
}

// The plain scan with CIDR ranges: an entry's own text, then for each entry its CIDR prefix or its
// octets, 0 matching anything.
bool scanIsBanned(const std::vector<std::string>& entries, const std::string& peerText) {
    for (const std::string& entry : entries) {
        if (entry == peerText) return true;
    }
    const std::optional<std::uint32_t> peer = banAddressOf(peerText);
    if (!peer) return false;
    const std::uint32_t host = PeerAddress{*peer, 0}.hostAddress();
    for (const std::string& entry : entries) {
        if (entry.find('/') != std::string::npos) {
            const auto form = banentry::readEntryForm(entry);
            if (!form) continue;
            const std::uint32_t mask = form->prefixLength == 0 ? 0u : 0xFFFFFFFFu << (32 - form->prefixLength);
            if ((host & mask) == (form->address & mask)) return true;
            continue;
        }
        const std::optional<std::uint32_t> address = banAddressOf(entry);
        if (!address) continue;
        const std::uint32_t octets = PeerAddress{*address, 0}.hostAddress();
        bool matches = true;
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint32_t octet = (octets >> shift) & 0xFFu;
            matches = matches && (octet == 0 || octet == ((host >> shift) & 0xFFu));
        }
        if (matches) return true;
    }
    return false;
}

// Overlapping, nested, touching and duplicated CIDR ranges among the other kinds, added and removed
// at random: the index answers as the plain scan at every step.
TEST_F(BanListDetailsTest, CidrRangesAnswerAsThePlainScanThroughAddsAndRemoves) {
    std::mt19937 random(18);
    const auto pick = [&random](std::uint32_t count) {
        return std::uniform_int_distribution<std::uint32_t>(0, count - 1)(random);
    };
    // Addresses in 10.0.0.0/14 with few distinct bits, so that ranges and probes meet often.
    const auto poolAddress = [&] { return 0x0A000000u | pick(4) << 16 | pick(3) << 14 | pick(4) << 8 | pick(4); };
    const auto randomEntry = [&]() -> std::string {
        const std::uint32_t kind = pick(10);
        if (kind < 6) {
            const std::uint32_t lengths[] = {0, 7, 8, 14, 15, 16, 17, 22, 23, 24, 30, 31, 32, 33};
            return dotted(poolAddress()) + "/" + std::to_string(lengths[pick(14)]);
        }
        if (kind < 8) return dotted(poolAddress() & 0xFFFF00FFu);
        if (kind < 9) return dotted(poolAddress());
        return "10.0.0.0/x";
    };
    testing::TestBanList list;
    std::vector<std::string> entries;
    for (int step = 0; step < 300; ++step) {
        if (pick(3) != 0 || entries.empty()) {
            const std::string entry = randomEntry();
            entries.push_back(entry);
            list.add(entry);
        } else {
            const std::string entry = pick(4) == 0 ? randomEntry() : entries[pick(static_cast<std::uint32_t>(entries.size()))];
            const auto found = std::find(entries.begin(), entries.end(), entry);
            EXPECT_EQ(list.remove(entry), found != entries.end());
            if (found != entries.end()) entries.erase(found);
        }
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_EQ(list.entries(), entries);
        for (int probe = 0; probe < 24; ++probe) {
            const std::string peer = dotted(poolAddress() ^ (pick(8) == 0 ? 0x00800000u : 0u));
            ASSERT_EQ(list.isBanned(peer), scanIsBanned(entries, peer)) << peer;
            ASSERT_EQ(list.isBannedAddress(PeerAddress{*banAddressOf(peer), 1}), scanIsBanned(entries, peer)) << peer;
        }
        for (const std::string& entry : {randomEntry(), randomEntry()}) {
            ASSERT_EQ(list.isBanned(entry), scanIsBanned(entries, entry)) << entry;
        }
    }
}

}  // namespace
}  // namespace varn
