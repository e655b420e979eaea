#include "scripting/LuaBinding.h"

#include <lua.hpp>

#include <cmath>
#include <cstring>

#include "scripting/LuaScript.h"
#include "scripting/ScriptGame.h"
#include "scripting/ScriptHost.h"

namespace varn {

namespace {

constexpr std::size_t kMaxCommandName = 24;
constexpr std::size_t kMaxStoreKey = 256;

struct NamedEvent {
    const char* name;
    ScriptEvent event;
};
constexpr NamedEvent kEvents[] = {
    {"start", ScriptEvent::Start},       {"stop", ScriptEvent::Stop},
    {"loaded", ScriptEvent::Loaded},     {"join", ScriptEvent::Join},
    {"leave", ScriptEvent::Leave},       {"chat", ScriptEvent::Chat},
    {"death", ScriptEvent::Death},       {"kill", ScriptEvent::Kill},
    {"second", ScriptEvent::Second},     {"banadded", ScriptEvent::BanAdded},
    {"banremoved", ScriptEvent::BanRemoved}, {"adminlogin", ScriptEvent::AdminLogin},
    {"adminsay", ScriptEvent::AdminSay},
};
constexpr NamedEvent kDecisions[] = {
    {"join", ScriptEvent::DecideJoin},
    {"chat", ScriptEvent::DecideChat},
};

LuaScript& scriptOf(lua_State* state) { return LuaScript::of(state); }

// Handlers and commands are held partly outside the state: a script may have kMaxRegistrations of
// them; past that a registration is an error the script can catch.
void takeRegistration(lua_State* state, const char* what) {
    if (!scriptOf(state).takeRegistration()) {
        luaL_error(state, "%s: no more registrations (at most %d a script)", what,
                   static_cast<int>(LuaScript::kMaxRegistrations));
    }
}

template <std::size_t Count>
int registerHandler(lua_State* state, const NamedEvent (&names)[Count], const char* what, const char* noun) {
    const char* name = luaL_checkstring(state, 1);
    luaL_checktype(state, 2, LUA_TFUNCTION);
    for (const NamedEvent& named : names) {
        if (std::strcmp(named.name, name) != 0) continue;
        takeRegistration(state, what);
        lua_settop(state, 2);
        scriptOf(state).addHandler(named.event, luaL_ref(state, LUA_REGISTRYINDEX));
        return 0;
    }
    return luaL_error(state, "%s: no %s named '%s'", what, noun, name);
}

int on(lua_State* state) { return registerHandler(state, kEvents, "varn.on", "event"); }
int decide(lua_State* state) { return registerHandler(state, kDecisions, "varn.decide", "decision point"); }

bool validCommandName(const char* name, std::size_t length) {
    if (length == 0 || length > kMaxCommandName) return false;
    for (std::size_t index = 0; index < length; ++index) {
        const char c = name[index];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

int registerCommand(lua_State* state, ScriptHost::CommandKind kind) {
    std::size_t length = 0;
    const char* name = luaL_checklstring(state, 1, &length);
    luaL_checktype(state, 2, LUA_TFUNCTION);
    if (!validCommandName(name, length)) {
        return luaL_error(state, "'%s' is no command name (1 to 24 letters, digits, '_' or '-')", name);
    }
    takeRegistration(state, kind == ScriptHost::CommandKind::Player ? "varn.command" : "varn.adminCommand");
    lua_settop(state, 2);
    const int reference = luaL_ref(state, LUA_REGISTRYINDEX);
    LuaScript& script = scriptOf(state);
    if (!script.host().registerCommand(kind, std::string_view(name, length), script, reference)) {
        script.releaseReference(reference);
        return luaL_error(state, "the command '%s' is registered twice", name);
    }
    return 0;
}

int playerCommand(lua_State* state) { return registerCommand(state, ScriptHost::CommandKind::Player); }
int adminCommand(lua_State* state) { return registerCommand(state, ScriptHost::CommandKind::Administrator); }

// The text as the relay carries it, written into buffer (kMaxScriptText bytes); answers its length.
std::size_t relayText(const char* text, std::size_t length, char* buffer) {
    const std::size_t kept = length < kMaxScriptText ? length : kMaxScriptText;
    for (std::size_t index = 0; index < kept; ++index) {
        const char c = text[index];
        buffer[index] = (c >= 0x20 && c <= 0x7E) ? c : '?';
    }
    return kept;
}

// A player id, from a player's table or given as it is: 0 to 255.
std::int32_t playerIdArgument(lua_State* state, int index) {
    lua_Integer id = 0;
    if (lua_type(state, index) == LUA_TTABLE) {
        lua_getfield(state, index, "id");
        id = luaL_checkinteger(state, -1);
        lua_pop(state, 1);
    } else {
        id = luaL_checkinteger(state, index);
    }
    if (id < 0 || id > 255) return luaL_argerror(state, index, "no player id");
    return static_cast<std::int32_t>(id);
}

int send(lua_State* state) {
    const std::int32_t id = playerIdArgument(state, 1);
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, 2, &length);
    char buffer[kMaxScriptText];
    const std::size_t kept = relayText(text, length, buffer);
    scriptOf(state).host().game().sendText(id, std::string_view(buffer, kept));
    return 0;
}

int broadcast(lua_State* state) {
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, 1, &length);
    char buffer[kMaxScriptText];
    const std::size_t kept = relayText(text, length, buffer);
    scriptOf(state).host().game().sendText(-1, std::string_view(buffer, kept));
    return 0;
}

int kick(lua_State* state) {
    const std::int32_t id = playerIdArgument(state, 1);
    LuaScript& script = scriptOf(state);
    lua_pushboolean(state, script.host().game().kick(id, script.file()) ? 1 : 0);
    return 1;
}

// varn.ban(player [, minutes [, reason]]): minutes 0 or none for a ban without a time limit.
int ban(lua_State* state) {
    const std::int32_t id = playerIdArgument(state, 1);
    const lua_Number minutes = luaL_optnumber(state, 2, 0);
    std::size_t length = 0;
    const char* reason = luaL_optlstring(state, 3, "", &length);
    if (!(minutes >= 0) || minutes > 3650.0 * 24 * 60) return luaL_argerror(state, 2, "minutes from 0 to 10 years");
    if (length > 120) return luaL_argerror(state, 3, "a reason of at most 120 bytes");
    char buffer[kMaxScriptText];
    const std::size_t kept = relayText(reason, length, buffer);
    LuaScript& script = scriptOf(state);
    // Any time at all is at least a second: 0 seconds would be a ban without a time limit.
    const auto seconds = static_cast<std::uint32_t>(std::ceil(minutes * 60));
    lua_pushboolean(state, script.host().game().ban(id, script.file(), seconds, std::string_view(buffer, kept)) ? 1 : 0);
    return 1;
}

// The pieces of a print or a log call: tostring of each, a space between (a tab would show as '?').
void pushJoined(lua_State* state) {
    const int count = lua_gettop(state);
    luaL_Buffer line;
    luaL_buffinit(state, &line);
    for (int index = 1; index <= count; ++index) {
        luaL_tolstring(state, index, nullptr);
        if (index > 1) luaL_addchar(&line, ' ');
        luaL_addvalue(&line);
    }
    luaL_pushresult(&line);
}

int print(lua_State* state) {
    pushJoined(state);
    std::size_t length = 0;
    const char* text = lua_tolstring(state, -1, &length);
    scriptOf(state).log().write(std::string_view(text, length));
    return 0;
}

// warn's control messages ("@on", "@off") are taken and ignored; the pieces are joined as print's.
int warn(lua_State* state) {
    const int count = lua_gettop(state);
    luaL_checkstring(state, 1);
    for (int index = 2; index <= count; ++index) luaL_checkstring(state, index);
    if (count == 1 && lua_tostring(state, 1)[0] == '@') return 0;
    pushJoined(state);
    std::size_t length = 0;
    const char* text = lua_tolstring(state, -1, &length);
    scriptOf(state).log().write(std::string_view(text, length));
    return 0;
}

int players(lua_State* state) {
    const std::vector<ScriptPlayer>& all = scriptOf(state).host().playersNow();
    lua_createtable(state, static_cast<int>(all.size()), 0);
    for (std::size_t index = 0; index < all.size(); ++index) {
        pushPlayer(state, all[index]);
        lua_rawseti(state, -2, static_cast<lua_Integer>(index + 1));
    }
    return 1;
}

int player(lua_State* state) {
    const lua_Integer id = luaL_checkinteger(state, 1);
    const ScriptPlayer* found =
        id >= 0 && id <= 255 ? scriptOf(state).host().playerNow(static_cast<std::int32_t>(id)) : nullptr;
    if (found == nullptr) {
        lua_pushnil(state);
        return 1;
    }
    pushPlayer(state, *found);
    return 1;
}

int addTimer(lua_State* state, ScriptHost::Repeat repeat) {
    const lua_Number seconds = luaL_checknumber(state, 1);
    luaL_checktype(state, 2, LUA_TFUNCTION);
    if (!(seconds >= 0.1) || seconds > 86400.0 * 7) return luaL_argerror(state, 1, "seconds from 0.1 to a week");
    lua_settop(state, 2);
    const int reference = luaL_ref(state, LUA_REGISTRYINDEX);
    LuaScript& script = scriptOf(state);
    const std::int64_t timer =
        script.host().addTimer(script, static_cast<std::int64_t>(std::llround(seconds * 1000)), reference, repeat);
    if (timer == 0) {
        script.releaseReference(reference);
        return luaL_error(state, "no more timers (at most %d a script)", static_cast<int>(ScriptHost::kMaxTimers));
    }
    lua_pushinteger(state, timer);
    return 1;
}

int after(lua_State* state) { return addTimer(state, ScriptHost::Repeat::Once); }
int every(lua_State* state) { return addTimer(state, ScriptHost::Repeat::Every); }

int cancel(lua_State* state) {
    const lua_Integer timer = luaL_checkinteger(state, 1);
    LuaScript& script = scriptOf(state);
    script.host().cancelTimer(script, timer);
    return 0;
}

void pushStoreValue(lua_State* state, const ScriptStore::Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        lua_pushlstring(state, text->data(), text->size());
    } else if (const auto* number = std::get_if<double>(&value)) {
        lua_pushnumber(state, *number);
    } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        lua_pushinteger(state, *integer);
    } else {
        lua_pushboolean(state, std::get<bool>(value) ? 1 : 0);
    }
}

int storeGet(lua_State* state) {
    std::size_t length = 0;
    const char* key = luaL_checklstring(state, 1, &length);
    const ScriptStore::Value* value = scriptOf(state).store().find(std::string_view(key, length));
    if (value == nullptr) {
        lua_pushnil(state);
        return 1;
    }
    pushStoreValue(state, *value);
    return 1;
}

enum class StoreWrite : std::uint8_t { Done, TooLarge };

// Kept apart so no C++ value is alive when the binding raises an error.
StoreWrite writeStore(ScriptStore& store, std::string_view key, lua_State* state, int index) {
    switch (lua_type(state, index)) {
    case LUA_TNIL:
        store.remove(key);
        return StoreWrite::Done;
    case LUA_TBOOLEAN:
        return store.set(key, ScriptStore::Value(lua_toboolean(state, index) != 0)) ? StoreWrite::Done
                                                                                     : StoreWrite::TooLarge;
    case LUA_TNUMBER:
        if (lua_isinteger(state, index)) {
            return store.set(key, ScriptStore::Value(static_cast<std::int64_t>(lua_tointeger(state, index))))
                       ? StoreWrite::Done
                       : StoreWrite::TooLarge;
        }
        return store.set(key, ScriptStore::Value(static_cast<double>(lua_tonumber(state, index)))) ? StoreWrite::Done
                                                                                                    : StoreWrite::TooLarge;
    default: {
        std::size_t length = 0;
        const char* text = lua_tolstring(state, index, &length);
        return store.set(key, ScriptStore::Value(std::string(text, length))) ? StoreWrite::Done : StoreWrite::TooLarge;
    }
    }
}

int storeSet(lua_State* state) {
    std::size_t length = 0;
    const char* key = luaL_checklstring(state, 1, &length);
    if (length == 0 || length > kMaxStoreKey) return luaL_argerror(state, 1, "a key of 1 to 256 bytes");
    const int type = lua_type(state, 2);
    if (type != LUA_TNIL && type != LUA_TBOOLEAN && type != LUA_TNUMBER && type != LUA_TSTRING) {
        return luaL_argerror(state, 2, "a text, a number, a boolean or nil");
    }
    if (writeStore(scriptOf(state).store(), std::string_view(key, length), state, 2) == StoreWrite::TooLarge) {
        return luaL_error(state, "varn.store.set: the store would be over %d bytes", static_cast<int>(ScriptStore::kMaxBytes));
    }
    return 0;
}

int storeKeys(lua_State* state) {
    const auto& entries = scriptOf(state).store().entries();
    lua_createtable(state, static_cast<int>(entries.size()), 0);
    lua_Integer index = 0;
    for (const auto& entry : entries) {
        lua_pushlstring(state, entry.first.data(), entry.first.size());
        lua_rawseti(state, -2, ++index);
    }
    return 1;
}

void setFunction(lua_State* state, const char* name, lua_CFunction function) {
    lua_pushcfunction(state, function);
    lua_setfield(state, -2, name);
}

void pushSettings(lua_State* state) {
    const ScriptServerFacts& facts = scriptOf(state).host().facts();
    lua_createtable(state, 0, 4);
    lua_pushlstring(state, facts.serverName.data(), facts.serverName.size());
    lua_setfield(state, -2, "serverName");
    lua_pushinteger(state, facts.maxPlayers);
    lua_setfield(state, -2, "maxPlayers");
    lua_pushinteger(state, facts.serverPort);
    lua_setfield(state, -2, "serverPort");
    lua_pushinteger(state, facts.adminPort);
    lua_setfield(state, -2, "adminPort");
}

}  // namespace

void pushPlayer(lua_State* state, const ScriptPlayer& player) {
    lua_createtable(state, 0, 7);
    lua_pushinteger(state, player.id);
    lua_setfield(state, -2, "id");
    lua_pushlstring(state, player.name.data(), player.name.size());
    lua_setfield(state, -2, "name");
    lua_pushlstring(state, player.ip.data(), player.ip.size());
    lua_setfield(state, -2, "ip");
    lua_pushinteger(state, player.score);
    lua_setfield(state, -2, "score");
    lua_pushinteger(state, player.ping);
    lua_setfield(state, -2, "ping");
    lua_pushinteger(state, player.idleSeconds);
    lua_setfield(state, -2, "idle");
    lua_pushboolean(state, player.inVehicle ? 1 : 0);
    lua_setfield(state, -2, "inVehicle");
}

void openBinding(lua_State* state) {
    lua_pushcfunction(state, print);
    lua_setglobal(state, "print");
    lua_pushcfunction(state, warn);
    lua_setglobal(state, "warn");

    lua_newtable(state);
    setFunction(state, "on", on);
    setFunction(state, "decide", decide);
    setFunction(state, "command", playerCommand);
    setFunction(state, "adminCommand", adminCommand);
    setFunction(state, "send", send);
    setFunction(state, "broadcast", broadcast);
    setFunction(state, "kick", kick);
    setFunction(state, "ban", ban);
    setFunction(state, "log", print);
    setFunction(state, "players", players);
    setFunction(state, "player", player);
    setFunction(state, "after", after);
    setFunction(state, "every", every);
    setFunction(state, "cancel", cancel);
    lua_newtable(state);
    setFunction(state, "get", storeGet);
    setFunction(state, "set", storeSet);
    setFunction(state, "keys", storeKeys);
    lua_setfield(state, -2, "store");
    pushSettings(state);
    lua_setfield(state, -2, "settings");
    const std::string& file = scriptOf(state).file();
    lua_pushlstring(state, file.data(), file.size());
    lua_setfield(state, -2, "file");
    lua_setglobal(state, "varn");
}

}  // namespace varn
