#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/ServerSettings.h"
#include "net/LoopTasks.h"
#include "scripting/LuaScript.h"
#include "scripting/ScriptGame.h"
#include "scripting/ScriptWatchdog.h"
#include "scripting/Scripting.h"

namespace varn {

namespace platform {
class Clock;
class FileSystem;
}  // namespace platform

// The scripts of ScriptFiles, each in its own state, handlers run in file order. The host hands
// them the game's events and decisions, keeps their commands and timers, saves their stores and
// keeps all scripts together within kGlobalBudgetNanoseconds of every second.
class ScriptHost final : public Scripts {
public:
    static constexpr std::int64_t kGlobalBudgetNanoseconds = 100'000'000;
    static constexpr std::size_t kMaxTimers = 64;
    static constexpr LoopTasks::Milliseconds kStoreSaveMilliseconds = 10'000;
    enum class CommandKind : std::uint8_t { Player, Administrator };
    enum class Repeat : std::uint8_t { Once, Every };
    // Nanoseconds from any fixed point; tests pass their own.
    using Stopwatch = std::function<std::int64_t()>;

    ScriptHost(const ScriptSettings& settings, ScriptGame& game, const platform::Clock& clock,
               platform::FileSystem& files, LoopTasks* tasks, Stopwatch stopwatch = {});
    ~ScriptHost() override;

    // Loads every file at start-up; false with the first failure.
    bool load(std::string& error);
    bool reload() override;
    void saveStores() override;
    std::uint64_t errorsTotal() const override { return errorsTotal_; }
    std::int64_t nanosecondsTotal() const override { return nanosecondsTotal_; }
    std::map<std::string, std::uint64_t> errorsByScript() const override { return errorsByScript_; }
    // Every error a script raises, counted for the operator's monitoring, in all and by script.
    void noteScript(const std::string& file) { errorsByScript_.try_emplace(file, 0); }
    void noteError(const std::string& file) {
        ++errorsTotal_;
        ++errorsByScript_[file];
    }

    // The observer.
    void onServerStarted() override;
    void onServerStopping() override;
    void onSecondPassed(const SecondPassed& event) override;
    void onPlayerJoined(const PlayerJoined& event) override;
    void onPlayerLeft(const PlayerLeft& event) override;
    void onChatSent(const ChatSent& event) override;
    void onPlayerDied(const PlayerDied& event) override;
    void onBanAdded(const BanAdded& event) override;
    void onBanRemoved(const BanRemoved& event) override;
    void onAdministratorLoggedIn(const AdministratorLoggedIn& event) override;
    void onAdministratorSaid(const AdministratorSaid& event) override;
    std::optional<std::uint8_t> decideJoin(const JoinRequest& request) override;
    ChatVerdict decideChat(const ChatSent& event) override;
    void onSlashCommand(const SlashCommand& command) override;
    bool onAdministratorCommand(const AdministratorCommand& command) override;

    // For the binding.
    ScriptGame& game() { return game_; }
    const platform::Clock& clock() const { return clock_; }
    const ScriptServerFacts& facts() const { return facts_; }
    bool registerCommand(CommandKind kind, std::string_view name, LuaScript& script, int reference);
    // A timer's id (never 0), or 0 when the script has kMaxTimers or there is no loop to run it.
    std::int64_t addTimer(LuaScript& script, LoopTasks::Milliseconds interval, int reference, Repeat repeat);
    void cancelTimer(LuaScript& script, std::int64_t timer);
    const std::vector<ScriptPlayer>& playersNow();
    const ScriptPlayer* playerNow(std::int32_t id);

    // Around every call into a script: whether it may start (all scripts together get
    // kGlobalBudgetNanoseconds of every second), its start (the stopwatch's reading, which the call's
    // time limit is counted from), and its end, which charges the time it took.
    bool admitCall();
    std::int64_t callStarting(const LuaScript& script);
    void callFinished(std::int64_t startNanoseconds);
    std::int64_t readStopwatch() const { return stopwatch_(); }
    // Watches every call from another thread: one stuck in a library function ends the process.
    void watchCalls(std::unique_ptr<ScriptWatchdog> watchdog) { watchdog_ = std::move(watchdog); }

    std::size_t scriptCount() const { return scripts_.size(); }
    const LuaScript& script(std::size_t index) const { return *scripts_[index]; }

private:
    struct Command {
        LuaScript* script;
        int reference;
    };
    using Commands = std::map<std::string, Command, std::less<>>;
    struct Timer {
        LuaScript* script;
        int reference;
        LoopTasks::TaskId task;
        Repeat repeat;
    };
    using ScriptList = std::vector<std::unique_ptr<LuaScript>>;

    bool loadInto(ScriptList& scripts, Commands (&commands)[2], std::string& error);
    void closeScripts(ScriptList& scripts);
    void runTimer(std::int64_t timer);
    // Calls the handlers of event in every script that has them, within the global budget; the
    // script whose handler took the decision, or null.
    LuaScript* dispatch(ScriptEvent event, const LuaScript::ArgumentPusher& pushArguments,
                        const LuaScript::ResultReader& readResult = {});
    bool runCommand(const Commands& commands, std::string_view text, const LuaScript::ArgumentPusher& pushWho);
    void reportSkips(bool force);

    ScriptSettings settings_;
    ScriptGame& game_;
    const platform::Clock& clock_;
    platform::FileSystem& files_;
    LoopTasks* tasks_;
    Stopwatch stopwatch_;
    std::unique_ptr<ScriptWatchdog> watchdog_;
    ScriptServerFacts facts_;
    ScriptList scripts_;
    Commands commands_[2];
    // Where registrations go while a set of scripts is loading.
    Commands* registering_ = commands_;
    std::map<std::int64_t, Timer> timers_;
    std::int64_t nextTimer_ = 1;
    LoopTasks::TaskId storeSaveTask_ = 0;
    bool storeSaveRegistered_ = false;
    std::vector<ScriptPlayer> players_;
    ScriptPlayer foundPlayer_;
    std::int64_t budgetSecond_ = -1;
    std::int64_t usedNanoseconds_ = 0;
    std::int64_t nanosecondsTotal_ = 0;
    std::uint64_t errorsTotal_ = 0;
    std::map<std::string, std::uint64_t> errorsByScript_;
    std::int64_t skipped_ = 0;
    std::int64_t lastSkipReportSecond_ = -1'000'000;
};

}  // namespace varn
