#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "access/BanDetails.h"
#include "metrics/GameCounters.h"
#include "support/FileText.h"
#include "support/GameServerFixture.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

using testing::bytesOf;
using Packets = std::vector<std::vector<std::uint8_t>>;
using Lines = std::vector<std::string>;

// A server whose ban list lives in a file of its own, so that bans can be seen on disk.
class PolicingTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        directory = testing::makeTemporaryDirectory("varn-policing-");
        ASSERT_FALSE(directory.empty());
        banFile = (directory / "banned.txt").string();
        std::ofstream(banFile).close();
        ASSERT_TRUE(bans.load(banFile));
    }

    void TearDown() override {
        GameServerFixture::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // The ban file once the bans the server made by itself are written (the loop's grouped save,
    // which BanListSaveTest.AutomaticBansAreSavedTogetherAtMostOnceASecond times).
    std::string banFileText() {
        bans.save();
        std::ifstream in(banFile, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // The record under id; a failure and a scratch record when it is gone.
    PlayerRecord& player(std::int32_t id) {
        PlayerRecord* record = players.find(id);
        EXPECT_NE(record, nullptr) << "player " << id << " is gone";
        return record != nullptr ? *record : missing;
    }

    // The once-per-second pass, in the main loop's order, with the effective chat limit.
    void oncePerSecond(std::int32_t chatLimit = 2) {
        server->checkChatFlood(chatLimit);
        server->resetChatCounters();
        server->checkJoinFlood();
        server->checkTimeouts(15);
        server->addIdleTime(1);
        server->sendPings();
    }

    std::filesystem::path directory;
    std::string banFile;
    PlayerRecord missing;
};

TEST_F(PolicingTest, ChatFloodRemovesOrBansAboveTheLimitAndClearsDeathReports) {
    struct Case {
        const char* settings;
        std::int32_t maxCount;  // as the loop passes it: ChatFloodMaxCount, or 2 when 0, negative or missing
        bool banned;
    };
    const Case cases[] = {
        {"", 2, false},
        {"BanOnChatFlood 0\n", 2, false},
        {"BanOnChatFlood 2\n", 2, false},
        {"BanOnChatFlood -1\n", 2, false},
        {"BanOnChatFlood 1\n", 2, true},
        {"BanOnChatFlood 1\n", 5, true},
        {"BanOnChatFlood 0\n", 5, false},
    };
    start();
    const PeerAddress calm = peer(2), loud = peer(3), louder = peer(4), quiet = peer(5), boss = peer(9, 6000);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.settings) + "limit " + std::to_string(testCase.maxCount));
        reconfigure(testCase.settings);
        players.clear();
        adminServer->administrators().clear();
        network.clearSent();
        log.clear();
        const std::vector<std::string> bansBefore = bans.entries();

        ASSERT_EQ(players.add(calm, "calm"), 0);
        ASSERT_EQ(players.add(loud, "loud"), 1);
        ASSERT_EQ(players.add(louder, "louder"), 2);
        ASSERT_EQ(players.add(quiet, "quiet"), 3);
        adminServer->administrators().add(boss, "boss");
        player(0).chatCount = testCase.maxCount;  // at the limit: allowed
        player(1).chatCount = testCase.maxCount + 1;
        player(2).chatCount = testCase.maxCount + 7;
        player(0).killReports = 2;
        player(3).killReports = 1;

        server->checkChatFlood(testCase.maxCount);

        const auto notice = bytesOf({6, testCase.banned ? 1 : 3});
        const auto leftLoud = bytesOf({9, 3, 1}), leftLouder = bytesOf({9, 3, 2});
        if (testCase.banned) {
            EXPECT_EQ(log.lines(), (Lines{"BANNED: 'loud', PlayerID = 1 ... banned due to chat flood.",
                                          "BANNED: 'louder', PlayerID = 2 ... banned due to chat flood."}));
            std::vector<std::string> expectedBans = bansBefore;
            expectedBans.insert(expectedBans.end(), {"127.0.0.3", "127.0.0.4"});
            EXPECT_EQ(bans.entries(), expectedBans);
            EXPECT_NE(banFileText().find("127.0.0.4"), std::string::npos) << "the ban list file is rewritten";
        } else {
            EXPECT_EQ(log.lines(), (Lines{"QUIT: 'loud', PlayerID = 1 ... quit due to chat flood.",
                                          "QUIT: 'louder', PlayerID = 2 ... quit due to chat flood."}));
            EXPECT_EQ(bans.entries(), bansBefore);
        }
        EXPECT_EQ(gameSentTo(loud), (Packets{notice}));
        // The second flooder is still connected when the first one's departure is announced.
        EXPECT_EQ(gameSentTo(louder), (Packets{leftLoud, notice}));
        EXPECT_EQ(gameSentTo(calm), (Packets{leftLoud, leftLouder}));
        EXPECT_EQ(gameSentTo(quiet), (Packets{leftLoud, leftLouder}));
        EXPECT_EQ(adminSentTo(boss), (Packets{leftLoud, leftLouder}));
        EXPECT_TRUE(gameSentTo(boss).empty());

        EXPECT_EQ(players.size(), 2);
        EXPECT_FALSE(players.exists(1));
        EXPECT_FALSE(players.exists(2));
        EXPECT_EQ(player(0).killReports, 0);
        EXPECT_EQ(player(3).killReports, 0);
    }
}

TEST_F(PolicingTest, ChatCountersClearEveryPassAndTheLastChatEveryFourth) {
    start();
    players.add(peer(2), "ann");
    players.add(peer(3), "ben");
    const std::int32_t expectedCycle[] = {1, 2, 3, 0, 1, 2, 3, 0};
    const bool clearedOnPass[] = {false, false, false, true, false, false, false, true};
    for (int pass = 0; pass < 8; ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass + 1));
        for (auto& entry : players.records()) {
            entry.second.chatCount = 2;
            if (entry.second.lastChat.empty()) entry.second.lastChat = "hello";
        }
        server->resetChatCounters();
        EXPECT_EQ(server->chatCycle(), expectedCycle[pass]);
        for (const auto& entry : players.records()) {
            EXPECT_EQ(entry.second.chatCount, 0);
            EXPECT_EQ(entry.second.lastChat.empty(), clearedOnPass[pass]);
        }
    }
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PolicingTest, JoinFloodIsJudgedOnTheSixthPassAndBansAtThreeAttempts) {
    struct Case {
        const char* ipText;
        std::uint32_t attempts;  // the accepted join included
        bool banned;
    };
    const Case cases[] = {
        {"10.0.0.1", 1, false},
        {"127.0.0.2", 3, true},
        {"127.0.0.3", 2, false},
        {"192.168.1.20", 9, true},
    };
    start();
    for (const auto& testCase : cases) server->recentJoins()[testCase.ipText] = {0, testCase.attempts};

    for (std::uint32_t pass = 1; pass <= 5; ++pass) {
        server->checkJoinFlood();
        for (const auto& testCase : cases) {
            ASSERT_TRUE(server->recentJoins().contains(testCase.ipText)) << testCase.ipText << " pass " << pass;
            EXPECT_EQ(server->recentJoins()[testCase.ipText].ticks, pass);
        }
        if (pass == 3) server->recentJoins()["127.0.0.9"] = {0, 5};  // a later join is judged later
    }
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(bans.entries().empty());

    server->checkJoinFlood();
    EXPECT_EQ(log.lines(),
              (Lines{"BANNED: '127.0.0.2' for Join Flood.", "BANNED: '192.168.1.20' for Join Flood."}));
    EXPECT_EQ(bans.entries(), (std::vector<std::string>{"127.0.0.2", "192.168.1.20"}));
    EXPECT_NE(banFileText().find("192.168.1.20"), std::string::npos) << "the ban list file is rewritten";
    ASSERT_EQ(server->recentJoins().size(), 1u);
    EXPECT_EQ(server->recentJoins()["127.0.0.9"].ticks, 3u);

    server->checkJoinFlood();
    server->checkJoinFlood();
    server->checkJoinFlood();
    EXPECT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(log.lines().back(), "BANNED: '127.0.0.9' for Join Flood.");
    EXPECT_TRUE(server->recentJoins().empty());
    EXPECT_TRUE(network.sent.empty()) << "a join-flood ban tells nobody";
}

TEST_F(PolicingTest, SilentPlayersAndAdminsGoOnTheSeventeenthPass) {
    start();
    const PeerAddress silent = peer(2), talker = peer(3), late = peer(4);
    const PeerAddress mute = peer(8, 6000), boss = peer(9, 6000);
    players.add(silent, "Rico");
    players.add(talker, "talker");
    players.add(late, "late");
    adminServer->administrators().add(mute, "mute");
    adminServer->administrators().add(boss, "boss");

    // A datagram of any kind resets the count; "late" last spoke after pass 8.
    const auto speak = [&](int pass) {
        players.resetIdle(1);
        adminServer->administrators().resetIdle(1);
        if (pass <= 8) players.resetIdle(2);
    };
    for (int pass = 1; pass <= 16; ++pass) {
        server->checkTimeouts(15);
        server->addIdleTime(1);
        speak(pass);
    }
    EXPECT_EQ(player(0).idleSeconds, 16);
    EXPECT_EQ(players.size(), 3);
    EXPECT_EQ(adminServer->administrators().size(), 2);
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(log.lines().empty());

    server->checkTimeouts(15);
    server->addIdleTime(1);
    speak(17);
    EXPECT_EQ(log.lines(), (Lines{"QUIT: 'Rico', PlayerID = 0 ... quit due to timeout.",
                                  "ADMIN-QUIT: 'mute', ID = 0 ... quit due to timeout."}));
    EXPECT_FALSE(players.exists(0));
    EXPECT_FALSE(adminServer->administrators().exists(0));
    const auto left = bytesOf({9, 2, 0});
    EXPECT_EQ(gameSentTo(talker), (Packets{left}));
    EXPECT_EQ(gameSentTo(late), (Packets{left}));
    EXPECT_EQ(adminSentTo(boss), (Packets{left}));
    EXPECT_TRUE(network.sentTo(silent).empty()) << "nothing goes to the silent player";
    // Players are judged before admins, so the silent admin still hears of Rico; of its own removal
    // nobody hears anything.
    EXPECT_EQ(network.sentTo(mute), (Packets{left}));

    for (int pass = 18; pass <= 24; ++pass) {
        server->checkTimeouts(15);
        server->addIdleTime(1);
        speak(pass);
    }
    EXPECT_TRUE(players.exists(2));
    server->checkTimeouts(15);
    EXPECT_EQ(log.lines().back(), "QUIT: 'late', PlayerID = 2 ... quit due to timeout.");
    EXPECT_EQ(gameSentTo(talker), (Packets{left, bytesOf({9, 2, 2})}));
    EXPECT_TRUE(players.exists(1));
    EXPECT_TRUE(adminServer->administrators().exists(1));
}

TEST_F(PolicingTest, PingsMeasureEachPlayerAndReachAdminsToo) {
    struct Case {
        std::uint16_t pingTime, pongTime, ping;
        std::uint16_t expectedPing;
    };
    const Case cases[] = {
        {1250, 1300, 40, 50},
        {65500, 30, 7, 66},        // the millisecond clock wrapped between request and reply
        {2000, 1000, 90, 64536},   // no reply since the last request
        {0, 0, 0, 0},              // a new player
    };
    start();
    const PeerAddress boss = peer(9, 6000);
    for (std::uint32_t index = 0; index < std::size(cases); ++index) {
        const std::int32_t id = players.add(peer(2 + index), "p" + std::to_string(index));
        player(id).pingTime = cases[index].pingTime;
        player(id).pongTime = cases[index].pongTime;
        player(id).ping = cases[index].ping;
    }
    adminServer->administrators().add(boss, "boss");
    clock.setMilliseconds(70000);  // the request time keeps the low 16 bits: 4464

    server->sendPings();
    for (std::uint32_t index = 0; index < std::size(cases); ++index) {
        SCOPED_TRACE("case " + std::to_string(index));
        const PlayerRecord& record = player(static_cast<std::int32_t>(index));
        EXPECT_EQ(record.lastPing, cases[index].ping);
        EXPECT_EQ(record.ping, cases[index].expectedPing);
        EXPECT_EQ(record.pingTime, 4464);
        EXPECT_EQ(network.sentTo(record.address), (Packets{bytesOf({4})}));
        EXPECT_EQ(gameSentTo(record.address).size(), 1u);
    }
    EXPECT_EQ(adminSentTo(boss), (Packets{bytesOf({4})}));
    EXPECT_TRUE(gameSentTo(boss).empty());

    // The next pass: the reply arrived 35 ms after the request.
    player(0).pongTime = 4464 + 35;
    clock.setMilliseconds(71000);
    server->sendPings();
    EXPECT_EQ(player(0).lastPing, 50);
    EXPECT_EQ(player(0).ping, 35);
    EXPECT_EQ(player(0).pingTime, static_cast<std::uint16_t>(71000));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PolicingTest, UnansweredCheckSumRequestsRemoveThePlayerOnTheNinthTick) {
    start();
    const PeerAddress mute = peer(2), answering = peer(3), boss = peer(9, 6000);
    players.add(mute, "mute");
    players.add(answering, "answering");
    adminServer->administrators().add(boss, "boss");
    const auto request = bytesOf({25});

    for (int tick = 1; tick <= 8; ++tick) {
        server->checkClientCrc();
        EXPECT_EQ(player(0).crcPending, tick);
        EXPECT_EQ(player(1).crcPending, 1);
        players.resetCrcPending(1);  // a correct answer
    }
    EXPECT_EQ(gameSentTo(mute), Packets(8, request));
    EXPECT_EQ(gameSentTo(answering), Packets(8, request));
    EXPECT_TRUE(log.lines().empty());

    network.clearSent();
    server->checkClientCrc();
    EXPECT_EQ(log.lines(), (Lines{"QUIT: 'mute', PlayerID = 0 ... quit due to client crc timeout."}));
    EXPECT_FALSE(players.exists(0));
    EXPECT_TRUE(players.exists(1));
    // The notice goes out during the walk; the removal and its announcement follow it.
    const auto left = bytesOf({9, 6, 0});
    ASSERT_EQ(network.sent.size(), 4u);
    const struct {
        int socket;
        PeerAddress peer;
        std::vector<std::uint8_t> bytes;
    } expected[] = {
        {0, mute, bytesOf({6, 9})},
        {0, answering, request},
        {0, answering, left},
        {1, boss, left},
    };
    for (std::size_t index = 0; index < std::size(expected); ++index) {
        SCOPED_TRACE("datagram " + std::to_string(index));
        EXPECT_EQ(network.sent[index].socket, expected[index].socket);
        EXPECT_EQ(network.sent[index].peer, expected[index].peer);
        EXPECT_EQ(network.sent[index].bytes, expected[index].bytes);
    }
}

TEST_F(PolicingTest, AnsweringClientsStayAndSilentOnesGoOnTheLoopSchedule) {
    configure("BanOnChatFlood 1\n");
    start();
    const PeerAddress steady = peer(2), vanishing = peer(3);
    players.add(steady, "steady");
    players.add(vanishing, "vanishing");
    server->recentJoins()["127.0.0.2"] = {0, 1};
    server->recentJoins()["127.0.0.3"] = {0, 1};

    // Ten minutes, a pass per second and a check-sum tick every 30: "steady" answers every ping and
    // every check-sum request (and chats twice a second); "vanishing" falls silent after second 40.
    for (int second = 1; second <= 600; ++second) {
        oncePerSecond();
        if (second % 30 == 0) server->checkClientCrc();
        players.resetIdle(0);
        players.resetCrcPending(0);
        player(0).chatCount = 2;
        if (second <= 40) {
            ASSERT_TRUE(players.exists(1)) << "second " << second;
            players.resetIdle(1);
            players.resetCrcPending(1);
        }
        if (second == 56) {
            EXPECT_TRUE(players.exists(1));
        }
        if (second == 57) {
            EXPECT_FALSE(players.exists(1));
        }
    }
    EXPECT_TRUE(players.exists(0));
    EXPECT_EQ(log.lines(), (Lines{"QUIT: 'vanishing', PlayerID = 1 ... quit due to timeout."}));
    EXPECT_TRUE(bans.entries().empty());
    EXPECT_TRUE(server->recentJoins().empty());
    const Packets sent = gameSentTo(steady);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), bytesOf({4})), 600);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), bytesOf({25})), 20);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), bytesOf({9, 2, 1})), 1);
    EXPECT_EQ(sent.size(), 621u);
}

TEST_F(PolicingTest, AnEmptyServerOnlyAdvancesTheCycleAndAgesJoins) {
    start();
    server->recentJoins()["127.0.0.2"] = {0, 2};
    for (int pass = 1; pass <= 5; ++pass) oncePerSecond();
    server->checkClientCrc();
    EXPECT_EQ(server->chatCycle(), 1);
    EXPECT_EQ(server->recentJoins()["127.0.0.2"].ticks, 5u);
    oncePerSecond();
    EXPECT_TRUE(server->recentJoins().empty());
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(bans.entries().empty());
}

// The minutes keys give flood bans a time limit and say who banned; without them (or with 0 or
// less) the ban file gets the bare address as ever. The log lines are the same either way.
TEST_F(PolicingTest, FloodBansRunOutAfterTheConfiguredMinutes) {
    struct Case {
        const char* settings;
        const char* banFile;
        std::int64_t secondsToFirstExpiry;  // 0: nothing expires
    };
    // The chat flood is judged first in the pass, so its ban is the first line.
    const Case cases[] = {
        {"", "127.0.0.3\n127.0.0.2\n", 0},
        {"JoinFloodBanMinutes 0\nChatFloodBanMinutes 0\n", "127.0.0.3\n127.0.0.2\n", 0},
        {"JoinFloodBanMinutes -5\nChatFloodBanMinutes x\n", "127.0.0.3\n127.0.0.2\n", 0},
        {"JoinFloodBanMinutes 90\nChatFloodBanMinutes 15\n",
         "127.0.0.3 # until=2026-12-10T12:15:00Z by=chat-flood at=2026-12-10T12:00:00Z\n"
         "127.0.0.2 # until=2026-12-10T13:30:00Z by=join-flood at=2026-12-10T12:00:00Z\n",
         15 * 60},
        {"JoinFloodBanMinutes 1\n",
         "127.0.0.3\n127.0.0.2 # until=2026-12-10T12:01:00Z by=join-flood at=2026-12-10T12:00:00Z\n", 60},
    };
    start();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.settings);
        reconfigure(std::string("BanOnChatFlood 1\n") + testCase.settings);
        bans.save();  // the last case's expiry written, as the loop does within a second
        std::ofstream(banFile, std::ios::trunc).close();
        ASSERT_TRUE(bans.load(banFile));
        clock.setSeconds(1796904000);  // 2026-12-10T12:00:00Z
        players.clear();
        log.clear();
        server->recentJoins()["127.0.0.2"] = {5, 3};
        ASSERT_EQ(players.add(peer(3), "loud"), 0);
        player(0).chatCount = 3;

        server->checkChatFlood(2);
        server->checkJoinFlood();
        EXPECT_EQ(log.lines(), (Lines{"BANNED: 'loud', PlayerID = 0 ... banned due to chat flood.",
                                      "BANNED: '127.0.0.2' for Join Flood."}));
        EXPECT_EQ(banFileText(), testing::asFileText(testCase.banFile));
        EXPECT_TRUE(bans.isBanned("127.0.0.2"));
        EXPECT_TRUE(bans.isBanned("127.0.0.3"));

        if (testCase.secondsToFirstExpiry == 0) {
            bans.expireDue(clock.calendarSeconds() + 10LL * 365 * 86400);
            EXPECT_EQ(bans.entries().size(), 2u) << "a permanent flood ban never runs out";
            continue;
        }
        bans.expireDue(clock.calendarSeconds() + testCase.secondsToFirstExpiry - 1);
        EXPECT_EQ(bans.entries().size(), 2u);
        bans.expireDue(clock.calendarSeconds() + testCase.secondsToFirstExpiry);
        EXPECT_EQ(bans.entries().size(), 1u);
    }
}

// Forged floods must not fill the ban list: beyond AutoBanMaxPerMinute bans in a minute, join
// flooders are not banned but get no answer for the rest of the minute, and a chat flooder is only
// removed. Everybody else still joins.
TEST_F(PolicingTest, AutomaticBansBeyondTheMinutesLimitDropTheOffendersInstead) {
    reconfigure("AutoBanMaxPerMinute 2\nBanOnChatFlood 1\n");
    start();
    std::uint8_t nameLetter = 'a';
    const auto joinFrom = [&](const PeerAddress& from) {
        network.clearSent();
        receiveGame(from, bytesOf({1, 24, 'p', nameLetter++, '|', 0}));
        return gameSentTo(from);
    };
    for (std::uint32_t host = 11; host <= 15; ++host) {
        server->recentJoins()["127.0.0." + std::to_string(host)] = {5, 3};
    }
    server->checkJoinFlood();
    EXPECT_EQ(log.lines(),
              (Lines{"BANNED: '127.0.0.11' for Join Flood.", "BANNED: '127.0.0.12' for Join Flood."}));
    EXPECT_EQ(bans.entries(), (std::vector<std::string>{"127.0.0.11", "127.0.0.12"}));

    EXPECT_EQ(joinFrom(peer(11)), (Packets{bytesOf({6, 1})})) << "banned";
    for (std::uint32_t host = 13; host <= 15; ++host) {
        EXPECT_TRUE(joinFrom(peer(host, 7000)).empty()) << "dropped: 127.0.0." << host;
    }
    ASSERT_FALSE(joinFrom(peer(20)).empty());
    EXPECT_EQ(gameSentTo(peer(20)).front().front(), 1) << "anybody else is welcome";

    // A chat flooder in the same minute is removed, not banned.
    log.clear();
    const std::int32_t loud = players.add(peer(30), "loud");
    player(loud).chatCount = 3;
    server->checkChatFlood(2);
    EXPECT_EQ(log.lines(), (Lines{"QUIT: 'loud', PlayerID = " + std::to_string(loud) + " ... quit due to chat flood."}));
    EXPECT_FALSE(bans.isBannedAddress(peer(30)));
    EXPECT_TRUE(joinFrom(peer(30)).empty());

    // After the minute the dropped addresses may try again, and the summary is logged once.
    clock.advanceSeconds(60);
    log.clear();
    server->checkJoinFlood();
    EXPECT_EQ(log.lines(), (Lines{"SERVER-WARNING: 4 flood offenders dropped unanswered instead of banned in the "
                                  "last minute (AutoBanMaxPerMinute 2)."}));
    EXPECT_EQ(joinFrom(peer(13)).front().front(), 1);
}

// Forged joins from ever new addresses must not fill the disk with join and quit lines: beyond
// JoinMaxPerSecond accepted joins in a second, a join gets no answer and no line, whoever sends it;
// the next second takes joins again, and one line sums the drops up once their minute is over.
TEST_F(PolicingTest, JoinsBeyondTheSecondsLimitAreDroppedUnansweredAndSummedUpOnceAMinute) {
    reconfigure("JoinMaxPerSecond 3\nMaxPlayers 26\n");
    start();
    std::uint32_t nextHost = 10;
    const auto joinAndQuit = [&] {
        const PeerAddress from = peer(nextHost++);
        network.clearSent();
        receiveGame(from, bytesOf({1, 24, 'f', 'o', 'r', 'g', 'e', 'd', '|', 0}));
        const Packets answer = gameSentTo(from);
        if (!answer.empty() && answer.front().front() == 1) receiveGame(from, bytesOf({2}));
        return !answer.empty();
    };
    const auto joinLines = [this] {
        std::size_t count = 0;
        for (const std::string& line : log.lines()) count += line.rfind("JOIN: ", 0) == 0 ? 1 : 0;
        return count;
    };
    std::vector<bool> answered;
    for (int attempt = 0; attempt < 5; ++attempt) answered.push_back(joinAndQuit());
    EXPECT_EQ(answered, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(joinLines(), 3u);

    clock.advanceMonotonicMilliseconds(999);
    EXPECT_FALSE(joinAndQuit()) << "still the same second";
    clock.advanceMonotonicMilliseconds(1);
    EXPECT_TRUE(joinAndQuit()) << "a new second";
    EXPECT_EQ(joinLines(), 4u);

    log.clear();
    server->passSecond(2, 15);
    EXPECT_TRUE(server->needsSecondTicks()) << "a summary is due";
    EXPECT_EQ(log.text().find("joins dropped"), std::string::npos) << "not before the minute is over";
    clock.advanceSeconds(59);
    server->passSecond(2, 15);
    EXPECT_EQ(log.lines(), (Lines{"SERVER-WARNING: 3 joins dropped unanswered in the last minute (JoinMaxPerSecond 3)."}));
    log.clear();
    clock.advanceSeconds(60);
    server->passSecond(2, 15);
    EXPECT_TRUE(log.lines().empty()) << "no line for a minute without drops";
}

// The expiry count takes every ban that ran out: those whose date had passed when the file was read
// at start-up or at a reload (each logged as expired there) as well as those that run out later.
TEST_F(PolicingTest, ExpiredBansAreCountedWhetherTheyRanOutWhenReadOrLater) {
    const auto writeBanFile = [this](const std::string& text) {
        std::ofstream out(banFile, std::ios::binary | std::ios::trunc);
        out << text;
    };
    const auto dated = [this](const char* entry, std::int64_t fromNow) {
        return std::string(entry) + " # until=" + utcDateText(clock.calendarSeconds() + fromNow) + "\n";
    };
    writeBanFile(dated("1.1.1.1", -60) + dated("2.2.2.2", -1) + dated("3.3.3.3", 5));
    ASSERT_TRUE(bans.load(banFile));
    start();
    GameCounters counters;
    server->addObserver(counters);
    EXPECT_TRUE(server->needsSecondTicks());
    server->passSecond(2, 15);
    EXPECT_EQ(counters.bansExpired(), 2u) << "both ran out before the start";

    writeBanFile(dated("3.3.3.3", 5) + dated("4.4.4.4", -10));
    ASSERT_TRUE(bans.load(banFile));
    server->passSecond(2, 15);
    EXPECT_EQ(counters.bansExpired(), 3u) << "one ran out before the reload";

    clock.advanceSeconds(5);
    server->passSecond(2, 15);
    EXPECT_EQ(counters.bansExpired(), 4u) << "one ran out while the server ran";
    server->passSecond(2, 15);
    EXPECT_EQ(counters.bansExpired(), 4u) << "each once";
    server->removeObserver(counters);
}

}  // namespace
}  // namespace varn
