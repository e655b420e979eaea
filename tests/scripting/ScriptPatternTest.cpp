// Pattern functions in the sandbox: the same answers as the library's own string functions, and a
// bound on what one call can cost.
#include <gtest/gtest.h>

#include <lua.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scripting/ScriptFixture.h"

namespace varn::testing {
namespace {

class ScriptPatternTest : public ScriptFixture {};

// Runs in both states: each case is an expression, its results (or its error) are shown as one
// printable line. No pattern function is used here, so the runner does not lean on what it checks.
constexpr const char* kRunner = R"(
function escape(text)
  local out = {}
  for i = 1, #text do
    local b = text:byte(i)
    out[#out + 1] = (b < 32 or b > 126 or b == 92) and ('\\%03d'):format(b) or string.char(b)
  end
  return table.concat(out)
end
function show(value)
  local kind = type(value)
  if kind == 'string' then return 's"' .. escape(value) .. '"' end
  if kind == 'number' then return math.type(value) .. ':' .. tostring(value) end
  if kind == 'boolean' or kind == 'nil' then return tostring(value) end
  return kind
end
-- Every result of an iterator, until it gives nothing (at most 300 rounds).
function each(iterator)
  local out = {}
  for _ = 1, 300 do
    local results = table.pack(iterator())
    if results.n == 0 or results[1] == nil then break end
    for i = 1, results.n do results[i] = show(results[i]) end
    out[#out + 1] = table.concat(results, ' ', 1, results.n)
  end
  return table.concat(out, ' | ')
end
allbytes = {}
for b = 0, 255 do allbytes[#allbytes + 1] = string.char(b) end
allbytes = table.concat(allbytes)
function runCase(expression)
  local chunk, message = load('return ' .. expression, '=case')
  if not chunk then return 'load error ' .. message end
  local results = table.pack(pcall(chunk))
  for i = 1, results.n do results[i] = show(results[i]) end
  return table.concat(results, ', ', 1, results.n)
end
)";

const std::vector<std::string>& patternCases() {
    static const std::vector<std::string> cases = [] {
        std::vector<std::string> list;
        // Every class and its complement over all byte values, alone and in a set.
        for (const char* name : {"a", "c", "d", "g", "l", "p", "s", "u", "w", "x", "A", "C", "D", "G", "L", "P", "S", "U",
                                 "W", "X"}) {
            for (const char* form : {"'%%%s'", "'[%%%s_]'", "'[^%%%s]'"}) {
                char pattern[16];
                std::snprintf(pattern, sizeof pattern, form, name);
                list.push_back(std::string("string.gsub(allbytes, ").append(pattern).append(", '')"));
            }
        }
        const char* more[] = {
            // Single characters: '.', escapes, letters that are no class.
            "string.gsub(allbytes, '.', 'x')", "string.find('a.b', '%.')", "string.find('50%', '%%')",
            "string.find('a]b', '%]')", "string.find('az', '%z')", "string.find('a-b', '%-')", "string.find('ab', 'b')",
            // Sets: ranges, complements, ']' first, '-' at the edges, escapes.
            "string.match('xxabcfgh', '[a-f]+')", "string.match('abcxyz', '[^a-f]+')", "string.find('a]b', '[]]')",
            "string.match(']]x', '[^]]+')", "string.gsub('a-b-c', '[a-]', '.')", "string.gsub('a-b-c', '[-a]', '.')",
            "string.find('a]', '[%]]')", "string.gsub('a-z', '[a%-z]', '.')", "string.find('m', '[z-a]')",
            "string.match('  snake_case9 ', '[%w_]+')", "string.gsub(allbytes, '[%d%s]', '')", "string.find('^', '[%^]')",
            "string.gsub('a^b', '[b^]', '.')", "string.gsub(allbytes, '[\\1-\\31]', '')",
            // Anchors.
            "string.find('abc', '^b')", "string.find('abc', '^a')", "string.find('abc', 'c$')", "string.find('abc', 'b$')",
            "string.find('a$c', '$c')", "string.find('a$', 'a$$')", "string.match('abc', '^(a)')", "string.gsub('aaa', '^a', 'b')",
            "string.find('^a', '^^a')", "each(string.gmatch('^a^a', '^a'))", "string.find('', '^$')", "string.gsub('abc', '$', '!')",
            // Quantifiers.
            "string.find('aaab', 'a*')", "string.find('aaab', 'a*b')", "string.find('b', 'a+b')", "string.find('aaab', 'a+b')",
            "string.find('aaab', 'a-b')", "string.match('aaab', '(a-)b')", "string.find('ab', 'a?b')", "string.find('b', 'a?b')",
            "string.find('xb', 'a?b')", "string.match('<<a>>', '<(.-)>')", "string.match('<<a>>', '<(.*)>')",
            "string.find('', 'a*')", "string.find('xyz', 'y*')", "string.match('aaab', '(a-)$')", "string.match('ab+', '(ab)+')",
            "string.match('key  =  value', '(%w+)%s*=%s*(%w+)')", "string.match('a,b,,c', '([^,]*),([^,]*),([^,]*)')",
            "string.match('  trim me  ', '^%s*(.-)%s*$')", "string.match('2024-06-01', '(%d+)-(%d%d?)-(%d+)')",
            "string.find('aaa', 'a-a-a-$')", "string.find(string.rep('a', 4000) .. 'b', 'a*b')",
            "string.match(string.rep('ab', 1000), '.-b$')", "string.find('ab?', 'b?$')",
            // Captures, position captures, nesting.
            "string.match('hello', '()ll()')", "string.find('hello', '(l)(l)')", "string.find('hello', '()l')",
            "string.match('abcd', '((a)(b(c)))')", "string.match('abc', '()')", "string.match('abc', '(a)()(b)')",
            "string.find('abc', '(')", "string.find('abc', 'a)')", "string.find('abc', '(()')", "string.match('x', '(x')",
            "string.find('x', string.rep('()', 32))", "string.find('x', string.rep('()', 33))",
            // Back-references.
            "string.match('say \"hi\" now', '([\"\\'])(.-)%1')", "string.find('abab', '(ab)%1')", "string.find('abac', '(ab)%1')",
            "string.match('xx', '()%1')", "string.find('a', '%1')", "string.find('aa', '(a%1)')", "string.find('aa', '(a)%2')",
            "string.find('aa', '%0')", "string.match('aXbXc', '(.)(X)(.)%2(.)')", "string.gsub('aabbcc', '(%a)%1', '<%1>')",
            // Balanced pairs.
            "string.match('f(a(b)c)d', '%b()')", "string.gsub('x[a]y[b]', '%b[]', '')", "string.find('((', '%b()')",
            "string.find('a', '%b')", "string.find('a', '%bx')", "string.match('\"a\"b\"', '%b\"\"')", "string.find('(x', '%b()?')",
            "string.match('if (a and (b or c)) then', 'if%s*(%b())')",
            // Frontiers.
            "each(string.gmatch('THE (quick) fox', '%f[%a]%a+'))", "string.gsub('hello world', '%f[%w]%w+', 'X')",
            "string.find('a', '%f')", "string.find('ab', '%f[%l]')", "string.find('ab', '%f[%u]')", "string.find('ab1', '%f[%d]')",
            "string.gsub('THE (quick) fox', '%f[%a]', '|')", "string.gsub('abc', '%f[^%a]', '|')", "string.find('a', '%f[a')",
            // gsub: replacement texts.
            "string.gsub('hello world', '(o)', '[%1%1]')", "string.gsub('hello', 'l', '%0%0')", "string.gsub('hello', 'l', '%%')",
            "string.gsub('abc', 'b', '%2')", "string.gsub('abc', 'b', '%x')", "string.gsub('abc', 'b', '%')",
            "string.gsub('abc', '%w', '%1')", "string.gsub('abc', '()', '%1')", "string.gsub('abc', '', '-')",
            "string.gsub('', '', 'x')", "string.gsub('abc', 'b*', '-')", "string.gsub('abc', '(b)(c)', '%2%1')",
            "string.gsub('abc', 'b', 5)", "string.gsub('abc', 'b', 2.5)", "string.gsub('abc', '(b)', '%9')",
            // gsub: tables and functions.
            "string.gsub('$name is $age', '%$(%w+)', {name = 'Ann', age = 7})", "string.gsub('$a $b', '%$(%w+)', {a = false})",
            "string.gsub('abc', '%w', {})", "string.gsub('abc', '%w', {a = {}})",
            "string.gsub('hello world', '%w+', function(w) return w:upper() end)",
            "string.gsub('hello world', '%w+', function() end)", "string.gsub('abc', '%w', function() return {} end)",
            "string.gsub('abc', '()(%w)', function(p, c) return c .. p end)", "string.gsub('abc', 'b', function(...) return select('#', ...) end)",
            "string.gsub('abc', 'b', function() return false end)", "string.gsub('abc', 'b', function() error('boom') end)",
            "string.gsub('abc', 'b')", "string.gsub('abc', 'b', true)", "string.gsub('a,b', '(%w)', {a = 1.5})",
            // gsub: how many.
            "string.gsub('aaa', 'a', 'b', 2)", "string.gsub('aaa', 'a', 'b', 0)", "string.gsub('aaa', 'a', 'b', -1)",
            "string.gsub('aaa', 'a', 'b', 2.0)", "string.gsub('aaa', 'a', 'b', 2.5)", "string.gsub('aaa', '', '-', 2)",
            // Where to start: negative, zero, past the end.
            "string.find('abcabc', 'b', 3)", "string.find('abcabc', 'b', -2)", "string.find('abcabc', 'b', -100)",
            "string.find('abc', '', 10)", "string.find('abc', '', 4)", "string.find('abc', '', 5)", "string.find('abc', '', 0)",
            "string.find('abc', 'c', -1)", "string.match('abcabc', '(b)', -3)", "string.match('abc', '.', 10)",
            "string.find('abc', 'a.', -10)", "each(string.gmatch('abcabc', 'b', 3))", "each(string.gmatch('abc', '', 10))",
            "each(string.gmatch('abc', '.', -1))", "each(string.gmatch('abc', '', 4))", "string.find('abc', 'b', 1.5)",
            // Plain finds.
            "string.find('a.b', '.', 1, true)", "string.find('a+b', '+', 1, true)", "string.find('a(b', '(', 1, true)",
            "string.find('abc', '(', 1, false)", "string.find('a.b', '.', 2, 1)", "string.find('abc', '', 2, true)",
            "string.find('abc', 'x', 1, true)", "string.find('a\\0.b', 'a\\0.')", "string.find('ab', 'b', -1, true)",
            // gmatch.
            "each(string.gmatch('one two  three', '%a+'))", "each(string.gmatch('k=v, a=b', '(%w+)=(%w+)'))",
            "each(string.gmatch('abc', ''))", "each(string.gmatch('abc', 'b*'))", "each(string.gmatch('abc', '()'))",
            "each(string.gmatch('abc', '[a'))", "each(string.gmatch('aXbX', '(.)X'))",
            // Malformed patterns.
            "string.find('a', '[a')", "string.find('a', '%')", "string.find('a', '[%')", "string.find('a', '[^')",
            "string.find('a', '[]')", "string.find('a', 'a%')", "string.match('a', '[a-')", "string.gsub('a', '(', 'x')",
            "string.gsub('a', ')', 'x')", "string.match('a', '%f[')",
            // Arguments of other types.
            "string.find(12345, 3)", "string.gsub(123, '2', 9)", "pcall(string.find, nil, 'a')", "string.find('a', {})",
            "('hello'):find('l')", "('hello'):match('(h)(e)')", "('hello'):gsub('l', {l = 'L'})",
        };
        for (const char* text : more) list.emplace_back(text);
        return list;
    }();
    return cases;
}

// The stock library's answers, from a plain state with every library open.
// The runner is named as the script's file, so messages that carry a place read the same.
std::vector<std::string> stockAnswers(const std::vector<std::string>& cases, const std::string& chunkName) {
    lua_State* state = luaL_newstate();
    luaL_openlibs(state);
    EXPECT_EQ(luaL_loadbuffer(state, kRunner, std::strlen(kRunner), chunkName.c_str()), LUA_OK);
    lua_call(state, 0, 0);
    std::vector<std::string> answers;
    for (const std::string& expression : cases) {
        lua_getglobal(state, "runCase");
        lua_pushlstring(state, expression.data(), expression.size());
        lua_call(state, 1, 1);
        answers.emplace_back(lua_tostring(state, -1));
        lua_pop(state, 1);
    }
    lua_close(state);
    return answers;
}

// A Lua string literal for a printable text (long brackets that no answer contains).
std::string longString(const std::string& text) { return std::string("[=====[").append(text).append("]=====]"); }

TEST_F(ScriptPatternTest, PatternFunctionsAnswerAsTheLibraryDoes) {
    const std::vector<std::string>& cases = patternCases();
    const std::vector<std::string> expected = stockAnswers(cases, std::string("@").append((folder() / "test.lua").string()));
    std::string script = std::string(kRunner) + "local cases = {\n";
    for (std::size_t index = 0; index < cases.size(); ++index) {
        script.append("{").append(longString(cases[index])).append(", ").append(longString(expected[index])).append("},\n");
    }
    script += R"(}
varn.on('start', function()
  local wrong = 0
  for _, case in ipairs(cases) do
    local answer = runCase(case[1])
    if answer ~= case[2] then
      wrong = wrong + 1
      if wrong <= 5 then print(case[1], 'gave', answer, 'not', case[2]) end
    end
  end
  print('wrong', wrong, 'of', #cases)
end)
)";
    settings.instructionLimit = 100'000'000;
    ASSERT_TRUE(load(script)) << loadError;
    host->onServerStarted();
    const std::vector<std::string> lines = scriptLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), std::string("SCRIPT: test.lua: wrong 0 of ").append(std::to_string(cases.size())));
    for (std::size_t index = 0; index + 1 < lines.size(); ++index) ADD_FAILURE() << lines[index];
}

// Patterns that backtrack for minutes in the library's matcher stop within the call's bound, with
// the error logged; pcall cannot catch the stop, and the next call runs as usual.
TEST_F(ScriptPatternTest, PathologicalPatternsStopWithinTheBound) {
    struct Case {
        const char* call;
        const char* function;
    };
    const Case cases[] = {
        {"string.find(('a'):rep(120), ('a-'):rep(20) .. 'b')", "find"},
        {"string.match(('a'):rep(4096), ('a*'):rep(40) .. 'b')", "match"},
        {"string.gsub(('a'):rep(4096), ('.-'):rep(30) .. '$x', '')", "gsub"},
        {"string.gmatch(('a'):rep(4096), ('a?'):rep(40) .. ('a'):rep(40) .. 'b')()", "gmatch"},
        {"string.find(('(' ):rep(2000) .. (')'):rep(1999), ('%b()'):rep(2) .. 'x')", "find"},
        {"string.find(('ab'):rep(2048), ('(.-)%1'):rep(6) .. 'x')", "find"},
    };
    for (const Case& test : cases) {
        log.clear();
        ASSERT_TRUE(load(std::string("varn.on('start', function() print(pcall(function() return ")
                             .append(test.call)
                             .append(" end)) end)\nvarn.on('stop', function() print(string.find('still here', 'h(e)r')) end)")))
            << loadError;
        const auto began = std::chrono::steady_clock::now();
        host->onServerStarted();
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_LT(took, std::chrono::milliseconds(500)) << test.call;
        host->onServerStopping();
        EXPECT_EQ(scriptLines(), (std::vector<std::string>{
                                     std::string("SCRIPT-ERROR: test.lua: start handler stopped: string.")
                                         .append(test.function)
                                         .append(": the pattern took over its step budget"),
                                     "SCRIPT: test.lua: 7 9 e",
                                 }))
            << test.call;
    }
}

// The steps of every pattern call count against the call's instruction budget: a loop of calls,
// each within its own bound, plain finds included, stops as a long loop does.
TEST_F(ScriptPatternTest, PatternCallsInALoopUseUpTheCallsBudget) {
    const char* loops[] = {
        "local s, p = ('a'):rep(4096), ('a'):rep(127) .. 'b'; for i = 1, 1e7 do s:find(p, 1, true) end",
        "local s = ('a'):rep(200); for i = 1, 1e7 do pcall(string.match, s, 'a-b') end",
        "local s = ('ab '):rep(1365); for i = 1, 1e7 do s:gsub('%w+', '%0') end",
    };
    for (const char* loop : loops) {
        log.clear();
        ASSERT_TRUE(load(std::string("varn.on('start', function() ").append(loop).append(" end)"))) << loadError;
        const auto began = std::chrono::steady_clock::now();
        host->onServerStarted();
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(500)) << loop;
        EXPECT_EQ(scriptLines(), std::vector<std::string>{"SCRIPT-ERROR: test.lua: start handler stopped: over its "
                                                          "instruction budget"})
            << loop;
    }
}

}  // namespace
}  // namespace varn::testing
