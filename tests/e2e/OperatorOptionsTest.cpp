#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

namespace fs = std::filesystem;
using ErrorOutput = ServerProcess::ErrorOutput;

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
constexpr fs::perms kReadableByAll = kOwnerOnly | fs::perms::group_read | fs::perms::others_read;

// --version prints the version line and ends at once, even beside a configuration that would start
// a server and empty its log.
TEST(OperatorOptionsTest, VersionPrintsTheVersionLineAndTouchesNoFile) {
    ScratchDirectory directory;
    directory.write("varnserver.conf", baseConfiguration(freeUdpPort()));
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--version"}, std::vector<std::string>{"-q", "--version"}}) {
        SCOPED_TRACE(arguments.front());
        ServerProcess version(directory.path(), arguments, false, ErrorOutput::apart);
        ASSERT_EQ(version.waitForExit(), std::optional<int>(0)) << version.output();
        EXPECT_EQ(version.output(), "Varn Server for Varn:PB 0.3 (Server: 0.3.1)\n");
        EXPECT_EQ(version.errorOutput(), "");
    }
    EXPECT_FALSE(directory.exists("server.log"));
    EXPECT_FALSE(directory.exists("banned.txt"));
}

// Two more mistakes, and --strict, which makes every warning an error for deployment pipelines.
TEST(OperatorOptionsTest, CheckConfigNamesAdminPasswordMistakesAndStrictFailsOnAnyWarning) {
    const std::string base = baseConfiguration(4000);  // seven lines
    struct Case {
        const char* name;
        std::string configuration;
        fs::perms configurationMode;
        std::vector<std::string> arguments;
        int status;
        std::string errors;
    };
    const Case cases[] = {
        {"admin server without a password",
         base + "AdminServer 1\n",
         kOwnerOnly,
         {"--check-config", "-c", "my.conf"},
         0,
         "warning: AdminServer 1 in my.conf line 8 without an admin password (AdminPassword or "
         "--admin-password-file); the admin server will not start\n"
         "Configuration OK.\n"},
        {"the same, strict",
         base + "AdminServer 1\n",
         kOwnerOnly,
         {"--check-config", "--strict", "-c", "my.conf"},
         1,
         "warning: AdminServer 1 in my.conf line 8 without an admin password (AdminPassword or "
         "--admin-password-file); the admin server will not start\n"
         "Configuration has 1 warning, which --strict counts as errors; the server would start anyway.\n"},
        {"a password in a configuration others can read",
         base + "AdminServer 1\nAdminPassword secret\n",
         kReadableByAll,
         {"--check-config", "-c", "my.conf"},
         0,
         "warning: my.conf holds AdminPassword (line 9) and is readable by group or others (mode 0644); make "
         "it readable by its owner only (chmod 600), or give the password with --admin-password-file\n"
         "Configuration OK.\n"},
        {"a password file others can read; the configuration holds none",
         base + "AdminServer 1\n",
         kReadableByAll,
         {"--check-config", "-c", "my.conf", "--admin-password-file", "open.pw"},
         0,
         "warning: the admin password file 'open.pw' is readable by group or others (mode 0644); make it "
         "readable by its owner only (chmod 600)\n"
         "Configuration OK.\n"},
        {"a private password file is no mistake",
         base + "AdminServer 1\n",
         kReadableByAll,
         {"--check-config", "--strict", "-c", "my.conf", "--admin-password-file", "private.pw"},
         0,
         "Configuration OK.\n"},
        {"strict counts the warnings of the command line and the file beside the errors",
         base + "AdminServr 1\nLogFile a.log b.log\n",
         kOwnerOnly,
         {"--check-config", "--strict", "-c", "my.conf", "--frobnicate"},
         1,
         "warning: unknown option '--frobnicate' ignored (the options are -c/--conf, -l/--log, -h/--help, "
         "-q/--quiet, --check-config, --admin-password-file)\n"
         "warning: unknown key 'AdminServr' in my.conf line 8 (did you mean 'AdminServer'?)\n"
         "Configuration has 1 error and 2 warnings, which --strict counts as errors; the server would start "
         "anyway.\n"},
        {"strict and a refused configuration",
         base + "MaxPlayers 30\n",
         kOwnerOnly,
         {"--check-config", "--strict", "-c", "my.conf"},
         1,
         "warning: MaxPlayers '30' in my.conf line 8 is out of range (1 to 26): the server will not start\n"
         "Configuration has 1 error and 1 warning, which --strict counts as errors; the server would not "
         "start.\n"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        directory.write("my.conf", testCase.configuration);
        fs::permissions(directory.path() / "my.conf", testCase.configurationMode);
        directory.write("open.pw", "secret\n");
        fs::permissions(directory.path() / "open.pw", kReadableByAll);
        directory.write("private.pw", "secret\n");
        fs::permissions(directory.path() / "private.pw", kOwnerOnly);
        ServerProcess check(directory.path(), testCase.arguments, false, ErrorOutput::apart);
        ASSERT_EQ(check.waitForExit(), std::optional<int>(testCase.status)) << check.errorOutput();
        EXPECT_EQ(check.errorOutput(), testCase.errors);
    }
}

// A start-up names the mistake on standard error too; the log stays as it was.
TEST(OperatorOptionsTest, StartUpNamesAnAdminServerThatWillNotStart) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf",
                    baseConfiguration(port) + "AdminServer 1\nAdminPort " + std::to_string(freeUdpPort()) + "\n");
    fs::permissions(directory.path() / "varnserver.conf", kOwnerOnly);
    directory.write("banned.txt", "");
    ServerProcess server(directory.path(), {"-q"}, false, ErrorOutput::apart);
    const std::string warning =
        "warning: AdminServer 1 in varnserver.conf line 8 without an admin password (AdminPassword or "
        "--admin-password-file); the admin server will not start\n";
    ASSERT_TRUE(server.waitForErrorOutput(warning)) << server.errorOutput();
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    EXPECT_EQ(server.errorOutput(), warning);
    const std::string log = directory.read("server.log");
    EXPECT_NE(log.find("ADMINSERVER: No password set, cannot start server.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("warning"), std::string::npos) << log;
}

}  // namespace
}  // namespace varn::e2e
