// Lua code against the sandbox with the budgets on. The input is either Lua text as it is (first byte
// odd) or, mostly, a recipe: each byte picks a piece of Lua (loops, protected calls, coroutines and
// their closing, metatables, library functions with sizes from the input) and the pieces are put
// together into a script's handlers. Every call must end within its time limit (with room for a
// sanitizer's slowness): a call that takes longer aborts the run.
#include <stdlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "config/ServerSettings.h"
#include "game/GameEvents.h"
#include "game/PlayerRegistry.h"
#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "scripting/ScriptGame.h"
#include "scripting/ScriptHost.h"

namespace {

using namespace varn;

constexpr auto kMostACallMayTake = std::chrono::milliseconds(1500);

class QuietGame final : public ScriptGame {
public:
    void sendText(std::int32_t, std::string_view) override {}
    bool kick(std::int32_t, std::string_view) override { return true; }
    bool ban(std::int32_t, std::string_view, std::uint32_t, std::string_view) override { return true; }
    void collectPlayers(std::vector<ScriptPlayer>& players) const override {
        players.push_back({1, "alice", "10.0.0.1", 3, 50, 0, false});
    }
    std::optional<ScriptPlayer> findPlayer(std::int32_t id) const override {
        if (id != 1) return std::nullopt;
        return ScriptPlayer{1, "alice", "10.0.0.1", 3, 50, 0, false};
    }
    ScriptServerFacts facts() const override { return {"Fuzz", 8, 4000, 0}; }
};

// The pieces; "#" takes a number from the next byte of the recipe.
constexpr const char* kPieces[] = {
    "while true do end",
    "for i = 1, # * 1000 do x = (x or 0) + i end",
    "pcall(function() while true do end end)",
    "xpcall(function() while true do end end, function(m) while true do end end)",
    "xpcall(error, function(m) for i = 1, # * 10000 do end return m end)",
    "pcall(error, {})",
    "local co = coroutine.create(function() local c <close> = setmetatable({}, {__close = function() while true do end end}) coroutine.yield() while true do end end) coroutine.resume(co) kept = co",
    "if kept then pcall(coroutine.close, kept) pcall(coroutine.resume, kept) end",
    "coroutine.wrap(function() local c <close> = setmetatable({}, {__close = function() while true do end end}) while true do end end)()",
    "for i = 1, # * 100 do coroutine.wrap(function() for j = 1, 500 do end end)() end",
    "local g = coroutine.wrap(function() while true do coroutine.yield(1) end end) for i = 1, # * 1000 do g() end",
    "table.move({}, 1, # * 1e10, 2)",
    "table.insert(setmetatable({}, {__len = function() return # * 2^32 end}), 1, 'x')",
    "pcall(table.remove, setmetatable({}, {__len = function() return # * 2^32 end}), 1)",
    "local t = {} for i = 1, # * 100 do t[i] = (# * i) % 7 end table.sort(t)",
    "pcall(table.unpack, {}, 1, # * 1e6)",
    "pcall(table.concat, setmetatable({}, {__index = function() return 'x' end}), '', 1, # * 1e5)",
    "s = string.rep('x', # * 1000)",
    "s = (s or 'ab'):rep(#)",
    "if s then s = s:reverse():upper():lower() end",
    "if s then local r = s:gsub('', ('%0'):rep(# * 10)) end",
    "if s then for i = 1, # do local n = utf8.len(s) end end",
    "if s then local a = s:find(('a-'):rep(#) .. 'b') end",
    "pcall(string.format, '%s%s', s or '', s or '')",
    "pcall(string.pack, ('i4'):rep(#), 1)",
    "collectgarbage('step')",
    "print(#(s or ''), varn.player(#), varn.store.get('k'))",
    "varn.store.set('k:' .. #, #)",
    "pcall(varn.on, 'second', function() for i = 1, # * 100 do end end)",
    "pcall(varn.command, 'c' .. #, function() end)",
    "local m = setmetatable({}, {__index = function(t, k) return t[k + 1] end}) pcall(function() return m[1] end)",
    "pcall(load, 'return ' .. #)",
    "error('piece ' .. #)",
};

std::string recipeToLua(const std::uint8_t* data, std::size_t size) {
    std::string handlers[2];
    std::size_t at = 0;
    int handler = 0;
    while (at < size && handlers[0].size() + handlers[1].size() < 4000) {
        const std::uint8_t pick = data[at++];
        if (pick == 0xff) {
            handler = 1 - handler;
            continue;
        }
        std::string piece = kPieces[pick % std::size(kPieces)];
        for (std::size_t hole = piece.find('#'); hole != std::string::npos; hole = piece.find('#')) {
            const int number = at < size ? data[at++] % 17 : 1;
            piece.replace(hole, 1, std::to_string(number));
        }
        handlers[handler] += piece + "\n";
    }
    return "varn.on('second', function()\n" + handlers[0] + "end)\nvarn.on('join', function(player)\n" + handlers[1] +
           "end)\n";
}

// One call into the scripts, timed.
template <typename Call>
void timed(const char* what, Call call) {
    const auto began = std::chrono::steady_clock::now();
    call();
    if (std::chrono::steady_clock::now() - began > kMostACallMayTake) {
        std::fprintf(stderr, "%s took over %lld ms\n", what, static_cast<long long>(kMostACallMayTake.count()));
        std::abort();
    }
}

struct Sandbox {
    Sandbox() {
        char folder[] = "/tmp/varn-fuzz-sandbox-XXXXXX";
        if (::mkdtemp(folder) == nullptr) std::abort();
        path = std::string(folder) + "/fuzz.lua";
        settings.files = {path};
        settings.dataFolder = folder;
        settings.memoryLimitBytes = std::size_t{8} << 20;
        ServerLog::instance().setQuiet(true);
    }
    ScriptSettings settings;
    std::string path;
    QuietGame game;
    platform::ManualClock clock;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Sandbox& sandbox = *new Sandbox;
    if (size == 0) return 0;
    const std::string lua = (data[0] & 1) != 0 ? std::string(reinterpret_cast<const char*>(data + 1), size - 1)
                                               : recipeToLua(data + 1, size - 1);
    std::ofstream(sandbox.path, std::ios::binary | std::ios::trunc) << lua;
    ScriptHost host(sandbox.settings, sandbox.game, sandbox.clock, platform::FileSystem::system(), nullptr);
    std::string error;
    bool loaded = false;
    timed("the main chunk", [&] { loaded = host.load(error); });
    if (!loaded) return 0;
    PlayerRecord record;
    record.name = "alice";
    const PlayerView player(1, record);
    for (int second = 0; second < 3; ++second) {
        sandbox.clock.advanceSeconds(1);
        timed("the second handlers", [&] { host.onSecondPassed(SecondPassed{sandbox.clock.monotonicSeconds()}); });
        timed("the join handlers", [&] { host.onPlayerJoined(PlayerJoined{player}); });
    }
    return 0;
}
