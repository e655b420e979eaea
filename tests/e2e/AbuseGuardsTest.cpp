#include <gtest/gtest.h>

#include <signal.h>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

int countReplies(UdpClient& client, std::chrono::milliseconds quiet) {
    int replies = 0;
    while (client.receive(quiet)) ++replies;
    return replies;
}

TEST(AbuseGuardsTest, QueryFloodGuardLimitsStatusRepliesPerAddress) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "ASE 1\nQueryFloodGuard 1\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: ASE registration is enabled"));
    const auto queryPort = static_cast<std::uint16_t>(port + 123);

    // The query socket is bound just after the line: wait until it answers a game-name query.
    UdpClient flooder("127.0.0.2"), other("127.0.0.3");
    bool answering = false;
    for (int attempt = 0; attempt < 50 && !answering; ++attempt) {
        other.sendTo(queryPort, {'g'});
        answering = other.receive(100ms).has_value();
    }
    ASSERT_TRUE(answering);

    const auto start = std::chrono::steady_clock::now();
    for (int query = 0; query < 100; ++query) flooder.sendTo(queryPort, {'s'});
    ASSERT_LT(std::chrono::steady_clock::now() - start, 1s);
    const int replies = countReplies(flooder, 500ms);
    EXPECT_GE(replies, 8);
    EXPECT_LE(replies, 11);

    other.sendTo(queryPort, {'s'});
    const auto answer = other.receive();
    ASSERT_TRUE(answer.has_value()) << "another address is still answered";
    EXPECT_EQ((*answer)[0], 'E');

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace varn::e2e

namespace varn::e2e {
namespace {

Bytes adminLogin(std::string_view password) {
    const std::string text = std::string("\x0D\x19") + "boss|" + std::string(password);
    Bytes datagram(text.begin(), text.end());
    datagram.push_back(0);
    return datagram;
}

TEST(AbuseGuardsTest, PasswordLockoutSilencesAGuesserForAMinute) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const std::uint16_t adminPort = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "AdminServer 1\nAdminPort " +
                                           std::to_string(adminPort) + "\nAdminPassword right\nPasswordLockout 1\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("ADMINSERVER: successfully started"));

    UdpClient guesser("127.0.0.2");
    for (int attempt = 0; attempt < 5; ++attempt) {
        guesser.sendTo(adminPort, adminLogin("wrong"));
        EXPECT_EQ(guesser.receive(), std::optional<Bytes>(Bytes{6, 4}));
    }
    guesser.sendTo(adminPort, adminLogin("wrong"));
    EXPECT_FALSE(guesser.receive(500ms).has_value()) << "the sixth attempt gets no answer";
    guesser.sendTo(adminPort, adminLogin("right"));
    EXPECT_FALSE(guesser.receive(500ms).has_value()) << "not even with the right password";
    // That the lock-out ends after a minute, and the right password works then, is shown on the
    // server's manual clock: AdminLockoutTest.ALockedOutGuesserIsWelcomedAgainAfterAMinute.

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    const std::string line = "SERVER-WARNING: 127.0.0.2 locked out for 60 seconds after 5 wrong passwords.\n";
    const auto first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << "logged once";
}

}  // namespace
}  // namespace varn::e2e
