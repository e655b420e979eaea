#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/GameServerFixture.h"

namespace varn {
namespace {

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

Bytes chatDatagram(std::uint8_t kind, std::string_view text) {
    Bytes datagram = {3, kind};
    datagram.insert(datagram.end(), text.begin(), text.end());
    datagram.push_back(0);
    return datagram;
}

Bytes joinDatagram(std::string_view name) {
    Bytes datagram = {1, 24};
    datagram.insert(datagram.end(), name.begin(), name.end());
    datagram.push_back('|');
    datagram.push_back(0);
    return datagram;
}

// Writes what it is told into the log, so that a test sees where each event falls among the
// server's own lines, and answers the decision points as a test sets it up.
class RecordingObserver final : public GameObserver {
public:
    void onPlayerJoined(const PlayerJoined& event) override {
        note("joined ", event.player.id(), event.player.name());
    }
    void onPlayerLeft(const PlayerLeft& event) override {
        note("left ", event.player.id(), std::to_string(static_cast<int>(event.reason)));
    }
    void onChatSent(const ChatSent& event) override {
        note("chat ", event.player.id(), std::string(event.text));
        if (kickOnChat) server->requestKick(event.player.id(), Actor{Actor::Kind::Script, "guard.lua"});
    }
    void onSlashCommand(const SlashCommand& event) override { note("slash ", event.player.id(), event.text); }
    void onPlayerDied(const PlayerDied& event) override {
        note("died ", event.victim.id(), event.killer ? std::string(event.killer->name()) : "-");
    }
    void onBanAdded(const BanAdded& event) override {
        ServerLog::instance().line("[event] ban ", event.entry, event.automatic ? " automatic" : "");
    }
    void onJoinRefused(const JoinRefused& event) override {
        ServerLog::instance().line("[event] refused ", static_cast<int>(event.reason));
    }
    std::optional<std::uint8_t> decideJoin(const JoinRequest& request) override {
        if (request.name == "refuseme") return notice::kNameRefused;
        return std::nullopt;
    }
    ChatVerdict decideChat(const ChatSent& event) override {
        return event.text == "secret" ? ChatVerdict::Swallow : ChatVerdict::Relay;
    }
    bool onAdministratorCommand(const AdministratorCommand& event) override { return event.text == "!mine"; }

    GameServer* server = nullptr;
    bool kickOnChat = false;

private:
    static void note(std::string_view what, std::int32_t id, std::string_view detail) {
        ServerLog::instance().line("[event] ", what, id, " ", detail);
    }
};

class GameObserversTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        configure("StatLogging 1\nAdminPassword secret\n");
        start();
        observer.server = server.get();
        server->addObserver(observer);
    }
    void TearDown() override {
        if (server) server->removeObserver(observer);
        GameServerFixture::TearDown();
    }

    RecordingObserver observer;
};

// Each event falls right after the console line the server writes for it, and the decision points
// answer before anything is sent.
TEST_F(GameObserversTest, EventsFollowTheirLinesAndDecisionsComeBeforeTheSends) {
    const PeerAddress alice = peer(2), bob = peer(3);
    receiveGame(alice, joinDatagram("alice"));
    receiveGame(bob, joinDatagram("refuseme"));
    EXPECT_EQ(gameSentTo(bob), (std::vector<Bytes>{bytesOf({6, 0})}));
    EXPECT_FALSE(server->findPlayer(1)) << "a refused join leaves no record";
    receiveGame(alice, chatDatagram(1, "secret"));
    receiveGame(alice, chatDatagram(1, "/vote yes"));
    receiveGame(alice, chatDatagram(1, "hi"));
    receiveGame(alice, {11, 0});  // a suicide
    receiveGame(alice, {2});      // quit
    EXPECT_EQ(log.lines(), (Lines{
                               "JOIN: 'alice', PlayerID = 0 (127.0.0.2)",
                               "[event] joined 0 alice",
                               "[event] refused 10",
                               "---> alice: secret",
                               "[event] chat 0 secret",
                               "[event] slash 0 /vote yes",
                               "---> alice: hi",
                               "[event] chat 0 hi",
                               "[event] died 0 alice",
                               "QUIT: 'alice', PlayerID = 0",
                               "[event] left 0 0",
                           }));
    // Only "hi" was relayed: the swallowed text and the slash command went nowhere.
    std::size_t relays = 0;
    for (const auto& datagram : network.sent) relays += datagram.bytes[0] == 3 ? 1 : 0;
    EXPECT_EQ(relays, 1u);
}

// A kick asked for during the chat event waits until the chat is relayed, then removes the player
// as an administrator's kick does, naming the script.
TEST_F(GameObserversTest, ARequestedKickIsCarriedOutAfterTheHandler) {
    const PeerAddress alice = peer(2), bob = peer(3);
    players.add(alice, "alice");
    players.add(bob, "bob");
    observer.kickOnChat = true;
    log.clear();
    receiveGame(alice, chatDatagram(1, "spam"));
    EXPECT_EQ(log.lines(), (Lines{"---> alice: spam", "[event] chat 0 spam",
                                  "KICKED: 'alice', PlayerID = 0 by Script guard.lua", "[event] left 0 2"}));
    EXPECT_EQ(gameSentTo(bob), (std::vector<Bytes>{bytesOf({3, 0, 1, 's', 'p', 'a', 'm', 0}), bytesOf({9, 1, 0})}));
    EXPECT_EQ(gameSentTo(alice), (std::vector<Bytes>{bytesOf({3, 0, 1, 's', 'p', 'a', 'm', 0}), bytesOf({6, 3})}));
    EXPECT_FALSE(server->findPlayer(0));
}

// Outside any handler a request is carried out at once. A ban names the script and carries the
// suffix a timed ban gets; the text request reaches every player and then every administrator.
TEST_F(GameObserversTest, RequestsOutsideAHandlerAreCarriedOutAtOnce) {
    const PeerAddress alice = peer(2), bob = peer(3), boss = peer(10);
    players.add(alice, "alice");
    players.add(bob, "bob");
    adminServer->administrators().add(boss, "boss");
    server->requestSendText(kNoPlayer, 255, 1, "hello");
    server->requestSendText(1, 255, 1, "only bob");
    EXPECT_EQ(gameSentTo(alice), (std::vector<Bytes>{bytesOf({3, 255, 1, 'h', 'e', 'l', 'l', 'o', 0})}));
    EXPECT_EQ(gameSentTo(bob).size(), 2u);
    EXPECT_EQ(adminSentTo(boss), (std::vector<Bytes>{bytesOf({3, 255, 1, 'h', 'e', 'l', 'l', 'o', 0})}));

    log.clear();
    server->requestBan(0, Actor{Actor::Kind::Script, "guard.lua"}, BanDetails{}, " (flooding)");
    EXPECT_EQ(log.lines(), (Lines{"BANNED: 'alice', PlayerID = 0 by Script guard.lua (flooding)",
                                  "[event] ban 127.0.0.2", "[event] left 0 3"}));
    EXPECT_TRUE(bans.isBannedAddress(alice));
    EXPECT_EQ(gameSentTo(alice).back(), bytesOf({6, 1}));
    std::vector<std::int32_t> ids;
    server->forEachPlayer([&ids](const PlayerView& player) { ids.push_back(player.id()); });
    EXPECT_EQ(ids, std::vector<std::int32_t>{1});
}

// An administrator's say beginning with '!' that an observer takes is logged but not relayed.
TEST_F(GameObserversTest, AnAdministratorCommandTakenByAnObserverIsNotRelayed) {
    const PeerAddress alice = peer(2), boss = peer(10);
    players.add(alice, "alice");
    adminServer->administrators().add(boss, "boss");
    const auto say = [this, boss](std::string_view text) {
        Bytes datagram = {3, 1};  // say, kind 1
        datagram.insert(datagram.end(), text.begin(), text.end());
        datagram.push_back(0);
        receiveAdmin(boss, datagram);
    };
    say("!mine");
    EXPECT_TRUE(gameSentTo(alice).empty());
    say("!other");
    EXPECT_EQ(gameSentTo(alice).size(), 1u);
    EXPECT_EQ(log.lines(), (Lines{"***> boss: !mine", "***> boss: !other"}));
}

}  // namespace
}  // namespace varn
