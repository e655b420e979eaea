#pragma once

#include <cstddef>
#include <cstdint>

struct lua_State;

namespace varn {

// Pattern functions refuse longer subjects and patterns.
inline constexpr std::size_t kMaxPatternSubject = 4 * 1024;
inline constexpr std::size_t kMaxPattern = 128;
// The steps one pattern call may take (each also counts as an instruction of the call): a few
// milliseconds of matching at most, past which the call is stopped as it is over its budget.
inline constexpr std::int64_t kPatternSteps = 100'000;
// The instruction count is checked every this many instructions.
inline constexpr int kBudgetStride = 1000;

// Opens the libraries a script may use into a fresh state, with the unsafe parts taken out or
// replaced (see the README's Scripting section), and arms the instruction count.
void openSandbox(lua_State* state);
// Gives the running call its budget again after a stop.
void rearmBudget(lua_State* state);

}  // namespace varn
