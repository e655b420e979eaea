#include "scripting/ScriptHost.h"

#include <lua.hpp>

#include <chrono>
#include <filesystem>

#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Signals.h"
#include "scripting/GameForScripts.h"
#include "scripting/LuaBinding.h"
#include "scripting/ScriptNotices.h"

namespace varn {

namespace {

constexpr std::int64_t kSkipReportSeconds = 60;

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string fileNameOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

ScriptLimits limitsOf(const ScriptSettings& settings) {
    return ScriptLimits{settings.memoryLimitBytes, settings.instructionLimit, settings.errorLimitPerMinute,
                        std::int64_t{settings.timeLimitMilliseconds} * 1'000'000};
}

// A store is named after its script's path as ScriptFiles gives it, so that two folders never share
// one: letters, digits, '.' and '-' as they are, every other byte as '_' and two hex digits
// ("scripts/vote.lua" keeps "scripts_2fvote.lua.store").
std::string storePathFor(const std::string& folder, const std::string& path) {
    const std::string normal = std::filesystem::path(path).lexically_normal().generic_string();
    std::string name;
    for (const char c : normal) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (kept) {
            name += c;
            continue;
        }
        constexpr char kDigits[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(c);
        name += '_';
        name += kDigits[byte >> 4];
        name += kDigits[byte & 0x0f];
    }
    return (std::filesystem::path(folder) / (name + ".store")).string();
}

// Where the store was kept before: by the script's base name alone.
std::string oldStorePathFor(const std::string& folder, const std::string& path) {
    return (std::filesystem::path(folder) / (std::filesystem::path(path).stem().string() + ".store")).string();
}

const char* leaveReasonName(LeaveReason reason) {
    switch (reason) {
    case LeaveReason::Quit: return "quit";
    case LeaveReason::Timeout: return "timeout";
    case LeaveReason::Kick: return "kick";
    case LeaveReason::Ban: return "ban";
    case LeaveReason::ChatFlood: return "chatflood";
    case LeaveReason::CrcMismatch: return "crcmismatch";
    case LeaveReason::CrcTimeout: return "crctimeout";
    case LeaveReason::Trainer: return "trainer";
    }
    return "quit";
}

std::string actorText(const Actor& by) {
    switch (by.kind) {
    case Actor::Kind::Administrator: return "admin:" + std::string(by.name);
    case Actor::Kind::Script: return "script:" + std::string(by.name);
    case Actor::Kind::Server: break;
    }
    return "server";
}

void pushText(lua_State* state, std::string_view text) { lua_pushlstring(state, text.data(), text.size()); }

// An administrator as handlers get it: a table with its id, name and address.
void pushAdministrator(lua_State* state, std::int32_t id, std::string_view name, std::string_view ipText) {
    lua_createtable(state, 0, 3);
    lua_pushinteger(state, id);
    lua_setfield(state, -2, "id");
    pushText(state, name);
    lua_setfield(state, -2, "name");
    pushText(state, ipText);
    lua_setfield(state, -2, "ip");
}

// "/name the rest" or "!name the rest": the name, and the text after it without its leading spaces.
void splitCommand(std::string_view text, std::string_view& name, std::string_view& rest) {
    text.remove_prefix(1);
    const std::size_t space = text.find(' ');
    name = text.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
}

// The words of the rest, as a table.
void pushWords(lua_State* state, std::string_view rest) {
    lua_newtable(state);
    lua_Integer index = 0;
    while (!rest.empty()) {
        const std::size_t space = rest.find(' ');
        const std::string_view word = rest.substr(0, space);
        if (!word.empty()) {
            pushText(state, word);
            lua_rawseti(state, -2, ++index);
        }
        if (space == std::string_view::npos) break;
        rest.remove_prefix(space + 1);
    }
}

}  // namespace

ScriptHost::ScriptHost(const ScriptSettings& settings, ScriptGame& game, const platform::Clock& clock,
                       platform::FileSystem& files, LoopTasks* tasks, Stopwatch stopwatch)
    : settings_(settings), game_(game), clock_(clock), files_(files), tasks_(tasks),
      stopwatch_(stopwatch ? std::move(stopwatch) : Stopwatch(steadyNanoseconds)), facts_(game.facts()) {
    if (tasks_ != nullptr) {
        storeSaveTask_ = tasks_->addPeriodic(kStoreSaveMilliseconds, [this](LoopTasks::Milliseconds) { saveStores(); });
        storeSaveRegistered_ = true;
    }
}

ScriptHost::~ScriptHost() {
    saveStores();
    closeScripts(scripts_);
    if (storeSaveRegistered_) tasks_->removePeriodic(storeSaveTask_);
}

bool ScriptHost::loadInto(ScriptList& scripts, Commands (&commands)[2], std::string& error) {
    const ScriptLimits limits = limitsOf(settings_);
    for (const std::string& path : settings_.files) {
        auto store = std::make_unique<ScriptStore>(files_, storePathFor(settings_.dataFolder, path),
                                                   oldStorePathFor(settings_.dataFolder, path));
        if (!store->load()) {
            ServerLog::instance().line("SCRIPT-ERROR: ", printableForLog(fileNameOf(path)), ": the store '",
                                       printableForLog(store->path()), "' cannot be read; it starts empty.");
            ServerLog::instance().line("SCRIPT-ERROR: ", printableForLog(fileNameOf(path)), ": the store '",
                                       printableForLog(store->path()),
                                       "' is left as it is: nothing is saved to it until a reload reads it.");
        } else if (store->tookOver()) {
            ServerLog::instance().line("SCRIPT: ", printableForLog(fileNameOf(path)), ": the store '",
                                       printableForLog(store->oldPath()), "' is now '", printableForLog(store->path()),
                                       "'.");
        }
        scripts.push_back(std::make_unique<LuaScript>(path, limits, *this, ScriptLog(fileNameOf(path), clock_),
                                                      std::move(store)));
        error = scripts.back()->compile();
        if (!error.empty()) return false;
        noteScript(scripts.back()->file());
    }
    Commands* previous = registering_;
    registering_ = commands;
    for (const std::unique_ptr<LuaScript>& script : scripts) {
        if (!script->run(error)) {
            registering_ = previous;
            return false;
        }
    }
    registering_ = previous;
    return true;
}

bool ScriptHost::load(std::string& error) {
    if (loadInto(scripts_, commands_, error)) return true;
    closeScripts(scripts_);
    commands_[0].clear();
    commands_[1].clear();
    return false;
}

bool ScriptHost::reload() {
    saveStores();
    ScriptList fresh;
    Commands freshCommands[2];
    std::string error;
    if (!loadInto(fresh, freshCommands, error)) {
        closeScripts(fresh);
        ServerLog::instance().line("SERVER-WARNING: Scripts not reloaded, the running ones stay: ",
                                   printableForLog(error));
        return false;
    }
    closeScripts(scripts_);
    scripts_ = std::move(fresh);
    commands_[0] = std::move(freshCommands[0]);
    commands_[1] = std::move(freshCommands[1]);
    std::string names;
    for (const std::unique_ptr<LuaScript>& script : scripts_) {
        names += names.empty() ? "" : ", ";
        names += printableForLog(script->file());
    }
    ServerLog::instance().line("SERVER: Reloaded scripts: ", names, ".");
    const std::vector<ScriptPlayer>& present = playersNow();
    dispatch(ScriptEvent::Loaded, [&present](lua_State* state) {
        lua_createtable(state, static_cast<int>(present.size()), 0);
        for (std::size_t index = 0; index < present.size(); ++index) {
            pushPlayer(state, present[index]);
            lua_rawseti(state, -2, static_cast<lua_Integer>(index + 1));
        }
        return 1;
    });
    return true;
}

void ScriptHost::closeScripts(ScriptList& scripts) {
    for (auto timer = timers_.begin(); timer != timers_.end();) {
        bool owned = false;
        for (const std::unique_ptr<LuaScript>& script : scripts) owned = owned || timer->second.script == script.get();
        if (owned) {
            tasks_->removePeriodic(timer->second.task);
            timer = timers_.erase(timer);
        } else {
            ++timer;
        }
    }
    scripts.clear();
}

void ScriptHost::saveStores() {
    for (const std::unique_ptr<LuaScript>& script : scripts_) {
        const std::error_code error = script->store().saveIfChanged();
        if (error) {
            script->log().error("the store '" + script->store().path() + "' could not be saved (" + error.message() +
                                ")");
        }
    }
}

bool ScriptHost::registerCommand(CommandKind kind, std::string_view name, LuaScript& script, int reference) {
    Commands& commands = registering_[static_cast<std::size_t>(kind)];
    if (commands.contains(name)) return false;
    commands.emplace(std::string(name), Command{&script, reference});
    return true;
}

std::int64_t ScriptHost::addTimer(LuaScript& script, LoopTasks::Milliseconds interval, int reference, Repeat repeat) {
    if (tasks_ == nullptr) return 0;
    std::size_t owned = 0;
    for (const auto& entry : timers_) owned += entry.second.script == &script ? 1 : 0;
    if (owned >= kMaxTimers) return 0;
    const std::int64_t id = nextTimer_++;
    const LoopTasks::TaskId task = tasks_->addPeriodic(interval, [this, id](LoopTasks::Milliseconds) { runTimer(id); });
    timers_.emplace(id, Timer{&script, reference, task, repeat});
    return id;
}

void ScriptHost::cancelTimer(LuaScript& script, std::int64_t timer) {
    const auto found = timers_.find(timer);
    if (found == timers_.end() || found->second.script != &script) return;
    tasks_->removePeriodic(found->second.task);
    script.releaseReference(found->second.reference);
    timers_.erase(found);
}

void ScriptHost::runTimer(std::int64_t timer) {
    const auto found = timers_.find(timer);
    if (found == timers_.end()) return;
    const Timer entry = found->second;
    if (entry.repeat == Repeat::Once) {
        tasks_->removePeriodic(entry.task);
        timers_.erase(found);
    }
    entry.script->callReference(entry.reference, "timer", {});
    if (entry.repeat == Repeat::Once) entry.script->releaseReference(entry.reference);
}

const std::vector<ScriptPlayer>& ScriptHost::playersNow() {
    players_.clear();
    game_.collectPlayers(players_);
    return players_;
}

const ScriptPlayer* ScriptHost::playerNow(std::int32_t id) {
    std::optional<ScriptPlayer> found = game_.findPlayer(id);
    if (!found) return nullptr;
    foundPlayer_ = std::move(*found);
    return &foundPlayer_;
}

// The global budget: all scripts together get kGlobalBudgetNanoseconds of every second.
bool ScriptHost::admitCall() {
    const std::int64_t second = clock_.monotonicSeconds();
    if (second != budgetSecond_) {
        budgetSecond_ = second;
        usedNanoseconds_ = 0;
    }
    if (usedNanoseconds_ < kGlobalBudgetNanoseconds) return true;
    ++skipped_;
    reportSkips(false);
    return false;
}

std::int64_t ScriptHost::callStarting(const LuaScript& script) {
    if (watchdog_) watchdog_->callStarted(script.file());
    return stopwatch_();
}

void ScriptHost::callFinished(std::int64_t startNanoseconds) {
    const std::int64_t used = stopwatch_() - startNanoseconds;
    if (watchdog_) watchdog_->callEnded();
    usedNanoseconds_ += used;
    nanosecondsTotal_ += used;
}

void ScriptHost::reportSkips(bool force) {
    const std::int64_t now = clock_.monotonicSeconds();
    if (skipped_ == 0 || (!force && now - lastSkipReportSecond_ < kSkipReportSeconds)) return;
    if (force && now - lastSkipReportSecond_ < kSkipReportSeconds) return;
    ServerLog::instance().line("SERVER-WARNING: Scripts used their ", kGlobalBudgetNanoseconds / 1'000'000,
                               " ms of a second; ", skipped_, " script calls skipped since the last such line.");
    skipped_ = 0;
    lastSkipReportSecond_ = now;
}

LuaScript* ScriptHost::dispatch(ScriptEvent event, const LuaScript::ArgumentPusher& pushArguments,
                                const LuaScript::ResultReader& readResult) {
    bool decided = false;
    const LuaScript::ResultReader reader = readResult ? LuaScript::ResultReader([&](lua_State* state) {
        decided = readResult(state);
        return decided;
    })
                                                      : LuaScript::ResultReader();
    for (const std::unique_ptr<LuaScript>& script : scripts_) {
        if (!script->hasHandlers(event) || script->switchedOff()) continue;
        // Skipped by the global budget: so is every script after it.
        const CallOutcome outcome = script->callHandlers(event, pushArguments, reader);
        if (outcome == CallOutcome::Skipped && !script->switchedOff()) return nullptr;
        if (decided) return script.get();
    }
    return nullptr;
}

void ScriptHost::onServerStarted() { dispatch(ScriptEvent::Start, {}); }

void ScriptHost::onServerStopping() {
    dispatch(ScriptEvent::Stop, {});
    saveStores();
}

void ScriptHost::onSecondPassed(const SecondPassed& event) {
    for (const std::unique_ptr<LuaScript>& script : scripts_) script->log().reportHeldBack();
    reportSkips(true);
    dispatch(ScriptEvent::Second, [&event](lua_State* state) {
        lua_pushinteger(state, event.monotonicSeconds);
        return 1;
    });
}

void ScriptHost::onPlayerJoined(const PlayerJoined& event) {
    const ScriptPlayer player = scriptPlayerOf(event.player);
    dispatch(ScriptEvent::Join, [&player](lua_State* state) {
        pushPlayer(state, player);
        return 1;
    });
}

void ScriptHost::onPlayerLeft(const PlayerLeft& event) {
    const ScriptPlayer player = scriptPlayerOf(event.player);
    const char* reason = leaveReasonName(event.reason);
    dispatch(ScriptEvent::Leave, [&player, reason](lua_State* state) {
        pushPlayer(state, player);
        lua_pushstring(state, reason);
        return 2;
    });
}

void ScriptHost::onChatSent(const ChatSent& event) {
    const ScriptPlayer player = scriptPlayerOf(event.player);
    dispatch(ScriptEvent::Chat, [&player, &event](lua_State* state) {
        pushPlayer(state, player);
        pushText(state, event.text);
        lua_pushinteger(state, event.kind);
        return 3;
    });
}

void ScriptHost::onPlayerDied(const PlayerDied& event) {
    const ScriptPlayer victim = scriptPlayerOf(event.victim);
    const std::optional<ScriptPlayer> killer =
        event.killer ? std::optional<ScriptPlayer>(scriptPlayerOf(*event.killer)) : std::nullopt;
    dispatch(ScriptEvent::Death, [&victim, &killer](lua_State* state) {
        pushPlayer(state, victim);
        if (killer) {
            pushPlayer(state, *killer);
        } else {
            lua_pushnil(state);
        }
        return 2;
    });
    if (!killer) return;
    // A suicide is a kill too, with the killer the victim: the third argument tells it apart.
    const bool suicide = killer->id == victim.id;
    dispatch(ScriptEvent::Kill, [&victim, &killer, suicide](lua_State* state) {
        pushPlayer(state, *killer);
        pushPlayer(state, victim);
        lua_pushboolean(state, suicide ? 1 : 0);
        return 3;
    });
}

void ScriptHost::onBanAdded(const BanAdded& event) {
    const std::string by = actorText(event.by);
    dispatch(ScriptEvent::BanAdded, [&event, &by](lua_State* state) {
        pushText(state, event.entry);
        pushText(state, by);
        lua_pushboolean(state, event.automatic ? 1 : 0);
        return 3;
    });
}

void ScriptHost::onBanRemoved(const BanRemoved& event) {
    const std::string by = actorText(event.by);
    dispatch(ScriptEvent::BanRemoved, [&event, &by](lua_State* state) {
        pushText(state, event.entry);
        pushText(state, by);
        return 2;
    });
}

void ScriptHost::onAdministratorLoggedIn(const AdministratorLoggedIn& event) {
    dispatch(ScriptEvent::AdminLogin, [&event](lua_State* state) {
        pushAdministrator(state, event.id, event.name, event.ipText);
        return 1;
    });
}

void ScriptHost::onAdministratorSaid(const AdministratorSaid& event) {
    dispatch(ScriptEvent::AdminSay, [&event](lua_State* state) {
        pushAdministrator(state, event.id, event.name, event.ipText);
        pushText(state, event.text);
        return 2;
    });
}

// The first script whose decision names a notice refuses the join with it. The log says which script
// it was and what it answered, as the game names no script in a refusal of its own.
std::optional<std::uint8_t> ScriptHost::decideJoin(const JoinRequest& request) {
    std::optional<std::uint8_t> refusal;
    std::string answered;
    const LuaScript* refuser = dispatch(
        ScriptEvent::DecideJoin,
        [&request](lua_State* state) {
            lua_createtable(state, 0, 2);
            pushText(state, request.name);
            lua_setfield(state, -2, "name");
            pushText(state, request.ipText);
            lua_setfield(state, -2, "ip");
            return 1;
        },
        [&refusal, &answered](lua_State* state) {
            const char* answer = lua_type(state, -1) == LUA_TSTRING ? lua_tostring(state, -1) : nullptr;
            if (answer == nullptr) return false;
            refusal = joinNoticeNamed(answer);
            if (refusal) answered = answer;
            return refusal.has_value();
        });
    if (refusal && refuser != nullptr) {
        ServerLog::instance().line("SCRIPT: ", printableForLog(refuser->file()), ": refused the join of '",
                                   printableForLog(request.name), "' from '", printableForLog(request.ipText),
                                   "': ", answered, ".");
    }
    return refusal;
}

// The first script that answers "swallow" keeps the text from the other players.
ChatVerdict ScriptHost::decideChat(const ChatSent& event) {
    const ScriptPlayer player = scriptPlayerOf(event.player);
    ChatVerdict verdict = ChatVerdict::Relay;
    dispatch(
        ScriptEvent::DecideChat,
        [&player, &event](lua_State* state) {
            pushPlayer(state, player);
            pushText(state, event.text);
            lua_pushinteger(state, event.kind);
            return 3;
        },
        [&verdict](lua_State* state) {
            const bool swallow = lua_type(state, -1) == LUA_TSTRING && std::string_view(lua_tostring(state, -1)) == "swallow";
            if (swallow) verdict = ChatVerdict::Swallow;
            return swallow;
        });
    return verdict;
}

bool ScriptHost::runCommand(const Commands& commands, std::string_view text, const LuaScript::ArgumentPusher& pushWho) {
    std::string_view name;
    std::string_view rest;
    splitCommand(text, name, rest);
    const auto found = commands.find(name);
    if (found == commands.end()) return false;
    const Command command = found->second;
    // Named as typed, with its '/' or '!', so that an error says which command it came from.
    const std::string what = "command " + std::string(text.substr(0, 1 + name.size()));
    command.script->callReference(command.reference, what, [&pushWho, rest](lua_State* state) {
        pushWho(state);
        pushText(state, rest);
        pushWords(state, rest);
        return 3;
    });
    return true;
}

void ScriptHost::onSlashCommand(const SlashCommand& command) {
    const ScriptPlayer player = scriptPlayerOf(command.player);
    runCommand(commands_[static_cast<std::size_t>(CommandKind::Player)], command.text, [&player](lua_State* state) {
        pushPlayer(state, player);
        return 1;
    });
}

bool ScriptHost::onAdministratorCommand(const AdministratorCommand& command) {
    return runCommand(commands_[static_cast<std::size_t>(CommandKind::Administrator)], command.text,
                      [&command](lua_State* state) {
                          pushAdministrator(state, command.id, command.name, command.ipText);
                          return 1;
                      });
}

bool scriptsBuiltIn() { return true; }

std::unique_ptr<Scripts> loadScripts(const ScriptSettings& settings, ScriptGame& game, const platform::Clock& clock,
                                     platform::FileSystem& files, LoopTasks* tasks, std::string& error) {
    auto host = std::make_unique<ScriptHost>(settings, game, clock, files, tasks);
    host->watchCalls(std::make_unique<ScriptWatchdog>(ScriptWatchdog::Milliseconds(settings.timeLimitMilliseconds),
                                                      platform::StopSignals::stopRequested));
    if (!host->load(error)) return nullptr;
    return host;
}

std::vector<std::string> compileScripts(const ScriptSettings& settings) {
    // Only compiled: no game, no loop, no store is touched.
    class NoGame final : public ScriptGame {
    public:
        void sendText(std::int32_t, std::string_view) override {}
        bool kick(std::int32_t, std::string_view) override { return false; }
        bool ban(std::int32_t, std::string_view, std::uint32_t, std::string_view) override { return false; }
        void collectPlayers(std::vector<ScriptPlayer>&) const override {}
        std::optional<ScriptPlayer> findPlayer(std::int32_t) const override { return std::nullopt; }
        ScriptServerFacts facts() const override { return {}; }
    };
    NoGame game;
    platform::ManualClock clock;
    ScriptHost host(settings, game, clock, platform::FileSystem::system(), nullptr);
    std::vector<std::string> errors;
    const ScriptLimits limits = limitsOf(settings);
    for (const std::string& path : settings.files) {
        LuaScript script(path, limits, host, ScriptLog(fileNameOf(path), clock),
                         std::make_unique<ScriptStore>(platform::FileSystem::system(), std::string()));
        std::string error = script.compile();
        if (!error.empty()) errors.push_back(std::move(error));
    }
    return errors;
}

}  // namespace varn
