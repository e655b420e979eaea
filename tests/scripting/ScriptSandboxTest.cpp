// The sandbox and the budgets: what a script cannot reach, cannot catch and cannot exhaust.
#include <gtest/gtest.h>

#include "scripting/ScriptFixture.h"

namespace varn::testing {
namespace {

class ScriptSandboxTest : public ScriptFixture {};

// Each expression runs in a start handler and its value is printed: what it shows proves the rule.
TEST_F(ScriptSandboxTest, UnsafeLibrariesAndFunctionsAreOutOfReach) {
    struct Case {
        const char* expression;
        const char* shown;
    };
    const Case cases[] = {
        {"type(io)", "nil"},
        {"type(debug), type(package)", "nil nil"},
        {"type(os.execute), type(os.exit), type(os.remove), type(os.getenv)", "nil nil nil nil"},
        {"type(os.time), type(os.date), type(os.clock)", "function function function"},
        {"type(dofile), type(loadfile), type(string.dump)", "nil nil nil"},
        {"type(string), type(table), type(math), type(utf8), type(coroutine)", "table table table table table"},
        // A binary chunk never loads; a text chunk does.
        {"load('\\27Lua\\84\\0')", "nil attempt to load a binary chunk (mode is 't')"},
        {"load('return 1 + 1')()", "2"},
        {"pcall(collectgarbage, 'stop')", "false collectgarbage: option 'stop' is not allowed"},
        {"pcall(collectgarbage, 'generational')", "false collectgarbage: option 'generational' is not allowed"},
        {"type(collectgarbage('count'))", "number"},
        {"pcall(setmetatable, {}, {__gc = function() end})",
         "false setmetatable: a metatable with __gc is not allowed"},
        {"getmetatable(setmetatable({}, {__index = {x = 1}})).__index.x", "1"},
        {"pcall(require, '../x')", "false require: '../x' is not a module name of letters, digits, '_' and '.'"},
        {"pcall(require, '.hidden')", "false require: '.hidden' is not a module name of letters, digits, '_' and '.'"},
        {"pcall(require, 'a..b')", "false require: 'a..b' is not a module name of letters, digits, '_' and '.'"},
        {"pcall(os.date, string.rep('%Y', 40))", "false os.date: the format is over 64 bytes"},
        {"pcall(os.date, '%Q')", "false bad argument #1 to '?' (invalid conversion specifier '%Q')"},
        {"#string.rep('', 1e9), #string.rep('ab', 3, ',')", "0 8"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.expression);
        log.clear();
        ASSERT_TRUE(load(std::string("varn.on('start', function() print(") + test.expression + ") end)"))
            << loadError;
        host->onServerStarted();
        EXPECT_EQ(scriptLines(), std::vector<std::string>{std::string("SCRIPT: test.lua: ") + test.shown});
    }
}

TEST_F(ScriptSandboxTest, RequireLoadsModulesFromTheScriptsOwnFolderOnce) {
    write("lib/greeting.lua", "loads = (loads or 0) + 1\nreturn { text = 'hello' }\n");
    ASSERT_TRUE(load("local a = require 'lib.greeting'\nlocal b = require 'lib.greeting'\n"
                     "varn.on('start', function() print(a.text, a == b, loads) end)"))
        << loadError;
    host->onServerStarted();
    EXPECT_EQ(scriptLines(), std::vector<std::string>{"SCRIPT: test.lua: hello true 1"});
}

// A stop cannot be caught: not by pcall, xpcall or a coroutine; the handler ends there, one error
// line is written and the next event runs the script as before.
TEST_F(ScriptSandboxTest, AnEndlessLoopIsStoppedWhateverCatchesIt) {
    const char* catchers[] = {
        "pcall(function() while true do end end)",
        "xpcall(function() while true do end end, function(e) return e end)",
        "coroutine.resume(coroutine.create(function() while true do end end))",
        "coroutine.wrap(function() pcall(function() while true do end end) end)()",
        "pcall(pcall, function() local t = {} for i = 1, 1e12 do t[i % 10] = i end end)",
    };
    for (const char* catcher : catchers) {
        SCOPED_TRACE(catcher);
        log.clear();
        ASSERT_TRUE(load(std::string("varn.on('start', function() ") + catcher +
                         " print('caught') end)\nvarn.on('stop', function() print('still here') end)"))
            << loadError;
        host->onServerStarted();
        host->onServerStopping();
        EXPECT_EQ(scriptLines(),
                  (std::vector<std::string>{"SCRIPT-ERROR: test.lua: start handler stopped: over its instruction budget",
                                            "SCRIPT: test.lua: still here"}));
    }
}

TEST_F(ScriptSandboxTest, AMemoryBombIsStoppedAtTheLimit) {
    settings.memoryLimitBytes = 4 << 20;
    // What a call allocates is charged to its instructions too: a budget this large leaves the stop
    // to the memory limit.
    settings.instructionLimit = std::int64_t{1} << 40;
    const char* bombs[] = {
        "local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 1e5) .. i end",
        "pcall(function() local s = 'x' while true do s = s .. s end end)",
        "pcall(function() local t = {} for i = 1, 100 do t[i] = string.rep('x', 1e6) end end)",
    };
    for (const char* bomb : bombs) {
        SCOPED_TRACE(bomb);
        log.clear();
        ASSERT_TRUE(load(std::string("varn.on('start', function() ") + bomb +
                         " print('caught') end)\nvarn.on('stop', function() print(#string.rep('y', 1000)) end)"))
            << loadError;
        host->onServerStarted();
        host->onServerStopping();
        const std::vector<std::string> lines = scriptLines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(lines[0] == "SCRIPT-ERROR: test.lua: start handler stopped: over its memory limit" ||
                    (lines[0].starts_with("SCRIPT-ERROR: test.lua: start handler: ") &&
                     lines[0].ends_with("string.rep: the result would be over the memory limit")))
            << lines[0];
        EXPECT_EQ(lines[1], "SCRIPT: test.lua: 1000");
        EXPECT_LE(host->script(0).memoryInUse(), settings.memoryLimitBytes);
    }
}

// Pattern functions run in C outside the count: long subjects and long patterns are refused, plain
// finds on player text work.
TEST_F(ScriptSandboxTest, PatternFunctionsRefuseLongSubjectsAndPatterns) {
    ASSERT_TRUE(load(R"(
local long = string.rep('a', 4097)
local pathological = string.rep('a*', 65) .. 'b'
varn.on('start', function()
  for _, name in ipairs({'find', 'match', 'gmatch', 'gsub'}) do
    print(name, pcall(string[name], long, 'a', ''))
    print(name, pcall(string[name], 'abc', pathological, ''))
  end
  print(('a bad word'):find('bad', 1, true), string.rep('a', 4096):match('^a+$') ~= nil)
end)
)")) << loadError;
    host->onServerStarted();
    const std::vector<std::string> lines = scriptLines();
    ASSERT_EQ(lines.size(), 9u);
    for (std::size_t index = 0; index < 8; index += 2) {
        EXPECT_TRUE(lines[index].ends_with(" false string." + lines[index].substr(18, lines[index].find(' ', 18) - 18) +
                                           ": the subject is over 4096 bytes"))
            << lines[index];
        EXPECT_TRUE(lines[index + 1].ends_with(": the pattern is over 128 bytes")) << lines[index + 1];
    }
    EXPECT_EQ(lines[8], "SCRIPT: test.lua: 3 true");
}

// Errors are counted per script: past the limit in a minute the script is switched off with one line
// until the next reload; another script goes on.
TEST_F(ScriptSandboxTest, AScriptThatKeepsErringIsSwitchedOffUntilTheReload) {
    settings.errorLimitPerMinute = 3;
    ASSERT_TRUE(load({{"bad.lua", "varn.on('second', function() error('broken') end)"},
                      {"good.lua", "varn.on('second', function(s) print('second', s) end)"}}))
        << loadError;
    for (int second = 0; second < 5; ++second) {
        clock.advanceSeconds(1);
        host->onSecondPassed(SecondPassed{clock.monotonicSeconds()});
    }
    std::vector<std::string> bad;
    std::size_t good = 0;
    for (const std::string& line : scriptLines()) {
        if (line.find("bad.lua") != std::string::npos) bad.push_back(line);
        if (line.starts_with("SCRIPT: good.lua: second ")) ++good;
    }
    ASSERT_EQ(bad.size(), 5u);
    EXPECT_EQ(bad[0], "SCRIPT-ERROR: bad.lua: second handler: " + settings.files[0] + ":1: broken");
    EXPECT_EQ(bad[3], bad[0]);
    EXPECT_EQ(bad[4], "SCRIPT-ERROR: bad.lua: switched off until the next reload: more than 3 errors in a minute");
    EXPECT_EQ(good, 5u);
    EXPECT_TRUE(host->script(0).switchedOff());

    ASSERT_TRUE(host->reload());
    EXPECT_FALSE(host->script(0).switchedOff());
}

// All scripts together get 100 ms of every second; past that, calls are skipped with one line a
// minute, and the next second they run again.
TEST_F(ScriptSandboxTest, TheGlobalBudgetSkipsScriptsForTheRestOfTheSecond) {
    ASSERT_TRUE(load("varn.on('second', function(s) print('ran', s) end)")) << loadError;
    nanosecondsPerReading = 30'000'000;  // every call costs 30 ms
    for (int call = 0; call < 6; ++call) host->onSecondPassed(SecondPassed{1});
    clock.advanceSeconds(1);
    host->onSecondPassed(SecondPassed{2});
    const std::vector<std::string> lines = scriptLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "SCRIPT: test.lua: ran 1");
    EXPECT_EQ(lines[3], "SCRIPT: test.lua: ran 1");
    EXPECT_EQ(lines[4], "SERVER-WARNING: Scripts used their 100 ms of a second; 1 script calls skipped since the last such line.");
    EXPECT_EQ(lines[5], "SCRIPT: test.lua: ran 2");
}

}  // namespace
}  // namespace varn::testing
