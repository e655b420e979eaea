#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kBanner = "Varn Server for Varn:PB 0.3 (Server: 0.3.1)\n\n";

std::string shutdownLines(const std::string& totals) {
    return "SERVER: A total of " + totals + " bytes were sent.\nSERVER: successfully shutdown the server.\n";
}

TEST(StartupShutdownTest, SigtermEndsInOrderWithTotalsAndSavesTheBanList) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) +
                                           "StatLogging 1\nTestmode 1\nMOTDEnabled 1\nServerPasswordEnabled 1\n"
                                           "AdminServer 1\nAdminPort " + std::to_string(freeUdpPort()) + "\n");
    directory.write("banned.txt", "10.0.0.0\r\n1.2.3.4");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server.\n"));
    ASSERT_TRUE(server.waitForOutput("ADMINSERVER: No password set, cannot start server.\n"));

    UdpClient client("127.0.0.2");
    client.sendTo(port, {99, 1, 2, 3, 4});  // an unknown command: counted, never answered
    EXPECT_FALSE(client.receive(300ms).has_value());

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));

    const std::string expectedLog =
        "- VarnServer log opened -\n" + kBanner + "ServerName = 'E2E Server'\nServerPort = " + std::to_string(port) +
        "\nGame = Skyr:PB / Varn:PB (#2) \nGameMode = Regular (#1) \nMaxPlayers = 8\n\n"
        "PLEASE NOTE: Testmode is on.\n\n"
        "SERVER: successfully started the server (port " + std::to_string(port) + ")\n" +
        "ServerInit: E2E Server\xA9" + std::to_string(port) + "\xA9Skyr:PB\xA9" + "8\xA9\n" +
        "ERROR: 'motd.txt' could not be opened for reading.\n"
        "ERROR: Server password enabled, but no password found. Server password disabled.\n"
        "SERVER: press 'q' or 'Q' to shutdown the server.\n"
        "ADMINSERVER: No password set, cannot start server.\n" +
        shutdownLines("5 bytes were received and 0") + "- VarnServer log closed -\n";
    EXPECT_EQ(directory.read("server.log"), expectedLog);
    EXPECT_EQ(server.output().find("ServerInit"), std::string::npos) << "the statistics line is file-only";
    EXPECT_EQ(server.output().find("VarnServer log"), std::string::npos) << "markers are file-only";
    EXPECT_EQ(directory.read("banned.txt"), "10.0.0.0\n1.2.3.4\n");
}

TEST(StartupShutdownTest, KeysAndCtrlCThroughATerminal) {
    struct Case {
        const char* name;
        std::string keys;
    };
    // 'x' does nothing, an escape sequence holding a q matches nothing, then the stop.
    const Case cases[] = {{"key q after others", "x\x1b[1;5q"}, {"key Q", "Q"}, {"Ctrl+C", "\x03"}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        const std::uint16_t port = freeUdpPort();
        directory.write("varnserver.conf", baseConfiguration(port));
        ServerProcess server(directory.path(), {}, true);
        ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server."));
        server.pressKeys(testCase.keys);
        if (testCase.keys != "Q" && testCase.keys != "\x03") {
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(server.output().find("successfully shutdown"), std::string::npos);
            server.pressKeys("q");
        }
        ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
        const std::string log = directory.read("server.log");
        EXPECT_NE(log.find(shutdownLines("0 bytes were received and 0") + "- VarnServer log closed -\n"),
                  std::string::npos)
            << log;
        EXPECT_FALSE(directory.exists("banned.txt")) << "a list that was never loaded has no file to write";
    }
}

TEST(StartupShutdownTest, EarlyExitsLeaveNoClosingMarker) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string configuration;
        int status;
        std::string output;
        std::string log;  // "" when no log file is written
    };
    const std::string usage =
        "Usage: VarnServer [OPTION]...\n\n"
        "  -c, --conf=PATH       specify the path to the configuration file\n";
    const Case cases[] = {
        {"help", {"-h", "-q"}, "", 0, kBanner + usage, ""},
        {"configuration missing", {"-c", "missing.conf"}, "", 1,
         kBanner + "ERROR: The configuration file could not be loaded.\n", ""},
        {"configuration rejected",
         {},
         "ServerName x\nServerPort 4000\nMaxPlayers 8\nGame 2\nGameMode 3\nBannedFile b\nLogFile server.log\n",
         1,
         "ERROR: A GameMode MUST be specified in the configuration file AND be 1 (Regular) or 2 (Stunt).\n"
         "ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the configuration "
         "file.\n",
         "- VarnServer log opened -\n" + kBanner +
             "ERROR: A GameMode MUST be specified in the configuration file AND be 1 (Regular) or 2 (Stunt).\n"
             "ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the "
             "configuration file.\n"},
        {"admin password file missing",
         {"--admin-password-file", "missing.pw"},
         "ServerName x\nServerPort 4000\nMaxPlayers 8\nGame 2\nGameMode 1\nBannedFile b\nLogFile server.log\n",
         1,
         kBanner + "ERROR: Unable to read the admin password file 'missing.pw': No such file or directory.\n",
         "- VarnServer log opened -\n" + kBanner +
             "ERROR: Unable to read the admin password file 'missing.pw': No such file or directory.\n"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        if (!testCase.configuration.empty()) directory.write("varnserver.conf", testCase.configuration);
        ServerProcess server(directory.path(), testCase.arguments, false);
        ASSERT_EQ(server.waitForExit(), std::optional<int>(testCase.status));
        EXPECT_NE(server.output().find(testCase.output), std::string::npos) << server.output();
        if (testCase.log.empty()) {
            EXPECT_FALSE(directory.exists("server.log"));
        } else {
            EXPECT_EQ(directory.read("server.log"), testCase.log);
        }
    }
}

TEST(StartupShutdownTest, PortInUseStopsWithTheShortShutDown) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess first(directory.path(), {"-l", "first.log"}, false);
    ASSERT_TRUE(first.waitForOutput("SERVER: press 'q'"));
    ServerProcess second(directory.path(), {"-l", "second.log"}, false);
    ASSERT_EQ(second.waitForExit(), std::optional<int>(1));
    EXPECT_EQ(directory.read("second.log"), "- VarnServer log opened -\n" + kBanner +
                                                "ERROR: Unable to open existing Banned IP list. Starting clean.\n"
                                                "ERROR: Unable to bind to the socket.\n"
                                                "SERVER: unable to start the server.\n"
                                                "- VarnServer log closed -\n");
    first.signal(SIGINT);
    EXPECT_EQ(first.waitForExit(), std::optional<int>(0));
}

TEST(StartupShutdownTest, IdleServerUsesNoMeasurableCpu) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {}, true);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server."));
    const long before = server.cpuTicks();
    std::this_thread::sleep_for(3s);
    const long used = server.cpuTicks() - before;
    // A spinning loop would use about 300 ticks in 3 seconds; a waiting one none or one.
    EXPECT_LE(used, 3) << "ticks used while idle";

    // A datagram still wakes it at once.
    UdpClient client("127.0.0.3");
    client.sendTo(port, {1});
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace varn::e2e
