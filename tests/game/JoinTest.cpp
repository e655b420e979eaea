#include <gtest/gtest.h>

#include <string>

#include "support/GameServerFixture.h"

namespace varn {
namespace {

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;

Bytes joinDatagram(std::string_view nameField, std::string_view password = {}, int version = 24) {
    Bytes datagram = {1, static_cast<std::uint8_t>(version)};
    datagram.insert(datagram.end(), nameField.begin(), nameField.end());
    datagram.push_back('|');
    datagram.insert(datagram.end(), password.begin(), password.end());
    datagram.push_back(0);
    return datagram;
}

class JoinTest : public testing::GameServerFixture {
protected:
    // The datagrams the peer got back from the game endpoint.
    Bytes onlyReplyTo(const PeerAddress& who) {
        const auto replies = gameSentTo(who);
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? Bytes{} : replies[0];
    }
};

TEST_F(JoinTest, RefusalsComeInTheirOrder) {
    struct Case {
        const char* name;
        Bytes datagram;
        Bytes reply;
    };
    const Case cases[] = {
        {"empty name after filtering", joinDatagram("\x01\x7F\x80"), bytesOf({6})},
        {"colour code skipped whole, nothing left", joinDatagram("\x02" "abcde"), bytesOf({6})},
        {"reserved word, any case", joinDatagram("ADMINistrator"), bytesOf({6, 0})},
        {"reserved word with digit", joinDatagram("Admin1"), bytesOf({6, 0})},
        {"name taken, case ignored", joinDatagram("TAKEN"), bytesOf({6, 0})},
        {"wrong version", joinDatagram("newbie", {}, 23), bytesOf({6, 6})},
        {"version byte missing", bytesOf({1}), bytesOf({6, 6})},
    };
    start();
    players.add(peer(200), "taken");
    std::uint32_t octet = 2;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const PeerAddress who = peer(octet++);
        receiveGame(who, testCase.datagram);
        EXPECT_EQ(onlyReplyTo(who), testCase.reply);
    }
    EXPECT_EQ(players.size(), 1) << "no refused join leaves a record";
    EXPECT_TRUE(server->recentJoins().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(JoinTest, EarlierRulesWinOverLaterOnes) {
    configure("MaxPlayers 1\n");
    start();
    bans.add("127.0.0.9");
    receiveGame(peer(2), joinDatagram("first"));
    ASSERT_EQ(players.size(), 1);
    network.clearSent();

    receiveGame(peer(2), joinDatagram("again", {}, 99));  // already joined beats everything
    EXPECT_EQ(onlyReplyTo(peer(2)), bytesOf({6, 2}));
    receiveGame(peer(9), joinDatagram("x", {}, 99));  // banned beats full
    EXPECT_EQ(onlyReplyTo(peer(9)), bytesOf({6, 1}));
    receiveGame(peer(3), bytesOf({1}));  // full before the version byte is even looked at
    EXPECT_EQ(onlyReplyTo(peer(3)), bytesOf({6, 7}));
}

TEST_F(JoinTest, RecentJoinFromTheSameAddressCountsAnAttempt) {
    start();
    receiveGame(peer(2, 5000), joinDatagram("first"));
    network.clearSent();
    receiveGame(peer(2, 5001), joinDatagram("second"));
    EXPECT_EQ(onlyReplyTo(peer(2, 5001)), bytesOf({6}));
    ASSERT_TRUE(server->recentJoins().contains("127.0.0.2"));
    EXPECT_EQ(server->recentJoins().at("127.0.0.2").attempts, 2u);
    EXPECT_EQ(server->recentJoins().at("127.0.0.2").ticks, 0u);
}

TEST_F(JoinTest, NameWalk) {
    struct Case {
        const char* name;
        Bytes datagram;
        std::string joinedAs;
    };
    Bytes noBar = {1, 24, 'a', 'b', 'c'};
    Bytes colour = joinDatagram("\x02" "12345bob");
    const Case cases[] = {
        {"cut at twelve", joinDatagram("abcdefghijklmnopqrst"), "abcdefghijkl"},
        {"stops at the bar", joinDatagram("ab|cd"), "ab"},
        {"unprintable bytes dropped", joinDatagram("a\tb\xFF" "c"), "abc"},
        {"colour code and five bytes skipped", colour, "bob"},
        {"no bar: ends with the datagram", noBar, "abc"},
        {"Adm is not reserved", joinDatagram("Adm"), "Adm"},
    };
    start();
    std::uint32_t octet = 2;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        players.clear();
        const PeerAddress who = peer(octet++);
        receiveGame(who, testCase.datagram);
        ASSERT_EQ(players.size(), 1);
        EXPECT_EQ(players.find(0)->name, testCase.joinedAs);
    }
}

TEST_F(JoinTest, PasswordIsCheckedOnlyWhenEnabled) {
    configure("ServerPassword Secret\n");
    start();
    server->requirePassword();
    receiveGame(peer(2), joinDatagram("alice", "secret"));
    EXPECT_EQ(onlyReplyTo(peer(2)), bytesOf({6, 4}));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"ERROR: Unable to add 'alice' from '127.0.0.2,' password is incorrect."});
    receiveGame(peer(3), joinDatagram("bob"));  // the password field is empty
    EXPECT_EQ(onlyReplyTo(peer(3)), bytesOf({6, 4}));
    receiveGame(peer(4), Bytes{1, 24, 'c', 'a', 'r', 'l'});  // no '|': the password would start past the end
    EXPECT_EQ(onlyReplyTo(peer(4)), bytesOf({6, 4}));
    EXPECT_EQ(players.size(), 0);

    receiveGame(peer(5), joinDatagram("dave", "Secret"));
    EXPECT_EQ(players.size(), 1);
    // A password changed at run time counts from the next join.
    settings.serverPassword = "other";
    receiveGame(peer(6), joinDatagram("erin", "other"));
    EXPECT_EQ(players.size(), 2);
}

TEST_F(JoinTest, AcceptedJoinWelcomesAnnouncesAndLogs) {
    configure("StatLogging 1\n");
    start();
    adminServer->administrators().add(peer(100, 6000), "boss");
    receiveGame(peer(2), joinDatagram("alice"));
    players.setScore(0, 5);
    network.clearSent();
    log.clear();

    receiveGame(peer(3, 5003), joinDatagram("bob"));
    const auto toBob = gameSentTo(peer(3, 5003));
    ASSERT_EQ(toBob.size(), 1u);
    const Bytes welcome = {1, 2, 1, 1, 4, 0x21, 0x0E, 0x0C, 0x49, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11,
                     0, 5, 0, 'a', 'l', 'i', 'c', 'e', 7};
    EXPECT_EQ(toBob[0], welcome);
    EXPECT_EQ(gameSentTo(peer(2)), std::vector<Bytes>{bytesOf({8, 1, 'b', 'o', 'b'})});
    const Bytes adminNotice = {8, 1, 'b', 'o', 'b', 0, '1', '2', '7', '.', '0', '.', '0', '.', '3'};
    EXPECT_EQ(adminSentTo(peer(100, 6000)), std::vector<Bytes>{adminNotice});
    // The statistics line goes to the file only, so the console shows just the join line.
    EXPECT_EQ(log.lines(), std::vector<std::string>{"JOIN: 'bob', PlayerID = 1 (127.0.0.3)"});
    EXPECT_EQ(server->recentJoins().at("127.0.0.3").attempts, 1u);
}

TEST_F(JoinTest, QuitFreesTheIdForTheNextJoin) {
    start();
    adminServer->administrators().add(peer(100), "boss");
    receiveGame(peer(2), joinDatagram("alice"));
    receiveGame(peer(3), joinDatagram("bob"));
    network.clearSent();
    log.clear();

    receiveGame(peer(2), bytesOf({2}));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"QUIT: 'alice', PlayerID = 0"});
    EXPECT_TRUE(gameSentTo(peer(2)).empty()) << "nothing goes to the leaving player";
    EXPECT_EQ(gameSentTo(peer(3)), std::vector<Bytes>{bytesOf({9, 0, 0})});
    EXPECT_EQ(adminSentTo(peer(100)), std::vector<Bytes>{bytesOf({9, 0, 0})});

    // A quit from an unknown address does nothing.
    network.clearSent();
    receiveGame(peer(50), bytesOf({2}));
    EXPECT_TRUE(network.sent.empty());

    receiveGame(peer(4), joinDatagram("carol"));
    const auto toCarol = gameSentTo(peer(4));
    ASSERT_FALSE(toCarol.empty());
    EXPECT_EQ(toCarol[0][3], 0) << "the freed id 0 is given again";
}

TEST_F(JoinTest, DebugLineForEveryDatagramAndUnknownIdsIgnored) {
    configure("DebugOutput 1\n");
    start();
    receiveGame(peer(2), bytesOf({200, 1, 2}));
    receiveGame(peer(2), bytesOf({26}));
    receiveGame(peer(2), bytesOf({4}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "SERVER-DEBUG: processCommand: -56 from '127.0.0.2' (numbytes = 3) - -1",
                               "SERVER-DEBUG: processCommand: 26 from '127.0.0.2' (numbytes = 1) - -1",
                               "SERVER-DEBUG: processCommand: 4 from '127.0.0.2' (numbytes = 1) - -1",
                           }));
    EXPECT_EQ(gameSentTo(peer(2)), std::vector<Bytes>{bytesOf({5})}) << "only the ping request is answered";
}

TEST_F(JoinTest, AnyDatagramFromAPlayerResetsItsIdleTime) {
    start();
    receiveGame(peer(2), joinDatagram("alice"));
    players.setIdle(0, 9);
    receiveGame(peer(2), bytesOf({77}));
    EXPECT_EQ(players.find(0)->idleSeconds, 0);
}

}  // namespace
}  // namespace varn

namespace varn {
namespace {

class JoinLockoutTest : public testing::GameServerFixture {};

TEST_F(JoinLockoutTest, FiveWrongPasswordsLockTheAddressOutOfJoining) {
    configure("ServerPassword right\nPasswordLockout 1\n");
    start();
    server->requirePassword();
    const PeerAddress guesser = peer(2);
    for (int attempt = 0; attempt < 5; ++attempt) receiveGame(guesser, joinDatagram("eve", "wrong"));
    EXPECT_EQ(gameSentTo(guesser).size(), 5u);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines.back(), "SERVER-WARNING: 127.0.0.2 locked out for 60 seconds after 5 wrong passwords.");

    // Locked out: even the right password is dropped without an answer or a line.
    network.clearSent();
    log.clear();
    receiveGame(guesser, joinDatagram("eve", "right"));
    receiveGame(peer(2, 6000), joinDatagram("eve", "right"));
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(log.lines().empty());
    receiveGame(peer(3), joinDatagram("bob", "right"));
    EXPECT_EQ(players.size(), 1) << "other addresses join as usual";

    clock.advanceSeconds(60);
    receiveGame(guesser, joinDatagram("eve", "right"));
    EXPECT_EQ(players.size(), 2);
}

// A locked address stays locked for its minute however many other addresses fail meanwhile.
TEST_F(JoinLockoutTest, ALockedAddressStaysLockedWhileThousandsOfOthersFail) {
    configure("ServerPassword right\nPasswordLockout 1\n");
    start();
    server->requirePassword();
    const PeerAddress guesser = peer(2);
    for (int attempt = 0; attempt < 5; ++attempt) receiveGame(guesser, joinDatagram("eve", "wrong"));
    for (std::uint32_t other = 0; other < 4100; ++other) {
        receiveGame(PeerAddress::fromHostOrder(0x0A000000u + other, 5000), joinDatagram("bob", "wrong"));
    }
    network.clearSent();
    receiveGame(guesser, joinDatagram("eve", "right"));
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(players.size(), 0);
}

// When every entry of the table is locked, a new address may still try, uncounted: a flood of
// forged addresses cannot keep the players out. Its wrong passwords are answered, but only the
// minute's summary tells of them.
TEST_F(JoinLockoutTest, AFullTableOfLockedAddressesStillLetsNewAddressesJoin) {
    configure("ServerPassword right\nPasswordLockout 1\n");
    start();
    server->requirePassword();
    for (std::uint32_t guesser = 0; guesser < PasswordLockout::kMaxEntries; ++guesser) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            receiveGame(PeerAddress::fromHostOrder(0x0A000000u + guesser, 5000), joinDatagram("eve", "wrong"));
        }
    }
    server->reportWrongPasswords();
    network.clearSent();
    log.clear();
    const PeerAddress newcomer = peer(3);
    receiveGame(newcomer, joinDatagram("bob", "wrong"));
    EXPECT_EQ(gameSentTo(newcomer), (std::vector<std::vector<std::uint8_t>>{bytesOf({6, 4})}));
    receiveGame(newcomer, joinDatagram("bob", "right"));
    EXPECT_EQ(players.size(), 1) << "in at once";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"JOIN: 'bob', PlayerID = 0 (127.0.0.3)"}));
    receiveGame(PeerAddress::fromHostOrder(0x0A000007u, 5000), joinDatagram("eve", "right"));
    EXPECT_EQ(players.size(), 1) << "a locked address stays locked";

    clock.advanceSeconds(60);
    log.clear();
    server->reportWrongPasswords();
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().front().rfind("SERVER-WARNING: ", 0), 0u);
    EXPECT_NE(log.lines().front().find(" wrong passwords from "), std::string::npos);
}

// 4,100 forged addresses with five wrong passwords each in one second write no more than the
// budget's twenty lines (wrong passwords and lock-outs); the summary counts the rest.
TEST_F(JoinLockoutTest, AWrongPasswordFloodFromForgedAddressesWritesAFewLines) {
    configure("ServerPassword right\nPasswordLockout 1\n");
    start();
    server->requirePassword();
    for (std::uint32_t guesser = 0; guesser < 4100; ++guesser) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            receiveGame(PeerAddress::fromHostOrder(0x0A000000u + guesser, 5000), joinDatagram("eve", "wrong"));
        }
    }
    EXPECT_EQ(log.lines().size(), 20u);
    clock.advanceSeconds(60);
    log.clear();
    server->reportWrongPasswords();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "SERVER-WARNING: 20483 wrong passwords from 4097 addresses in the last minute."}));
    receiveGame(peer(3), joinDatagram("bob", "right"));
    EXPECT_EQ(players.size(), 1);
}

TEST_F(JoinLockoutTest, WallClockStepsChangeNoLockoutWindow) {
    configure("ServerPassword right\nPasswordLockout 1\n");
    start();
    server->requirePassword();
    const PeerAddress guesser = peer(2);
    for (int attempt = 0; attempt < 5; ++attempt) receiveGame(guesser, joinDatagram("eve", "wrong"));
    network.clearSent();
    for (const std::int64_t step : {3600, -7200}) {
        clock.stepCalendarSeconds(step);
        receiveGame(guesser, joinDatagram("eve", "right"));
        EXPECT_TRUE(network.sent.empty()) << "after a step of " << step << " seconds";
    }
    clock.advanceSeconds(60);
    receiveGame(guesser, joinDatagram("eve", "right"));
    EXPECT_EQ(players.size(), 1);
}

TEST_F(JoinLockoutTest, WithoutTheKeyWrongPasswordsAreAnsweredForever) {
    configure("ServerPassword right\n");
    start();
    server->requirePassword();
    for (int attempt = 0; attempt < 8; ++attempt) receiveGame(peer(2), joinDatagram("eve", "wrong"));
    EXPECT_EQ(gameSentTo(peer(2)).size(), 8u);
    receiveGame(peer(2), joinDatagram("eve", "right"));
    EXPECT_EQ(players.size(), 1);
}

}  // namespace
}  // namespace varn
