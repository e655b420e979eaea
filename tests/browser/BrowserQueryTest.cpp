#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "browser/BrowserFixture.h"
#include "browser/StatusReply.h"
#include "protocol/BrowserStatusReader.h"
#include "support/LogCapture.h"

namespace varn::testing {
namespace {

constexpr std::size_t kPieceData = 1360;

class BrowserQueryTest : public BrowserFixture {
protected:
    void reloadConfiguration(const std::string& lines) {
        config.clear();
        SetUp();
        configure(lines);
    }

    // The reply this server must send, built field by field from the browser's point of view.
    static Bytes statusHeader(const std::string& serverName, const std::string& map,
                              const std::string& password, const std::string& playerCount,
                              const std::string& maxPlayers) {
        Bytes bytes = bytesOfText("EYE1");
        for (const std::string& field :
             {std::string("varn"), std::string("4000"), serverName, std::string("VARN"), map,
              std::string("0.3"), password, playerCount, maxPlayers, std::string(" "), std::string(" ")}) {
            appendCounted(bytes, field);
        }
        bytes.push_back(0x01);
        return bytes;
    }
    static void appendPlayer(Bytes& bytes, const std::string& name, const std::string& score,
                             const std::string& ping) {
        bytes.push_back(0x3F);
        for (const std::string& field : {name, std::string(), std::string(), score, ping, std::string()}) {
            appendCounted(bytes, field);
        }
    }

    void addPlayers(int count, std::size_t nameLength) {
        const int first = players.size();
        for (int i = first; i < first + count; ++i) {
            std::string name = std::to_string(i);
            name.resize(nameLength, 'x');
            players.add(PeerAddress::fromHostOrder(0x7F010000u + static_cast<std::uint32_t>(i), 6000), name);
        }
    }
    Bytes expectedWithPlayers(const std::string& serverName, int count, std::size_t nameLength) {
        Bytes bytes = statusHeader(serverName, "Palm Bay", "0", std::to_string(count), "4");
        for (int i = 0; i < count && bytes.size() < StatusReply::kLimit; ++i) {
            std::string name = std::to_string(i);
            name.resize(nameLength, 'x');
            appendPlayer(bytes, name, "0", "0");
        }
        return bytes;
    }

    std::vector<Bytes> queryStatus(const PeerAddress& from) {
        const std::size_t before = sentTo(from).size();
        receive(from, {'s'});
        browser->poll();
        const auto all = sentTo(from);
        return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }

    static Bytes concat(const Bytes& first, const Bytes& second) {
        Bytes bytes = first;
        bytes.insert(bytes.end(), second.begin(), second.end());
        return bytes;
    }
    static Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
        return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                     bytes.begin() + static_cast<std::ptrdiff_t>(to));
    }
    static Bytes littleEndian(std::uint32_t value) {
        return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    }
};

TEST_F(BrowserQueryTest, StatusOfAnEmptyServerIsHeaderSpaceRuleAndEndOfRules) {
    start();
    const PeerAddress browserPeer = peer(0x7F000009u);
    const std::vector<Bytes> replies = queryStatus(browserPeer);
    // clang-format off
    const Bytes expected = {
        'E', 'Y', 'E', '1',
        5, 'v', 'a', 'r', 'n',
        5, '4', '0', '0', '0',
        12, 'T', 'e', 's', 't', ' ', 'S', 'e', 'r', 'v', 'e', 'r',
        5, 'V', 'A', 'R', 'N',
        9, 'P', 'a', 'l', 'm', ' ', 'B', 'a', 'y',
        4, '0', '.', '3',
        2, '0',  // password
        2, '0',  // players
        2, '4',  // maximum players
        2, ' ', 2, ' ',
        1,
    };
    // clang-format on
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], expected);
}

TEST_F(BrowserQueryTest, StatusFieldsAreReadFromTheConfigurationAtEachQuery) {
    start();
    struct Case {
        std::string lines;
        std::string serverName;
        const char* map;
        const char* password;
        const char* maxPlayers;
    };
    const std::string longName(300, 'n');
    const Case cases[] = {
        {"Game 1\nGameMode 2\n", "Test Server", "Iron Harbor Stunt", "0", "4"},
        {"GameMode 2\n", "Test Server", "Palm Bay Stunt", "0", "4"},
        {"Game 1\n", "Test Server", "Iron Harbor", "0", "4"},
        {"ServerPasswordEnabled 1\n", "Test Server", "Palm Bay", "1", "4"},
        {"ServerPasswordEnabled 2\n", "Test Server", "Palm Bay", "0", "4"},
        {"MaxPlayers \"  +12abc\"\n", "Test Server", "Palm Bay", "0", "12"},
        {"MaxPlayers -3\n", "Test Server", "Palm Bay", "0", "-3"},
        {"MaxPlayers many\n", "Test Server", "Palm Bay", "0", "0"},
        {"ServerName " + longName + "\n", std::string(254, 'n'), "Palm Bay", "0", "4"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.lines);
        reloadConfiguration(testCase.lines);
        const std::vector<Bytes> replies = queryStatus(peer(0x7F000009u));
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0], statusHeader(testCase.serverName, testCase.map, testCase.password, "0",
                                           testCase.maxPlayers));
    }
    EXPECT_EQ(queryStatus(peer(0x7F000009u))[0][14], 0xFF)
        << "a text cut to 254 characters has length byte 255";
}

TEST_F(BrowserQueryTest, ActivePlayersFollowInIdOrderWithScoreAndSignedPing) {
    const std::int32_t bob = players.add(peer(0x7F000002u), "Bob");
    const std::int32_t gone = players.add(peer(0x7F000003u), "Gone");
    const std::int32_t eve = players.add(peer(0x7F000004u), "Eve");
    const std::int32_t zed = players.add(peer(0x7F000005u), "Zed");
    PlayerRecord& bobRecord = *players.find(bob);
    bobRecord.score = 3;
    bobRecord.pongTime = 1045;
    bobRecord.pingTime = 1000;
    PlayerRecord& eveRecord = *players.find(eve);
    eveRecord.score = -1;
    eveRecord.pongTime = 10;
    eveRecord.pingTime = 65535;
    players.find(zed)->pongTime = 65535;
    // A player that has left leaves a gap in the ids.
    players.remove(gone);
    start();

    const std::vector<Bytes> replies = queryStatus(peer(0x7F000009u));
    ASSERT_EQ(replies.size(), 1u);
    Bytes expected = statusHeader("Test Server", "Palm Bay", "0", "3", "4");
    const Bytes bobEntry = {0x3F, 0x04, 'B', 'o', 'b', 0x01, 0x01, 0x02, '3', 0x03, '4', '5', 0x01};
    expected.insert(expected.end(), bobEntry.begin(), bobEntry.end());
    appendPlayer(expected, "Eve", "-1", "-65525");
    appendPlayer(expected, "Zed", "0", "65535");
    EXPECT_EQ(replies[0], expected);
}

TEST_F(BrowserQueryTest, ShortQueriesAreAnsweredEachToItsOwnSender) {
    struct Case {
        const char* name;
        Bytes query;
        std::optional<Bytes> reply;
    };
    Bytes ping19(19, 0xAB);
    ping19[0] = 'p';
    Bytes echo19 = ping19;
    echo19[0] = 'P';
    Bytes ping20(20, 0xAB);
    ping20[0] = 'p';
    Bytes challenge(9, 1);
    challenge[0] = 'v';
    const Case cases[] = {
        {"game name", {'g'}, bytesOfText("Gvarn")},
        {"game name, rest ignored", {'g', 'x', 'y'}, bytesOfText("Gvarn")},
        {"ping below 20 bytes", ping19, echo19},
        {"ping of a single byte", {'p'}, Bytes{'P'}},
        {"ping of 20 bytes", ping20, std::nullopt},
        {"unknown letter", {'x', 's'}, std::nullopt},
        {"zero byte", {0x00}, std::nullopt},
        {"capital S", {'S'}, std::nullopt},
        {"challenge from outside the master network", challenge, std::nullopt},
    };
    start();
    std::uint16_t port = 7000;
    for (const auto& testCase : cases) receive(peer(0x7F010001u, port++), testCase.query);
    ASSERT_TRUE(browser->poll());

    port = 7000;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto replies = sentTo(peer(0x7F010001u, port++));
        if (testCase.reply) {
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_EQ(replies[0], *testCase.reply);
        } else {
            EXPECT_TRUE(replies.empty());
        }
    }
}

TEST_F(BrowserQueryTest, AnEmptyOrOversizedDatagramIsSkippedAndTheQueriesBehindItAnswered) {
    for (const Bytes& skipped : {Bytes{}, Bytes(4097, 's')}) {
        SCOPED_TRACE(skipped.size());
        network.clearSent();
        start();
        receive(peer(0x7F000002u), {'g'});
        receive(peer(0x7F000003u), skipped);
        receive(peer(0x7F000004u), {'g'});
        browser->poll();
        EXPECT_EQ(sentTo(peer(0x7F000002u)).size(), 1u);
        EXPECT_TRUE(sentTo(peer(0x7F000003u)).empty());
        EXPECT_EQ(sentTo(peer(0x7F000004u)).size(), 1u) << "read in the same pass";
        EXPECT_TRUE(network.inbound.empty());
    }
}

// A flood of queries cannot hold the main loop: one poll reads at most its budget, answers in
// arrival order with batched sends, and leaves the rest, in order, for the next poll.
TEST_F(BrowserQueryTest, PollAnswersAtMostItsBudgetAndLeavesTheRestForTheNextPoll) {
    start();
    ASSERT_TRUE(browser->poll());  // the first heartbeats; the manual clock holds the next ones back
    network.clearSent();
    network.sendBatches.clear();
    const std::size_t queries = BrowserQuery::kPassBudget + 44;
    for (std::size_t query = 0; query < queries; ++query) {
        receive(peer(0x7F000002u, static_cast<std::uint16_t>(1000 + query)), {'g'});
    }
    ASSERT_TRUE(browser->poll());
    ASSERT_EQ(network.sent.size(), BrowserQuery::kPassBudget);
    EXPECT_EQ(network.inbound.size(), 44u);
    EXPECT_EQ(network.sendBatches, std::vector<std::size_t>{BrowserQuery::kPassBudget}) << "one batched send";
    ASSERT_TRUE(browser->poll());
    ASSERT_EQ(network.sent.size(), queries);
    EXPECT_TRUE(network.inbound.empty());
    for (std::size_t query = 0; query < queries; ++query) {
        EXPECT_EQ(network.sent[query].peer, peer(0x7F000002u, static_cast<std::uint16_t>(1000 + query)));
    }
}

TEST_F(BrowserQueryTest, RepliesOf1364BytesOrMoreGoInPiecesUnderOneIdentifier) {
    // 60 players of 12-character names; the server name's length sets the reply's exact size.
    addPlayers(60, 12);
    const std::size_t withoutName = expectedWithPlayers("", 60, 12).size();
    auto nameForSize = [&](std::size_t size) { return std::string(size - withoutName, 'n'); };
    start();
    const PeerAddress browserPeer = peer(0x7F000009u);
    const std::uint32_t senderAsLittleEndian = 0x0900007Fu;

    // Below the threshold: one datagram.
    reloadConfiguration("ServerName " + nameForSize(1363) + "\n");
    std::vector<Bytes> replies = queryStatus(browserPeer);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], expectedWithPlayers(nameForSize(1363), 60, 12));
    const std::uint32_t dueTime = 500'000 + 15'000;  // the first poll sent the first heartbeat

    // At the threshold: a full first piece and a second with the last four bytes.
    reloadConfiguration("ServerName " + nameForSize(1364) + "\n");
    const Bytes reply1364 = expectedWithPlayers(nameForSize(1364), 60, 12);
    ASSERT_EQ(reply1364.size(), 1364u);
    std::uint32_t identifier = senderAsLittleEndian + dueTime + 11;
    replies = queryStatus(browserPeer);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], concat(slice(reply1364, 0, kPieceData), littleEndian(identifier)));
    EXPECT_EQ(replies[1], concat(concat(bytesOfText("EYE2"), slice(reply1364, kPieceData, 1364)),
                                 littleEndian(identifier)));

    // Exactly two full pieces: a short closing piece follows, and the identifier keeps adding up.
    addPlayers(60, 12);
    const std::size_t withoutName120 = expectedWithPlayers("", 120, 12).size();
    const std::string name2716(2716 - withoutName120, 'n');
    reloadConfiguration("ServerName " + name2716 + "\n");
    const Bytes reply2716 = expectedWithPlayers(name2716, 120, 12);
    ASSERT_EQ(reply2716.size(), kPieceData + 1356);
    identifier += senderAsLittleEndian + dueTime + 11;
    replies = queryStatus(browserPeer);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0], concat(slice(reply2716, 0, kPieceData), littleEndian(identifier)));
    EXPECT_EQ(replies[1], concat(concat(bytesOfText("EYE2"), slice(reply2716, kPieceData, 2716)),
                                 littleEndian(identifier)));
    EXPECT_EQ(replies[2], concat(bytesOfText("EYE3"), concat(Bytes{0}, littleEndian(identifier))));
    EXPECT_EQ(replies[1].size(), 1364u);
}

TEST_F(BrowserQueryTest, PlayersStopAtTheReplyLimitAndThePiecesReassemble) {
    addPlayers(400, 12);
    start();
    const PeerAddress browserPeer = peer(0x7F000009u);
    const Bytes expected = expectedWithPlayers("Test Server", 400, 12);
    ASSERT_GE(expected.size(), StatusReply::kLimit);
    ASSERT_LT(expected.size(), StatusReply::kLimit + 30) << "one group past the limit at most";

    const std::vector<Bytes> replies = queryStatus(browserPeer);
    ASSERT_EQ(replies.size(), 5u);
    const Bytes identifier = littleEndian(0x0900007Fu + 0 + 11);  // no heartbeat sent before the first poll
    Bytes reassembled;
    for (std::size_t piece = 0; piece < replies.size(); ++piece) {
        SCOPED_TRACE(piece);
        const Bytes& datagram = replies[piece];
        ASSERT_LE(datagram.size(), 1364u);
        EXPECT_EQ(slice(datagram, 0, 3), bytesOfText("EYE"));
        EXPECT_EQ(static_cast<std::size_t>(datagram[3]), '1' + piece);
        EXPECT_EQ(slice(datagram, datagram.size() - 4, datagram.size()), identifier);
        reassembled = concat(reassembled, slice(datagram, piece == 0 ? 0 : 4, datagram.size() - 4));
    }
    EXPECT_EQ(reassembled, expected);
}

// The master reads what this server sends: a whole reply, and a long one from its pieces in any
// order (a missing piece leaves it incomplete; a piece of another reply is refused).
TEST_F(BrowserQueryTest, TheMastersReaderTakesTheRepliesWholeOrFromTheirPiecesInAnyOrder) {
    struct Case {
        int players;
        std::size_t replySize;  // 0: as the players make it
        std::size_t datagrams;
    };
    const Case cases[] = {{3, 0, 1}, {400, 0, 5}, {120, 2716, 3}};
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.players);
        players.clear();
        addPlayers(testCase.players, 12);
        std::string name = "Name <b>&amp; \xC3\xA9";
        if (testCase.replySize != 0) {
            const std::size_t withoutName = expectedWithPlayers("", testCase.players, 12).size();
            name = std::string(testCase.replySize - withoutName, 'n');
        }
        reloadConfiguration("ServerName \"" + name + "\"\nServerPassword x\nServerPasswordEnabled 1\n");
        start();
        const std::vector<Bytes> replies = queryStatus(peer(0x7F000009u));
        ASSERT_EQ(replies.size(), testCase.datagrams);

        browser::StatusPieces pieces;
        // Last first: every piece but the last leaves the reply incomplete.
        for (std::size_t index = replies.size(); index-- > 1;) {
            EXPECT_EQ(pieces.add(replies[index]), browser::StatusPieces::Outcome::incomplete);
        }
        if (replies.size() > 1) {
            Bytes stranger = replies[1];
            stranger[stranger.size() - 1] ^= 0x55;
            EXPECT_EQ(pieces.add(stranger), browser::StatusPieces::Outcome::refused);
        }
        ASSERT_EQ(pieces.add(replies[0]), browser::StatusPieces::Outcome::complete);
        const auto status = browser::decodeStatusReply(pieces.reply());
        ASSERT_TRUE(status);
        EXPECT_EQ(status->gameName, "varn");
        EXPECT_EQ(status->gamePort, 4000);
        EXPECT_EQ(status->serverName, name);
        EXPECT_EQ(status->mapName, "Palm Bay");
        EXPECT_EQ(status->version, "0.3");
        EXPECT_TRUE(status->password);
        EXPECT_EQ(status->players, testCase.players);
        EXPECT_EQ(status->maxPlayers, 4);
        EXPECT_EQ(status->rules, (std::vector<std::pair<std::string, std::string>>{{" ", " "}}));
        ASSERT_FALSE(status->playerList.empty());
        EXPECT_EQ(status->playerList.front().name, "0xxxxxxxxxxx");
        EXPECT_EQ(status->playerList.back().score, 0);
        // A reply cut anywhere in its fields is not a reply.
        const Bytes& whole = pieces.reply();
        for (const std::size_t cut : {std::size_t{3}, std::size_t{10}, std::size_t{40}}) {
            EXPECT_FALSE(browser::decodeStatusReply(std::span(whole).first(cut))) << cut;
        }
        if (replies.size() > 1) {
            browser::StatusPieces missing;
            for (std::size_t index = 0; index + 1 < replies.size(); ++index) {
                EXPECT_NE(missing.add(replies[index]), browser::StatusPieces::Outcome::complete);
            }
        }
    }
}

TEST(HeartbeatReaderTest, OnlyTheExactHeartbeatAnnouncesAPort) {
    struct Case {
        std::string datagram;
        std::optional<std::uint16_t> port;
    };
    const Case cases[] = {
        {"\\hb\\5126\\varn", 5126}, {"\\hb\\1\\varn", 1}, {"\\hb\\65535\\varn", 65535},
        {"\\hb\\65536\\varn", std::nullopt}, {"\\hb\\0\\varn", std::nullopt},
        {"\\hb\\05126\\varn", std::nullopt}, {"\\hb\\\\varn", std::nullopt},
        {"\\hb\\5126\\varnx", std::nullopt}, {"\\hb\\5126\\VARN", std::nullopt},
        {"\\hb\\-1\\varn", std::nullopt}, {"\\hb\\51 6\\varn", std::nullopt},
        {"\\HB\\5126\\varn", std::nullopt}, {"", std::nullopt}, {"\\hb\\", std::nullopt},
        {std::string("\\hb\\5126\\varn\0", 15), std::nullopt},
    };
    for (const Case& testCase : cases) {
        const Bytes datagram(testCase.datagram.begin(), testCase.datagram.end());
        EXPECT_EQ(browser::decodeHeartbeat(datagram), testCase.port) << testCase.datagram;
    }
    // What this server sends is what the reader takes.
    PacketWriter<browser::kMaxHeartbeatLength> heartbeat;
    browser::encodeHeartbeat(heartbeat, 27123);
    EXPECT_EQ(browser::decodeHeartbeat(std::span(heartbeat.data(), heartbeat.size())), 27123);
}

TEST(StatusReplyTest, GroupsAreWholeAndStopOnlyOnceTheLimitIsPassed) {
    StatusReply reply;
    reply.begin("varn", 4000);
    const std::string wide(300, 'w');
    const StatusReply::PlayerFields widest = {wide, wide, wide, wide, wide, wide};
    for (int group = 0; group < 10; ++group) reply.addPlayer(widest);
    // 14 header bytes, then groups of 1 + 6 * 255 bytes while the reply is below 6144 bytes: the
    // fifth starts at 6138 and runs past the limit whole.
    ASSERT_EQ(reply.bytes().size(), 14u + 5u * 1531u);
    EXPECT_EQ(reply.bytes()[reply.bytes().size() - 255], 0xFF);
    EXPECT_LE(reply.bytes().size(), StatusReply::kCapacity);
}

TEST(StatusReplyTest, AbsentFieldsAreLeftOutOrSentEmpty) {
    StatusReply reply;
    reply.begin("varn", 1);
    reply.addStatus(std::nullopt, std::nullopt, "m", std::nullopt, 0, -7, 26);
    reply.addRule(std::nullopt, "v");
    reply.addPlayer({"Al", std::nullopt, std::nullopt, "3", std::nullopt, ""});
    reply.addPlayer({std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    // clang-format off
    const Bytes expected = {
        'E', 'Y', 'E', '1', 5, 'v', 'a', 'r', 'n', 2, '1',
        1, 1, 2, 'm', 1, 2, '0', 3, '-', '7', 3, '2', '6',
        1, 2, 'v',
        0x29, 3, 'A', 'l', 2, '3', 1,
    };
    // clang-format on
    EXPECT_EQ(Bytes(reply.bytes().begin(), reply.bytes().end()), expected);
}

TEST_F(BrowserQueryTest, QuerySocketMovesUpPastBusyPortsAndNeverBeyond65535) {
    struct Case {
        const char* name;
        std::int32_t gamePort;
        std::set<std::uint16_t> busy;
        std::optional<std::int32_t> boundPort;  // none: no browser support
        std::vector<std::int32_t> attempts;
    };
    std::set<std::uint16_t> allBusy;
    std::vector<std::int32_t> allAttempts;
    for (std::int32_t port = 4123; port <= 4186; ++port) {
        allBusy.insert(static_cast<std::uint16_t>(port));
        allAttempts.push_back(port);
    }
    const Case cases[] = {
        {"free", 4000, {}, 4123, {4123}},
        {"next port", 4000, {4123}, 4124, {4123, 4124}},
        {"last port", 4000, {allBusy.begin(), std::prev(allBusy.end())}, 4186, allAttempts},
        {"all 64 busy", 4000, allBusy, std::nullopt, allAttempts},
        {"highest port", 65412, {}, 65535, {65535}},
        {"above the highest port", 65413, {}, std::nullopt, {}},
        {"runs past the highest port", 65410, {65533, 65534, 65535}, std::nullopt, {65533, 65534, 65535}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        busyPorts = testCase.busy;
        boundPorts.clear();
        network.clearSent();
        BrowserQuery& query = start(testCase.gamePort);
        EXPECT_EQ(query.isInitialised(), testCase.boundPort.has_value());
        EXPECT_EQ(boundPorts, testCase.attempts);
        if (testCase.boundPort) {
            EXPECT_EQ(query.queryPort(), *testCase.boundPort);
            continue;
        }
        receive(peer(0x7F000002u), {'g'});
        EXPECT_FALSE(query.poll());
        EXPECT_TRUE(network.sent.empty()) << "no replies and no heartbeats";
        EXPECT_EQ(query.waitHandle(), -1);
        EXPECT_EQ(query.millisecondsToNextHeartbeat(), -1);
    }
}

// The port a browser client needs is on standard error, with why it is not the usual one.
TEST_F(BrowserQueryTest, TheQueryPortBoundIsReportedOnStandardError) {
    std::set<std::uint16_t> allBusy;
    for (std::uint16_t port = 4123; port <= 4186; ++port) allBusy.insert(port);
    struct Case {
        const char* name;
        std::int32_t gamePort;
        std::set<std::uint16_t> busy;
        std::string expected;
    };
    const std::string inUse = std::make_error_code(std::errc::address_in_use).message();
    const Case cases[] = {
        {"usual port", 4000, {}, "varnserver: browser queries on 0.0.0.0:4123\n"},
        {"moved up", 4000, {4123, 4124},
         "varnserver: browser queries on 0.0.0.0:4125 (0.0.0.0:4123: " + inUse + ")\n"},
        {"all taken", 4000, allBusy,
         "varnserver: no browser query port from 0.0.0.0:4123 to 4186 could be bound: " + inUse + "\n"},
        {"beyond the highest port", 65413, {},
         "varnserver: no browser query port from 0.0.0.0:65536 to 65599 could be bound\n"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        busyPorts = testCase.busy;
        LogCapture console;
        DiagnosticCapture diagnostics;
        start(testCase.gamePort);
        EXPECT_EQ(diagnostics.text(), testCase.expected);
        EXPECT_EQ(console.text(), "") << "nothing on the console or in the log";
    }
}

TEST_F(BrowserQueryTest, SocketCreationIsTriedEightTimes) {
    createFailures = 7;
    EXPECT_TRUE(start().isInitialised());
    createFailures = 8;
    EXPECT_FALSE(start().isInitialised());
    EXPECT_EQ(createFailures, 0);
}

TEST_F(BrowserQueryTest, ABlockingSocketStillAnswersAndStillSendsHeartbeats) {
    failNonBlocking = true;
    BrowserQuery& query = start();
    ASSERT_TRUE(query.isBlocking());
    receive(peer(0x7F000002u), {'g'});
    receive(peer(0x7F000003u), {'g'});
    EXPECT_TRUE(query.poll());
    EXPECT_EQ(sentTo(peer(0x7F000002u)).size(), 1u);
    EXPECT_EQ(sentTo(peer(0x7F000003u)).size(), 1u);
    const PeerAddress fallbackMaster = master(0x7F000001u);
    EXPECT_EQ(sentTo(fallbackMaster).size(), 1u);

    // No query waiting: the heartbeat step is not skipped.
    clock.advanceMilliseconds(15'000);
    EXPECT_TRUE(query.poll());
    EXPECT_EQ(sentTo(fallbackMaster).size(), 2u);
}

TEST_F(BrowserQueryTest, WithoutRegistrationThereAreNoHeartbeatsAndNoPingEcho) {
    BrowserQuery& query = start();
    ASSERT_TRUE(query.initialise(kGamePort, false));
    receive(peer(0x7F000002u), {'p', 1});
    receive(peer(0x7F000003u), {'g'});
    EXPECT_TRUE(query.poll());
    EXPECT_TRUE(sentTo(peer(0x7F000002u)).empty());
    EXPECT_EQ(sentTo(peer(0x7F000003u)), std::vector<Bytes>{bytesOfText("Gvarn")});
    EXPECT_TRUE(sentTo(master(0x7F000001u)).empty());
    EXPECT_EQ(query.millisecondsToNextHeartbeat(), -1);
}

// With the flood guard, every reply counts against the 256 KiB a second of all browser replies: ping
// echoes as much as status replies, so a flood of small pings cannot multiply the traffic.
TEST_F(BrowserQueryTest, WithTheFloodGuardPingEchoesCountInTheGlobalReplyBudget) {
    LogCapture log;
    configure("QueryFloodGuard 1\n");
    start();
    const PeerAddress flooder = peer(0x7F000002u), other = peer(0x7F000003u);
    Bytes ping(19, 0xAB);
    ping[0] = 'p';
    for (int query = 0; query < 20'000; ++query) receive(flooder, ping);
    receive(other, {'s'});
    // Each poll reads a budget's worth; the main loop polls again while queries wait.
    for (int poll = 0; poll < 100 && !network.inbound.empty(); ++poll) ASSERT_TRUE(browser->poll());
    ASSERT_TRUE(network.inbound.empty());
    const std::size_t echoes = sentTo(flooder).size();
    EXPECT_EQ(echoes, QueryFloodGuard::kReplyBytesPerSecond / ping.size()) << "as many as fit in 256 KiB";
    EXPECT_TRUE(sentTo(other).empty()) << "the budget is spent for everybody";

    clock.advanceSeconds(1);
    receive(other, {'s'});
    receive(flooder, ping);
    ASSERT_TRUE(browser->poll());
    EXPECT_EQ(sentTo(other).size(), 1u);
    EXPECT_EQ(sentTo(flooder).size(), echoes + 1);

    log.clear();
    clock.advanceSeconds(59);
    ASSERT_TRUE(browser->poll());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"SERVER-WARNING: " + std::to_string(20'000 - echoes + 1) +
                                                    " browser queries dropped from 2 addresses in the last minute."});
}

// The guard's buckets and its minute run on the monotonic clock: setting the calendar an hour either
// way neither refills nor stalls them.
TEST_F(BrowserQueryTest, FloodGuardIgnoresStepsOfTheCalendarClock) {
    LogCapture log;
    configure("QueryFloodGuard 1\n");
    start();
    const PeerAddress asker = peer(0x7F000002u);
    const auto answeredOf = [&](int queries) {
        const std::size_t before = sentTo(asker).size();
        for (int query = 0; query < queries; ++query) receive(asker, {'s'});
        browser->poll();
        return sentTo(asker).size() - before;
    };
    EXPECT_EQ(answeredOf(10), 8u);
    clock.stepCalendarSeconds(3600);
    EXPECT_EQ(answeredOf(3), 0u);
    clock.stepCalendarSeconds(-7200);
    EXPECT_EQ(answeredOf(3), 0u);
    clock.advanceSeconds(1);
    EXPECT_EQ(answeredOf(3), 2u);
    clock.advanceSeconds(58);
    clock.stepCalendarSeconds(7200);
    browser->poll();
    EXPECT_TRUE(log.lines().empty()) << "59 seconds are not yet a minute";
    clock.advanceSeconds(1);
    browser->poll();
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "SERVER-WARNING: 9 browser queries dropped from 1 addresses in the last minute."});
}

}  // namespace
}  // namespace varn::testing
