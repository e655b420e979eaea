#include "access/BanIndex.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "access/BanList.h"
#include "access/BanListFixture.h"
#include "support/TestBanList.h"
#include "net/PeerAddress.h"

namespace varn {
namespace {

using namespace std::string_literals;
using Entries = std::vector<std::string>;

// The ban test done the plain way, as the list was once searched: an exact pass over every entry,
// then an octet pass that parses each entry again and compares octet by octet, 0 matching anything.
class TwoPassScan {
public:
    // The entries of a file: a line ends at LF, a CR right before it is not part of the entry, and a
    // last line without a line end is an entry too.
    static TwoPassScan fromFile(const std::string& file) {
        TwoPassScan scan;
        std::string line;
        for (char byte : file) {
            if (byte != '\n') {
                line += byte;
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            scan.add(line);
            line.clear();
        }
        if (!line.empty()) scan.add(line);
        return scan;
    }

    void add(const std::string& entry) { entries_.push_back(entry); }

    bool remove(const std::string& text) {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (*entry == text) {
                entries_.erase(entry);
                return true;
            }
        }
        return false;
    }

    bool isBanned(std::string_view text) const {
        for (const std::string& entry : entries_) {
            if (entry == text) return true;
        }
        const std::optional<std::array<std::uint8_t, 4>> peer = octetsOf(text);
        if (!peer) return false;
        for (const std::string& entry : entries_) {
            const std::optional<std::array<std::uint8_t, 4>> range = octetsOf(entry);
            if (!range) continue;
            bool matches = true;
            for (std::size_t i = 0; i < 4; ++i) matches = matches && ((*range)[i] == 0 || (*range)[i] == (*peer)[i]);
            if (matches) return true;
        }
        return false;
    }

    const Entries& entries() const { return entries_; }

private:
    // The four octets, first written first; nothing for a text the parser rejects (it answers
    // 255.255.255.255 for those, which only the text of that address itself may mean).
    static std::optional<std::array<std::uint8_t, 4>> octetsOf(std::string_view text) {
        const std::string terminated(text);
        const std::uint32_t address = addressFromText(terminated.c_str());
        if (address == 0xFFFFFFFFu && text != "255.255.255.255") return std::nullopt;
        std::array<std::uint8_t, 4> octets{};
        std::memcpy(octets.data(), &address, octets.size());
        return octets;
    }

    Entries entries_;
};

std::string dotted(std::uint32_t hostAddress) {
    return std::to_string(hostAddress >> 24) + "." + std::to_string((hostAddress >> 16) & 0xFFu) + "." +
           std::to_string((hostAddress >> 8) & 0xFFu) + "." + std::to_string(hostAddress & 0xFFu);
}

// Texts the parser rejects or reads in a form other than four decimal octets: all of them are kept,
// listed and saved as written, and must give the same answers as in a plain scan.
const std::vector<std::string> kOddTexts = {
    "",
    "not an address",
    "300.1.1.1",
    "1.2.3.4.5",
    "08.0.0.0",
    "0xff.0xff.0xff.0xff",
    "255.255.255.255",
    "1.2.3.4 ",
    "1.2.3.4 trailing words",
    "1.2.3.4\r",
    "\r",
    "a\rb",
    "1.2.3.4\0hidden"s,
    "10",
    "127.1",
    "1.2.770",
    "167772160",
    "0x0A.0.0.0",
    "012.0.0.0",
    "010.0.0.0",
    "0.0.0.0 ",
    "-1.2.3.4",
    "1..2.3",
    " 1.2.3.4",
};

// Octets that make addresses and ranges overlap often.
constexpr std::array<std::uint32_t, 6> kOctets = {0, 1, 2, 10, 127, 255};

class BanIndexTest : public testing::BanListFixture {
protected:
    // Compares the list with the plain scan for every text and address given, by text and (for
    // addresses) by address.
    static void expectSameAnswers(const BanList& list, const TwoPassScan& scan, const std::vector<std::string>& texts,
                                  const std::vector<std::uint32_t>& hostAddresses) {
        ASSERT_EQ(list.entries(), scan.entries());
        for (const std::string& text : texts) {
            EXPECT_EQ(list.isBanned(text), scan.isBanned(text)) << "text '" << text << "'";
        }
        for (std::uint32_t hostAddress : hostAddresses) {
            const std::string text = dotted(hostAddress);
            EXPECT_EQ(list.isBanned(text), scan.isBanned(text)) << "text " << text;
            EXPECT_EQ(list.isBannedAddress(PeerAddress::fromHostOrder(hostAddress, 4000)), scan.isBanned(text))
                << "address " << text;
        }
    }

    // Every address whose octets all come from kOctets.
    static std::vector<std::uint32_t> everyPoolAddress() {
        std::vector<std::uint32_t> addresses;
        for (std::uint32_t a : kOctets)
            for (std::uint32_t b : kOctets)
                for (std::uint32_t c : kOctets)
                    for (std::uint32_t d : kOctets) addresses.push_back(a << 24 | b << 16 | c << 8 | d);
        return addresses;
    }
};

// The value table against a map of counts: many adds and removes of few values keep the runs of
// occupied slots long and wrapping round the end of the table, and growing moves them all.
TEST(AddressCountsTest, CountsAsAMapThroughAddsRemovesAndGrowth) {
    std::mt19937 random(7);
    for (const std::size_t poolSize : {6u, 40u, 3000u}) {
        SCOPED_TRACE("pool of " + std::to_string(poolSize));
        std::vector<std::uint32_t> pool;
        for (std::size_t index = 0; index < poolSize; ++index) pool.push_back(static_cast<std::uint32_t>(random()));
        pool[0] = 0;  // the value of the range 0.0.0.0
        AddressCounts table;
        if (poolSize == 40) table.reserve(30);
        std::map<std::uint32_t, std::uint32_t> counts;
        for (int step = 0; step < 20000; ++step) {
            const std::uint32_t value = pool[random() % poolSize];
            if (random() % 5 < 3) {
                table.add(value);
                ++counts[value];
            } else {
                const auto counted = counts.find(value);
                const bool present = counted != counts.end();
                ASSERT_EQ(table.removeOne(value), present) << "step " << step;
                if (present && --counted->second == 0) counts.erase(counted);
            }
            ASSERT_EQ(table.size(), counts.size()) << "step " << step;
            if (step % 97 == 0 || poolSize < 100) {
                for (std::uint32_t candidate : pool) {
                    ASSERT_EQ(table.contains(candidate), counts.count(candidate) != 0) << "step " << step;
                }
            }
        }
        // Emptying the table leaves nothing behind.
        for (const auto& [value, count] : counts) {
            for (std::uint32_t times = 0; times < count; ++times) ASSERT_TRUE(table.removeOne(value));
        }
        EXPECT_TRUE(table.empty());
        for (std::uint32_t candidate : pool) EXPECT_FALSE(table.contains(candidate));
        EXPECT_FALSE(table.removeOne(pool[0]));
    }
    EXPECT_FALSE(AddressCounts().contains(0));
    EXPECT_FALSE(AddressCounts().removeOne(0));
}

TEST_F(BanIndexTest, EntryRangeLeavesZeroOctetsOutOfTheMask) {
    struct Case {
        std::string entry;
        std::optional<AddressRange> range;  // words as the octets lie in memory: first octet first
    };
    const auto word = [](std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
        const std::array<std::uint8_t, 4> octets = {a, b, c, d};
        std::uint32_t value = 0;
        std::memcpy(&value, octets.data(), sizeof value);
        return value;
    };
    const Case cases[] = {
        {"1.2.3.4", AddressRange{word(1, 2, 3, 4), word(255, 255, 255, 255)}},
        {"192.168.0.0", AddressRange{word(192, 168, 0, 0), word(255, 255, 0, 0)}},
        {"10.0.5.0", AddressRange{word(10, 0, 5, 0), word(255, 0, 255, 0)}},
        {"0.2.3.4", AddressRange{word(0, 2, 3, 4), word(0, 255, 255, 255)}},
        {"0.0.0.0", AddressRange{0, 0}},
        {"255.255.255.255", AddressRange{word(255, 255, 255, 255), word(255, 255, 255, 255)}},
        {"127.1", AddressRange{word(127, 0, 0, 1), word(255, 0, 0, 255)}},
        {"0x0A.0.0.0", AddressRange{word(10, 0, 0, 0), word(255, 0, 0, 0)}},
        {"", std::nullopt},
        {"not an address", std::nullopt},
        {"300.0.0.0", std::nullopt},
        {"0xff.0xff.0xff.0xff", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("entry '" + c.entry + "'");
        const std::optional<AddressRange> range = banRangeOf(c.entry);
        EXPECT_EQ(range, c.range);
        if (range) {
            EXPECT_TRUE(range->covers(range->value));
        }
    }
}

TEST_F(BanIndexTest, AnswersAsThePlainScanForEveryKindOfEntry) {
    Entries entries = kOddTexts;
    for (const char* entry : {"1.2.3.4", "10.0.0.0", "0.0.0.1", "127.0.0.1", "192.168.0.0", "10.0.5.0", "0.2.0.0",
                              "2.0.0.2", "255.0.0.0", "0.0.0.255", "1.1.1.1", "1.2.3.4"}) {
        entries.emplace_back(entry);
    }
    std::vector<std::string> texts = entries;
    for (const char* text : {"1.2.3.5", "10.9.9.9", "192.168.4.20", "192.169.4.20", "10.7.5.9", "0x7f.0.0.1",
                             "127.0.0.1 ", "1.2.3.4\0other"}) {
        texts.emplace_back(text);
    }
    const std::vector<std::uint32_t> addresses = everyPoolAddress();

    TwoPassScan scan;
    testing::TestBanList added;
    for (const std::string& entry : entries) {
        scan.add(entry);
        added.add(entry);
    }
    expectSameAnswers(added, scan, texts, addresses);

    // Loading builds the index in one go (a CR before the line end is not part of an entry).
    std::string file;
    for (const std::string& entry : entries) file += entry + "\n";
    const std::string path = pathOf("bans.txt");
    writeBytes(path, file);
    testing::TestBanList loaded;
    ASSERT_TRUE(loaded.load(path));
    scan = TwoPassScan::fromFile(file);
    expectSameAnswers(loaded, scan, texts, addresses);

    // Each removal takes one occurrence away; the index follows it down to the empty list.
    while (!scan.entries().empty()) {
        const std::string entry = scan.entries()[scan.entries().size() / 2];
        SCOPED_TRACE("after removing '" + entry + "'");
        ASSERT_TRUE(scan.remove(entry));
        ASSERT_TRUE(loaded.remove(entry));
        expectSameAnswers(loaded, scan, texts, addresses);
    }
}

TEST_F(BanIndexTest, AnswersAsThePlainScanThroughRandomAddsRemovesAndLoads) {
    std::mt19937 random(13);
    const auto pick = [&random](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    const auto poolOctet = [&] { return kOctets[pick(kOctets.size())]; };
    const auto poolAddress = [&] { return poolOctet() << 24 | poolOctet() << 16 | poolOctet() << 8 | poolOctet(); };
    const auto randomEntry = [&]() -> std::string {
        const std::size_t kind = pick(10);
        if (kind < 7) return dotted(poolAddress());
        return kOddTexts[pick(kOddTexts.size())];
    };

    const std::string path = pathOf("bans.txt");
    writeBytes(path, "");
    testing::TestBanList list;
    ASSERT_TRUE(list.load(path));
    TwoPassScan scan;
    for (int step = 0; step < 400; ++step) {
        const std::size_t operation = pick(20);
        if (operation < 10) {
            const std::string entry = randomEntry();
            scan.add(entry);
            list.add(entry);
        } else if (operation < 16 && !scan.entries().empty()) {
            const std::string entry = scan.entries()[pick(scan.entries().size())];
            ASSERT_TRUE(scan.remove(entry));
            list.remove(entry);
        } else if (operation < 19) {
            // Mostly a text that is not in the list: nothing may change.
            const std::string text = randomEntry();
            list.remove(text);
            scan.remove(text);
        } else {
            // Reload what was saved, with odd lines written into the file by hand and either line end.
            const std::string lineEnd = pick(2) == 0 ? "\n" : "\r\n";
            std::string file;
            for (const std::string& entry : scan.entries()) file += entry + lineEnd;
            for (int extra = 0; extra < 3; ++extra) file += kOddTexts[pick(kOddTexts.size())] + lineEnd;
            if (pick(2) == 0) file += randomEntry();
            writeBytes(path, file);
            scan = TwoPassScan::fromFile(file);
            ASSERT_TRUE(list.load(path));
        }
        SCOPED_TRACE("step " + std::to_string(step));
        std::vector<std::string> texts = scan.entries();
        for (int probe = 0; probe < 8; ++probe) texts.push_back(randomEntry());
        std::vector<std::uint32_t> addresses;
        for (int probe = 0; probe < 48; ++probe) addresses.push_back(poolAddress());
        expectSameAnswers(list, scan, texts, addresses);
        if (::testing::Test::HasFailure()) return;
    }
    expectSameAnswers(list, scan, kOddTexts, everyPoolAddress());
}

}  // namespace
}  // namespace varn
