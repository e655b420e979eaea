// The cost of a call: what a hostile script does to get work past the count is counted or stopped,
// a stop stays a stop, and the time limits hold.
#include <gtest/gtest.h>

#include <lua.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <set>

#include "scripting/LuaSandbox.h"
#include "scripting/ScriptFixture.h"

namespace varn::testing {
namespace {

class ScriptBudgetTest : public ScriptFixture {
protected:
    // Runs code in a start handler, then a stop handler that prints: the lines the two wrote.
    std::vector<std::string> startThenStop(const std::string& code) {
        log.clear();
        EXPECT_TRUE(load("varn.on('start', function() " + code +
                         " print('not stopped') end)\nvarn.on('stop', function() print('still here') end)"))
            << loadError;
        host->onServerStarted();
        host->onServerStopping();
        return scriptLines();
    }
};

constexpr const char* kOverBudget = "SCRIPT-ERROR: test.lua: start handler stopped: over its instruction budget";

// Each of these held the loop (for good, or for seconds) past the instruction count.
TEST_F(ScriptBudgetTest, WorkThatTheCountDidNotSeeIsStopped) {
    struct Case {
        const char* what;
        const char* code;
        const char* stop;
    };
    const Case cases[] = {
        {"a looping message handler", "xpcall(function() while true do end end, function() while true do end end)",
         kOverBudget},
        {"a looping handler of error()", "xpcall(error, function() while true do end end)", kOverBudget},
        {"a looping handler after a pattern stop",
         "xpcall(function() return ('a'):rep(4000):find(('a-'):rep(20) .. 'b') end, function() while true do end end)",
         "SCRIPT-ERROR: test.lua: start handler stopped: string.find: the pattern took over its step budget"},
        {"a to-be-closed handler that wrap closes",
         "coroutine.wrap(function() local x <close> = setmetatable({}, {__close = function() while true do end end}) "
         "while true do end end)()",
         kOverBudget},
        {"many short coroutines",
         "for i = 1, 10000 do coroutine.wrap(function() for j = 1, 300 do end end)() end", kOverBudget},
        {"table.move over a huge range", "table.move({}, 1, 1e12, 2)", kOverBudget},
        {"table.insert under a huge __len",
         "table.insert(setmetatable({}, {__len = function() return 2^40 end}), 1, 'x')", kOverBudget},
        {"table.unpack over a huge range", "pcall(table.unpack, {}, 1, 1e8)", kOverBudget},
        {"a long gsub replacement", "local s = ('x'):rep(4096):gsub('', ('%0'):rep(100000))", kOverBudget},
        {"reversing a large text", "local s = ('x'):rep(1000):rep(2000) for i = 1, 40 do s = s:reverse() end", kOverBudget},
        {"loading a long comment", "local s = '--' .. ('x'):rep(1000):rep(100) for i = 1, 1e5 do load(s) end", kOverBudget},
        {"utf8.len of a large text", "local s = ('x'):rep(1000):rep(1000) for i = 1, 1e4 do utf8.len(s) end", kOverBudget},
    };
    settings.memoryLimitBytes = std::size_t{64} << 20;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(startThenStop(test.code), (std::vector<std::string>{test.stop, "SCRIPT: test.lua: still here"}));
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(500));
    }
}

// A coroutine stopped in the count hook keeps its hooks off: it never runs again, neither its body
// nor its to-be-closed handlers, in a later call either.
TEST_F(ScriptBudgetTest, ACoroutineStoppedInTheHookNeverRunsAgain) {
    ASSERT_TRUE(load(R"(
local co
varn.on('start', function()
  co = coroutine.create(function()
    local x <close> = setmetatable({}, {__close = function() print('closed'); while true do end end})
    while true do end
  end)
  coroutine.resume(co)
end)
varn.on('stop', function()
  print(coroutine.status(co), pcall(coroutine.close, co))
  print(pcall(coroutine.resume, co))
end)
)")) << loadError;
    host->onServerStarted();
    host->onServerStopping();
    EXPECT_EQ(scriptLines(), (std::vector<std::string>{
                                 kOverBudget,
                                 "SCRIPT: test.lua: dead false cannot close a coroutine that was stopped",
                                 "SCRIPT: test.lua: false cannot resume a coroutine that was stopped",
                             }));
}

// Coroutines that end normally keep working as the library's: results, errors and closing.
TEST_F(ScriptBudgetTest, CoroutinesStillWorkAsTheLibrarySays) {
    ASSERT_TRUE(load(R"(
varn.on('start', function()
  local gen = coroutine.wrap(function(a) local b = coroutine.yield(a + 1) return b * 2 end)
  print(gen(1), gen(5))
  local co = coroutine.create(function() error('oops', 0) end)
  print(coroutine.resume(co))
  print(pcall(coroutine.wrap(function() error('inner', 0) end)))
  local closed = false
  local c2 = coroutine.create(function() local x <close> = setmetatable({}, {__close = function() closed = true end}) coroutine.yield() end)
  coroutine.resume(c2)
  print(coroutine.close(c2), closed)
  print(xpcall(function() error('e', 0) end, function(m) return 'handled ' .. m end))
end)
)")) << loadError;
    host->onServerStarted();
    EXPECT_EQ(scriptLines(), (std::vector<std::string>{
                                 "SCRIPT: test.lua: 2 10",
                                 "SCRIPT: test.lua: false oops",
                                 "SCRIPT: test.lua: false inner",
                                 "SCRIPT: test.lua: true true",
                                 "SCRIPT: test.lua: false handled e",
                             }));
}

// The wall clock is the last line: a call that runs past ScriptTimeLimit is stopped, however large
// its instruction budget.
TEST_F(ScriptBudgetTest, ACallPastItsTimeLimitIsStopped) {
    settings.instructionLimit = 1'000'000'000;
    settings.timeLimitMilliseconds = 50;
    ASSERT_TRUE(load("varn.on('second', function() while true do end end)")) << loadError;
    nanosecondsPerReading = 1'000'000;  // every reading of the stopwatch, a millisecond later
    host->onSecondPassed(SecondPassed{1});
    EXPECT_EQ(scriptLines(),
              std::vector<std::string>{"SCRIPT-ERROR: test.lua: second handler stopped: over its time limit"});
}

// The 100 ms of a second are counted for every call: one script's many handlers of one event are
// skipped too once they are used.
TEST_F(ScriptBudgetTest, TheGlobalBudgetCountsEveryHandler) {
    std::string script;
    for (int handler = 0; handler < 30; ++handler) script += "varn.on('second', function() print('ran') end)\n";
    ASSERT_TRUE(load(script)) << loadError;
    nanosecondsPerReading = 30'000'000;
    host->onSecondPassed(SecondPassed{1});
    const std::vector<std::string> lines = scriptLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "SCRIPT: test.lua: ran");
    EXPECT_EQ(lines[4], "SERVER-WARNING: Scripts used their 100 ms of a second; 1 script calls skipped since the last such line.");
}

// What a script registers is held partly outside its state: at most 10000 registrations, past which
// a registration is an error the script catches.
TEST_F(ScriptBudgetTest, RegistrationsAreCappedWithAnErrorTheScriptCatches) {
    settings.instructionLimit = 100'000'000;
    ASSERT_TRUE(load(R"(
for i = 1, 6000 do varn.on('second', function() end) end
print(pcall(function() for i = 1, 5000 do varn.command('c' .. i, function() end) end end))
print(pcall(varn.on, 'join', function() end))
)")) << loadError;
    EXPECT_EQ(scriptLines(),
              (std::vector<std::string>{
                  "SCRIPT: test.lua: false " + settings.files[0] +
                      ":3: varn.command: no more registrations (at most 10000 a script)",
                  "SCRIPT: test.lua: false varn.on: no more registrations (at most 10000 a script)"}));
}

// A stop of the main chunk at start-up names the file.
TEST_F(ScriptBudgetTest, AMainChunkStopNamesItsFile) {
    EXPECT_FALSE(load("while true do end"));
    EXPECT_EQ(loadError, "test.lua: main chunk stopped: over its instruction budget");
}

// The sandbox is its allow-list: walking everything a script reaches from its globals and from the
// string metatable finds exactly the listed entries (and the binding), each with its wrapper.
TEST_F(ScriptBudgetTest, WhatAScriptReachesIsTheAllowList) {
    ASSERT_TRUE(load("")) << loadError;
    lua_State* state = host->script(0).state();
    std::map<std::string, lua_CFunction> found;
    std::set<const void*> seen;
    // Walks the table on the stack top, naming its entries "<library>.<key>".
    std::function<void(const std::string&)> walk = [&](const std::string& library) {
        seen.insert(lua_topointer(state, -1));
        lua_pushnil(state);
        while (lua_next(state, -2) != 0) {
            const std::string key = lua_type(state, -2) == LUA_TSTRING ? lua_tostring(state, -2) : "?";
            found[library + "." + key] = lua_tocfunction(state, -1);
            if (lua_istable(state, -1) && !seen.contains(lua_topointer(state, -1))) {
                walk(library == "_G" ? key : library + "." + key);
            }
            lua_pop(state, 1);
        }
    };
    lua_pushglobaltable(state);
    walk("_G");
    lua_pop(state, 1);
    lua_pushliteral(state, "");
    ASSERT_TRUE(lua_getmetatable(state, -1));
    seen.erase(lua_topointer(state, -1));
    walk(std::string(kStringMetatable));
    lua_pop(state, 2);

    std::map<std::string, lua_CFunction> expected;
    for (const SandboxEntry& entry : sandboxEntries()) {
        const std::string name = std::string(entry.library) + "." + entry.name;
        expected[name] = entry.wrapper;
        const auto reached = found.find(name);
        ASSERT_NE(reached, found.end()) << name << " is listed but out of reach";
        if (entry.wrapper != nullptr) {
            EXPECT_NE(reached->second, nullptr) << name;
            // A wrapper is a closure: its C function is the wrapper itself.
            EXPECT_EQ(reached->second, entry.wrapper) << name << " is not its wrapper";
        }
    }
    for (const char* binding : {"_G.print", "_G.warn", "_G.varn"}) expected[binding] = nullptr;
    for (const char* name : {"on", "decide", "command", "adminCommand", "send", "broadcast", "kick", "ban", "log",
                             "players", "player", "after", "every", "cancel", "store", "store.get", "store.set",
                             "store.keys", "settings", "settings.serverName", "settings.maxPlayers",
                             "settings.serverPort", "settings.adminPort", "file"}) {
        expected[std::string("varn.") + name] = nullptr;
    }
    std::vector<std::string> unlisted;
    for (const auto& [name, function] : found) {
        if (!expected.contains(name)) unlisted.push_back(name);
    }
    EXPECT_EQ(unlisted, std::vector<std::string>{}) << "reachable but not in the allow-list";
}

}  // namespace
}  // namespace varn::testing
