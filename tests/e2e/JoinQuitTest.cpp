#include <gtest/gtest.h>

#include <signal.h>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes welcomeHeader(std::uint8_t id) {
    return {1, 2, 1, id, 8, 0x21, 0x0E, 0x0C, 0x49, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11};
}

TEST(JoinQuitTest, PlayersJoinSeeEachOtherAndLeave) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf",
                    baseConfiguration(port) + "MOTDEnabled 1\nServerPasswordEnabled 1\nServerPassword pw\n");
    directory.write("motd.txt", "Welcome\n");
    directory.write("banned.txt", "127.0.0.9\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    UdpClient alice("127.0.0.2"), bob("127.0.0.3"), banned("127.0.0.9"), wrong("127.0.0.4");
    const Bytes motd = {21, 'W', 'e', 'l', 'c', 'o', 'm', 'e', 0};

    alice.sendTo(port, joinDatagram("alice", "pw"));
    EXPECT_EQ(alice.receive(), std::optional<Bytes>(welcomeHeader(0)));
    EXPECT_EQ(alice.receive(), std::optional<Bytes>(motd));

    bob.sendTo(port, joinDatagram("bob", "pw"));
    Bytes bobWelcome = welcomeHeader(1);
    for (int byte : {0, 0, 0, int{'a'}, int{'l'}, int{'i'}, int{'c'}, int{'e'}, 7}) {
        bobWelcome.push_back(static_cast<std::uint8_t>(byte));
    }
    EXPECT_EQ(bob.receive(), std::optional<Bytes>(bobWelcome));
    EXPECT_EQ(bob.receive(), std::optional<Bytes>(motd));
    EXPECT_EQ(alice.receive(), std::optional<Bytes>(Bytes{8, 1, 'b', 'o', 'b'}));

    banned.sendTo(port, joinDatagram("eve", "pw"));
    EXPECT_EQ(banned.receive(), std::optional<Bytes>(Bytes{6, 1}));
    wrong.sendTo(port, joinDatagram("mallory", "PW"));
    EXPECT_EQ(wrong.receive(), std::optional<Bytes>(Bytes{6, 4}));
    bob.sendTo(port, joinDatagram("bob2", "pw"));
    EXPECT_EQ(bob.receive(), std::optional<Bytes>(Bytes{6, 2}));

    alice.sendTo(port, {2});
    EXPECT_EQ(bob.receive(), std::optional<Bytes>(Bytes{9, 0, 0}));
    EXPECT_FALSE(alice.receive(200ms).has_value()) << "nothing goes to the leaving player";

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    EXPECT_NE(log.find("JOIN: 'alice', PlayerID = 0 (127.0.0.2)\n"
                       "JOIN: 'bob', PlayerID = 1 (127.0.0.3)\n"
                       "ERROR: Unable to add 'mallory' from '127.0.0.4,' password is incorrect.\n"
                       "QUIT: 'alice', PlayerID = 0\n"),
              std::string::npos)
        << log;
}

}  // namespace
}  // namespace varn::e2e
