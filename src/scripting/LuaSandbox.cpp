#include "scripting/LuaSandbox.h"

#include <lua.hpp>

#include <cstring>

#include "scripting/LuaScript.h"

namespace varn {

namespace {

constexpr std::size_t kMaxDateFormat = 64;
constexpr std::size_t kMaxRequireName = 64;
constexpr const char* kOriginal = "varn.original";
constexpr const char* kModules = "varn.modules";

int strideFor(const LuaScript& script) {
    return script.limits().instructions < kBudgetStride ? static_cast<int>(script.limits().instructions)
                                                         : kBudgetStride;
}

// Fires every stride instructions in every coroutine of the state; once the call is stopped it fires
// at every instruction, so the stop comes back however the script tries to catch it.
void countHook(lua_State* state, lua_Debug*) {
    LuaScript& script = LuaScript::of(state);
    if (!script.callStopped()) {
        script.instructionsLeft() -= lua_gethookcount(state);
        if (script.instructionsLeft() > 0) {
            if (lua_gethookcount(state) != strideFor(script)) lua_sethook(state, countHook, LUA_MASKCOUNT, strideFor(script));
            return;
        }
        script.noteStopped();
    }
    lua_sethook(state, countHook, LUA_MASKCOUNT, 1);
    luaL_error(state, "stopped: over its instruction budget");
}

// A stop (budget or memory) is passed on by every function that would otherwise catch an error.
bool mustPassOn(lua_State* state, int status) {
    return status == LUA_ERRMEM || LuaScript::of(state).callStopped();
}

int finishProtectedCall(lua_State* state, int status, lua_KContext extra) {
    if (status != LUA_OK && status != LUA_YIELD) {
        if (mustPassOn(state, status)) return lua_error(state);
        lua_pushboolean(state, 0);
        lua_pushvalue(state, -2);
        return 2;
    }
    return lua_gettop(state) - static_cast<int>(extra);
}

int safePcall(lua_State* state) {
    luaL_checkany(state, 1);
    lua_pushboolean(state, 1);
    lua_insert(state, 1);
    const int status = lua_pcallk(state, lua_gettop(state) - 2, LUA_MULTRET, 0, 0, finishProtectedCall);
    return finishProtectedCall(state, status, 0);
}

int safeXpcall(lua_State* state) {
    const int count = lua_gettop(state);
    luaL_checktype(state, 2, LUA_TFUNCTION);
    lua_pushboolean(state, 1);
    lua_pushvalue(state, 1);
    lua_rotate(state, 3, 2);
    const int status = lua_pcallk(state, count - 2, LUA_MULTRET, 2, 2, finishProtectedCall);
    return finishProtectedCall(state, status, 2);
}

// Calls the library's own function kept under name in the registry's table of originals, with the
// arguments as given; its results are returned as they are.
int callOriginal(lua_State* state, const char* library, const char* name) {
    const int count = lua_gettop(state);
    lua_getfield(state, LUA_REGISTRYINDEX, kOriginal);
    lua_getfield(state, -1, library);
    lua_getfield(state, -1, name);
    lua_replace(state, -3);
    lua_pop(state, 1);
    lua_insert(state, 1);
    lua_call(state, count, LUA_MULTRET);
    return lua_gettop(state);
}

// coroutine.resume and coroutine.close answer false and the error instead of raising it: a stop
// inside the coroutine is raised again.
int passOnStop(lua_State* state, const char* name) {
    const int results = callOriginal(state, "coroutine", name);
    if (results >= 2 && lua_toboolean(state, 1) == 0) {
        const char* message = lua_tostring(state, 2);
        const bool outOfMemory = message != nullptr && std::strcmp(message, "not enough memory") == 0;
        if (outOfMemory || LuaScript::of(state).callStopped()) {
            lua_settop(state, 2);
            return lua_error(state);
        }
    }
    return results;
}

int safeResume(lua_State* state) { return passOnStop(state, "resume"); }
int safeClose(lua_State* state) { return passOnStop(state, "close"); }

// Finalizers run with the hooks off, so no metatable with __gc is taken.
int safeSetmetatable(lua_State* state) {
    if (lua_type(state, 2) == LUA_TTABLE && lua_getfield(state, 2, "__gc") != LUA_TNIL) {
        return luaL_error(state, "setmetatable: a metatable with __gc is not allowed");
    }
    lua_settop(state, 2);
    return callOriginal(state, "_G", "setmetatable");
}

// Only text chunks: a binary chunk can break the state it is loaded into.
int safeLoad(lua_State* state) {
    std::size_t length = 0;
    const char* chunk = lua_tolstring(state, 1, &length);
    if (chunk == nullptr || lua_type(state, 1) != LUA_TSTRING) return luaL_error(state, "load: only a text is taken");
    const char* name = luaL_optstring(state, 2, chunk);
    const int status = luaL_loadbufferx(state, chunk, length, name, "t");
    if (status != LUA_OK) {
        if (status == LUA_ERRMEM) return lua_error(state);
        luaL_pushfail(state);
        lua_insert(state, -2);
        return 2;
    }
    if (!lua_isnone(state, 4)) {
        lua_pushvalue(state, 4);
        if (lua_setupvalue(state, -2, 1) == nullptr) lua_pop(state, 1);
    }
    return 1;
}

// Counting and collecting are allowed; stopping or tuning the collector is not.
int safeCollectgarbage(lua_State* state) {
    const char* option = luaL_optstring(state, 1, "collect");
    for (const char* allowed : {"collect", "count", "step", "isrunning"}) {
        if (std::strcmp(option, allowed) == 0) return callOriginal(state, "_G", "collectgarbage");
    }
    return luaL_error(state, "collectgarbage: option '%s' is not allowed", option);
}

int checkedPattern(lua_State* state, const char* name) {
    std::size_t subject = 0;
    std::size_t pattern = 0;
    luaL_checklstring(state, 1, &subject);
    luaL_checklstring(state, 2, &pattern);
    if (subject > kMaxPatternSubject) {
        return luaL_error(state, "string.%s: the subject is over %d bytes", name, static_cast<int>(kMaxPatternSubject));
    }
    if (pattern > kMaxPattern) {
        return luaL_error(state, "string.%s: the pattern is over %d bytes", name, static_cast<int>(kMaxPattern));
    }
    return callOriginal(state, "string", name);
}

int safeFind(lua_State* state) { return checkedPattern(state, "find"); }
int safeMatch(lua_State* state) { return checkedPattern(state, "match"); }
int safeGmatch(lua_State* state) { return checkedPattern(state, "gmatch"); }
int safeGsub(lua_State* state) { return checkedPattern(state, "gsub"); }

// string.rep runs its copies in C: a result over the memory limit is refused before it starts, and
// an empty one is answered at once (a count in the billions would otherwise loop for long).
int safeRep(lua_State* state) {
    std::size_t length = 0;
    std::size_t separator = 0;
    luaL_checklstring(state, 1, &length);
    const lua_Integer count = luaL_checkinteger(state, 2);
    luaL_optlstring(state, 3, "", &separator);
    if (count <= 0 || length + separator == 0) {
        lua_pushliteral(state, "");
        return 1;
    }
    const double total = static_cast<double>(length + separator) * static_cast<double>(count);
    if (total > static_cast<double>(LuaScript::of(state).limits().memoryBytes)) {
        return luaL_error(state, "string.rep: the result would be over the memory limit");
    }
    return callOriginal(state, "string", "rep");
}

int safeDate(lua_State* state) {
    std::size_t length = 0;
    luaL_optlstring(state, 1, "%c", &length);
    if (length > kMaxDateFormat) return luaL_error(state, "os.date: the format is over %d bytes", static_cast<int>(kMaxDateFormat));
    return callOriginal(state, "os", "date");
}

// require takes names of [A-Za-z0-9_.] and loads "<name with '.' as '/'>.lua" from the script's own
// folder, once.
int safeRequire(lua_State* state) {
    std::size_t length = 0;
    const char* name = luaL_checklstring(state, 1, &length);
    bool valid = length > 0 && length <= kMaxRequireName && name[0] != '.' && name[length - 1] != '.';
    for (std::size_t index = 0; valid && index < length; ++index) {
        const char c = name[index];
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                             (c == '.' && name[index + 1] != '.');
        valid = allowed;
    }
    if (!valid) return luaL_error(state, "require: '%s' is not a module name of letters, digits, '_' and '.'", name);
    lua_getfield(state, LUA_REGISTRYINDEX, kModules);
    if (lua_getfield(state, -1, name) != LUA_TNIL) return 1;
    lua_pop(state, 1);

    const std::string& folder = LuaScript::of(state).folder();
    luaL_Buffer path;
    luaL_buffinit(state, &path);
    luaL_addlstring(&path, folder.data(), folder.size());
    for (std::size_t index = 0; index < length; ++index) luaL_addchar(&path, name[index] == '.' ? '/' : name[index]);
    luaL_addstring(&path, ".lua");
    luaL_pushresult(&path);
    const char* file = lua_tostring(state, -1);
    // luaL_loadfilex reads text chunks only with mode "t".
    if (luaL_loadfilex(state, file, "t") != LUA_OK) return lua_error(state);
    lua_pushstring(state, name);
    lua_call(state, 1, 1);
    if (lua_isnil(state, -1)) {
        lua_pop(state, 1);
        lua_pushboolean(state, 1);
    }
    lua_pushvalue(state, -1);
    lua_setfield(state, -4, name);
    return 1;
}

// Keeps a library function as the original and puts the replacement (or nothing) in its place.
void replace(lua_State* state, const char* library, const char* name, lua_CFunction replacement) {
    lua_getfield(state, LUA_REGISTRYINDEX, kOriginal);
    if (lua_getfield(state, -1, library) == LUA_TNIL) {
        lua_pop(state, 1);
        lua_newtable(state);
        lua_pushvalue(state, -1);
        lua_setfield(state, -3, library);
    }
    if (std::strcmp(library, "_G") == 0) {
        lua_pushglobaltable(state);
    } else {
        lua_getglobal(state, library);
    }
    lua_getfield(state, -1, name);
    lua_setfield(state, -3, name);
    if (replacement != nullptr) {
        lua_pushcfunction(state, replacement);
    } else {
        lua_pushnil(state);
    }
    lua_setfield(state, -2, name);
    lua_pop(state, 3);
}

void openLibraries(lua_State* state) {
    luaL_requiref(state, LUA_GNAME, luaopen_base, 1);
    luaL_requiref(state, LUA_STRLIBNAME, luaopen_string, 1);
    luaL_requiref(state, LUA_TABLIBNAME, luaopen_table, 1);
    luaL_requiref(state, LUA_MATHLIBNAME, luaopen_math, 1);
    luaL_requiref(state, LUA_UTF8LIBNAME, luaopen_utf8, 1);
    luaL_requiref(state, LUA_COLIBNAME, luaopen_coroutine, 1);
    lua_pop(state, 6);
    // os: only the clock, the time and the date; the rest of the library is never reachable.
    luaL_requiref(state, LUA_OSLIBNAME, luaopen_os, 0);
    lua_newtable(state);
    for (const char* name : {"time", "date", "clock"}) {
        lua_getfield(state, -2, name);
        lua_setfield(state, -2, name);
    }
    lua_setglobal(state, LUA_OSLIBNAME);
    lua_pop(state, 1);
    // luaopen_os registered the full library as a loaded module: drop that trace.
    lua_getfield(state, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    lua_pushnil(state);
    lua_setfield(state, -2, LUA_OSLIBNAME);
    lua_pop(state, 1);
}

}  // namespace

void openSandbox(lua_State* state) {
    openLibraries(state);
    lua_newtable(state);
    lua_setfield(state, LUA_REGISTRYINDEX, kOriginal);
    lua_newtable(state);
    lua_setfield(state, LUA_REGISTRYINDEX, kModules);

    replace(state, "_G", "dofile", nullptr);
    replace(state, "_G", "loadfile", nullptr);
    replace(state, "_G", "load", safeLoad);
    replace(state, "_G", "collectgarbage", safeCollectgarbage);
    replace(state, "_G", "pcall", safePcall);
    replace(state, "_G", "xpcall", safeXpcall);
    replace(state, "_G", "setmetatable", safeSetmetatable);
    replace(state, "_G", "require", safeRequire);
    replace(state, "string", "dump", nullptr);
    replace(state, "string", "find", safeFind);
    replace(state, "string", "match", safeMatch);
    replace(state, "string", "gmatch", safeGmatch);
    replace(state, "string", "gsub", safeGsub);
    replace(state, "string", "rep", safeRep);
    replace(state, "coroutine", "resume", safeResume);
    replace(state, "coroutine", "close", safeClose);
    replace(state, "os", "date", safeDate);

    lua_sethook(state, countHook, LUA_MASKCOUNT, strideFor(LuaScript::of(state)));
}

void rearmBudget(lua_State* state) {
    lua_sethook(state, countHook, LUA_MASKCOUNT, strideFor(LuaScript::of(state)));
}

}  // namespace varn
