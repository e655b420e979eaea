#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using ErrorOutput = ServerProcess::ErrorOutput;

// Holds a UDP port on every local address, as another program would.
class HeldPort {
  public:
    explicit HeldPort(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        held_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~HeldPort() { ::close(fd_); }
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_ = false;
};

// --check-config shows each warning and error and ends with a count, the warnings and the count on
// standard error; standard output carries the console lines as before.
TEST(StartupMistakesTest, CheckConfigShowsWarningsAndErrorsAndEndsWithTheirCount) {
    const std::string base = baseConfiguration(4000);  // seven lines
    const std::string options =
        "(the options are -c/--conf, -l/--log, -h/--help, -q/--quiet, --check-config, --admin-password-file)";
    struct Case {
        const char* name;
        std::string configuration;
        std::vector<std::string> arguments;
        int status;
        std::string output;
        std::string errors;
    };
    const Case cases[] = {
        {"typo, letter for a digit, unknown option",
         base + "AdminServr 1\nServerPort 40O0\n",
         {"--check-config", "-c", "my.conf", "--frobnicate"},
         0,
         "",
         "warning: unknown option '--frobnicate' ignored " + options +
             "\n"
             "warning: unknown key 'AdminServr' in my.conf line 8 (did you mean 'AdminServer'?)\n"
             "warning: ServerPort '40O0' in my.conf line 9 is not a number; 40 will be used\n"
             "Configuration OK.\n"},
        {"stray argument, so the default file is read",
         base,
         {"my.conf", "--check-config"},
         1,
         "ERROR: The configuration file could not be loaded.\n",
         "warning: argument 'my.conf' ignored (did you mean '-c my.conf'?)\n"
         "varnserver: varnserver.conf: No such file or directory\n"
         "Configuration has 1 error; the server would not start.\n"},
        {"three errors",
         base + "ServerName \"cut\nLogFile a.log b.log\nMaxPlayers 30\n",
         {"--check-config", "-c", "my.conf"},
         1,
         "ERROR: Unmatched quotation in configuration file. (Line #8)\n"
         "ERROR: Invalid number of values for 'LogFile' in the configuration file.\n"
         "ERROR: A ServerName MUST be specified in the configuration file AND be > 0 in length.\n"
         "ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the "
         "configuration file.\n",
         "warning: MaxPlayers '30' in my.conf line 10 is out of range (1 to 26): the server will not start\n"
         "Configuration has 3 errors; the server would not start.\n"},
        {"an error the server starts with",
         base + "LogFile a.log b.log\n",
         {"--check-config", "-c", "my.conf"},
         0,
         "ERROR: Invalid number of values for 'LogFile' in the configuration file.\n",
         "Configuration has 1 error; the server would start anyway.\n"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        directory.write("my.conf", testCase.configuration);
        ServerProcess check(directory.path(), testCase.arguments, false, ErrorOutput::apart);
        ASSERT_EQ(check.waitForExit(), std::optional<int>(testCase.status));
        EXPECT_EQ(check.output(), testCase.output);
        EXPECT_EQ(check.errorOutput(), testCase.errors);
    }
}

// A running server: the warnings and the browser port go to standard error, never to the console
// or the log, which stay as they were.
TEST(StartupMistakesTest, StartUpAdditionsGoToStandardErrorAndNeverToTheLog) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    HeldPort browserPort(static_cast<std::uint16_t>(port + 123));
    ASSERT_TRUE(browserPort.held());
    directory.write("varnserver.conf", baseConfiguration(port) + "ASE 1\nAdminServr 1\n");
    directory.write("banned.txt", "");
    ServerProcess server(directory.path(), {"-q", "extra"}, false, ErrorOutput::apart);
    const std::string browserLine = "varnserver: browser queries on 0.0.0.0:" + std::to_string(port + 124) +
                                    " (0.0.0.0:" + std::to_string(port + 123) + ": Address already in use)\n";
    ASSERT_TRUE(server.waitForErrorOutput(browserLine)) << server.errorOutput();
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));

    EXPECT_EQ(server.errorOutput(),
              "warning: argument 'extra' after '-q' ignored (did you mean '-c extra'?)\n"
              "warning: unknown key 'AdminServr' in varnserver.conf line 9 (did you mean 'AdminServer'?)\n" +
                  browserLine);
    EXPECT_EQ(server.output(), "") << "quiet";
    const std::string log = directory.read("server.log");
    EXPECT_NE(log.find("SERVER: ASE registration is enabled"), std::string::npos) << log;
    EXPECT_EQ(log.find("warning"), std::string::npos) << log;
    EXPECT_EQ(log.find("varnserver:"), std::string::npos) << log;
}

// The game port is taken: the console's two lines as before, then where and why on standard error.
TEST(StartupMistakesTest, ABindFailureNamesTheAddressThePortAndTheReason) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    HeldPort gamePort(port);
    ASSERT_TRUE(gamePort.held());
    directory.write("varnserver.conf", baseConfiguration(port));
    directory.write("banned.txt", "");
    ServerProcess server(directory.path(), {}, false, ErrorOutput::apart);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(1));
    EXPECT_NE(
        server.output().find("ERROR: Unable to bind to the socket.\nSERVER: unable to start the server.\n"),
        std::string::npos)
        << server.output();
    EXPECT_EQ(server.errorOutput(),
              "varnserver: 0.0.0.0:" + std::to_string(port) + ": Address already in use\n");
    EXPECT_EQ(directory.read("server.log").find("varnserver:"), std::string::npos);
}

}  // namespace
}  // namespace varn::e2e
