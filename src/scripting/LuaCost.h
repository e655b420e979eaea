#pragma once

#include <cstddef>
#include <cstdint>

struct lua_State;

namespace varn {

class LuaScript;

// What a call into a script costs, all of it counted against one budget per call (the call's
// instructions, ScriptInstructionLimit), whichever coroutine of the script does the work:
// - Lua instructions, counted by a hook every kBudgetStride instructions (every kCoroutineStride in
//   a coroutine, whose count Lua keeps apart: each resume is charged that much before it starts);
// - pattern steps (LuaPattern), at most kPatternSteps in one pattern call;
// - the work of library functions that grows with their arguments: what they allocate, one
//   instruction for every kBytesPerInstruction bytes, and what they walk or move without allocating,
//   one instruction an element, charged before they start.
// Past the budget, or past the call's time limit (ScriptTimeLimit), the call is stopped: the stop
// cannot be caught, and nothing of the script runs again until the call has returned to the server.

// The instruction count is checked every this many instructions.
inline constexpr int kBudgetStride = 1000;
// In a coroutine, every this many.
inline constexpr int kCoroutineStride = 100;
// The steps one pattern call may take (each also counts as an instruction of the call): a few
// milliseconds of matching at most, past which the call is stopped as it is over its budget.
inline constexpr std::int64_t kPatternSteps = 100'000;
inline constexpr std::size_t kBytesPerInstruction = 16;

// Arms the count in the state's main thread for a new call.
void armCallBudget(lua_State* state);
// Takes instructions from the running call's budget; stops the call when it is spent.
void chargeInstructions(lua_State* state, std::int64_t instructions);
// As chargeInstructions, for work that walks bytes.
void chargeBytes(lua_State* state, std::size_t bytes);
// From the allocator, where no error may be raised: the bytes are charged, and when the budget is
// spent the running thread's hook fires at its next instruction to stop the call.
void chargeAllocation(LuaScript& script, std::size_t bytes);
// Stops the running call with reason (a text that outlives the call) in the log line.
[[noreturn]] void stopCall(lua_State* state, const char* reason);
// Raises the stop again when the running call is already stopped; every function that would run
// script code on the script's behalf (a message handler, a coroutine) asks first.
void passOnStop(lua_State* state);
// Before coroutine is resumed or closed: a coroutine stopped in the count hook runs never again (Lua
// keeps its hooks off); the resume is charged and the coroutine's count armed.
void checkCoroutine(lua_State* state, lua_State* coroutine, const char* what);
// Marks thread as stopped in its hook.
void noteThreadStopped(lua_State* state, lua_State* thread);

// The steps a pattern call may take. One call may take at most kPatternSteps and what is left of the
// call's instruction budget; the steps it took are taken from that budget, so many calls in a loop
// stop as a long loop does.
class PatternSteps {
public:
    PatternSteps(lua_State* state, const char* overBudget);
    std::int64_t& left() { return left_; }
    // Takes the steps used so far from the call's instruction budget.
    void charge();
    // Ends a call whose outcome was not a match (malformed pattern message or over budget).
    int raiseMalformed(const char* message);
    [[noreturn]] void raiseOverBudget();
    // Work done outside the matcher, counted in steps.
    void take(std::int64_t steps);

private:
    lua_State* state_;
    const char* overBudget_;
    std::int64_t given_ = 0;
    std::int64_t left_ = 0;
    bool fromInstructions_ = false;
};

}  // namespace varn
