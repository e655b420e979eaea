#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scripting/ScriptLog.h"
#include "scripting/ScriptStore.h"

struct lua_State;

namespace varn {

class ScriptHost;

// What a script may react to with varn.on, and the decisions it may take with varn.decide.
enum class ScriptEvent : std::uint8_t {
    Start,
    Stop,
    Loaded,
    Join,
    Leave,
    Chat,
    Death,
    Kill,
    Second,
    BanAdded,
    BanRemoved,
    AdminLogin,
    AdminSay,
    DecideJoin,
    DecideChat,
    Count,
};

// The limits every script runs under.
struct ScriptLimits {
    std::size_t memoryBytes = std::size_t{32} << 20;
    std::int64_t instructions = 200'000;
    std::int32_t errorsPerMinute = 10;
    // The wall-clock time one call may take before the count hook stops it.
    std::int64_t timeLimitNanoseconds = 200'000'000;
};

// Why a call did not finish.
enum class CallOutcome : std::uint8_t { Finished, Failed, OverBudget, OverMemory, Skipped };

// One script file in a Lua state of its own: the sandboxed libraries, an allocator with a limit, an
// instruction budget for every call into it, its log lines and its store.
class LuaScript {
public:
    LuaScript(std::string path, const ScriptLimits& limits, ScriptHost& host, ScriptLog log,
              std::unique_ptr<ScriptStore> store);
    ~LuaScript();
    LuaScript(const LuaScript&) = delete;
    LuaScript& operator=(const LuaScript&) = delete;

    // Compiles the file (never runs it). Empty, or the error as "<file>:<line>: <message>".
    std::string compile();
    // Runs the compiled chunk, which registers the script's handlers; false (with the error) when
    // it fails.
    bool run(std::string& error);

    // Calls every handler of an event; pushArguments pushes their arguments and answers how many.
    // readResult, when given, sees each handler's one result on the stack top and answers true to
    // end the walk (a decision taken).
    using ArgumentPusher = std::function<int(lua_State*)>;
    using ResultReader = std::function<bool(lua_State*)>;
    CallOutcome callHandlers(ScriptEvent event, const ArgumentPusher& pushArguments,
                             const ResultReader& readResult = {});
    // Calls one function kept in the registry (a command or a timer), with the budget armed.
    CallOutcome callReference(int reference, std::string_view what, const ArgumentPusher& pushArguments);
    void releaseReference(int reference);

    bool hasHandlers(ScriptEvent event) const { return !handlers_[static_cast<std::size_t>(event)].empty(); }
    bool switchedOff() const { return switchedOff_; }
    const std::string& path() const { return path_; }
    const std::string& file() const { return log_.file(); }
    ScriptLog& log() { return log_; }
    ScriptStore& store() { return *store_; }
    const ScriptStore& store() const { return *store_; }
    ScriptHost& host() { return host_; }
    const ScriptLimits& limits() const { return limits_; }
    std::size_t memoryInUse() const { return memoryInUse_; }
    // The state, for inspection (what a script can reach).
    lua_State* state() const { return state_; }

    // Used by the binding and the sandbox.
    static LuaScript& of(lua_State* state);
    void addHandler(ScriptEvent event, int reference) { handlers_[static_cast<std::size_t>(event)].push_back(reference); }
    // True once the running call was stopped (budget or memory): no script code may catch it.
    bool callStopped() const { return stopped_; }
    // reason, a text that outlives the call, is what the log line gives after "stopped: ".
    void noteStopped(const char* reason = kOverInstructionBudget) {
        stopped_ = true;
        stopReason_ = reason;
    }
    const char* stopReason() const { return stopReason_; }
    // True once the running call has run past its time limit.
    bool overTime() const;
    // The thread (main or coroutine) of the running call that runs now; null between calls.
    lua_State* runningThread() const { return runningThread_; }
    void setRunningThread(lua_State* thread) { runningThread_ = thread; }
    // Registrations (handlers and commands) count towards kMaxRegistrations; false past it.
    bool takeRegistration();
    static constexpr std::size_t kMaxRegistrations = 10'000;
    static constexpr const char* kOverInstructionBudget = "over its instruction budget";
    std::int64_t& instructionsLeft() { return instructionsLeft_; }
    const std::string& folder() const { return folder_; }
    // What the last call that did not finish logged.
    const std::string& lastError() const { return lastError_; }

private:
    static void* allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize);
    CallOutcome protectedCall(std::string_view what, const std::function<void(lua_State*)>& body);
    void countError();

    std::string path_;
    std::string folder_;
    std::string lastError_;
    ScriptLimits limits_;
    ScriptHost& host_;
    ScriptLog log_;
    std::unique_ptr<ScriptStore> store_;
    lua_State* state_ = nullptr;
    lua_State* runningThread_ = nullptr;
    std::int64_t callStart_ = 0;
    std::size_t registrations_ = 0;
    std::size_t memoryInUse_ = 0;
    std::int64_t instructionsLeft_ = 0;
    bool stopped_ = false;
    const char* stopReason_ = kOverInstructionBudget;
    bool compiled_ = false;
    bool switchedOff_ = false;
    std::int64_t errorMinuteStart_ = 0;
    std::int32_t errorsThisMinute_ = 0;
    std::array<std::vector<int>, static_cast<std::size_t>(ScriptEvent::Count)> handlers_;
};

}  // namespace varn
