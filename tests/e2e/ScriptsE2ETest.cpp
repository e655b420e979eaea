// The real server with the shipped script examples: a player is welcomed and served a command, a
// SIGHUP reload keeps the player, and the store is on disk after the shut-down.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
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
