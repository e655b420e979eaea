#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// The installed configuration keeps the admin server on 127.0.0.1, where no source address can be
// forged from outside the host; with PasswordLockout 1, an admin server on every or a public address
// is named, since forged wrong logins from an administrator's address can lock him out.
TEST(OperatorOptionsTest, CheckConfigNamesAnAdminServerOpenToForgedLockOuts) {
    std::string installed;
    {
        std::ifstream in(fs::path(VARN_SOURCE_DIR) / "packaging" / "varnserver.conf", std::ios::binary);
        installed.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const auto replaced = [&installed](const std::string& from, const std::string& to) {
        std::string text = installed;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) text.replace(at, from.size(), to);
        return text;
    };
    // As an operator switches it on.
    installed = replaced("\nAdminServer 0\n", "\nAdminServer 1\n");
    const std::string advice =
        " with PasswordLockout 1: whoever can forge an administrator's source address can lock that administrator "
        "out; give AdminIPAddress 127.0.0.1 and administer through varnadmin over SSH or the web console on the "
        "same host\n";
    struct Case {
        const char* name;
        std::string configuration;
        int status;
        std::string warning;
    };
    const Case cases[] = {
        {"as installed", installed, 0, ""},
        {"every local address", replaced("\nAdminIPAddress 127.0.0.1\n", "\nAdminIPAddress 0.0.0.0\n"), 1,
         "warning: AdminIPAddress '0.0.0.0' in my.conf line " +
             std::to_string(std::count(installed.begin(), installed.begin() + installed.find("\nAdminIPAddress"), '\n') + 2) +
             " listens on every local address" + advice},
        {"no address at all", replaced("\nAdminIPAddress 127.0.0.1\n", "\n"), 1, "listens on every local address (no AdminIPAddress)" + advice},
        {"a public address", replaced("\nAdminIPAddress 127.0.0.1\n", "\nAdminIPAddress 198.51.100.7\n"), 1,
         "listens on a public address" + advice},
        {"a private address", replaced("\nAdminIPAddress 127.0.0.1\n", "\nAdminIPAddress 192.168.1.5\n"), 0, ""},
        {"lock-out off", replaced("\nPasswordLockout 1\n", "\nPasswordLockout 0\n"), 0, ""},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        directory.write("my.conf", testCase.configuration);
        fs::permissions(directory.path() / "my.conf", kOwnerOnly);
        directory.write("private.pw", "secret\n");
        fs::permissions(directory.path() / "private.pw", kOwnerOnly);
        ServerProcess check(directory.path(),
                            {"--check-config", "--strict", "-c", "my.conf", "--admin-password-file", "private.pw"},
                            false, ErrorOutput::apart);
        ASSERT_EQ(check.waitForExit(), std::optional<int>(testCase.status)) << check.errorOutput();
        const std::string errors = check.errorOutput();
        if (testCase.warning.empty()) {
            EXPECT_EQ(errors, "Configuration OK.\n");
        } else {
            EXPECT_NE(errors.find(testCase.warning), std::string::npos) << errors;
            EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
        }
    }
}

// MetricsAddress takes a dotted IPv4 address or localhost; anything else (which the system would
// read as some other address, or not at all) is an error that the check names and counts.
TEST(OperatorOptionsTest, CheckConfigNamesAMetricsAddressThatIsNotDottedIPv4) {
    struct Case {
        const char* address;
        bool accepted;
    };
    const Case cases[] = {{"127.0.0.1", true}, {"localhost", true}, {"0.0.0.0", true},
                          {"0", false},        {"0x0", false},      {"127.1", false},
                          {"010.0.0.1", false}, {"256.0.0.1", false}, {"metrics.example", false}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.address);
        ScratchDirectory directory;
        directory.write("my.conf", baseConfiguration(4000) + "MetricsPort 9100\nMetricsAddress " +
                                       testCase.address + "\n");
        ServerProcess check(directory.path(), {"--check-config", "--strict", "-c", "my.conf"}, false,
                            ErrorOutput::apart);
        ASSERT_EQ(check.waitForExit(), std::optional<int>(testCase.accepted ? 0 : 1)) << check.errorOutput();
        const std::string error = "ERROR: MetricsAddress '" + std::string(testCase.address) +
                                  "' is not a dotted IPv4 address (such as 127.0.0.1) or localhost; the metrics "
                                  "endpoint is not started.\n";
        EXPECT_EQ(check.output(), testCase.accepted ? "" : error);
        EXPECT_EQ(check.errorOutput(), testCase.accepted ? "Configuration OK.\n"
                                                         : "Configuration has 1 error; the server would start anyway.\n");
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
