// The real server with the shipped script examples: a player is welcomed and served a command, a
// SIGHUP reload keeps the player, and the store is on disk after the shut-down.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
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
    EXPECT_TRUE(directory.exists("wordfilter.store"));
    EXPECT_NE(directory.read("wordfilter.store").find("strikes:127.0.0.1"), std::string::npos);
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
