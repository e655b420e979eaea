#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ServerProcess.h"

// FIFOs in place of the files the server and varnadmin read: each is refused at once, with the
// message a missing file gets, and nothing waits for a writer.
namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

TEST(NonRegularFilesTest, ServerStartsPastFifosInPlaceOfTheBanFileAndMotd) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "MOTDEnabled 1\n");
    for (const char* name : {"banned.txt", "motd.txt"}) {
        ASSERT_EQ(::mkfifo((directory.path() / name).c_str(), 0600), 0) << name;
    }
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q' or 'Q' to shutdown the server.\n"));
    EXPECT_NE(server.output().find("ERROR: Unable to open existing Banned IP list. Starting clean.\n"),
              std::string::npos);
    EXPECT_NE(server.output().find("ERROR: 'motd.txt' could not be opened for reading.\n"),
              std::string::npos);

    UdpClient client;
    client.sendTo(port, {4});  // a ping request is answered while the FIFOs sit there
    EXPECT_TRUE(client.receive(2s).has_value());
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), std::optional<int>(0));
    struct stat info {};
    ASSERT_EQ(::stat((directory.path() / "banned.txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the shut-down saves nothing over a ban file it never loaded";
}

// Runs varnadmin with the arguments and no standard input; its exit status and error output, or no
// status when it had to be killed after the time-out.
struct ClientRun {
    std::optional<int> status;
    std::string errors;
};

ClientRun runAdminClient(std::vector<std::string> arguments, std::chrono::milliseconds timeout) {
    int errors[2];
    if (::pipe(errors) != 0) return {};
    std::string binary = VARN_ADMIN_BINARY;
    std::vector<char*> argv = {binary.data()};
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int nothing = ::open("/dev/null", O_RDWR);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(nothing, STDOUT_FILENO);
        ::dup2(errors[1], STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(errors[1]);
    ::fcntl(errors[0], F_SETFL, O_NONBLOCK);
    ClientRun run;
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        char chunk[512];
        for (ssize_t got; (got = ::read(errors[0], chunk, sizeof chunk)) > 0;) {
            run.errors.append(chunk, static_cast<std::size_t>(got));
        }
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
            break;
        }
        if (SteadyClock::now() >= deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    for (char chunk[512]; ::read(errors[0], chunk, sizeof chunk) > 0;) {
    }
    ::close(errors[0]);
    return run;
}

// Exactly as a missing file: the same message, and the exit status of a wrong call.
TEST(NonRegularFilesTest, AdminClientRefusesAFifoAsItsPasswordFileLikeAMissingOne) {
    ScratchDirectory directory;
    const std::string fifo = (directory.path() / "admin.pw").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string port = std::to_string(freeUdpPort());
    for (const std::string& path : {fifo, (directory.path() / "missing.pw").string()}) {
        SCOPED_TRACE(path);
        const ClientRun run = runAdminClient({"--port", port, "--password-file", path, "bans"}, 10s);
        EXPECT_EQ(run.status, std::optional<int>(2)) << "it must not wait for a writer";
        EXPECT_EQ(run.errors, "varnadmin: cannot read the admin password from '" + path + "'\n");
    }
}

}  // namespace
}  // namespace varn::e2e
