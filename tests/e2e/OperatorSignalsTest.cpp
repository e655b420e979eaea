#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <thread>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Sends a join until the answer shows the server has acted on a signal, within a bound.
std::optional<Bytes> joinAnswer(UdpClient& client, std::uint16_t port, std::string_view name) {
    client.sendTo(port, joinDatagram(name));
    return client.receive(2s);
}

TEST(OperatorSignalsTest, HangUpWithoutATerminalReloadsTheBanFileAndTheMessageOfTheDay) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "MOTDEnabled 1\n");
    directory.write("banned.txt", "10.0.0.0\n");
    directory.write("motd.txt", "old\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    directory.write("banned.txt", "10.0.0.0\n127.0.0.5\n");
    directory.write("motd.txt", "new\n");
    server.signal(SIGHUP);
    EXPECT_TRUE(server.waitForOutput(
        "SERVER: Reloaded the Banned IP list (2 entries) and the message of the day.\n"));

    UdpClient banned("127.0.0.5"), welcome("127.0.0.6");
    EXPECT_EQ(joinAnswer(banned, port, "eve"), std::optional<Bytes>(Bytes{6, 1}));
    ASSERT_TRUE(joinAnswer(welcome, port, "bob").has_value());
    EXPECT_EQ(welcome.receive(), std::optional<Bytes>(Bytes{21, 'n', 'e', 'w', 0}));

    // A ban file that has gone keeps the list in memory, with a warning.
    std::filesystem::remove(directory.path() / "banned.txt");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("SERVER-WARNING: Unable to reload the Banned IP list."));
    UdpClient stillBanned("127.0.0.5");
    EXPECT_EQ(joinAnswer(stillBanned, port, "eve2"), std::optional<Bytes>(Bytes{6, 1}));

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    EXPECT_EQ(directory.read("banned.txt"), "10.0.0.0\n127.0.0.5\n") << "saved at shut-down";
    const std::string log = directory.read("server.log");
    EXPECT_EQ(log.find("SERVER: Reloaded"), log.rfind("SERVER: Reloaded")) << "no such line for the failed reload";
}

TEST(OperatorSignalsTest, UserSignalOneReopensTheLogAfterRotation) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    std::filesystem::rename(directory.path() / "server.log", directory.path() / "server.log.1");
    server.signal(SIGUSR1);
    UdpClient client("127.0.0.2");
    for (int attempt = 0; attempt < 50 && !directory.exists("server.log"); ++attempt) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(directory.exists("server.log"));
    EXPECT_TRUE(joinAnswer(client, port, "alice").has_value());
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));

    const std::string old = directory.read("server.log.1");
    EXPECT_TRUE(old.ends_with("\n- VarnServer log closed -\n")) << old;
    const std::string fresh = directory.read("server.log");
    EXPECT_EQ(fresh.rfind("- VarnServer log opened -\nJOIN: 'alice', PlayerID = 0 (127.0.0.2)\n", 0), 0u) << fresh;
    EXPECT_NE(fresh.find("SERVER: successfully shutdown the server.\n- VarnServer log closed -\n"),
              std::string::npos);
}

// The log's folder goes away and comes back: the reopen that fails says so on standard error, the
// console goes on, and the next signal continues the file.
TEST(OperatorSignalsTest, AFailedLogReopenIsReportedAndTheNextSignalTriesAgain) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    std::filesystem::create_directory(directory.path() / "logs");
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {"-l", "logs/server.log"}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    std::filesystem::rename(directory.path() / "logs", directory.path() / "away");
    server.signal(SIGUSR1);
    ASSERT_TRUE(server.waitForOutput("SERVER-ERROR: Unable to reopen the log file 'logs/server.log' (No such file "
                                     "or directory).\n"));
    UdpClient alice("127.0.0.2");
    EXPECT_TRUE(joinAnswer(alice, port, "alice").has_value());
    EXPECT_TRUE(server.waitForOutput("JOIN: 'alice', PlayerID = 0 (127.0.0.2)\n")) << "the console goes on";

    std::filesystem::rename(directory.path() / "away", directory.path() / "logs");
    server.signal(SIGUSR1);
    UdpClient bob("127.0.0.3");
    // The signal is acted on between passes; a join is answered only after it.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(joinAnswer(bob, port, "bob").has_value());
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));

    const std::string log = directory.read("logs/server.log");
    EXPECT_TRUE(log.starts_with("- VarnServer log opened -\n")) << log;
    EXPECT_EQ(log.find("alice"), std::string::npos) << "written while the file was away";
    EXPECT_NE(log.find("SERVER: press 'q' or 'Q' to shutdown the server.\n- VarnServer log closed -\n"
                       "- VarnServer log opened -\nJOIN: 'bob', PlayerID = 1 (127.0.0.3)\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(log.ends_with("SERVER: successfully shutdown the server.\n- VarnServer log closed -\n")) << log;
    const std::string output = server.output();
    EXPECT_EQ(output.find("SERVER-ERROR: Unable to reopen"), output.rfind("SERVER-ERROR: Unable to reopen"))
        << "one line for the one failed reopen";
}

// Time stamps go before every line of the file, the markers and the statistics lines included; the
// console shows the lines as they are.
TEST(OperatorSignalsTest, LogTimestampsStampEveryFileLineAndNoConsoleLine) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "LogTimestamps 1\nStatLogging 1\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));

    const std::string log = directory.read("server.log");
    std::size_t lines = 0;
    for (std::size_t start = 0; start < log.size(); ++lines) {
        const std::size_t end = log.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = log.substr(start, end - start);
        ASSERT_GE(line.size(), 25u) << line;
        // "2026-12-10T12:00:00.123Z " before the line's own text
        EXPECT_EQ(line.substr(0, 25).find_first_not_of("0123456789-T:.Z "), std::string::npos) << line;
        EXPECT_EQ(line.substr(4, 1) + line.substr(10, 1) + line.substr(19, 1) + line.substr(23, 2), "-T.Z ") << line;
        start = end + 1;
    }
    EXPECT_GE(lines, 10u);
    EXPECT_NE(log.find("Z - VarnServer log opened -\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Z ServerInit: E2E Server"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("Z - VarnServer log closed -\n")) << log;
    EXPECT_NE(server.output().find("\nSERVER: press 'q' or 'Q' to shutdown the server.\n"), std::string::npos);
    EXPECT_EQ(server.output().find("Z SERVER"), std::string::npos);
}

TEST(OperatorSignalsTest, CheckConfigValidatesWithoutTouchingAnything) {
    struct Case {
        const char* name;
        std::string configuration;
        int status;
        std::string output;
        std::string errors;
    };
    const Case cases[] = {
        {"valid", baseConfiguration(4000), 0, "", "Configuration OK.\n"},
        {"rejected", "ServerName x\nServerPort 0\n", 1,
         "ERROR: A ServerPort MUST be specified in the configuration file AND be > 0.\n"
         "ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the "
         "configuration file.\n",
         "warning: ServerPort '0' in my.conf line 2 is out of range (1 to 65535): the server will not start\n"
         "Configuration has 1 error; the server would not start.\n"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        directory.write("my.conf", testCase.configuration);
        directory.write("server.log", "previous run\n");
        ServerProcess check(directory.path(), {"--check-config", "-c", "my.conf"}, true,
                            ServerProcess::ErrorOutput::apart);
        ASSERT_EQ(check.waitForExit(), std::optional<int>(testCase.status));
        std::string output = check.output();
        std::erase(output, '\r');
        EXPECT_EQ(output, testCase.output);
        EXPECT_EQ(check.errorOutput(), testCase.errors);
        EXPECT_EQ(directory.read("server.log"), "previous run\n");
        EXPECT_FALSE(directory.exists("banned.txt"));
    }
    ScratchDirectory empty;
    ServerProcess missing(empty.path(), {"--check-config"}, false, ServerProcess::ErrorOutput::apart);
    EXPECT_EQ(missing.waitForExit(), std::optional<int>(1));
    EXPECT_NE(missing.output().find("ERROR: The configuration file could not be loaded."), std::string::npos);
    EXPECT_EQ(missing.errorOutput(),
              "varnserver: varnserver.conf: No such file or directory\n"
              "Configuration has 1 error; the server would not start.\n");
}

}  // namespace
}  // namespace varn::e2e
