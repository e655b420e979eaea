// Small answers of the library and the binding that scripts rely on, and the lines that must never be
// lost.
#include <gtest/gtest.h>

#include "scripting/ScriptFixture.h"

namespace varn::testing {
namespace {

class ScriptAnswersTest : public ScriptFixture {};

TEST_F(ScriptAnswersTest, FunctionsAnswerAsDocumented) {
    struct Case {
        const char* expression;
        const char* shown;
    };
    const Case cases[] = {
        // A NUL in a pattern is an ordinary character; what follows it still counts.
        {"string.find('a\\0xb', 'a\\0.')", "1 3"},
        {"string.find('a\\0xb', 'a\\0x', 1, true)", "1 3"},
        {"string.find('a.b', 'a\\0.')", "nil"},
        // A missing player is nil, one value.
        {"tostring(varn.player(3)), select('#', varn.player(3)), varn.player(1e6)", "nil 1 nil"},
        {"varn.player(1).name", "alice"},
        // Ids from a player's table are checked as ids given alone are.
        {"pcall(varn.kick, {id = 2^40})", "false bad argument #1 to '?' (no player id)"},
        {"pcall(varn.kick, {id = -1})", "false bad argument #1 to '?' (no player id)"},
        {"pcall(varn.kick, 2^40)", "false bad argument #1 to '?' (no player id)"},
    };
    game.players.push_back(ScriptPlayer{1, "alice", "10.0.0.1", 0, 0, 0, false});
    for (const Case& test : cases) {
        SCOPED_TRACE(test.expression);
        log.clear();
        ASSERT_TRUE(load(std::string("varn.on('start', function() print(") + test.expression + ") end)"))
            << loadError;
        host->onServerStarted();
        EXPECT_EQ(scriptLines(), std::vector<std::string>{std::string("SCRIPT: test.lua: ") + test.shown});
    }
    EXPECT_TRUE(game.kicks.empty()) << "no id out of range reaches the game";
}

TEST_F(ScriptAnswersTest, WarnJoinsWithASpaceAndShortBansKeepATimeLimit) {
    game.players.push_back(ScriptPlayer{1, "alice", "10.0.0.1", 0, 0, 0, false});
    ASSERT_TRUE(load("varn.on('start', function() warn('c', '3') varn.ban(1, 0.001) varn.ban(1, 1.5) end)"))
        << loadError;
    host->onServerStarted();
    EXPECT_EQ(scriptLines(), std::vector<std::string>{"SCRIPT: test.lua: c 3"});
    ASSERT_EQ(game.bans.size(), 2u);
    EXPECT_EQ(game.bans[0].seconds, 1u) << "0.06 s is no ban without a time limit";
    EXPECT_EQ(game.bans[1].seconds, 90u);
}

// The line that a script is switched off is written even when that second's lines are used up.
TEST_F(ScriptAnswersTest, TheSwitchedOffLineIsNeverHeldBack) {
    settings.errorLimitPerMinute = 1;
    ASSERT_TRUE(load("varn.on('second', function() for i = 1, 12 do print(i) end error('broken') end)")) << loadError;
    host->onSecondPassed(SecondPassed{1});
    host->onSecondPassed(SecondPassed{1});
    const std::vector<std::string> lines = scriptLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "SCRIPT-ERROR: test.lua: switched off until the next reload: more than 1 errors in a minute");
    EXPECT_TRUE(host->script(0).switchedOff());
}

}  // namespace
}  // namespace varn::testing
