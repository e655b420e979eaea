#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "log/ServerLogFixture.h"
#include "support/FileText.h"
#include "support/GameServerFixture.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;

Bytes chatDatagram(std::uint8_t kind, std::string_view text) {
    Bytes datagram = {3, kind};
    datagram.insert(datagram.end(), text.begin(), text.end());
    datagram.push_back(0);
    return datagram;
}

Bytes chatRelay(std::uint8_t senderId, std::uint8_t kind, std::string_view prefix, std::string_view text) {
    Bytes packet = {3, senderId, kind};
    packet.insert(packet.end(), prefix.begin(), prefix.end());
    packet.insert(packet.end(), text.begin(), text.end());
    packet.push_back(0);
    return packet;
}

// Three players (alice 0, bob 1, carol 2) and one administrator.
class GameCommandsTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        configure("StatLogging 1\n");
    }
    void startWithPlayers() {
        start();
        players.add(alice, "alice");
        players.add(bob, "bob");
        players.add(carol, "carol");
        adminServer->administrators().add(admin, "boss");
    }

    const PeerAddress alice = peer(2), bob = peer(3), carol = peer(4), admin = peer(100, 6000);
};

TEST_F(GameCommandsTest, ChatRelayFilterAndCount) {
    struct Case {
        const char* name;
        Bytes datagram;
        bool relayed;
        std::string text;  // as relayed and logged
    };
    const Case cases[] = {
        {"plain", chatDatagram(1, "hello"), true, "hello"},
        {"repeat dropped", chatDatagram(1, "hello"), false, ""},
        {"control bytes and colour code filtered", chatDatagram(1, "\x02" "12345hi\x01\x7F!"), true, "hi!"},
        {"only control bytes", chatDatagram(1, "\x01\x03"), false, ""},
        {"/me is chat", chatDatagram(1, "/me waves"), true, "/me waves"},
        {"/slap is chat", chatDatagram(1, "/slap bob"), true, "/slap bob"},
        {"other slash commands swallowed", chatDatagram(1, "/kick bob"), false, ""},
        {"a bare /m swallowed", chatDatagram(1, "/m"), false, ""},
        {"no text at all", bytesOf({3}), false, ""},
    };
    startWithPlayers();
    int expectedCount = 0;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        network.clearSent();
        log.clear();
        receiveGame(alice, testCase.datagram);
        ++expectedCount;
        EXPECT_EQ(players.find(0)->chatCount, expectedCount) << "every chat counts toward the flood rule";
        if (!testCase.relayed) {
            EXPECT_TRUE(network.sent.empty());
            EXPECT_TRUE(log.lines().empty());
            continue;
        }
        const Bytes relay = chatRelay(0, 1, {}, testCase.text);
        EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{relay}) << "the sender gets its own chat back";
        EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{relay});
        EXPECT_EQ(adminSentTo(admin), std::vector<Bytes>{relay});
        EXPECT_EQ(log.lines(), std::vector<std::string>{"---> alice: " + testCase.text});
    }
}

TEST_F(GameCommandsTest, ChatKindThreeIsLoggedButNotRelayedAndLongTextIsCut) {
    startWithPlayers();
    receiveGame(alice, chatDatagram(3, "team only"));
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"---> alice: team only"});

    // A datagram longer than 129 bytes counts as 129: 126 characters of text at most.
    receiveGame(bob, chatDatagram(1, std::string(200, 'z')));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(1, 1, {}, std::string(126, 'z'))});
}

TEST_F(GameCommandsTest, ChatStaysOutOfTheLogWhenAsked) {
    configure("DoNotOutputChatToLog 1\n");
    startWithPlayers();
    receiveGame(alice, chatDatagram(1, "quiet"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(gameSentTo(bob).size(), 1u);
}

TEST_F(GameCommandsTest, PrivateMessages) {
    startWithPlayers();
    receiveGame(alice, chatDatagram(1, "/msg BOB,nobody hi there"));
    EXPECT_EQ(adminSentTo(admin), std::vector<Bytes>{chatRelay(0, 1, {}, "/msg BOB,nobody hi there")});
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(0, 1, "/msgr ", "hi there")});
    EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{chatRelay(0, 1, "/msg ", "hi there")});
    EXPECT_TRUE(gameSentTo(carol).empty());
    EXPECT_TRUE(log.lines().empty()) << "private messages are never logged";
    EXPECT_EQ(players.find(0)->chatCount, 1);

    // The same message again: receipt and admin copy, but no delivery.
    network.clearSent();
    receiveGame(alice, chatDatagram(1, "/msg bob hi there"));
    EXPECT_EQ(gameSentTo(alice).size(), 1u);
    EXPECT_TRUE(gameSentTo(bob).empty());

    // At most three names; a name reaching 12 characters ends the list.
    players.add(peer(5), "dave");
    network.clearSent();
    receiveGame(bob, chatDatagram(1, "/msg alice,carol,nobody,dave yo"));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(1, 1, "/msg ", "yo")});
    EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{chatRelay(1, 1, "/msg ", "yo")});
    EXPECT_TRUE(gameSentTo(peer(5)).empty());
    network.clearSent();
    receiveGame(bob, chatDatagram(1, "/msg xxxxxxxxxxxxcarol,alice yo2"));
    EXPECT_TRUE(gameSentTo(carol).empty());
    EXPECT_TRUE(gameSentTo(alice).empty());

    // No message: no receipt; the administrators still see the text.
    network.clearSent();
    receiveGame(carol, chatDatagram(1, "/msg alice"));
    EXPECT_TRUE(gameSentTo(carol).empty());
    EXPECT_EQ(adminSentTo(admin).size(), 1u);
}

TEST_F(GameCommandsTest, PingRequestAndReply) {
    startWithPlayers();
    receiveGame(peer(50), bytesOf({4}));  // anybody may ask
    EXPECT_EQ(gameSentTo(peer(50)), std::vector<Bytes>{bytesOf({5})});

    struct Case {
        std::uint16_t ping, lastPing;
        Bytes broadcast;
    };
    const Case cases[] = {
        {2000, 40, bytesOf({22, 1, 0xE8, 0x03})},
        {30, 41, bytesOf({22, 1, 35, 0})},
        {0xFFFF, 0xFFFF, bytesOf({22, 1, 0xE8, 0x03})},
    };
    for (const auto& testCase : cases) {
        network.clearSent();
        players.find(1)->ping = testCase.ping;
        players.find(1)->lastPing = testCase.lastPing;
        clock.setMilliseconds(0x12345);
        receiveGame(bob, bytesOf({5}));
        EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{testCase.broadcast});
        EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{testCase.broadcast});
        EXPECT_EQ(adminSentTo(admin), std::vector<Bytes>{testCase.broadcast});
        EXPECT_EQ(players.find(1)->pongTime, 0x2345);
    }
}

TEST_F(GameCommandsTest, DeathReportsScoresAndStatistics) {
    startWithPlayers();
    receiveGame(bob, bytesOf({11, 0}));  // alice killed bob
    EXPECT_EQ(gameSentTo(carol), (std::vector<Bytes>{bytesOf({11, 1, 0}), bytesOf({12, 0, 1, 0})}));
    EXPECT_EQ(adminSentTo(admin).size(), 2u);
    EXPECT_EQ(players.score(0), 1);

    network.clearSent();
    receiveGame(carol, bytesOf({11, 2}));  // suicide at score 0
    EXPECT_EQ(gameSentTo(alice), (std::vector<Bytes>{bytesOf({11, 2, 2}), bytesOf({12, 2, 0xFF, 0xFF})}));

    network.clearSent();
    receiveGame(carol, bytesOf({11, 0xFF}));  // killer -1 is nobody: relayed, nothing else
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{bytesOf({11, 2, 0xFF})});
    EXPECT_EQ(players.score(2), -1);

    network.clearSent();
    receiveGame(carol, bytesOf({11, 0}));  // a third report before the next pass is ignored
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(players.score(0), 1);

    network.clearSent();
    receiveGame(alice, bytesOf({11}));  // no killer byte
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(players.killReports(0), 0);
}

// The statistics lines are read by programs, so their bytes are pinned as a whole file; they never
// reach the console.
TEST_F(GameCommandsTest, PlayerStatisticsLinesReachTheFileOnly) {
    const std::filesystem::path directory = testing::makeTemporaryDirectory("varn-stats-");
    ASSERT_FALSE(directory.empty());
    const std::filesystem::path path = directory / "server.log";
    ASSERT_TRUE(ServerLog::instance().open(path.string()));
    startWithPlayers();
    receiveGame(peer(5), bytesOf({1, 24, 'd', 'a', 'v', 'e', '|', 0}));  // dave joins as 3
    receiveGame(bob, bytesOf({11, 3}));                                    // dave killed bob
    receiveGame(carol, bytesOf({11, 2}));                                  // carol killed herself
    receiveGame(peer(5), bytesOf({2}));                                    // dave quits
    ServerLog::instance().close();

    EXPECT_EQ(testing::readFile(path), testing::asFileText("- VarnServer log opened -\n"
                                                           "Game = Skyr:PB / Varn:PB (#2) \n"
                                                           "GameMode = Regular (#1) \n"
                                                           "MaxPlayers = 4\n"
                                                           "\n"
                                                           "JOIN: 'dave', PlayerID = 3 (127.0.0.5)\n"
                                                           "Join: 3\xA9" "dave\xA9" "127.0.0.5\xA9\n"
                                                           "Kill: 3 1\n"
                                                           "Death: 1\n"
                                                           "Kill: 2 2\n"
                                                           "Death: 2\n"
                                                           "QUIT: 'dave', PlayerID = 3\n"
                                                           "Quit: 3\n"
                                                           "- VarnServer log closed -\n"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"JOIN: 'dave', PlayerID = 3 (127.0.0.5)",
                                                     "QUIT: 'dave', PlayerID = 3"}));
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

TEST_F(GameCommandsTest, TrainerReportAndChecksumReplies) {
    startWithPlayers();
    players.find(1)->crcPending = 3;
    receiveGame(bob, bytesOf({25, 0x3F, 0x6C, 0x3D, 0x1C}));
    EXPECT_EQ(players.find(1)->crcPending, 0);
    receiveGame(bob, bytesOf({25, 0x3F, 0x6C, 0x3D}));  // three bytes: ignored
    EXPECT_TRUE(players.exists(1));
    EXPECT_TRUE(network.sent.empty());

    receiveGame(bob, bytesOf({25, 1, 2, 3, 4}));
    EXPECT_FALSE(players.exists(1));
    EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{bytesOf({6, 8})});
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{bytesOf({9, 5, 1})});
    EXPECT_EQ(adminSentTo(admin), std::vector<Bytes>{bytesOf({9, 5, 1})});

    network.clearSent();
    receiveGame(carol, bytesOf({19}));
    EXPECT_FALSE(players.exists(2));
    EXPECT_TRUE(gameSentTo(carol).empty());
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{bytesOf({9, 4, 2})});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"QUIT: 'bob', PlayerID = 1 ... quit due to client crc mismatch.",
                                                     "QUIT: 'carol', PlayerID = 2 ... client quit due to trainer usage"}));
}

TEST_F(GameCommandsTest, NameAndSharedByteQueries) {
    startWithPlayers();
    receiveGame(alice, bytesOf({20, 1}));
    receiveGame(alice, bytesOf({20, 9}));  // nobody: no answer
    receiveGame(alice, bytesOf({20}));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{bytesOf({20, 1, 'b', 'o', 'b'})});

    network.clearSent();
    receiveGame(bob, bytesOf({23, 0xFE}));
    EXPECT_EQ(players.sharedByte(1), -2);
    EXPECT_TRUE(gameSentTo(bob).empty());
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{bytesOf({23, 1, 0xFE})});
    EXPECT_TRUE(adminSentTo(admin).empty());

    network.clearSent();
    receiveGame(carol, bytesOf({24, 1}));
    receiveGame(carol, bytesOf({24, 9}));
    receiveGame(carol, bytesOf({24}));
    EXPECT_EQ(gameSentTo(carol), (std::vector<Bytes>{bytesOf({23, 1, 0xFE}), bytesOf({23, 9, 0})}));
}

TEST_F(GameCommandsTest, TestmodeEchoesTheSharedByte) {
    configure("Testmode 1\n");
    startWithPlayers();
    receiveGame(bob, bytesOf({23, 5}));
    EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{bytesOf({23, 1, 5})});
}

TEST_F(GameCommandsTest, UnknownSendersAreIgnored) {
    startWithPlayers();
    for (const Bytes& datagram : {bytesOf({3, 1, 'h', 'i', 0}), bytesOf({5}), bytesOf({11, 0}), bytesOf({19}),
                                  bytesOf({20, 0}), bytesOf({23, 1}), bytesOf({24, 0}), bytesOf({25, 0, 0, 0, 0})}) {
        receiveGame(peer(77), datagram);
    }
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(players.size(), 3);
}

}  // namespace
}  // namespace varn
