#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

Bytes withText(Bytes head, const std::string& text, bool terminated = true) {
    head.insert(head.end(), text.begin(), text.end());
    if (terminated) head.push_back(0);
    return head;
}

// The admin client, run with arguments and a standard input; its two outputs are collected.
class AdminClient {
public:
    AdminClient(std::vector<std::string> arguments, const std::string& standardInput) {
        int input[2], output[2], errors[2];
        if (::pipe(input) != 0 || ::pipe(output) != 0 || ::pipe(errors) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::string binary = VARN_ADMIN_BINARY;
        std::vector<char*> argv = {binary.data()};
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::dup2(errors[1], STDERR_FILENO);
            for (const int fd : {input[0], input[1], output[0], output[1], errors[0], errors[1]}) ::close(fd);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        ::close(errors[1]);
        [[maybe_unused]] const ssize_t written =
            ::write(input[1], standardInput.data(), standardInput.size());
        ::close(input[1]);
        outFd_ = output[0];
        errFd_ = errors[0];
    }
    ~AdminClient() {
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(outFd_);
        ::close(errFd_);
    }

    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = SteadyClock::now() + timeout;
        while (out.find(text) == std::string::npos) {
            if (SteadyClock::now() >= deadline) return false;
            pump(20ms);
        }
        return true;
    }
    void signal(int signalNumber) { ::kill(pid_, signalNumber); }
    // The exit status, or nothing when it had to be killed after the time-out.
    std::optional<int> finish(std::chrono::milliseconds timeout = 15s) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                while (pump(0ms)) {
                }
                return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
            }
            if (SteadyClock::now() >= deadline) return std::nullopt;
            pump(20ms);
        }
    }

    std::string out;
    std::string err;

private:
    // Reads what is waiting on either output; false when nothing was read.
    bool pump(std::chrono::milliseconds wait) {
        pollfd entries[] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (::poll(entries, 2, static_cast<int>(wait.count())) <= 0) return false;
        bool read = false;
        for (auto& [fd, target] : {std::pair{outFd_, &out}, std::pair{errFd_, &err}}) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0) continue;
            char chunk[4096];
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got > 0) {
                target->append(chunk, static_cast<std::size_t>(got));
                read = true;
            }
        }
        return read;
    }

    int pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool exited_ = false;
};

struct ClientResult {
    std::optional<int> status;
    std::string out;
    std::string err;
};

ClientResult runClient(const std::vector<std::string>& arguments, const std::string& input = "") {
    AdminClient client(arguments, input);
    const auto status = client.finish();
    return {status, client.out, client.err};
}

// The next datagram that the test accepts, within the time-out; pings and the like are skipped.
std::optional<Bytes> receiveMatching(UdpClient& client, const std::function<bool(const Bytes&)>& wanted,
                                     std::chrono::milliseconds timeout = 5s) {
    const auto deadline = SteadyClock::now() + timeout;
    while (SteadyClock::now() < deadline) {
        const auto left = deadline - SteadyClock::now();
        const auto datagram = client.receive(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        if (datagram && wanted(*datagram)) return datagram;
    }
    return std::nullopt;
}

std::optional<Bytes> receiveStartingWith(UdpClient& client, const Bytes& prefix) {
    return receiveMatching(client, [&](const Bytes& datagram) {
        return datagram.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), datagram.begin());
    });
}

// The admin name varnadmin takes by default: the user's name, in the bytes a name may hold.
std::string userName() {
    std::string user;
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        for (const char* c = entry->pw_name; *c != '\0'; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c)) || *c == '_' || *c == '.' || *c == '-') user.push_back(*c);
        }
    }
    return user.empty() ? "varnadmin" : user.substr(0, 13);
}

// A server with the admin server on, its admin password in a file beside it for the client.
class AdminServerTest : public ::testing::Test {
protected:
    // Without a ban file (nothing), none is written.
    void startServer(const std::string& settings, const std::optional<std::string>& banFile,
                     std::vector<std::string> arguments = {}) {
        port = freeUdpPort();
        adminPort = freeUdpPort();
        directory.write("varnserver.conf", baseConfiguration(port) + "AdminServer 1\nAdminPort " +
                                               std::to_string(adminPort) +
                                               "\nAdminPassword \"two words\"\n" + settings);
        if (banFile) directory.write("banned.txt", *banFile);
        directory.write("admin.pw", "two words\n");
        server.emplace(directory.path(), std::move(arguments), false);
        ASSERT_TRUE(server->waitForOutput("ADMINSERVER: successfully started the server (port " +
                                          std::to_string(adminPort) + ")\n"));
    }

    std::vector<std::string> client(std::vector<std::string> command, const std::string& name = "varnadmin") {
        std::vector<std::string> arguments = {"--port",    std::to_string(adminPort),
                                              "--name",    name,
                                              "--timeout", "2",
                                              "--password-file", (directory.path() / "admin.pw").string()};
        arguments.insert(arguments.end(), command.begin(), command.end());
        return arguments;
    }

    // Stops the server with SIGTERM and gives its log.
    std::string stopServer() {
        server->signal(SIGTERM);
        EXPECT_EQ(server->waitForExit(), std::optional<int>(0));
        return directory.read("server.log");
    }

    static void expectDone(const ClientResult& result, const std::string& out) {
        EXPECT_EQ(result.status, std::optional<int>(0)) << result.err;
        EXPECT_EQ(result.out, out);
    }
    static void expectRefused(const ClientResult& result, const std::string& message) {
        EXPECT_EQ(result.status, std::optional<int>(1));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "varnadmin: " + message + "\n");
    }

    ScratchDirectory directory;
    std::uint16_t port = 0;
    std::uint16_t adminPort = 0;
    std::optional<ServerProcess> server;
};

// A server started without its ban file still keeps the bans added: the first save creates the
// file, the shut-down saves the list once more (over whatever the file holds by then), and the next
// start reads it.
TEST_F(AdminServerTest, BansAddedWithoutABanFileHoldAfterARestart) {
    startServer("", std::nullopt);
    EXPECT_NE(server->output().find("ERROR: Unable to open existing Banned IP list. Starting clean.\n"),
              std::string::npos);
    EXPECT_FALSE(directory.exists("banned.txt"));
    expectDone(runClient(client({"addban", "127.0.0.7"})), "added ban '127.0.0.7'\n");
    EXPECT_EQ(directory.read("banned.txt"), "127.0.0.7\n") << "saved before the answer";
    // Gone meanwhile, the shut-down's save makes it again (an edited file would be read, not written over).
    std::filesystem::remove(directory.path() / "banned.txt");
    EXPECT_EQ(stopServer().find("Unable to save"), std::string::npos);
    EXPECT_EQ(directory.read("banned.txt"), "127.0.0.7\n") << "saved at the shut-down";

    server.reset();
    startServer("", std::nullopt);
    EXPECT_EQ(server->output().find("Starting clean"), std::string::npos);
    expectDone(runClient(client({"bans"})), "127.0.0.7\n");
    UdpClient banned("127.0.0.7");
    banned.sendTo(port, joinDatagram("back"));
    EXPECT_EQ(receiveStartingWith(banned, {6}), std::optional<Bytes>(Bytes{6, 1}));
    stopServer();
}

TEST_F(AdminServerTest, ClientManagesBansMotdAndPasswordAndExplainsRefusals) {
    startServer("ServerPassword old\n", "1.2.3.4\r\n10.0.0.0");

    expectDone(runClient(client({"bans"})), "1.2.3.4\n10.0.0.0\n");
    expectDone(runClient(client({"addban", "10.9.0.0"})), "added ban '10.9.0.0'\n");
    EXPECT_EQ(directory.read("banned.txt"), "1.2.3.4\n10.0.0.0\n10.9.0.0\n");
    // A text that is no entry form is refused before anything is sent.
    const ClientResult notAnEntry = runClient(client({"addban", "1.2.3"}));
    EXPECT_EQ(notAnEntry.status, std::optional<int>(2));
    EXPECT_EQ(notAnEntry.err,
              "varnadmin: '1.2.3' is not a ban entry; write an IPv4 address (10.1.2.3), a range where an octet "
              "0 matches any value (10.0.0.0) or a CIDR range (10.0.0.0/8)\nTry 'varnadmin --help'.\n");
    expectDone(runClient(client({"unban", "1.2.3.4"})), "removed ban '1.2.3.4'\n");
    expectRefused(runClient(client({"unban", "10.0.0.5"})),
                  "no ban entry equals '10.0.0.5' (a range is removed only by its own text, such as "
                  "10.0.0.0)");
    EXPECT_EQ(directory.read("banned.txt"), "10.0.0.0\n10.9.0.0\n");

    expectRefused(runClient(client({"motd"})),
                  "the server could not open its motd.txt; the old message stays");
    directory.write("motd.txt", "Welcome\n");
    expectDone(runClient(client({"motd"})), "message of the day reloaded\n");
    expectDone(runClient(client({"password", "new secret"})),
               "server password changed until the server restarts\n");
    expectRefused(runClient(client({"shutdown"})),
                  "remote shut-down is disabled on the server (AdminAllowShutdown is not 1)");

    // The password typed on standard input when it is not a terminal.
    const ClientResult typed = runClient({"--port", std::to_string(adminPort), "players"}, "two words\n");
    EXPECT_EQ(typed.status, std::optional<int>(0));
    EXPECT_EQ(typed.err, "no players are connected\n");

    // One message for each refusal, and for a server that does not answer.
    directory.write("wrong.pw", "Two words\n");
    expectRefused(runClient({"--port", std::to_string(adminPort), "--name", "guesser", "--password-file",
                             (directory.path() / "wrong.pw").string(), "bans"}),
                  "login refused: wrong admin password");
    UdpClient holder;
    holder.sendTo(adminPort, withText({13, 25}, "Holder|two words"));
    ASSERT_TRUE(receiveStartingWith(holder, {1}).has_value());
    expectRefused(runClient(client({"bans"}, "HOLDER")),
                  "login refused: an admin named 'HOLDER' is already logged in");
    const std::string silentPort = std::to_string(freeUdpPort());
    expectRefused(runClient({"--port", silentPort, "--timeout", "0.5", "--password-file",
                             (directory.path() / "admin.pw").string(), "bans"}),
                  "no answer from 127.0.0.1:" + silentPort +
                      " within 0.5 s; is the server running with AdminServer 1 and an AdminPassword, on this "
                      "port?");
    EXPECT_EQ(runClient({"kick", "x"}).status, std::optional<int>(2));

    const std::string log = stopServer();
    EXPECT_NE(log.find("ADMIN-JOIN: 'varnadmin', ID = 0 (127.0.0.1)\n"
                       "ADMIN: Admin varnadmin added ban '10.9.0.0'\n"
                       "ADMIN-QUIT: 'varnadmin', ID = 0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ADMIN: Admin varnadmin deleted banned IP '1.2.3.4'\n"), std::string::npos);
    EXPECT_NE(log.find("PASSWORD: The Server Password was successfully changed.\n"), std::string::npos);
    EXPECT_EQ(log.find("new secret"), std::string::npos) << "the password is never logged";
    EXPECT_NE(log.find("ADMIN-ERROR Unable to add: 'guesser' password is incorrect.\n"), std::string::npos);
    EXPECT_EQ(directory.read("banned.txt"), "10.0.0.0\n10.9.0.0\n");
}

TEST_F(AdminServerTest, PasswordFileTakesThePlaceOfTheConfiguredPassword) {
    directory.write("service.pw", "from the file\n");
    startServer("", "", {"--admin-password-file", (directory.path() / "service.pw").string()});
    // admin.pw holds the configuration's AdminPassword.
    expectRefused(runClient(client({"players"})), "login refused: wrong admin password");
    directory.write("admin.pw", "from the file\n");
    const ClientResult result = runClient(client({"players"}));
    EXPECT_EQ(result.status, std::optional<int>(0)) << result.err;
    EXPECT_EQ(result.err, "no players are connected\n");
    const std::string log = stopServer();
    EXPECT_EQ(log.find("from the file"), std::string::npos) << "the password is never logged";
}

TEST_F(AdminServerTest, RawAdminGetsTheProtocolsBytes) {
    startServer("", "1.2.3.4\n127.0.0.5\n");
    UdpClient banned("127.0.0.5");
    banned.sendTo(adminPort, withText({13, 25}, "x|two words"));
    EXPECT_EQ(banned.receive(), std::optional<Bytes>(Bytes{6, 1}));

    UdpClient raw("127.0.0.4");
    raw.sendTo(adminPort, withText({13, 24}, "raw|two words"));
    EXPECT_EQ(raw.receive(), std::optional<Bytes>(Bytes{6, 6}));
    raw.sendTo(adminPort, withText({13, 25}, "raw|two words"));
    // The welcome of a server with 8 slots in regular mode and nobody in it.
    const Bytes welcome = {1,    2,    1,    0,    8,    0x21, 0x0E, 0x0C, 0x49,
                           0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11};
    EXPECT_EQ(receiveStartingWith(raw, {1}), std::optional<Bytes>(welcome));
    raw.sendTo(adminPort, {17});
    EXPECT_EQ(receiveStartingWith(raw, {17}),
              std::optional<Bytes>(withText({17}, "1.2.3.4|127.0.0.5|", false)));
    raw.sendTo(adminPort, {27, 0});
    EXPECT_EQ(receiveStartingWith(raw, {27}), std::optional<Bytes>(Bytes{27, 0}));
    raw.sendTo(adminPort, {14});  // no player id: ignored
    raw.sendTo(adminPort, {28});
    EXPECT_EQ(receiveStartingWith(raw, {28}), std::optional<Bytes>(Bytes{28, 0}));
    raw.sendTo(adminPort, {2});
    // Quitted: a new join is welcomed, not refused as a second one.
    raw.sendTo(adminPort, withText({13, 25}, "raw|two words"));
    const auto answer =
        receiveMatching(raw, [](const Bytes& datagram) { return datagram[0] == 1 || datagram[0] == 6; });
    EXPECT_EQ(answer.value_or(Bytes{6}).at(0), 1);

    const std::string log = stopServer();
    EXPECT_NE(log.find("ADMIN-JOIN: 'raw', ID = 0 (127.0.0.4)\nADMIN-QUIT: 'raw', ID = 0\n"
                       "ADMIN-JOIN: 'raw', ID = 0 (127.0.0.4)\n"),
              std::string::npos)
        << log;
}

TEST_F(AdminServerTest, WatchFollowsPlayersWhoAreSpokenToLookedUpKickedAndBanned) {
    startServer("", "");
    AdminClient watcher(client({"watch"}, "watcher"), "");
    ASSERT_TRUE(watcher.waitForOutput("watching 127.0.0.1:" + std::to_string(adminPort) +
                                      " as 'watcher' (admin id 0)\n"))
        << watcher.err;

    UdpClient alice("127.0.0.2");
    alice.sendTo(port, withText({1, 24}, "alice|"));
    ASSERT_TRUE(receiveStartingWith(alice, {1}).has_value()) << "the player join is needed for this test";
    expectDone(runClient(client({"ip", "0"})), "127.0.0.2\n");
    expectDone(runClient(client({"say", "hello", "players"})), "said: hello players\n");
    EXPECT_EQ(receiveStartingWith(alice, {3}), std::optional<Bytes>(withText({3, 1, 0}, "hello players")));
    expectDone(runClient(client({"players"})), "  0      0  alice\n");
    expectDone(runClient(client({"kick", "0"})), "kicked player 0 'alice'\n");
    EXPECT_EQ(receiveStartingWith(alice, {6}), std::optional<Bytes>(Bytes{6, 3}));
    expectRefused(runClient(client({"ip", "0"})), "no player with ID 0 (the server did not answer)");

    UdpClient bob("127.0.0.3");
    bob.sendTo(port, withText({1, 24}, "bob|"));
    ASSERT_TRUE(receiveStartingWith(bob, {1}).has_value());
    expectDone(runClient(client({"ban", "0"})), "banned player 0 'bob'\n");
    EXPECT_EQ(receiveStartingWith(bob, {6}), std::optional<Bytes>(Bytes{6, 1}));
    EXPECT_EQ(directory.read("banned.txt"), "127.0.0.3\n");
    expectRefused(runClient(client({"kick", "0"})), "no player with ID 0 (the server removed nobody)");

    ASSERT_TRUE(watcher.waitForOutput("leave: 0 'bob' (banned by an admin)\n")) << watcher.out;
    watcher.signal(SIGINT);
    EXPECT_EQ(watcher.finish(), std::optional<int>(0));
    EXPECT_TRUE(server->waitForOutput("ADMIN-QUIT: 'watcher', ID = 0\n")) << "watch logs out when stopped";
    EXPECT_EQ(watcher.out, "watching 127.0.0.1:" + std::to_string(adminPort) +
                               " as 'watcher' (admin id 0)\n"
                               "join: 0 'alice' from 127.0.0.2\n"
                               "chat: 1: hello players\n"
                               "leave: 0 'alice' (kicked by an admin)\n"
                               "join: 0 'bob' from 127.0.0.3\n"
                               "leave: 0 'bob' (banned by an admin)\n");
    const std::string log = stopServer();
    EXPECT_NE(log.find("KICKED: 'alice', PlayerID = 0 by Admin varnadmin\n"), std::string::npos) << log;
    EXPECT_NE(log.find("BANNED: 'bob', PlayerID = 0 by Admin varnadmin\n"), std::string::npos);
}

TEST_F(AdminServerTest, ClientBansForATimeWithReasonsListsDetailsAndGuardsItsOwnAddress) {
    // More detailed lines than one reply holds.
    std::string banFile;
    for (int index = 0; index < 30; ++index) {
        banFile += "10.20." + std::to_string(index) +
                   ".0 # until=2099-01-01T00:00:00Z by=Ops at=2026-01-01T00:00:00Z reason=" + std::string(60, 'r') +
                   "\n";
    }
    startServer("", banFile);

    expectDone(runClient(client({"addban", "10.0.0.0/8", "--for", "1d", "--reason", "spam wave"})),
               "added ban '10.0.0.0/8' for 1d (spam wave)\n");
    const ClientResult invalid = runClient(client({"addban", "10.0.0.0/33"}));
    EXPECT_EQ(invalid.status, std::optional<int>(2));
    const ClientResult badTime = runClient(client({"addban", "10.1.0.0/16", "--for", "3651d"}));
    EXPECT_EQ(badTime.status, std::optional<int>(2));
    EXPECT_EQ(badTime.err, "varnadmin: --for takes a time such as 30m, 2h or 7d (at most 3650d), not '3651d'\n"
                           "Try 'varnadmin --help'.\n");
    // The admin talks to the server from 127.0.0.1.
    for (const char* entry : {"127.0.0.0/8", "127.0.0.0", "0.0.0.0/0", "127.0.0.1"}) {
        SCOPED_TRACE(entry);
        expectRefused(runClient(client({"addban", entry})),
                      std::string("the entry '") + entry +
                          "' covers 127.0.0.1, the address this computer talks to the server from, and would shut "
                          "you out of the admin port; give --force to add it anyway");
    }

    UdpClient bob("127.0.0.3");
    bob.sendTo(port, withText({1, 24}, "bob|"));
    ASSERT_TRUE(receiveStartingWith(bob, {1}).has_value());
    expectDone(runClient(client({"ban", "0", "--for=2h", "--reason=wall hack"})),
               "banned player 0 'bob' for 2h (wall hack)\n");
    EXPECT_EQ(receiveStartingWith(bob, {6}), std::optional<Bytes>(Bytes{6, 1}));
    expectRefused(runClient(client({"ban", "5", "--for", "30m"})), "no player with ID 5 (the server banned nobody)");

    const std::string saved = directory.read("banned.txt");
    EXPECT_EQ(saved.find(banFile), 0u) << "the loaded lines are saved back as they were";
    EXPECT_NE(saved.find("\n10.0.0.0/8 # until="), std::string::npos) << saved;
    EXPECT_NE(saved.find(" by=varnadmin at="), std::string::npos) << saved;
    EXPECT_NE(saved.find(" reason=spam wave\n127.0.0.3 # until="), std::string::npos) << saved;
    EXPECT_NE(saved.find(" reason=wall hack\n"), std::string::npos) << saved;
    // The long list is the file's lines, over as many replies as it takes; the short one the entries.
    expectDone(runClient(client({"bans", "--long"})), saved);
    std::string entries;
    for (int index = 0; index < 30; ++index) entries += "10.20." + std::to_string(index) + ".0\n";
    expectDone(runClient(client({"bans"})), entries + "10.0.0.0/8\n127.0.0.3\n");

    // Forced, the entry shuts this computer out, and the refused login says what to do.
    expectDone(runClient(client({"addban", "127.0.0.0/8", "--force"})), "added ban '127.0.0.0/8'\n");
    expectRefused(runClient(client({"bans"})),
                  "login refused: this computer's address is on the server's ban list; remove the entry that "
                  "covers it from the server's ban file (BannedFile) and make the server read it again (SIGHUP, "
                  "or a restart), or run 'varnadmin unban ENTRY' from a computer that is not banned");

    const std::string log = stopServer();
    EXPECT_NE(log.find("ADMIN: Admin varnadmin added ban '10.0.0.0/8' until "), std::string::npos) << log;
    EXPECT_NE(log.find("BANNED: 'bob', PlayerID = 0 by Admin varnadmin until "), std::string::npos) << log;
    EXPECT_EQ(log.find("ADMIN: Admin varnadmin added ban '127.0.0.0'"), std::string::npos)
        << "a refused entry is never sent";
}

TEST_F(AdminServerTest, RemoteShutdownStopsTheServerInTheNormalWay) {
    startServer("AdminAllowShutdown 1\n", "1.2.3.4");
    expectDone(runClient(client({"shutdown"})), "the server is shutting down\n");
    ASSERT_EQ(server->waitForExit(), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    const std::string ending =
        "ADMIN-JOIN: 'varnadmin', ID = 0 (127.0.0.1)\n"
        "ADMIN-KILLSERVER: First Attempt was received from 'varnadmin'.\n"
        "ADMIN-KILLSERVER: Second Attempt was received from 'varnadmin' .... Killing Server.\n"
        "ADMINSERVER: successfully shutdown the server.\n"
        "SERVER: A total of 0 bytes were received and 0 bytes were sent.\n"
        "SERVER: successfully shutdown the server.\n"
        "- VarnServer log closed -\n";
    ASSERT_GE(log.size(), ending.size());
    EXPECT_EQ(log.substr(log.size() - ending.size()), ending) << log;
    EXPECT_EQ(directory.read("banned.txt"), "1.2.3.4\n") << "the ban list is saved at the shut-down";
}

// Options before or after the command, a default name of its own for each run (a running watch
// blocks no other command), the header of the player list, and an unban hint that names the entry
// that bans the address.
TEST_F(AdminServerTest, ClientTakesOptionsAnywhereAndNamesEachRunApart) {
    startServer("", "10.0.0.0/8\n10.1.0.0\n192.168.0.0/16\n");
    const std::string passwordFile = (directory.path() / "admin.pw").string();
    const std::vector<std::string> general = {"--port", std::to_string(adminPort), "--password-file", passwordFile};

    // watch with its option after the command, and no --name.
    AdminClient watcher({"watch", "--duration", "20", "--port", std::to_string(adminPort), "--password-file",
                         passwordFile},
                        "");
    ASSERT_TRUE(watcher.waitForOutput(" (admin id 0)\n")) << watcher.err;
    EXPECT_EQ(watcher.out.find("as 'varnadmin'"), std::string::npos) << watcher.out;

    UdpClient alice("127.0.0.2");
    alice.sendTo(port, withText({1, 24}, "alice|"));
    ASSERT_TRUE(receiveStartingWith(alice, {1}).has_value());
    // Every option after the command, with "=" or apart; the default name differs from the watcher's.
    const ClientResult players =
        runClient({"players", "--port=" + std::to_string(adminPort), "--password-file", passwordFile, "--timeout", "2"});
    EXPECT_EQ(players.status, std::optional<int>(0)) << players.err;
    EXPECT_EQ(players.out, "  0      0  alice\n");
    EXPECT_EQ(players.err, " ID  SCORE  NAME\n");

    struct Case {
        const char* typed;
        std::string refusal;
    };
    const Case cases[] = {
        {"10.0.0.0", "no ban entry equals '10.0.0.0' (a range is removed only by its own text, such as 10.0.0.0/8)"},
        {"10.1.2.3",
         "no ban entry equals '10.1.2.3' (a range is removed only by its own text, such as 10.0.0.0/8 or "
         "10.1.0.0)"},
        {"172.16.0.1", "no ban entry equals '172.16.0.1', and no entry of the ban list covers it"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.typed);
        std::vector<std::string> arguments = {"unban", testCase.typed};
        arguments.insert(arguments.end(), general.begin(), general.end());
        expectRefused(runClient(arguments), testCase.refusal);
    }
    // "--" ends the options: the rest is the command's text.
    std::vector<std::string> say = general;
    say.insert(say.end(), {"say", "--", "--name", "is", "free"});
    expectDone(runClient(say), "said: --name is free\n");

    watcher.signal(SIGINT);
    EXPECT_EQ(watcher.finish(), std::optional<int>(0));
    const std::string log = stopServer();
    // Each run logged in under a name of its own: the user's name, and with a number only for the run
    // that found it taken (the watcher held it).
    const auto firstJoin = log.find("ADMIN-JOIN: '");
    ASSERT_NE(firstJoin, std::string::npos) << log;
    const auto secondJoin = log.find("ADMIN-JOIN: '", firstJoin + 1);
    ASSERT_NE(secondJoin, std::string::npos) << log;
    const auto nameOf = [&log](std::size_t join) {
        const std::size_t start = join + 13;
        return log.substr(start, log.find('\'', start) - start);
    };
    EXPECT_EQ(nameOf(firstJoin), userName());
    EXPECT_EQ(nameOf(secondJoin), userName() + "-2");
}

// A watch follows only the kinds of lines asked for; pings come once a second per player otherwise.
TEST_F(AdminServerTest, WatchPrintsOnlyTheKindsAskedFor) {
    startServer("", "");
    AdminClient everything(client({"watch"}, "all"), "");
    AdminClient only(client({"watch", "--only", "joins,bans"}, "only"), "");
    AdminClient quiet(client({"watch", "--no-pings"}, "quiet"), "");
    for (AdminClient* watcher : {&everything, &only, &quiet}) {
        ASSERT_TRUE(watcher->waitForOutput(")\n")) << watcher->err;
    }
    UdpClient alice("127.0.0.2");
    alice.sendTo(port, withText({1, 24}, "alice|"));
    ASSERT_TRUE(receiveStartingWith(alice, {1}).has_value());
    alice.sendTo(port, Bytes{5});  // her answer to the server's ping, which every admin is told
    ASSERT_TRUE(everything.waitForOutput("ping: 0 'alice'")) << everything.out;
    expectDone(runClient(client({"kick", "0"})), "kicked player 0 'alice'\n");
    UdpClient bob("127.0.0.3");
    bob.sendTo(port, withText({1, 24}, "bob|"));
    ASSERT_TRUE(receiveStartingWith(bob, {1}).has_value());
    expectDone(runClient(client({"ban", "0"})), "banned player 0 'bob'\n");
    for (AdminClient* watcher : {&everything, &only, &quiet}) {
        ASSERT_TRUE(watcher->waitForOutput("leave: 0 'bob' (banned by an admin)\n")) << watcher->out;
        watcher->signal(SIGINT);
        EXPECT_EQ(watcher->finish(), std::optional<int>(0));
    }
    EXPECT_EQ(only.out.substr(only.out.find('\n') + 1),
              "join: 0 'alice' from 127.0.0.2\njoin: 0 'bob' from 127.0.0.3\nleave: 0 'bob' (banned by an admin)\n");
    EXPECT_EQ(quiet.out.find("ping:"), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.out.find("leave: 0 'alice' (kicked by an admin)\n"), std::string::npos) << quiet.out;
    const ClientResult wrong = runClient(client({"watch", "--only", "joins,weather"}));
    EXPECT_EQ(wrong.status, std::optional<int>(2));
    EXPECT_NE(wrong.err.find("bad value for --only: 'joins,weather'"), std::string::npos) << wrong.err;
}

// Servers named in the profile file: -s NAME, several at once, and status from the status query where
// the server answers one, else from the admin port.
TEST_F(AdminServerTest, ProfilesNameServersAndStatusShowsEach) {
    startServer("ASE 1\nASEMasterServers 127.77.0.1\n", "");
    UdpClient alice("127.0.0.2");
    alice.sendTo(port, withText({1, 24}, "alice|"));
    ASSERT_TRUE(receiveStartingWith(alice, {1}).has_value());
    const std::string passwordFile = (directory.path() / "admin.pw").string();
    const std::uint16_t silentPort = freeUdpPort();
    std::filesystem::create_directories(directory.path() / "config" / "varnadmin");
    directory.write("config/varnadmin/servers.conf",
                    "# two names for one server: one with its query port, one where nothing answers\n"
                    "[deathmatch]\nhost = 127.0.0.1\nadmin-port = " + std::to_string(adminPort) +
                        "\ngame-port = " + std::to_string(port) + "\npassword-file = " + passwordFile +
                        "\nname = opsdesk\n\n[quiet]\nadmin-port = " + std::to_string(adminPort) +
                        "\nquery-port = " + std::to_string(silentPort) + "\npassword-file = " + passwordFile + "\n");
    ::setenv("XDG_CONFIG_HOME", (directory.path() / "config").c_str(), 1);
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out;
        std::string errPart;
    };
    const Case cases[] = {
        {{"-s", "all", "status"},
         0,
         "deathmatch     E2E Server                 0.3      1/8\nquiet          ?                          ?        1/?\n",
         "quiet: no answer to the status query on port " + std::to_string(silentPort) + "; asking the admin port"},
        {{"players", "-s", "deathmatch"}, 0, "  0      0  alice\n", " ID  SCORE  NAME\n"},
        {{"-s", "deathmatch,quiet", "say", "hi"}, 0, "== deathmatch\nsaid: hi\n== quiet\nsaid: hi\n", ""},
        {{"--server=nosuch", "players"}, 2, "", "no server 'nosuch' in "},
        {{"-s", "all", "watch"}, 2, "", "watch follows one server at a time"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.arguments[1]);
        const ClientResult result = runClient(testCase.arguments);
        EXPECT_EQ(result.status, std::optional<int>(testCase.status)) << result.err;
        EXPECT_EQ(result.out, testCase.out);
        EXPECT_NE(result.err.find(testCase.errPart), std::string::npos) << result.err;
    }
    directory.write("config/varnadmin/servers.conf", "[deathmatch]\nadmin-prot = 4003\n");
    const ClientResult mistake = runClient({"-s", "deathmatch", "players"});
    EXPECT_EQ(mistake.status, std::optional<int>(2));
    EXPECT_NE(mistake.err.find("servers.conf: line 2: 'admin-prot' is not host"), std::string::npos) << mistake.err;
    ::unsetenv("XDG_CONFIG_HOME");
    const std::string log = stopServer();
    EXPECT_NE(log.find("ADMIN-JOIN: 'opsdesk'"), std::string::npos) << log;
}

#if defined(VARN_WITH_SCRIPTS)
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// varnadmin's scripts reload with shipped examples: done and logged with the files; once a file no
// longer compiles, not done, and the running scripts go on serving players.
TEST_F(AdminServerTest, ScriptsReloadFromTheClientKeepsTheRunningScriptsWhenAFileFails) {
    const std::string examples = std::string(VARN_SOURCE_DIR) + "/examples/scripts/";
    directory.write("welcome.lua", fileText(examples + "welcome.lua"));
    directory.write("top.lua", fileText(examples + "top.lua"));
    startServer("ScriptFiles welcome.lua top.lua\nScriptDataFolder .\n", std::nullopt);

    expectDone(runClient(client({"scripts", "reload"})), "scripts reloaded\n");
    EXPECT_TRUE(server->waitForOutput("SERVER: Reloaded scripts: welcome.lua, top.lua.\n"));
    directory.write("top.lua", "varn.command('top', function(\n");
    expectRefused(runClient(client({"scripts", "reload"})),
                  "a script could not be loaded; the running scripts stay (see the server's log)");

    UdpClient alice;
    alice.sendTo(port, joinDatagram("alice"));
    const auto welcome = receiveMatching(alice, [](const Bytes& packet) {
        const std::string wanted = "Welcome to E2E Server, alice! Type /help for commands.";
        return packet.size() == wanted.size() + 4 && packet[0] == 3 &&
               std::string(packet.begin() + 3, packet.end() - 1) == wanted;
    });
    EXPECT_TRUE(welcome) << "the welcome script still runs";
    const std::string log = stopServer();
    const auto reloaded = log.find("SERVER: Reloaded scripts: ");
    ASSERT_NE(reloaded, std::string::npos) << log;
    EXPECT_EQ(log.find("SERVER: Reloaded scripts: ", reloaded + 1), std::string::npos) << log;
    EXPECT_NE(log.find("SERVER-WARNING: Scripts not reloaded, the running ones stay: top.lua:2: "), std::string::npos)
        << log;
}
#endif

}  // namespace
}  // namespace varn::e2e
