// The real server with the shipped script examples: a player is welcomed and served a command, a
// SIGHUP reload keeps the player, and the store is on disk after the shut-down.
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

#if defined(VARN_WITH_SCRIPTS)

std::string textOf(const Bytes& packet) {
    // [3][sender][kind][text][NUL]
    if (packet.size() < 4 || packet[0] != 3) return {};
    return std::string(packet.begin() + 3, packet.end() - 1);
}

// A script's store file: its path with every byte but letters, digits, '.' and '-' as '_' and two
// hex digits, and ".store".
std::string storeFileOf(const std::string& path) {
    std::string name;
    for (const char c : std::filesystem::path(path).lexically_normal().generic_string()) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') {
            name += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "_%02x", static_cast<unsigned char>(c));
            name += escaped;
        }
    }
    return name + ".store";
}

// Collects chat relays until one holds text.
bool receiveText(UdpClient& client, const std::string& text) {
    for (int packet = 0; packet < 20; ++packet) {
        const auto received = client.receive(2s);
        if (!received) return false;
        if (textOf(*received) == text) return true;
    }
    return false;
}

TEST(ScriptsE2ETest, ExamplesServeAPlayerAcrossAReloadAndKeepTheirStore) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const std::string examples = std::string(VARN_SOURCE_DIR) + "/examples/scripts/";
    directory.write("varnserver.conf", baseConfiguration(port) + "ScriptFiles " + examples + "welcome.lua " +
                                           examples + "top.lua " + examples + "wordfilter.lua\n" +
                                           "ScriptDataFolder .\n");
    ServerProcess server(directory.path(), {"-c", "varnserver.conf"}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server."));

    UdpClient alice;
    alice.sendTo(port, joinDatagram("alice"));
    EXPECT_TRUE(receiveText(alice, "Welcome to E2E Server, alice! Type /help for commands."));
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("SERVER: Reloaded scripts: welcome.lua, top.lua, wordfilter.lua."));
    alice.sendTo(port, Bytes{3, 1, '/', 's', 't', 'a', 't', 's', 0});
    EXPECT_TRUE(receiveText(alice, "alice: score 0, ping 0 ms, idle 0 s"));
    alice.sendTo(port, Bytes{3, 1, 'b', 'a', 'd', 'w', 'o', 'r', 'd', 0});
    EXPECT_TRUE(receiveText(alice, "Mind your words, alice: the next time you are kicked."));

    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), 0);
    // The store is named after the script's path.
    const std::string store = storeFileOf(examples + "wordfilter.lua");
    EXPECT_TRUE(directory.exists(store)) << store;
    EXPECT_NE(directory.read(store).find("strikes:127.0.0.1"), std::string::npos);
}

// The first datagram for which wanted holds, within the time-out.
std::optional<Bytes> receiveWanted(UdpClient& client, bool (*wanted)(const Bytes&), std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return std::nullopt;
        auto received = client.receive(left);
        if (!received || wanted(*received)) return received;
    }
}

// A pattern that backtracks for minutes in the library's own matcher, on the longest text a player
// can send, in a chat handler and in the once-a-second pass: the calls are stopped and logged, the
// chat is still relayed and pings are answered at once throughout.
TEST(ScriptsE2ETest, APathologicalPatternOnAPlayersTextDoesNotHoldTheServer) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("hang.lua", R"(
local last = ''
varn.on('chat', function(player, text) last = text; print('chat', #text, text:find(('a-'):rep(20) .. 'b')) end)
varn.on('second', function() if #last > 0 then print('second', last:match(('a*'):rep(30) .. 'b')) end end)
)");
    directory.write("varnserver.conf", baseConfiguration(port) + "ScriptFiles hang.lua\nScriptDataFolder .\n");
    ServerProcess server(directory.path(), {"-c", "varnserver.conf"}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server."));

    UdpClient alice("127.0.0.1");
    UdpClient bob("127.0.0.2");
    alice.sendTo(port, joinDatagram("alice"));
    ASSERT_TRUE(server.waitForOutput("JOIN: 'alice'"));
    bob.sendTo(port, joinDatagram("bob"));
    ASSERT_TRUE(server.waitForOutput("JOIN: 'bob'"));

    const std::string text(120, 'a');
    Bytes chat{3, 1};
    chat.insert(chat.end(), text.begin(), text.end());
    chat.push_back(0);
    const auto isPingAnswer = [](const Bytes& packet) { return packet == Bytes{5}; };
    const auto isServerPing = [](const Bytes& packet) { return packet == Bytes{4}; };
    const auto isLongChat = [](const Bytes& packet) { return textOf(packet) == std::string(120, 'a'); };
    const auto began = std::chrono::steady_clock::now();
    alice.sendTo(port, chat);
    alice.sendTo(port, Bytes{4});
    EXPECT_TRUE(receiveWanted(alice, isPingAnswer, 1s)) << "the ping right after the chat";
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_TRUE(receiveWanted(bob, isLongChat, 1s)) << "the chat is relayed";
    EXPECT_TRUE(server.waitForOutput(
        "SCRIPT-ERROR: hang.lua: chat handler stopped: string.find: the pattern took over its step budget"));

    // The once-a-second pass runs the second pattern; the server's own pings keep coming and the
    // client's are answered.
    EXPECT_TRUE(server.waitForOutput(
        "SCRIPT-ERROR: hang.lua: second handler stopped: string.match: the pattern took over its step budget", 3s));
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(receiveWanted(bob, isServerPing, 2s)) << round;
        alice.sendTo(port, Bytes{4});
        EXPECT_TRUE(receiveWanted(alice, isPingAnswer, 1s)) << round;
    }
    EXPECT_EQ(server.output().find("SCRIPT: hang.lua: chat"), std::string::npos) << "no handler got past its pattern";

    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), 0);
}

// Hostile scripts, each trying a way past the count, in the once-a-second pass next to one with
// 3000 handlers that would take over a second of every second: each is stopped and logged, a joined
// player's pings keep coming about every second, and SIGTERM ends the server in order at once.
TEST(ScriptsE2ETest, HostileScriptsAreStoppedAndThePingsKeepComing) {
    struct Hostile {
        const char* file;
        const char* code;
        const char* logged;
    };
    const char* overBudget = "second handler stopped: over its instruction budget";
    const Hostile hostiles[] = {
        {"handler.lua", "xpcall(function() while true do end end, function() while true do end end)", overBudget},
        {"errorhandler.lua", "xpcall(error, function() while true do end end)", overBudget},
        {"patternhandler.lua",
         "xpcall(function() return ('a'):rep(4000):find(('a-'):rep(20) .. 'b') end, function() while true do end end)",
         "second handler stopped: string.find: the pattern took over its step budget"},
        {"wrapclose.lua",
         "coroutine.wrap(function() local x <close> = setmetatable({}, {__close = function() while true do end end}) "
         "while true do end end)()",
         overBudget},
        {"laterclose.lua",
         "if co then coroutine.close(co) end co = coroutine.create(function() local x <close> = setmetatable({}, "
         "{__close = function() while true do end end}) while true do end end) coroutine.resume(co)",
         "second handler: laterclose.lua:2: cannot close a coroutine that was stopped"},
        {"coroutines.lua", "for i = 1, 10000 do coroutine.wrap(function() for j = 1, 300 do end end)() end", overBudget},
        {"move.lua", "table.move({}, 1, 1e12, 2)", overBudget},
        {"insert.lua", "table.insert(setmetatable({}, {__len = function() return 2^40 end}), 1, 'x')", overBudget},
        {"gsub.lua", "local s = ('x'):rep(4096):gsub('', ('%0'):rep(100000))", overBudget},
        {"reverse.lua", "local s = ('x'):rep(1000):rep(2000) for i = 1, 40 do s = s:reverse() end", overBudget},
    };
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    std::string files;
    for (const Hostile& hostile : hostiles) {
        directory.write(hostile.file, std::string("local n, co = 0\nvarn.on('second', function() n = n + 1 if n <= 3 then ") +
                                          hostile.code + " end end)\n");
        files += std::string(" ") + hostile.file;
    }
    // Each handler well within its budget, together far beyond the 100 ms.
    directory.write("many.lua", "for i = 1, 3000 do varn.on('second', function() for j = 1, 40000 do end end) end\n");
    directory.write("varnserver.conf", baseConfiguration(port) + "ScriptFiles" + files + " many.lua\nScriptDataFolder .\n");
    ServerProcess server(directory.path(), {"-c", "varnserver.conf"}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server."));

    UdpClient alice;
    alice.sendTo(port, joinDatagram("alice"));
    ASSERT_TRUE(server.waitForOutput("JOIN: 'alice'"));
    std::vector<std::chrono::steady_clock::time_point> pings;
    const auto watched = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - watched < 6s) {
        const auto received = alice.receive(2s);
        if (received && *received == Bytes{4}) pings.push_back(std::chrono::steady_clock::now());
        server.drainOutput();
    }
    ASSERT_GE(pings.size(), 4u);
    for (std::size_t at = 1; at < pings.size(); ++at) {
        EXPECT_LE(pings[at] - pings[at - 1], 1300ms) << "between pings " << at - 1 << " and " << at;
    }
    for (const Hostile& hostile : hostiles) {
        EXPECT_TRUE(server.waitForOutput(std::string("SCRIPT-ERROR: ") + hostile.file + ": " + hostile.logged, 1s))
            << hostile.file;
    }
    EXPECT_TRUE(server.waitForOutput("SERVER-WARNING: Scripts used their 100 ms of a second; ", 1s));

    const auto stopped = std::chrono::steady_clock::now();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(3s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1500ms);
    EXPECT_NE(server.output().find("SERVER: successfully shutdown the server."), std::string::npos);
}

// A call whose instructions each take milliseconds in C (building and comparing two 48 MB texts) is
// out of the count hook's reach for a second or more: SIGTERM still ends the server within 1.5 s, in order when the call
// could be stopped, else by the watchdog with its one line and exit status 1.
TEST(ScriptsE2ETest, SigtermEndsTheServerWhateverAScriptDoes) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("stuck.lua", R"(
local done = false
varn.on('second', function()
  if done then return end
  done = true
  print('building')
  local a, b = ('x'):rep(1000):rep(48000), ('x'):rep(1000):rep(48000)
  while true do local _ = a < b end
end)
)");
    directory.write("varnserver.conf", baseConfiguration(port) +
                                           "ScriptFiles stuck.lua\nScriptDataFolder .\nScriptInstructionLimit "
                                           "2000000000\nScriptMemoryLimit 256\n");
    ServerProcess server(directory.path(), {"-c", "varnserver.conf"}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server."));
    ASSERT_TRUE(server.waitForOutput("SCRIPT: stuck.lua: building", 3s));
    std::this_thread::sleep_for(300ms);

    const auto stopped = std::chrono::steady_clock::now();
    server.signal(SIGTERM);
    const std::optional<int> status = server.waitForExit(3s);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1500ms);
    ASSERT_TRUE(status.has_value());
    const std::string output = server.output();
    if (*status == 0) {
        EXPECT_NE(output.find("SCRIPT-ERROR: stuck.lua: second handler stopped: over its time limit"), std::string::npos)
            << output;
        EXPECT_NE(output.find("SERVER: successfully shutdown the server."), std::string::npos) << output;
    } else {
        EXPECT_EQ(*status, 1);
        EXPECT_NE(output.find("SCRIPT-ERROR: stuck.lua: a call is stuck past its time limit and a stop was asked for; "
                              "the server ends (exit status 1)."),
                  std::string::npos)
            << output;
    }
}

TEST(ScriptsE2ETest, AScriptThatDoesNotCompileStopsTheStartUp) {
    ScratchDirectory directory;
    directory.write("broken.lua", "varn.on('join', function()\n  this is not lua\nend)\n");
    directory.write("varnserver.conf", baseConfiguration(freeUdpPort()) + "ScriptFiles broken.lua\n");
    ServerProcess server(directory.path(), {"-c", "varnserver.conf"}, false, ServerProcess::ErrorOutput::apart);
    EXPECT_EQ(server.waitForExit(), 1);
    EXPECT_NE(server.errorOutput().find("broken.lua:2: syntax error near 'is'"), std::string::npos)
        << server.errorOutput();
}

#endif

}  // namespace
}  // namespace varn::e2e
