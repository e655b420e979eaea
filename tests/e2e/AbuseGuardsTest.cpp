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
