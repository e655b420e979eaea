#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "protocol/GameProtocol.h"
#include "support/GameServerFixture.h"

namespace varn {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::bytesOf;

PacketReader readerOf(const Bytes& datagram) { return PacketReader(datagram.data(), datagram.size()); }

// What the server sends is read back through the decoders the operators' tools use.
class GameProtocolTest : public testing::GameServerFixture {
protected:
    void join(const PeerAddress& from, const std::string& name) {
        Bytes datagram = {command::kJoin, kProtocolVersion};
        datagram.insert(datagram.end(), name.begin(), name.end());
        datagram.push_back(kNameEnd);
        datagram.push_back(0);
        receiveGame(from, datagram);
    }

    // The one datagram of the given id the administrator received since the sent list was cleared.
    Bytes adminReceived(std::uint8_t id) {
        std::optional<Bytes> found;
        for (const Bytes& datagram : adminSentTo(boss)) {
            if (datagram[0] != id) continue;
            EXPECT_FALSE(found) << "more than one datagram with id " << int{id};
            found = datagram;
        }
        EXPECT_TRUE(found) << "no datagram with id " << int{id};
        return found.value_or(Bytes{});
    }

    const PeerAddress boss = peer(50, 6000);
    const PeerAddress alice = peer(2);
    const PeerAddress bob = peer(3);
};

TEST_F(GameProtocolTest, AnAdministratorReadsTheSessionBackThroughTheDecoders) {
    start();
    adminServer->administrators().add(boss, "boss");

    join(alice, "alice");
    const Bytes joinedDatagram = adminReceived(command::kPlayerJoined);
    const auto joined = decodePlayerJoined(readerOf(joinedDatagram));
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->playerId, 0);
    EXPECT_EQ(joined->name, "alice");
    EXPECT_EQ(joined->address, "127.0.0.2");
    join(bob, "bob");

    network.clearSent();
    receiveGame(alice, bytesOf({command::kDeath, 1}));
    const auto death = decodeDeath(readerOf(adminReceived(command::kDeath)));
    ASSERT_TRUE(death);
    EXPECT_EQ(death->victimId, 0);
    EXPECT_EQ(death->killerId, 1);

    // A suicide costs a point: the score goes out as a signed 16-bit value.
    network.clearSent();
    receiveGame(bob, bytesOf({command::kDeath, 1}));
    const auto score = decodeScore(readerOf(adminReceived(command::kScore)));
    ASSERT_TRUE(score);
    EXPECT_EQ(score->playerId, 1);
    EXPECT_EQ(score->score, 0);
    network.clearSent();
    receiveGame(alice, bytesOf({command::kDeath, 0}));
    EXPECT_EQ(decodeScore(readerOf(adminReceived(command::kScore)))->score, -1);

    network.clearSent();
    receiveGame(alice, bytesOf({command::kChat, 0, 'h', 'i', 0}));
    const Bytes chatDatagram = adminReceived(command::kChat);
    const auto chat = decodeChat(readerOf(chatDatagram));
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->senderId, 0);
    EXPECT_EQ(chat->kind, 0);
    EXPECT_EQ(chat->text, "hi");

    network.clearSent();
    receiveGame(bob, bytesOf({command::kPingReply}));
    const auto ping = decodePlayerPing(readerOf(adminReceived(command::kPlayerPing)));
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->playerId, 1);

    network.clearSent();
    receiveGame(bob, bytesOf({command::kQuit}));
    const auto left = decodePlayerLeft(readerOf(adminReceived(command::kPlayerLeft)));
    ASSERT_TRUE(left);
    EXPECT_EQ(left->playerId, 1);
    EXPECT_EQ(left->reason, leftReason::kQuit);
}

TEST_F(GameProtocolTest, TheWelcomeDecodesToTheListedPlayers) {
    configure("GameMode 2\n");
    start();
    players.add(alice, "alice");
    players.add(bob, "twelve_chars");
    players.setScore(0, -1);
    players.setScore(1, 300);

    server->welcomeAdministrator(boss, 7);
    ASSERT_EQ(adminSentTo(boss).size(), 1u);
    const auto welcome = decodeWelcome(readerOf(adminSentTo(boss)[0]));
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->header.game, kGamePalmBay);
    EXPECT_EQ(welcome->header.gameMode, kGameModeStunt);
    EXPECT_EQ(welcome->header.peerId, 7);
    EXPECT_EQ(welcome->header.maxPlayers, 4);
    ASSERT_EQ(welcome->players.size(), 2u);
    EXPECT_EQ(welcome->players[0].id, 0);
    EXPECT_EQ(welcome->players[0].score, -1);
    EXPECT_EQ(welcome->players[0].name, "alice");
    EXPECT_EQ(welcome->players[1].id, 1);
    EXPECT_EQ(welcome->players[1].score, 300);
    EXPECT_EQ(welcome->players[1].name, "twelve_chars");
}

TEST(GameProtocolDecoding, AWelcomeIsReadNoFurtherThanItsDatagram) {
    const Bytes header =
        bytesOf({1, 2, 1, 5, 4, 0x21, 0x0E, 0x0C, 0x49, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11});
    const auto with = [&header](std::initializer_list<int> entries) {
        Bytes datagram = header;
        for (const int byte : entries) datagram.push_back(static_cast<std::uint8_t>(byte));
        return datagram;
    };
    struct Case {
        const char* what;
        Bytes datagram;
        std::optional<std::vector<std::string>> names;
    };
    const Case cases[] = {
        {"header only", header, std::vector<std::string>{}},
        {"one byte short of a header", Bytes(header.begin(), header.end() - 1), std::nullopt},
        {"another id", [&header] { Bytes notice = header; notice[0] = command::kNotice; return notice; }(),
         std::nullopt},
        {"entries with and without names", with({3, 5, 0, 'a', 'b', 7, 4, 0, 0, 7}),
         std::vector<std::string>{"ab", ""}},
        {"a name running to the end", with({3, 5, 0, 'a', 'b'}), std::vector<std::string>{"ab"}},
        {"an entry without its score", with({3, 5, 0, 'a', 7, 4, 0}), std::vector<std::string>{"a"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        const auto welcome = decodeWelcome(readerOf(testCase.datagram));
        ASSERT_EQ(welcome.has_value(), testCase.names.has_value());
        if (!welcome) continue;
        EXPECT_EQ(welcome->header.peerId, 5);
        std::vector<std::string> names;
        for (const WelcomeEntry& entry : welcome->players) names.push_back(entry.name);
        EXPECT_EQ(names, *testCase.names);
    }
}

TEST(GameProtocolDecoding, ABroadcastCutShortDecodesToNothing) {
    struct Case {
        const char* what;
        Bytes datagram;
        bool (*decodes)(const PacketReader&);
    };
    const Case cases[] = {
        {"player joined without its id", bytesOf({command::kPlayerJoined}),
         [](const PacketReader& r) { return decodePlayerJoined(r).has_value(); }},
        {"player left without its id", bytesOf({command::kPlayerLeft, 2}),
         [](const PacketReader& r) { return decodePlayerLeft(r).has_value(); }},
        {"chat without its kind", bytesOf({command::kChat, 0}),
         [](const PacketReader& r) { return decodeChat(r).has_value(); }},
        {"death without its killer", bytesOf({command::kDeath, 0}),
         [](const PacketReader& r) { return decodeDeath(r).has_value(); }},
        {"score with one byte of it", bytesOf({command::kScore, 0, 1}),
         [](const PacketReader& r) { return decodeScore(r).has_value(); }},
        {"ping with one byte of it", bytesOf({command::kPlayerPing, 0, 1}),
         [](const PacketReader& r) { return decodePlayerPing(r).has_value(); }},
        {"the bare notice", bytesOf({command::kNotice}),
         [](const PacketReader& r) { return decodeNotice(r).has_value(); }},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        // Each datagram sits alone in a buffer of its own size, so a read past it is seen.
        const auto copy = std::make_unique<std::uint8_t[]>(testCase.datagram.size());
        std::copy(testCase.datagram.begin(), testCase.datagram.end(), copy.get());
        EXPECT_FALSE(testCase.decodes(PacketReader(copy.get(), testCase.datagram.size())));
        Bytes whole = testCase.datagram;
        whole.resize(whole.size() + 2, 0);
        EXPECT_TRUE(testCase.decodes(readerOf(whole))) << "one more field makes it whole";
    }
}

}  // namespace
}  // namespace varn
