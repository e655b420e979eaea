#pragma once

#include <cstdint>
#include <string_view>

struct lua_State;

namespace varn {

struct ScriptPlayer;

// The script's view of the server: the table "varn" (events, decisions, commands, actions, players,
// settings, timers, the store) and print and warn as log lines. See the README's Scripting section.
void openBinding(lua_State* state);

// The tables handlers receive.
void pushPlayer(lua_State* state, const ScriptPlayer& player);

// A text as the chat relay carries it: bytes outside 0x20..0x7E become '?', at most kMaxScriptText.
inline constexpr std::size_t kMaxScriptText = 126;

}  // namespace varn
