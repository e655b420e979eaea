#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/AdminProtocol.h"
#include "support/FileText.h"
#include "support/GameServerFixture.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// 2026-12-10T12:00:00Z
constexpr std::int64_t kNow = 1796904000;

Bytes banFor(std::uint8_t playerId, std::uint32_t seconds, std::string_view reason) {
    PacketWriter<kMaxDatagramSize> out;
    admin::encodeBanFor(out, playerId, seconds, reason);
    return Bytes(out.data(), out.data() + out.size());
}

Bytes addBanFor(std::uint32_t seconds, std::string_view entry, std::string_view reason) {
    PacketWriter<kMaxDatagramSize> out;
    admin::encodeAddBanFor(out, seconds, entry, reason);
    return Bytes(out.data(), out.data() + out.size());
}

Bytes listPage(std::uint32_t first) {
    PacketWriter<5> out;
    out.byte(admin::kListBanLines).uint32(first);
    return Bytes(out.data(), out.data() + out.size());
}

// A server with a ban file in a scratch directory and an admin logged in.
class AdminBanCommandsTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        directory = testing::makeTemporaryDirectory("varn-adminbans-");
        ASSERT_FALSE(directory.empty());
        configure("AdminPassword secret\n");
        banFile = (directory / "banned.txt").string();
        std::ofstream(banFile) << "1.2.3.4\n";
        ASSERT_TRUE(bans.load(banFile));
        clock.setSeconds(kNow);
        start();
    }
    void TearDown() override {
        GameServerFixture::TearDown();
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    void login(const std::string& name) {
        const std::string join = "\x0D\x19" + name + "|secret";
        receiveAdmin(boss, Bytes(join.begin(), join.end()));
        ASSERT_GE(adminServer->administrators().findByAddress(boss), 0);
        network.clearSent();
        log.clear();
    }

    std::string banFileText() const {
        std::ifstream in(banFile, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    const PeerAddress boss = peer(2, 6000);
    fs::path directory;
    std::string banFile;
};

TEST_F(AdminBanCommandsTest, MalformedRequestsAreRefusedWithTheirReason) {
    login("Ops");
    players.add(peer(20), "alice");
    const std::string longEntry(admin::kMaxBanEntryText + 1, '1');
    struct Case {
        const char* name;
        Bytes request;
        Bytes answer;
    };
    const Case cases[] = {
        {"ban: nothing after the id", {30}, {30, 0, admin::kBanRefusedMalformed}},
        {"ban: a duration cut short", {30, 0, 1, 2}, {30, 0, admin::kBanRefusedMalformed}},
        {"ban: longer than ten years", banFor(0, admin::kMaxBanSeconds + 1, "x"), {30, 0, admin::kBanRefusedDuration}},
        {"ban: a reason of 121 bytes", banFor(0, 60, std::string(121, 'r')),
         {30, 0, admin::kBanRefusedReasonTooLong}},
        {"ban: nobody with that id", banFor(7, 60, "x"), {30, 0, admin::kBanRefusedNoPlayer}},
        {"add: nothing after the id", {31}, {31, 0, admin::kBanRefusedMalformed}},
        {"add: longer than ten years", addBanFor(admin::kMaxBanSeconds + 1, "1.2.3.4", ""),
         {31, 0, admin::kBanRefusedDuration}},
        {"add: three numbers", addBanFor(60, "1.2.3", ""), {31, 0, admin::kBanRefusedEntry}},
        {"add: a prefix of 33", addBanFor(60, "10.0.0.0/33", ""), {31, 0, admin::kBanRefusedEntry}},
        {"add: letters are not filtered out", addBanFor(60, "a1.b2.c3.d4", ""), {31, 0, admin::kBanRefusedEntry}},
        {"add: an empty entry", addBanFor(60, "", ""), {31, 0, admin::kBanRefusedEntry}},
        {"add: an entry longer than any form", addBanFor(60, longEntry, ""), {31, 0, admin::kBanRefusedEntry}},
        {"add: a reason of 121 bytes", addBanFor(60, "1.2.3.4", std::string(121, 'r')),
         {31, 0, admin::kBanRefusedReasonTooLong}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        network.clearSent();
        log.clear();
        receiveAdmin(boss, c.request);
        EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{c.answer});
        EXPECT_EQ(network.sent.size(), 1u);
        EXPECT_TRUE(log.lines().empty());
        EXPECT_EQ(banFileText(), testing::asFileText("1.2.3.4\n"));
        EXPECT_NE(players.find(0), nullptr);
    }
    // 120 bytes are a reason.
    network.clearSent();
    receiveAdmin(boss, addBanFor(60, "9.9.9.9", std::string(120, 'r')));
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({31, 1})});
}

TEST_F(AdminBanCommandsTest, BanForRemovesThePlayerAndStoresTimeReasonAndAdmin) {
    login("Bad Boy");
    players.add(peer(20), "alice");
    players.add(peer(21), "bob");
    receiveAdmin(boss, banFor(0, 7200, "wall hack\nand aimbot"));

    EXPECT_EQ(log.lines(), Lines{"BANNED: 'alice', PlayerID = 0 by Admin Bad Boy until 2026-12-10T14:00:00Z "
                                 "(wall hack?and aimbot)"});
    EXPECT_EQ(banFileText(), testing::asFileText("1.2.3.4\n127.0.0.20 # until=2026-12-10T14:00:00Z by=Bad?Boy "
                                                 "at=2026-12-10T12:00:00Z reason=wall hack?and aimbot\n"));
    EXPECT_EQ(gameSentTo(peer(20)), std::vector<Bytes>{bytesOf({6, 1})});
    EXPECT_EQ(gameSentTo(peer(21)), std::vector<Bytes>{bytesOf({9, 1, 0})});
    EXPECT_EQ(adminSentTo(boss), (std::vector<Bytes>{bytesOf({9, 1, 0}), bytesOf({30, 1})}));
    EXPECT_EQ(players.find(0), nullptr);
    EXPECT_TRUE(bans.isBannedAddress(peer(20, 1)));

    // 0 seconds: for ever, with who, when and (empty) why.
    log.clear();
    receiveAdmin(boss, banFor(1, 0, ""));
    EXPECT_EQ(log.lines(), Lines{"BANNED: 'bob', PlayerID = 1 by Admin Bad Boy"});
    EXPECT_NE(banFileText().find(testing::asFileText("127.0.0.21 # by=Bad?Boy at=2026-12-10T12:00:00Z\n")),
              std::string::npos);
    bans.expireDue(kNow + 7200);
    EXPECT_FALSE(bans.isBannedAddress(peer(20)));
    EXPECT_TRUE(bans.isBannedAddress(peer(21)));
}

TEST_F(AdminBanCommandsTest, AddBanForTakesAddressesOctetRangesAndCidrRanges) {
    login("Ops");
    receiveAdmin(boss, addBanFor(86400, "10.0.0.0/8", "spam"));
    receiveAdmin(boss, addBanFor(0, "192.168.0.0", ""));
    receiveAdmin(boss, addBanFor(60, "5.6.7.8", "no terminator"));
    EXPECT_EQ(adminSentTo(boss), (std::vector<Bytes>{bytesOf({31, 1}), bytesOf({31, 1}), bytesOf({31, 1})}));
    EXPECT_EQ(log.lines(), (Lines{"ADMIN: Admin Ops added ban '10.0.0.0/8' until 2026-12-11T12:00:00Z (spam)",
                                  "ADMIN: Admin Ops added ban '192.168.0.0'",
                                  "ADMIN: Admin Ops added ban '5.6.7.8' until 2026-12-10T12:01:00Z (no terminator)"}));
    EXPECT_EQ(banFileText(),
              testing::asFileText("1.2.3.4\n"
                                  "10.0.0.0/8 # until=2026-12-11T12:00:00Z by=Ops at=2026-12-10T12:00:00Z reason=spam\n"
                                  "192.168.0.0 # by=Ops at=2026-12-10T12:00:00Z\n"
                                  "5.6.7.8 # until=2026-12-10T12:01:00Z by=Ops at=2026-12-10T12:00:00Z "
                                  "reason=no terminator\n"));
    EXPECT_TRUE(bans.isBanned("10.200.3.4"));
    EXPECT_TRUE(bans.isBanned("192.168.77.1"));

    // The old listing and unban see the entry texts alone.
    network.clearSent();
    receiveAdmin(boss, {17});
    const std::string listed = "\x11" "1.2.3.4|10.0.0.0/8|192.168.0.0|5.6.7.8|";
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{Bytes(listed.begin(), listed.end())});
    const std::string unban = std::string("\x10") + "10.0.0.0/8";
    receiveAdmin(boss, Bytes(unban.begin(), unban.end()));
    EXPECT_FALSE(bans.isBanned("10.200.3.4"));
}

// Pages of whole lines, each reply saying where it starts and how many entries there are, until the
// client has every line of the file.
TEST_F(AdminBanCommandsTest, DetailedListComesInPagesOfWholeLines) {
    login("Ops");
    for (int index = 0; index < 40; ++index) {
        receiveAdmin(boss, addBanFor(3600, "10.0." + std::to_string(index) + ".1", std::string(60, static_cast<char>('a' + index % 26))));
    }
    network.clearSent();
    std::string lines;
    std::uint32_t first = 0;
    int pages = 0;
    while (pages < 100) {
        network.clearSent();
        receiveAdmin(boss, listPage(first));
        const auto replies = adminSentTo(boss);
        ASSERT_EQ(replies.size(), 1u);
        const Bytes& reply = replies[0];
        ASSERT_GE(reply.size(), admin::kBanLinesHeader);
        EXPECT_LE(reply.size(), admin::kBanListReplySize);
        const PacketReader reader(reply.data(), reply.size());
        EXPECT_EQ(reader.byteAt(0), admin::kListBanLines);
        EXPECT_EQ(reader.uint32At(1), first);
        EXPECT_EQ(reader.uint32At(5), 41u);
        const std::string page(reply.begin() + admin::kBanLinesHeader, reply.end());
        if (page.empty()) break;
        ASSERT_EQ(page.back(), '\n') << "whole lines only";
        lines += page;
        first += static_cast<std::uint32_t>(std::count(page.begin(), page.end(), '\n'));
        ++pages;
    }
    EXPECT_GT(pages, 3);
    EXPECT_EQ(first, 41u);
    EXPECT_EQ(testing::asFileText(lines), banFileText());

    // A request without a start asks for the first page.
    network.clearSent();
    receiveAdmin(boss, {32});
    ASSERT_EQ(adminSentTo(boss).size(), 1u);
    EXPECT_EQ(PacketReader(adminSentTo(boss)[0].data(), adminSentTo(boss)[0].size()).uint32At(1), 0u);
}

}  // namespace
}  // namespace varn
