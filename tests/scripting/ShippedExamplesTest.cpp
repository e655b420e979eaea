// The shipped examples, all loaded together on a real game (four places).
#include <gtest/gtest.h>

#include <algorithm>

#include "scripting/ScriptedGameFixture.h"

namespace varn::testing {
namespace {

class ShippedExamplesTest : public ScriptedGameFixture {
protected:
    void SetUp() override {
        ScriptedGameFixture::SetUp();
        std::vector<std::string> paths;
        for (const char* name : {"welcome", "top", "killstreaks", "wordfilter", "reserved", "votekick"}) {
            paths.push_back(std::string(VARN_SOURCE_DIR) + "/examples/scripts/" + name + ".lua");
        }
        ASSERT_TRUE(startWithScripts(paths)) << loadError;
    }
};

TEST_F(ShippedExamplesTest, WelcomeHelpAndTop) {
    receiveGame(alice, joinDatagram("alice"));
    EXPECT_EQ(gameSentTo(alice).back(),
              chatRelay(255, 0, "Welcome to Test Server, alice! Type /help for commands."));
    join(bob, "bob");
    receiveGame(bob, {11, 0});  // alice killed bob
    network.sent.clear();
    receiveGame(bob, chatDatagram(1, "/top"));
    EXPECT_EQ(gameSentTo(bob), (std::vector<Bytes>{chatRelay(255, 0, "1. alice 1"), chatRelay(255, 0, "2. bob 0")}));
    network.sent.clear();
    receiveGame(bob, chatDatagram(1, "/help"));
    EXPECT_EQ(gameSentTo(bob).size(), 4u);
}

TEST_F(ShippedExamplesTest, KillStreaksAreAnnounced) {
    join(alice, "alice");
    join(bob, "bob");
    receiveGame(bob, {11, 0});
    receiveGame(bob, {11, 0});
    EXPECT_TRUE(gameSentTo(bob).size() == 4u) << "two deaths and two scores, no announcement yet";
    server->checkChatFlood(settings.chatFloodMaxCount);  // the pass that counts kill reports anew
    receiveGame(bob, {11, 0});
    const std::vector<Bytes> sent = gameSentTo(bob);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), chatRelay(255, 0, "alice is on a killing spree (3 kills)")), 1);
}

TEST_F(ShippedExamplesTest, TheWordFilterWarnsKicksThenBans) {
    join(alice, "alice");
    join(bob, "bob");
    receiveGame(alice, chatDatagram(1, "you BADWORD"));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(255, 0, "Mind your words, alice: the next time you are kicked.")});
    EXPECT_TRUE(gameSentTo(bob).empty());
    receiveGame(alice, chatDatagram(1, "badword again"));
    EXPECT_EQ(linesStartingWith("KICKED"), std::vector<std::string>{"KICKED: 'alice', PlayerID = 0 by Script wordfilter.lua"});
    for (int pass = 0; pass < 30; ++pass) server->checkJoinFlood();
    join(alice, "alice");
    receiveGame(alice, chatDatagram(1, "worseword"));
    ASSERT_EQ(linesStartingWith("BANNED").size(), 1u);
    EXPECT_TRUE(linesStartingWith("BANNED")[0].starts_with("BANNED: 'alice', PlayerID = 0 by Script wordfilter.lua until "));
    EXPECT_TRUE(bans.isBannedAddress(alice));
}

TEST_F(ShippedExamplesTest, ReservedSlotsAndVoteKick) {
    join(alice, "alice");
    join(bob, "bob");
    receiveGame(carol, joinDatagram("carol"));
    EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{bytesOf({6, 7})});
    const PeerAddress operatorPeer = peer(5);
    join(operatorPeer, "vip");
    EXPECT_EQ(players.size(), 3);

    receiveGame(alice, chatDatagram(1, "/votekick bob"));
    EXPECT_TRUE(linesStartingWith("KICKED").empty());
    receiveGame(operatorPeer, chatDatagram(1, "/votekick BOB"));
    EXPECT_EQ(linesStartingWith("KICKED"), std::vector<std::string>{"KICKED: 'bob', PlayerID = 1 by Script votekick.lua"});
}

}  // namespace
}  // namespace varn::testing
