#include "scripting/LuaSandbox.h"

#include <lua.hpp>

#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "scripting/LuaCost.h"
#include "scripting/LuaPattern.h"
#include "scripting/LuaScript.h"

namespace varn {

namespace {

constexpr std::size_t kMaxDateFormat = 64;
constexpr std::size_t kMaxRequireName = 64;
constexpr const char* kModules = "varn.modules";

// Calls the library's own function, the wrapper's first upvalue, with the arguments as given; its
// results are returned as they are.
int callOriginal(lua_State* state) {
    const int count = lua_gettop(state);
    lua_pushvalue(state, lua_upvalueindex(1));
    lua_insert(state, 1);
    lua_call(state, count, LUA_MULTRET);
    return lua_gettop(state);
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
    passOnStop(state);
    lua_pushboolean(state, 1);
    lua_insert(state, 1);
    const int status = lua_pcallk(state, lua_gettop(state) - 2, LUA_MULTRET, 0, 0, finishProtectedCall);
    return finishProtectedCall(state, status, 0);
}

// xpcall's message handler runs where the error was raised, before anything unwinds: for a stop
// raised in the count hook that is with the hooks off. A stopped call's handler never runs; the stop
// goes on as it is.
int runMessageHandler(lua_State* state) {
    if (LuaScript::of(state).callStopped()) return 1;
    lua_pushvalue(state, lua_upvalueindex(1));
    lua_insert(state, 1);
    lua_call(state, lua_gettop(state) - 1, 1);
    return 1;
}

int safeXpcall(lua_State* state) {
    const int count = lua_gettop(state);
    luaL_checktype(state, 2, LUA_TFUNCTION);
    passOnStop(state);
    lua_pushvalue(state, 2);
    lua_pushcclosure(state, runMessageHandler, 1);
    lua_replace(state, 2);
    lua_pushboolean(state, 1);
    lua_pushvalue(state, 1);
    lua_rotate(state, 3, 2);
    const int status = lua_pcallk(state, count - 2, LUA_MULTRET, 2, 2, finishProtectedCall);
    return finishProtectedCall(state, status, 2);
}

// Resumes coroutine with the count armed and the running thread known to the cost model; the status,
// with the results or the error object moved onto state.
int resumeCounted(lua_State* state, lua_State* coroutine, int arguments, int& results) {
    LuaScript& script = LuaScript::of(state);
    if (!lua_checkstack(coroutine, arguments)) luaL_error(state, "too many arguments to resume");
    lua_xmove(state, coroutine, arguments);
    lua_State* previous = script.runningThread();
    script.setRunningThread(coroutine);
    const int status = lua_resume(coroutine, state, arguments, &results);
    script.setRunningThread(previous);
    if (status == LUA_OK || status == LUA_YIELD) {
        if (!lua_checkstack(state, results + 1)) {
            lua_pop(coroutine, results);
            luaL_error(state, "too many results to resume");
        }
        lua_xmove(coroutine, state, results);
    } else {
        lua_xmove(coroutine, state, 1);
    }
    return status;
}

lua_State* checkedCoroutine(lua_State* state, int index) {
    lua_State* coroutine = lua_tothread(state, index);
    luaL_argexpected(state, coroutine != nullptr, index, "coroutine");
    return coroutine;
}

// coroutine.resume answers false and the error instead of raising it; a stop or a memory error
// inside the coroutine is raised again.
int safeResume(lua_State* state) {
    lua_State* coroutine = checkedCoroutine(state, 1);
    checkCoroutine(state, coroutine, "resume");
    int results = 0;
    const int status = resumeCounted(state, coroutine, lua_gettop(state) - 1, results);
    if (status != LUA_OK && status != LUA_YIELD) {
        if (mustPassOn(state, status)) return lua_error(state);
        lua_pushboolean(state, 0);
        lua_insert(state, -2);
        return 2;
    }
    lua_pushboolean(state, 1);
    lua_insert(state, -(results + 1));
    return results + 1;
}

// The function coroutine.wrap gives. A coroutine that failed is closed (its to-be-closed variables
// run) unless the call was stopped: then it never runs again.
int runWrapped(lua_State* state) {
    lua_State* coroutine = lua_tothread(state, lua_upvalueindex(1));
    checkCoroutine(state, coroutine, "resume");
    int results = 0;
    int status = resumeCounted(state, coroutine, lua_gettop(state), results);
    if (status == LUA_OK || status == LUA_YIELD) return results;
    if (!mustPassOn(state, status)) {
        lua_pop(state, 1);
        LuaScript& script = LuaScript::of(state);
        lua_State* previous = script.runningThread();
        script.setRunningThread(coroutine);
#if LUA_VERSION_RELEASE_NUM >= 50406
        status = lua_closethread(coroutine, state);
#else
        status = lua_resetthread(coroutine);
#endif
        script.setRunningThread(previous);
        lua_xmove(coroutine, state, 1);
        if (mustPassOn(state, status)) return lua_error(state);
        if (lua_type(state, -1) == LUA_TSTRING) {
            luaL_where(state, 1);
            lua_insert(state, -2);
            lua_concat(state, 2);
        }
    }
    return lua_error(state);
}

int safeWrap(lua_State* state) {
    luaL_checktype(state, 1, LUA_TFUNCTION);
    lua_State* coroutine = lua_newthread(state);
    lua_pushvalue(state, 1);
    lua_xmove(state, coroutine, 1);
    lua_pushcclosure(state, runWrapped, 1);
    return 1;
}

// coroutine.close runs the coroutine's pending to-be-closed variables: counted, and never for one
// that was stopped.
int safeClose(lua_State* state) {
    lua_State* coroutine = checkedCoroutine(state, 1);
    checkCoroutine(state, coroutine, "close");
    LuaScript& script = LuaScript::of(state);
    lua_State* previous = script.runningThread();
    script.setRunningThread(coroutine);
    const int results = callOriginal(state);
    script.setRunningThread(previous);
    if (results >= 2 && lua_toboolean(state, 1) == 0) {
        const char* message = lua_tostring(state, 2);
        const bool outOfMemory = message != nullptr && std::strcmp(message, "not enough memory") == 0;
        if (outOfMemory || script.callStopped()) {
            lua_settop(state, 2);
            return lua_error(state);
        }
    }
    return results;
}

// Finalizers run with the hooks off, so no metatable with __gc is taken.
int safeSetmetatable(lua_State* state) {
    if (lua_type(state, 2) == LUA_TTABLE && lua_getfield(state, 2, "__gc") != LUA_TNIL) {
        return luaL_error(state, "setmetatable: a metatable with __gc is not allowed");
    }
    lua_settop(state, 2);
    return callOriginal(state);
}

// Only text chunks: a binary chunk can break the state it is loaded into.
int safeLoad(lua_State* state) {
    std::size_t length = 0;
    const char* chunk = lua_tolstring(state, 1, &length);
    if (chunk == nullptr || lua_type(state, 1) != LUA_TSTRING) return luaL_error(state, "load: only a text is taken");
    const char* name = luaL_optstring(state, 2, chunk);
    // Reading the text (a long comment allocates nothing) is work of the call.
    chargeBytes(state, length);
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
        if (std::strcmp(option, allowed) == 0) return callOriginal(state);
    }
    return luaL_error(state, "collectgarbage: option '%s' is not allowed", option);
}

// Ends a pattern call whose outcome was not a match: the message of a malformed pattern, or the stop.
int raiseFrom(PatternSteps& steps, LuaPattern::Outcome outcome, const LuaPattern& pattern) {
    if (outcome == LuaPattern::Outcome::Malformed) return steps.raiseMalformed(pattern.error());
    steps.raiseOverBudget();
}

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
        if (outcome != LuaPattern::Outcome::NoMatch) return raiseFrom(steps, outcome, match);
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
            return raiseFrom(steps, outcome, match);
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
    // Read once for every match.
    chargeBytes(state, length);
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
            return raiseFrom(steps, outcome, match);
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
    // A short text repeated many times is copied piece by piece.
    chargeInstructions(state, count + static_cast<std::int64_t>(total) / static_cast<std::int64_t>(kBytesPerInstruction));
    return callOriginal(state);
}

int safeDate(lua_State* state) {
    std::size_t length = 0;
    luaL_optlstring(state, 1, "%c", &length);
    if (length > kMaxDateFormat) return luaL_error(state, "os.date: the format is over %d bytes", static_cast<int>(kMaxDateFormat));
    return callOriginal(state);
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

// The elements from first to last, as the table functions count them (none when last < first),
// saturated far beyond any budget.
std::int64_t elementsBetween(lua_Integer first, lua_Integer last) {
    if (last < first) return 0;
    const auto count = static_cast<lua_Unsigned>(last) - static_cast<lua_Unsigned>(first) + 1;
    return count > (lua_Unsigned{1} << 60) || count == 0 ? std::int64_t{1} << 60 : static_cast<std::int64_t>(count);
}

// table.move(a1, f, e, t [, a2]) moves e - f + 1 elements, present or not.
int safeMove(lua_State* state) {
    const lua_Integer first = luaL_checkinteger(state, 2);
    const lua_Integer last = luaL_checkinteger(state, 3);
    chargeInstructions(state, elementsBetween(first, last));
    return callOriginal(state);
}

// The table functions take what is no table to the library, which refuses it with its own message.
bool isTable(lua_State* state) { return lua_type(state, 1) == LUA_TTABLE; }

// table.insert(t, pos, v) shifts the elements from pos up; with two arguments it appends.
int safeInsert(lua_State* state) {
    if (lua_gettop(state) == 3 && isTable(state)) {
        const lua_Integer size = luaL_len(state, 1);
        chargeInstructions(state, elementsBetween(luaL_checkinteger(state, 2), size));
    }
    return callOriginal(state);
}

// table.remove(t [, pos]) shifts the elements after pos down.
int safeRemove(lua_State* state) {
    if (!isTable(state)) return callOriginal(state);
    const lua_Integer size = luaL_len(state, 1);
    chargeInstructions(state, 1 + elementsBetween(luaL_optinteger(state, 2, size), size));
    return callOriginal(state);
}

// table.sort compares about n log n times (a comparison function is counted as it runs).
int safeSort(lua_State* state) {
    if (!isTable(state)) return callOriginal(state);
    const std::int64_t size = elementsBetween(1, luaL_len(state, 1));
    std::int64_t logarithm = 1;
    while (logarithm < 62 && (std::int64_t{1} << logarithm) < size) ++logarithm;
    chargeInstructions(state, size > (std::int64_t{1} << 40) ? size : size * logarithm);
    return callOriginal(state);
}

// table.concat(t [, sep [, i [, j]]]) and table.unpack(t [, i [, j]]) visit i..j.
int visitRange(lua_State* state, int firstIndex) {
    if (!isTable(state)) return callOriginal(state);
    const lua_Integer first = luaL_optinteger(state, firstIndex, 1);
    lua_Integer last = 0;
    if (lua_isnoneornil(state, firstIndex + 1)) {
        last = luaL_len(state, 1);
    } else {
        last = luaL_checkinteger(state, firstIndex + 1);
    }
    chargeInstructions(state, elementsBetween(first, last));
    return callOriginal(state);
}

int safeConcat(lua_State* state) { return visitRange(state, 3); }
int safeUnpack(lua_State* state) { return visitRange(state, 2); }

// Functions that walk their first argument's bytes (utf8.len, codepoint, offset; string.pack's
// formats) without building anything.
int walkFirstText(lua_State* state) {
    std::size_t length = 0;
    if (lua_type(state, 1) == LUA_TSTRING) lua_tolstring(state, 1, &length);
    chargeInstructions(state, 1 + static_cast<std::int64_t>(length / kBytesPerInstruction));
    return callOriginal(state);
}

// What a script can reach: the libraries it may use and, in each, the functions and values it
// gets, as the library has them or through a wrapper (which finds the library's own function, if
// there is one, as its first upvalue). Everything else is taken out, so a new Lua version or a new
// library function widens nothing unseen. print and warn come from the binding.
constexpr SandboxEntry kSandbox[] = {
    {"_G", "_G", nullptr},
    {"_G", "_VERSION", nullptr},
    {"_G", "assert", nullptr},
    {"_G", "collectgarbage", safeCollectgarbage},
    {"_G", "error", nullptr},
    {"_G", "getmetatable", nullptr},
    {"_G", "ipairs", nullptr},
    {"_G", "load", safeLoad},
    {"_G", "next", nullptr},
    {"_G", "pairs", nullptr},
    {"_G", "pcall", safePcall},
    {"_G", "rawequal", nullptr},
    {"_G", "rawget", nullptr},
    {"_G", "rawlen", nullptr},
    {"_G", "rawset", nullptr},
    {"_G", "require", safeRequire},
    {"_G", "select", nullptr},
    {"_G", "setmetatable", safeSetmetatable},
    {"_G", "tonumber", nullptr},
    {"_G", "tostring", nullptr},
    {"_G", "type", nullptr},
    {"_G", "xpcall", safeXpcall},
    {"_G", "string", nullptr},
    {"_G", "table", nullptr},
    {"_G", "math", nullptr},
    {"_G", "utf8", nullptr},
    {"_G", "coroutine", nullptr},
    {"_G", "os", nullptr},
    {"string", "byte", nullptr},
    {"string", "char", nullptr},
    {"string", "find", safeFind},
    {"string", "format", nullptr},
    {"string", "gmatch", safeGmatch},
    {"string", "gsub", safeGsub},
    {"string", "len", nullptr},
    {"string", "lower", nullptr},
    {"string", "match", safeMatch},
    {"string", "pack", walkFirstText},
    {"string", "packsize", walkFirstText},
    {"string", "rep", safeRep},
    {"string", "reverse", nullptr},
    {"string", "sub", nullptr},
    {"string", "unpack", walkFirstText},
    {"string", "upper", nullptr},
    {"table", "concat", safeConcat},
    {"table", "insert", safeInsert},
    {"table", "move", safeMove},
    {"table", "pack", nullptr},
    {"table", "remove", safeRemove},
    {"table", "sort", safeSort},
    {"table", "unpack", safeUnpack},
    {"math", "abs", nullptr},
    {"math", "acos", nullptr},
    {"math", "asin", nullptr},
    {"math", "atan", nullptr},
    {"math", "ceil", nullptr},
    {"math", "cos", nullptr},
    {"math", "deg", nullptr},
    {"math", "exp", nullptr},
    {"math", "floor", nullptr},
    {"math", "fmod", nullptr},
    {"math", "huge", nullptr},
    {"math", "log", nullptr},
    {"math", "max", nullptr},
    {"math", "maxinteger", nullptr},
    {"math", "min", nullptr},
    {"math", "mininteger", nullptr},
    {"math", "modf", nullptr},
    {"math", "pi", nullptr},
    {"math", "rad", nullptr},
    {"math", "random", nullptr},
    {"math", "randomseed", nullptr},
    {"math", "sin", nullptr},
    {"math", "sqrt", nullptr},
    {"math", "tan", nullptr},
    {"math", "tointeger", nullptr},
    {"math", "type", nullptr},
    {"math", "ult", nullptr},
    {"utf8", "char", nullptr},
    {"utf8", "charpattern", nullptr},
    {"utf8", "codepoint", walkFirstText},
    {"utf8", "codes", nullptr},
    {"utf8", "len", walkFirstText},
    {"utf8", "offset", walkFirstText},
    {"coroutine", "close", safeClose},
    {"coroutine", "create", nullptr},
    {"coroutine", "isyieldable", nullptr},
    {"coroutine", "resume", safeResume},
    {"coroutine", "running", nullptr},
    {"coroutine", "status", nullptr},
    {"coroutine", "wrap", safeWrap},
    {"coroutine", "yield", nullptr},
    {"os", "clock", nullptr},
    {"os", "date", safeDate},
    {"os", "time", nullptr},
    // The metatable every string shares: its __index is the string library above; the arithmetic
    // metamethods turn numeric texts into numbers.
    {kStringMetatable, "__index", nullptr},
    {kStringMetatable, "__add", nullptr},
    {kStringMetatable, "__sub", nullptr},
    {kStringMetatable, "__mul", nullptr},
    {kStringMetatable, "__div", nullptr},
    {kStringMetatable, "__mod", nullptr},
    {kStringMetatable, "__pow", nullptr},
    {kStringMetatable, "__unm", nullptr},
    {kStringMetatable, "__idiv", nullptr},
};

bool allowed(std::string_view library, std::string_view name) {
    for (const SandboxEntry& entry : kSandbox) {
        if (entry.library == library && entry.name == name) return true;
    }
    return false;
}

// Pushes the table of a library as the sandbox sees it: the global table, the string metatable or a
// global library table.
void pushLibrary(lua_State* state, std::string_view library) {
    if (library == "_G") {
        lua_pushglobaltable(state);
    } else if (library == kStringMetatable) {
        lua_pushliteral(state, "");
        lua_getmetatable(state, -1);
        lua_remove(state, -2);
    } else {
        lua_getglobal(state, std::string(library).c_str());
    }
}

// Takes out of the table on the stack top every key the allow-list does not name for library.
void prune(lua_State* state, std::string_view library) {
    std::vector<std::string> unlisted;
    lua_pushnil(state);
    while (lua_next(state, -2) != 0) {
        lua_pop(state, 1);
        if (lua_type(state, -1) == LUA_TSTRING && !allowed(library, lua_tostring(state, -1))) {
            unlisted.emplace_back(lua_tostring(state, -1));
        }
    }
    for (const std::string& name : unlisted) {
        lua_pushnil(state);
        lua_setfield(state, -2, name.c_str());
    }
}

void openLibraries(lua_State* state) {
    luaL_requiref(state, LUA_GNAME, luaopen_base, 1);
    luaL_requiref(state, LUA_STRLIBNAME, luaopen_string, 1);
    luaL_requiref(state, LUA_TABLIBNAME, luaopen_table, 1);
    luaL_requiref(state, LUA_MATHLIBNAME, luaopen_math, 1);
    luaL_requiref(state, LUA_UTF8LIBNAME, luaopen_utf8, 1);
    luaL_requiref(state, LUA_COLIBNAME, luaopen_coroutine, 1);
    luaL_requiref(state, LUA_OSLIBNAME, luaopen_os, 1);
    lua_pop(state, 7);
    // The loaded modules are reachable only from the registry; drop them all the same.
    lua_getfield(state, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    lua_pushnil(state);
    lua_setfield(state, -2, LUA_OSLIBNAME);
    lua_pop(state, 1);
}

}  // namespace

std::span<const SandboxEntry> sandboxEntries() { return kSandbox; }

void openSandbox(lua_State* state) {
    openLibraries(state);
    lua_newtable(state);
    lua_setfield(state, LUA_REGISTRYINDEX, kModules);
    // Wrappers first, each with the library's own function (or nil) as its upvalue.
    for (const SandboxEntry& entry : kSandbox) {
        if (entry.wrapper == nullptr) continue;
        pushLibrary(state, entry.library);
        lua_getfield(state, -1, entry.name);
        lua_pushcclosure(state, entry.wrapper, 1);
        lua_setfield(state, -2, entry.name);
        lua_pop(state, 1);
    }
    std::string_view pruned[8];
    std::size_t prunedCount = 0;
    for (const SandboxEntry& entry : kSandbox) {
        bool seen = false;
        for (std::size_t index = 0; index < prunedCount; ++index) seen = seen || pruned[index] == entry.library;
        if (seen || prunedCount == std::size(pruned)) continue;
        pruned[prunedCount++] = entry.library;
        pushLibrary(state, entry.library);
        prune(state, entry.library);
        lua_pop(state, 1);
    }
    armCallBudget(state);
}

}  // namespace varn
