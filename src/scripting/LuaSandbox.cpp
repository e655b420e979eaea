#include "scripting/LuaSandbox.h"

#include <lua.hpp>

#include <cstring>
#include <string_view>

#include "scripting/LuaPattern.h"
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

// Pattern calls are matched by LuaPattern, which counts its steps. One call may take at most
// kPatternSteps and what is left of the call's instruction budget; the steps it took are taken from
// that budget, so many calls in a loop stop as a long loop does.
class PatternSteps {
public:
    PatternSteps(lua_State* state, const char* overBudget) : state_(state), overBudget_(overBudget) {
        LuaScript& script = LuaScript::of(state);
        if (script.callStopped() || script.instructionsLeft() <= 0) stop(LuaScript::kOverInstructionBudget);
        fromInstructions_ = script.instructionsLeft() < kPatternSteps;
        given_ = fromInstructions_ ? script.instructionsLeft() : kPatternSteps;
        left_ = given_;
    }
    std::int64_t& left() { return left_; }
    // Takes the steps used so far from the call's instruction budget.
    void charge() {
        const std::int64_t used = given_ - (left_ > 0 ? left_ : 0);
        LuaScript::of(state_).instructionsLeft() -= used;
        given_ -= used;
    }
    // Ends a call whose outcome was not a match: the message of a malformed pattern, or the stop.
    int raise(LuaPattern::Outcome outcome, const LuaPattern& pattern) {
        charge();
        if (outcome == LuaPattern::Outcome::Malformed) return luaL_error(state_, "%s", pattern.error());
        return stop(fromInstructions_ ? LuaScript::kOverInstructionBudget : overBudget_);
    }
    // Work done outside the matcher, counted in steps.
    void take(std::int64_t steps) {
        left_ -= steps;
        if (left_ < 0) {
            charge();
            stop(fromInstructions_ ? LuaScript::kOverInstructionBudget : overBudget_);
        }
        charge();
    }

private:
    // A stop, as the count hook gives it: no script code can catch it.
    int stop(const char* reason) {
        LuaScript::of(state_).noteStopped(reason);
        lua_sethook(state_, countHook, LUA_MASKCOUNT, 1);
        return luaL_error(state_, "stopped: %s", reason);
    }

    lua_State* state_;
    const char* overBudget_;
    std::int64_t given_ = 0;
    std::int64_t left_ = 0;
    bool fromInstructions_ = false;
};

// The subject and the pattern at 1 and 2, refused over their sizes.
std::string_view checkedText(lua_State* state, int index, std::size_t limit, const char* name, const char* what) {
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, index, &length);
    if (length > limit) luaL_error(state, "string.%s: the %s is over %d bytes", name, what, static_cast<int>(limit));
    return {text, length};
}

struct PatternArguments {
    std::string_view subject;
    std::string_view pattern;
};

// Both must be texts before either size is looked at, as the library checks its arguments.
PatternArguments checkedPatternArguments(lua_State* state, const char* name) {
    luaL_checkstring(state, 1);
    luaL_checkstring(state, 2);
    return {checkedText(state, 1, kMaxPatternSubject, name, "subject"), checkedText(state, 2, kMaxPattern, name, "pattern")};
}

// A start position as the string functions take it: negative counts from the end, 0 is 1, one
// before the start is 1. Answers the 0-based offset, which may be past the end.
std::size_t startOffset(lua_Integer position, std::size_t length) {
    if (position > 0) return static_cast<std::size_t>(position) - 1;
    if (position == 0 || position < -static_cast<lua_Integer>(length)) return 0;
    return length - static_cast<std::size_t>(-position);
}

// Pushes capture index of a match from start to end; with no captures, index 0 is the whole match.
void pushCapture(lua_State* state, const LuaPattern& match, std::string_view subject, int index, std::size_t start,
                 std::size_t end) {
    if (index >= match.captureCount()) {
        if (index != 0) luaL_error(state, "invalid capture index %%%d", index + 1);
        lua_pushlstring(state, subject.data() + start, end - start);
        return;
    }
    const LuaPattern::Capture& capture = match.capture(index);
    if (capture.length == LuaPattern::kOpen) luaL_error(state, "unfinished capture");
    if (capture.length == LuaPattern::kPosition) {
        lua_pushinteger(state, static_cast<lua_Integer>(capture.start) + 1);
    } else {
        lua_pushlstring(state, subject.data() + capture.start, static_cast<std::size_t>(capture.length));
    }
}

int pushCaptures(lua_State* state, const LuaPattern& match, std::string_view subject, std::size_t start,
                 std::size_t end, bool wholeWithoutCaptures) {
    const int count = match.captureCount() == 0 && wholeWithoutCaptures ? 1 : match.captureCount();
    luaL_checkstack(state, count, "too many captures");
    for (int index = 0; index < count; ++index) pushCapture(state, match, subject, index, start, end);
    return count;
}

int findOrMatch(lua_State* state, bool find) {
    const char* name = find ? "find" : "match";
    const auto [subject, pattern] = checkedPatternArguments(state, name);
    const std::size_t init = startOffset(luaL_optinteger(state, 3, 1), subject.size());
    if (init > subject.size()) {
        luaL_pushfail(state);
        return 1;
    }
    if (find && (lua_toboolean(state, 4) != 0 || isPlainPattern(pattern))) {
        // A plain search compares at most every place with the whole text: a step for every 64 bytes.
        PatternSteps steps(state, "string.find: the pattern took over its step budget");
        steps.take(1 + static_cast<std::int64_t>((subject.size() - init) * pattern.size() / 64));
        const std::size_t at = subject.find(pattern, init);
        if (at == std::string_view::npos) {
            luaL_pushfail(state);
            return 1;
        }
        lua_pushinteger(state, static_cast<lua_Integer>(at) + 1);
        lua_pushinteger(state, static_cast<lua_Integer>(at + pattern.size()));
        return 2;
    }
    const bool anchored = !pattern.empty() && pattern[0] == '^';
    PatternSteps steps(state, find ? "string.find: the pattern took over its step budget"
                                   : "string.match: the pattern took over its step budget");
    LuaPattern match(subject, pattern, steps.left());
    std::size_t start = init;
    do {
        const LuaPattern::Outcome outcome = match.match(start, anchored ? 1 : 0);
        if (outcome == LuaPattern::Outcome::Match) {
            steps.charge();
            if (!find) return pushCaptures(state, match, subject, start, match.end(), true);
            lua_pushinteger(state, static_cast<lua_Integer>(start) + 1);
            lua_pushinteger(state, static_cast<lua_Integer>(match.end()));
            return 2 + pushCaptures(state, match, subject, start, match.end(), false);
        }
        if (outcome != LuaPattern::Outcome::NoMatch) return steps.raise(outcome, match);
    } while (start++ < subject.size() && !anchored);
    steps.charge();
    luaL_pushfail(state);
    return 1;
}

int safeFind(lua_State* state) { return findOrMatch(state, true); }
int safeMatch(lua_State* state) { return findOrMatch(state, false); }

// The iterator gmatch gives: the subject, the pattern, where to go on and where the last match
// ended (-1 before the first) are its upvalues. A leading '^' is no anchor here.
int gmatchNext(lua_State* state) {
    std::size_t length = 0;
    const char* text = lua_tolstring(state, lua_upvalueindex(1), &length);
    const std::string_view subject(text, length);
    text = lua_tolstring(state, lua_upvalueindex(2), &length);
    const std::string_view pattern(text, length);
    auto start = static_cast<std::size_t>(lua_tointeger(state, lua_upvalueindex(3)));
    const lua_Integer last = lua_tointeger(state, lua_upvalueindex(4));
    PatternSteps steps(state, "string.gmatch: the pattern took over its step budget");
    LuaPattern match(subject, pattern, steps.left());
    for (; start <= subject.size(); ++start) {
        const LuaPattern::Outcome outcome = match.match(start);
        if (outcome == LuaPattern::Outcome::Match && static_cast<lua_Integer>(match.end()) != last) {
            steps.charge();
            lua_pushinteger(state, static_cast<lua_Integer>(match.end()));
            lua_copy(state, -1, lua_upvalueindex(3));
            lua_replace(state, lua_upvalueindex(4));
            return pushCaptures(state, match, subject, start, match.end(), true);
        }
        if (outcome != LuaPattern::Outcome::Match && outcome != LuaPattern::Outcome::NoMatch) {
            return steps.raise(outcome, match);
        }
    }
    steps.charge();
    lua_pushinteger(state, static_cast<lua_Integer>(subject.size()) + 1);
    lua_replace(state, lua_upvalueindex(3));
    return 0;
}

int safeGmatch(lua_State* state) {
    const auto [subject, pattern] = checkedPatternArguments(state, "gmatch");
    std::size_t init = startOffset(luaL_optinteger(state, 3, 1), subject.size());
    if (init > subject.size()) init = subject.size() + 1;
    lua_settop(state, 2);
    lua_pushinteger(state, static_cast<lua_Integer>(init));
    lua_pushinteger(state, -1);
    lua_pushcclosure(state, gmatchNext, 4);
    return 1;
}

// A replacement text: %0 is the whole match, %1..%9 the captures (%1 the whole match when there is
// none), %% a '%'.
void addReplacementText(lua_State* state, luaL_Buffer& buffer, const LuaPattern& match, std::string_view subject,
                        std::size_t start, std::size_t end) {
    std::size_t length = 0;
    const char* text = lua_tolstring(state, 3, &length);
    for (std::size_t index = 0; index < length; ++index) {
        const char c = text[index];
        if (c != '%') {
            luaL_addchar(&buffer, c);
            continue;
        }
        const char next = ++index < length ? text[index] : '\0';
        if (next == '%') {
            luaL_addchar(&buffer, '%');
        } else if (next == '0') {
            luaL_addlstring(&buffer, subject.data() + start, end - start);
        } else if (next >= '1' && next <= '9') {
            pushCapture(state, match, subject, next - '1', start, end);
            luaL_addvalue(&buffer);
        } else {
            luaL_error(state, "invalid use of '%%' in replacement string");
        }
    }
}

int safeGsub(lua_State* state) {
    const auto [subject, pattern] = checkedPatternArguments(state, "gsub");
    const int replacement = lua_type(state, 3);
    const lua_Integer most = luaL_optinteger(state, 4, static_cast<lua_Integer>(subject.size()) + 1);
    luaL_argexpected(state,
                     replacement == LUA_TNUMBER || replacement == LUA_TSTRING || replacement == LUA_TFUNCTION ||
                         replacement == LUA_TTABLE,
                     3, "string/function/table");
    const bool anchored = !pattern.empty() && pattern[0] == '^';
    PatternSteps steps(state, "string.gsub: the pattern took over its step budget");
    LuaPattern match(subject, pattern, steps.left());
    luaL_Buffer buffer;
    luaL_buffinit(state, &buffer);
    std::size_t at = 0;
    // Where the last match ended: an empty match right there is not taken again.
    std::size_t lastEnd = static_cast<std::size_t>(-1);
    lua_Integer count = 0;
    while (count < most) {
        const LuaPattern::Outcome outcome = match.match(at, anchored ? 1 : 0);
        if (outcome != LuaPattern::Outcome::Match && outcome != LuaPattern::Outcome::NoMatch) {
            return steps.raise(outcome, match);
        }
        if (outcome == LuaPattern::Outcome::Match && match.end() != lastEnd) {
            ++count;
            const std::size_t end = match.end();
            if (replacement == LUA_TFUNCTION || replacement == LUA_TTABLE) {
                // Script code runs next: what the matching took is counted before it.
                steps.charge();
                if (replacement == LUA_TFUNCTION) {
                    lua_pushvalue(state, 3);
                    const int arguments = pushCaptures(state, match, subject, at, end, true);
                    lua_call(state, arguments, 1);
                } else {
                    pushCapture(state, match, subject, 0, at, end);
                    lua_gettable(state, 3);
                }
                if (lua_toboolean(state, -1) == 0) {
                    lua_pop(state, 1);
                    luaL_addlstring(&buffer, subject.data() + at, end - at);
                } else if (lua_isstring(state, -1) == 0) {
                    return luaL_error(state, "invalid replacement value (a %s)", luaL_typename(state, -1));
                } else {
                    luaL_addvalue(&buffer);
                }
            } else {
                addReplacementText(state, buffer, match, subject, at, end);
            }
            at = lastEnd = end;
        } else if (at < subject.size()) {
            luaL_addchar(&buffer, subject[at++]);
        } else {
            break;
        }
        if (anchored) break;
    }
    steps.charge();
    luaL_addlstring(&buffer, subject.data() + at, subject.size() - at);
    luaL_pushresult(&buffer);
    lua_pushinteger(state, count);
    return 2;
}

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
