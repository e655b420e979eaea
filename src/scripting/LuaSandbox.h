#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct lua_State;
using lua_CFunction = int (*)(lua_State*);

namespace varn {

// Pattern functions refuse longer subjects and patterns.
inline constexpr std::size_t kMaxPatternSubject = 4 * 1024;
inline constexpr std::size_t kMaxPattern = 128;
// One thing a script can reach: a library's function or value (library "_G" for the globals,
// kStringMetatable for the metatable all strings share), as the library has it (wrapper null) or
// through the wrapper.
struct SandboxEntry {
    std::string_view library;
    const char* name;
    lua_CFunction wrapper;
};
inline constexpr std::string_view kStringMetatable = "string metatable";

// The allow-list: everything a script can reach but the binding (print, warn, varn).
std::span<const SandboxEntry> sandboxEntries();

// Opens the libraries a script may use into a fresh state, with everything the allow-list does not
// name taken out and the wrappers in place (see the README's Scripting section), and arms the
// instruction count.
void openSandbox(lua_State* state);

}  // namespace varn
