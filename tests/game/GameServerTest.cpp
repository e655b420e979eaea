#include <gtest/gtest.h>

#include <fstream>

#include "support/GameServerFixture.h"

namespace varn {
namespace {

using testing::bytesOf;

class GameServerTest : public testing::GameServerFixture {};

TEST_F(GameServerTest, ConstructionWritesTheSessionLines) {
    struct Case {
        const char* settings;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"GameMode 1\nMaxPlayers 4\n",
         {"Game = Skyr:PB / Varn:PB (#2) ", "GameMode = Regular (#1) ", "MaxPlayers = 4", ""}},
        {"GameMode 2\nMaxPlayers 26\n",
         {"Game = Skyr:PB / Varn:PB (#2) ", "GameMode = Stunt (#2) ", "MaxPlayers = 26", ""}},
    };
    for (const auto& testCase : cases) {
        configure(testCase.settings);
        log.clear();
        UdpEndpoint gameSocket(settings.sendLimit, network.factory());
        GameServer session(players, gameSocket, bans, lockout, settings, clock);
        EXPECT_EQ(log.lines(), testCase.lines);
        EXPECT_TRUE(session.logsChat());
        EXPECT_EQ(session.expectedClientCrc(), 0x1C3D6C3Fu);
    }
    configure("DoNotOutputChatToLog 1\n");
    UdpEndpoint gameSocket(settings.sendLimit, network.factory());
    GameServer quietChat(players, gameSocket, bans, lockout, settings, clock);
    EXPECT_FALSE(quietChat.logsChat());
}

TEST_F(GameServerTest, WelcomeListsNamedPlayersAndLeavesOutTheNewOne) {
    start();
    const PeerAddress alice = peer(2), bob = peer(3), nameless = peer(4);
    players.add(alice, "alice");
    players.add(nameless, "");
    const std::int32_t bobId = players.add(bob, "Bob");
    players.setScore(0, -1);

    server->welcomePlayer(bob, bobId);
    const auto header = bytesOf({1, 2, 1, 2, 4, 0x21, 0x0E, 0x0C, 0x49, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11});
    auto expected = header;
    for (int byte : {0, 0xFF, 0xFF, int{'a'}, int{'l'}, int{'i'}, int{'c'}, int{'e'}, 7}) {
        expected.push_back(static_cast<std::uint8_t>(byte));
    }
    ASSERT_EQ(gameSentTo(bob).size(), 1u);
    EXPECT_EQ(gameSentTo(bob)[0], expected);

    // The admin form goes over the admin endpoint and lists every named player.
    network.clearSent();
    server->welcomeAdministrator(bob, 0);
    ASSERT_EQ(adminSentTo(bob).size(), 1u);
    EXPECT_EQ(adminSentTo(bob)[0].size(), 17u + 9u + 7u);
    EXPECT_TRUE(gameSentTo(bob).empty());
}

TEST_F(GameServerTest, WelcomeInAnEmptyStuntServerIsSeventeenBytes) {
    configure("GameMode 2\n");
    start();
    server->welcomePlayer(peer(2), 0);
    ASSERT_EQ(gameSentTo(peer(2)).size(), 1u);
    EXPECT_EQ(gameSentTo(peer(2))[0],
              bytesOf({1, 2, 2, 0, 4, 0xCA, 0x33, 0x85, 0x5D, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11}));
}

class MessageOfTheDayTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        previous = std::filesystem::current_path();
        directory = std::filesystem::temp_directory_path() /
                    ("varn-motd-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory);
        std::filesystem::current_path(directory);
    }
    void TearDown() override {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(directory);
        GameServerFixture::TearDown();
    }
    void writeMotd(const std::string& content) {
        std::ofstream(directory / "motd.txt", std::ios::binary) << content;
    }
    std::vector<std::uint8_t> motdDatagramAfterWelcome() {
        network.clearSent();
        server->welcomePlayer(peer(9), 0);
        const auto sent = gameSentTo(peer(9));
        return sent.size() == 2 ? sent[1] : std::vector<std::uint8_t>{};
    }

    std::filesystem::path previous;
    std::filesystem::path directory;
};

TEST_F(MessageOfTheDayTest, TextIsTheBytesReadLessTheLast) {
    struct Case {
        const char* name;
        std::string file;
        std::string text;
    };
    const Case cases[] = {
        {"final line break dropped", "Welcome\n", "Welcome"},
        {"windows line end read as one", "Welcome\r\n", "Welcome"},
        {"no final line break loses a letter", "Welcome", "Welcom"},
        {"empty file gives an empty text", "", ""},
        {"inner lines kept", "a\r\nb\n", "a\nb"},
    };
    start();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        writeMotd(testCase.file);
        ASSERT_TRUE(server->loadMessageOfTheDay());
        EXPECT_TRUE(server->hasMessageOfTheDay());
        std::vector<std::uint8_t> expected = {21};
        expected.insert(expected.end(), testCase.text.begin(), testCase.text.end());
        expected.push_back(0);
        EXPECT_EQ(motdDatagramAfterWelcome(), expected);
    }
}

TEST_F(MessageOfTheDayTest, LongFileIsCutAtReadAndAtSend) {
    start();
    writeMotd(std::string(3000, 'x'));
    ASSERT_TRUE(server->loadMessageOfTheDay());
    // 2023 bytes read, the last one gives way to the end of the text.
    EXPECT_EQ(server->messageOfTheDayPacket()[2022], 'x');
    EXPECT_EQ(server->messageOfTheDayPacket()[2023], 0);
    const auto datagram = motdDatagramAfterWelcome();
    ASSERT_EQ(datagram.size(), 1000u);
    EXPECT_EQ(datagram[0], 21);
    EXPECT_EQ(datagram[999], 'x');
}

TEST_F(MessageOfTheDayTest, MissingFileOrDirectoryIsReported) {
    start();
    std::filesystem::create_directory(directory / "motd.txt");
    EXPECT_FALSE(server->loadMessageOfTheDay());
    EXPECT_FALSE(server->hasMessageOfTheDay());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR: 'motd.txt' could not be opened for reading."});
    EXPECT_TRUE(motdDatagramAfterWelcome().empty());
}

TEST_F(GameServerTest, BroadcastSkipsTheExceptedPlayerAndReachesAdminsOnlyWhenAsked) {
    start();
    players.add(peer(2), "a");
    players.add(peer(3), "b");
    adminServer->administrators().add(peer(10), "boss");
    const std::uint8_t packet[] = {9, 0, 1};

    server->broadcastToPlayersExcept(packet, sizeof packet, 0);
    EXPECT_TRUE(gameSentTo(peer(2)).empty());
    EXPECT_EQ(gameSentTo(peer(3)).size(), 1u);
    EXPECT_TRUE(adminSentTo(peer(10)).empty());

    network.clearSent();
    server->broadcast(packet, sizeof packet);
    EXPECT_EQ(gameSentTo(peer(2)).size(), 1u);
    EXPECT_EQ(gameSentTo(peer(3)).size(), 1u);
    ASSERT_EQ(adminSentTo(peer(10)).size(), 1u);
    EXPECT_EQ(adminSentTo(peer(10))[0], bytesOf({9, 0, 1}));
}

// The game reaches administrators only through a connected admin server; once that is gone, the
// game's broadcasts, pings and passes go to the players alone.
TEST_F(GameServerTest, AdministratorsAreReachedOnlyWhileTheAdminServerLives) {
    start();
    players.add(peer(2), "a");
    adminServer->administrators().add(peer(10), "boss");
    const std::uint8_t packet[] = {9, 0, 1};
    adminServer.reset();

    server->broadcast(packet, sizeof packet);
    server->sendPings();
    server->checkTimeouts(15);
    server->addIdleTime(1);
    server->welcomeAdministrator(peer(10), 0);
    EXPECT_EQ(gameSentTo(peer(2)).size(), 2u) << "the broadcast and the ping request";
    EXPECT_TRUE(adminSentTo(peer(10)).empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(GameServerTest, DestructionClearsThePlayers) {
    start();
    players.add(peer(2), "a");
    stop();
    EXPECT_EQ(players.size(), 0);
}

}  // namespace
}  // namespace varn
