// The cost of one chat command and one join handed to a script (microseconds per event): the shipped
// welcome and top examples in a host over a game that takes the texts and drops them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "config/ServerSettings.h"
#include "game/GameEvents.h"
#include "game/PlayerRegistry.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "scripting/ScriptGame.h"
#include "scripting/ScriptHost.h"
#include "scripting/ScriptWatchdog.h"

namespace {

using namespace varn;

class DroppingGame final : public ScriptGame {
public:
    void sendText(std::int32_t, std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
    bool kick(std::int32_t, std::string_view) override { return true; }
    bool ban(std::int32_t, std::string_view, std::uint32_t, std::string_view) override { return true; }
    void collectPlayers(std::vector<ScriptPlayer>& players) const override {
        for (std::int32_t id = 0; id < 26; ++id) players.push_back({id, "player" + std::to_string(id), "10.0.0.1", id, 50, 0, false});
    }
    std::optional<ScriptPlayer> findPlayer(std::int32_t) const override { return std::nullopt; }
    ScriptServerFacts facts() const override { return {"Bench", 26, 4000, 0}; }
};

struct World {
    World() {
        settings.files = {std::string(VARN_SOURCE_DIR) + "/examples/scripts/welcome.lua",
                          std::string(VARN_SOURCE_DIR) + "/examples/scripts/top.lua"};
        settings.dataFolder = "/tmp";
        host = std::make_unique<ScriptHost>(settings, game, clock, platform::FileSystem::system(), nullptr);
        // Watched as the server watches its scripts: every call tells the watchdog it starts and ends.
        host->watchCalls(std::make_unique<ScriptWatchdog>(std::chrono::milliseconds(settings.timeLimitMilliseconds),
                                                          [] { return false; }));
        std::string error;
        if (!host->load(error)) throw std::runtime_error(error);
        record.name = "alice";
    }
    ScriptSettings settings;
    DroppingGame game;
    platform::ManualClock clock;
    std::unique_ptr<ScriptHost> host;
    PlayerRecord record;
};

void chatCommandThroughAScript(benchmark::State& state) {
    World world;
    const PlayerView player(0, world.record);
    // Each event in a second of its own, so the scripts' 100 ms a second never skips one.
    for (auto _ : state) {
        world.clock.advanceSeconds(1);
        world.host->onSlashCommand(SlashCommand{player, "/top"});
    }
}
BENCHMARK(chatCommandThroughAScript)->Unit(benchmark::kMicrosecond);

void joinThroughAScript(benchmark::State& state) {
    World world;
    const PlayerView player(0, world.record);
    for (auto _ : state) {
        world.clock.advanceSeconds(1);
        world.host->onPlayerJoined(PlayerJoined{player});
    }
}
BENCHMARK(joinThroughAScript)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
