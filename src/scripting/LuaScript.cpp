#include "scripting/LuaScript.h"

#include <lua.hpp>

#include <cstdlib>
#include <filesystem>

#include "platform/Clock.h"
#include "scripting/LuaBinding.h"
#include "scripting/LuaCost.h"
#include "scripting/LuaSandbox.h"
#include "scripting/ScriptHost.h"

namespace varn {

namespace {

constexpr std::int64_t kErrorWindowSeconds = 60;

std::string folderOf(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? std::string("./") : folder.string() + "/";
}

const char* eventName(ScriptEvent event);

}  // namespace

LuaScript::LuaScript(std::string path, const ScriptLimits& limits, ScriptHost& host, ScriptLog log,
                     std::unique_ptr<ScriptStore> store)
    : path_(std::move(path)), folder_(folderOf(path_)), limits_(limits), host_(host), log_(std::move(log)),
      store_(std::move(store)) {}

LuaScript::~LuaScript() {
    if (state_ == nullptr) return;
    // Closing runs pending to-be-closed variables: with the budget armed.
    stopped_ = false;
    instructionsLeft_ = limits_.instructions;
    callStart_ = host_.readStopwatch();
    runningThread_ = state_;
    armCallBudget(state_);
    lua_close(state_);
}

LuaScript& LuaScript::of(lua_State* state) {
    void* self = nullptr;
    lua_getallocf(state, &self);
    return *static_cast<LuaScript*>(self);
}

// The state's allocator: growth past the limit is refused, which Lua raises as a memory error.
void* LuaScript::allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
    LuaScript& script = *static_cast<LuaScript*>(self);
    const std::size_t previous = block != nullptr ? oldSize : 0;
    if (newSize == 0) {
        std::free(block);
        script.memoryInUse_ -= previous;
        return nullptr;
    }
    if (newSize > previous) {
        if (script.memoryInUse_ - previous + newSize > script.limits_.memoryBytes) return nullptr;
        // What a library function builds is work of the call too.
        chargeAllocation(script, newSize - previous);
    }
    void* resized = std::realloc(block, newSize);
    if (resized != nullptr) script.memoryInUse_ = script.memoryInUse_ - previous + newSize;
    return resized;
}

std::string LuaScript::compile() {
    state_ = lua_newstate(allocate, this);
    if (state_ == nullptr) return file() + ": not enough memory to start a state";
    std::string error;
    const CallOutcome opened = protectedCall("start", [](lua_State* state) {
        openSandbox(state);
        openBinding(state);
    });
    if (opened != CallOutcome::Finished) return file() + ": the libraries could not be opened";
    // The chunk is named by its file, so messages read "<file>:<line>: ...".
    const int status = luaL_loadfilex(state_, path_.c_str(), "t");
    if (status != LUA_OK) {
        const char* message = lua_tostring(state_, -1);
        error = message != nullptr ? message : "not enough memory";
        lua_pop(state_, 1);
        return error;
    }
    compiled_ = true;
    return {};
}

bool LuaScript::run(std::string& error) {
    if (!compiled_) {
        error = file() + ": not compiled";
        return false;
    }
    lua_State* state = state_;
    int chunk = luaL_ref(state, LUA_REGISTRYINDEX);
    std::string message;
    const CallOutcome outcome = protectedCall("main chunk", [chunk](lua_State* inner) {
        lua_rawgeti(inner, LUA_REGISTRYINDEX, chunk);
        lua_call(inner, 0, 0);
    });
    luaL_unref(state, LUA_REGISTRYINDEX, chunk);
    if (outcome == CallOutcome::Finished) return true;
    // An error's message names the file and line; a stop names the file here.
    error = outcome == CallOutcome::Failed ? lastError_ : file() + ": " + lastError_;
    return false;
}

bool LuaScript::overTime() const { return host_.readStopwatch() - callStart_ > limits_.timeLimitNanoseconds; }

bool LuaScript::takeRegistration() {
    if (registrations_ >= kMaxRegistrations) return false;
    ++registrations_;
    return true;
}

CallOutcome LuaScript::protectedCall(std::string_view what, const std::function<void(lua_State*)>& body) {
    stopped_ = false;
    instructionsLeft_ = limits_.instructions;
    armCallBudget(state_);
    callStart_ = host_.callStarting(*this);
    runningThread_ = state_;
    lua_pushcfunction(state_, [](lua_State* state) -> int {
        const auto& call = *static_cast<const std::function<void(lua_State*)>*>(lua_touserdata(state, 1));
        lua_settop(state, 0);
        call(state);
        return 0;
    });
    lua_pushlightuserdata(state_, const_cast<std::function<void(lua_State*)>*>(&body));
    const int status = lua_pcall(state_, 1, 0, 0);
    runningThread_ = nullptr;
    host_.callFinished(callStart_);
    if (status == LUA_OK) {
        lua_settop(state_, 0);
        return CallOutcome::Finished;
    }
    CallOutcome outcome = CallOutcome::Failed;
    if (stopped_) {
        outcome = CallOutcome::OverBudget;
        lastError_ = std::string(what) + " stopped: " + stopReason_;
    } else if (status == LUA_ERRMEM) {
        outcome = CallOutcome::OverMemory;
        lastError_ = std::string(what) + " stopped: over its memory limit";
    } else {
        const char* message = lua_tostring(state_, -1);
        lastError_ = std::string(what) + ": " + (message != nullptr ? message : "an error that is no text");
    }
    lua_settop(state_, 0);
    stopped_ = false;
    armCallBudget(state_);
    return outcome;
}

CallOutcome LuaScript::callHandlers(ScriptEvent event, const ArgumentPusher& pushArguments,
                                    const ResultReader& readResult) {
    CallOutcome last = CallOutcome::Finished;
    // A handler may register more handlers of the same event: walk by index.
    const std::vector<int>& references = handlers_[static_cast<std::size_t>(event)];
    for (std::size_t index = 0; index < references.size(); ++index) {
        const int reference = references[index];
        if (switchedOff_ || !host_.admitCall()) return CallOutcome::Skipped;
        bool decided = false;
        last = protectedCall(eventName(event), [&](lua_State* state) {
            lua_rawgeti(state, LUA_REGISTRYINDEX, reference);
            const int count = pushArguments ? pushArguments(state) : 0;
            lua_call(state, count, readResult ? 1 : 0);
            if (readResult) decided = readResult(state);
        });
        if (last != CallOutcome::Finished) countError();
        if (decided) break;
    }
    return last;
}

CallOutcome LuaScript::callReference(int reference, std::string_view what, const ArgumentPusher& pushArguments) {
    if (switchedOff_ || !host_.admitCall()) return CallOutcome::Skipped;
    const CallOutcome outcome = protectedCall(what, [&](lua_State* state) {
        lua_rawgeti(state, LUA_REGISTRYINDEX, reference);
        const int count = pushArguments ? pushArguments(state) : 0;
        lua_call(state, count, 0);
    });
    if (outcome != CallOutcome::Finished) countError();
    return outcome;
}

void LuaScript::releaseReference(int reference) { luaL_unref(state_, LUA_REGISTRYINDEX, reference); }

// Every error is logged once; more than the limit in a minute switches the script off.
void LuaScript::countError() {
    log_.error(lastError_);
    host_.noteError(file());
    const std::int64_t now = host_.clock().monotonicSeconds();
    if (errorsThisMinute_ == 0 || now - errorMinuteStart_ >= kErrorWindowSeconds) {
        errorMinuteStart_ = now;
        errorsThisMinute_ = 0;
    }
    if (++errorsThisMinute_ > limits_.errorsPerMinute && !switchedOff_) {
        switchedOff_ = true;
        log_.errorAlways("switched off until the next reload: more than " + std::to_string(limits_.errorsPerMinute) +
                         " errors in a minute");
    }
}

namespace {

const char* eventName(ScriptEvent event) {
    switch (event) {
    case ScriptEvent::Start: return "start handler";
    case ScriptEvent::Stop: return "stop handler";
    case ScriptEvent::Loaded: return "loaded handler";
    case ScriptEvent::Join: return "join handler";
    case ScriptEvent::Leave: return "leave handler";
    case ScriptEvent::Chat: return "chat handler";
    case ScriptEvent::Death: return "death handler";
    case ScriptEvent::Kill: return "kill handler";
    case ScriptEvent::Second: return "second handler";
    case ScriptEvent::BanAdded: return "banadded handler";
    case ScriptEvent::BanRemoved: return "banremoved handler";
    case ScriptEvent::AdminLogin: return "adminlogin handler";
    case ScriptEvent::AdminSay: return "adminsay handler";
    case ScriptEvent::DecideJoin: return "join decision";
    case ScriptEvent::DecideChat: return "chat decision";
    case ScriptEvent::Count: break;
    }
    return "handler";
}

}  // namespace

}  // namespace varn
