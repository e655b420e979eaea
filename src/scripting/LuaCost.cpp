#include "scripting/LuaCost.h"

#include <lua.hpp>

#include <cstdlib>

#include "scripting/LuaScript.h"

namespace varn {

namespace {

// The registry's table of threads stopped in their hook, weak in its keys.
constexpr const char* kStoppedThreads = "varn.stopped";
constexpr const char* kOverTimeLimit = "over its time limit";

int strideFor(const LuaScript& script) {
    return script.limits().instructions < kBudgetStride ? static_cast<int>(script.limits().instructions)
                                                         : kBudgetStride;
}

const char* overReason(LuaScript& script) {
    return script.instructionsLeft() <= 0 ? LuaScript::kOverInstructionBudget : kOverTimeLimit;
}

// Fires every stride instructions in every thread of the state; once the call is stopped it fires at
// every instruction, so the stop comes back however the script tries to catch it.
void countHook(lua_State* state, lua_Debug*) {
    LuaScript& script = LuaScript::of(state);
    if (!script.callStopped()) {
        script.instructionsLeft() -= lua_gethookcount(state);
        if (script.instructionsLeft() > 0 && !script.overTime()) return;
        script.noteStopped(overReason(script));
    }
    stopCall(state, script.stopReason());
}

std::int64_t instructionsForBytes(std::size_t bytes) {
    return static_cast<std::int64_t>(bytes / kBytesPerInstruction);
}

}  // namespace

void armCallBudget(lua_State* state) {
    lua_sethook(state, countHook, LUA_MASKCOUNT, strideFor(LuaScript::of(state)));
}

void noteThreadStopped(lua_State* state, lua_State* thread) {
    // The main thread is never resumed; a stop there ends with the call.
    if (lua_pushthread(thread) == 1) {
        lua_pop(thread, 1);
        return;
    }
    lua_pop(thread, 1);
    if (lua_getfield(state, LUA_REGISTRYINDEX, kStoppedThreads) != LUA_TTABLE) {
        lua_pop(state, 1);
        lua_newtable(state);
        lua_createtable(state, 0, 1);
        lua_pushliteral(state, "k");
        lua_setfield(state, -2, "__mode");
        lua_setmetatable(state, -2);
        lua_pushvalue(state, -1);
        lua_setfield(state, LUA_REGISTRYINDEX, kStoppedThreads);
    }
    if (thread == state) {
        lua_pushthread(state);
    } else {
        lua_pushthread(thread);
        lua_xmove(thread, state, 1);
    }
    lua_pushboolean(state, 1);
    lua_rawset(state, -3);
    lua_pop(state, 1);
}

void stopCall(lua_State* state, const char* reason) {
    LuaScript& script = LuaScript::of(state);
    if (!script.callStopped()) script.noteStopped(reason);
    lua_sethook(state, countHook, LUA_MASKCOUNT, 1);
    noteThreadStopped(state, state);
    luaL_error(state, "stopped: %s", script.stopReason());
    std::abort();  // luaL_error does not return
}

void passOnStop(lua_State* state) {
    LuaScript& script = LuaScript::of(state);
    if (script.callStopped()) stopCall(state, script.stopReason());
}

void chargeInstructions(lua_State* state, std::int64_t instructions) {
    LuaScript& script = LuaScript::of(state);
    passOnStop(state);
    script.instructionsLeft() -= instructions;
    if (script.instructionsLeft() <= 0) stopCall(state, LuaScript::kOverInstructionBudget);
}

void chargeBytes(lua_State* state, std::size_t bytes) { chargeInstructions(state, instructionsForBytes(bytes)); }

void chargeAllocation(LuaScript& script, std::size_t bytes) {
    std::int64_t& left = script.instructionsLeft();
    const bool wasLeft = left > 0;
    left -= instructionsForBytes(bytes);
    if (wasLeft && left <= 0 && script.runningThread() != nullptr) {
        lua_sethook(script.runningThread(), countHook, LUA_MASKCOUNT, 1);
    }
}

void checkCoroutine(lua_State* state, lua_State* coroutine, const char* what) {
    passOnStop(state);
    lua_getfield(state, LUA_REGISTRYINDEX, kStoppedThreads);
    bool stopped = false;
    if (lua_istable(state, -1)) {
        lua_pushthread(coroutine);
        lua_xmove(coroutine, state, 1);
        stopped = lua_rawget(state, -2) != LUA_TNIL;
        lua_pop(state, 1);
    }
    lua_pop(state, 1);
    if (stopped) luaL_error(state, "cannot %s a coroutine that was stopped", what);
    chargeInstructions(state, kCoroutineStride);
    lua_sethook(coroutine, countHook, LUA_MASKCOUNT, kCoroutineStride);
}

PatternSteps::PatternSteps(lua_State* state, const char* overBudget) : state_(state), overBudget_(overBudget) {
    LuaScript& script = LuaScript::of(state);
    passOnStop(state);
    if (script.instructionsLeft() <= 0) stopCall(state, LuaScript::kOverInstructionBudget);
    fromInstructions_ = script.instructionsLeft() < kPatternSteps;
    given_ = fromInstructions_ ? script.instructionsLeft() : kPatternSteps;
    left_ = given_;
}

void PatternSteps::charge() {
    const std::int64_t used = given_ - (left_ > 0 ? left_ : 0);
    LuaScript::of(state_).instructionsLeft() -= used;
    given_ -= used;
}

int PatternSteps::raiseMalformed(const char* message) {
    charge();
    return luaL_error(state_, "%s", message);
}

void PatternSteps::raiseOverBudget() {
    charge();
    stopCall(state_, fromInstructions_ ? LuaScript::kOverInstructionBudget : overBudget_);
}

void PatternSteps::take(std::int64_t steps) {
    left_ -= steps;
    if (left_ < 0) raiseOverBudget();
    charge();
}

}  // namespace varn
