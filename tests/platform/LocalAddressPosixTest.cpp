#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>

#include "platform/DatagramSocket.h"

namespace varn::platform {
namespace {

std::uint32_t loopback(std::uint32_t last) { return htonl(0x7F000000u | last); }

// A socket bound to all addresses answers from the address it was asked on when it sets the source;
// otherwise the system picks its own (on loopback 127.0.0.1), which a server that answers only its
// master's network would ignore.
TEST(LocalAddressPosixTest, ABatchTellsWhereEachDatagramWentAndSendsFromThere) {
    auto master = createUdpSocket();
    ASSERT_TRUE(master->create());
    ASSERT_TRUE(master->bind(0, 0));
    if (!master->reportLocalAddresses()) GTEST_SKIP() << "the system does not report local addresses";

    const int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = loopback(5);
    ASSERT_EQ(::bind(client, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
    socklen_t ownLength = sizeof own;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&own), &ownLength);

    for (const std::uint32_t asked : {loopback(3), loopback(77)}) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = asked;
        to.sin_port = master->localPort();
        ASSERT_EQ(::sendto(client, "hb", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 2);
        ASSERT_TRUE(master->waitReadable(2'000'000));
        std::array<std::uint8_t, 16> buffer{};
        std::array<ReceiveSlot, 2> slots{};
        slots[0] = {buffer.data(), buffer.size(), {}};
        slots[1] = {buffer.data(), buffer.size(), {}};
        ASSERT_GE(master->receiveBatch(slots), 1u);
        ASSERT_EQ(slots[0].result.status, ReceiveStatus::datagram);
        EXPECT_EQ(slots[0].result.localAddress, asked);
        EXPECT_EQ(slots[0].result.address, loopback(5));

        for (const bool setSource : {true, false}) {
            const std::uint8_t answer[] = {'v', 1};
            std::array<SendSlot, 1> send{};
            send[0] = {own.sin_addr.s_addr, own.sin_port, answer, sizeof answer, -1,
                       setSource ? slots[0].result.localAddress : 0u};
            master->sendBatch(send);
            EXPECT_EQ(send[0].sent, 2);
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            char got[8];
            ASSERT_EQ(::recvfrom(client, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &fromLength), 2);
            if (setSource) {
                EXPECT_EQ(from.sin_addr.s_addr, asked);
            } else {
                EXPECT_EQ(from.sin_addr.s_addr, loopback(1)) << "the system's own pick";
            }
        }
    }
    ::close(client);
}

}  // namespace
}  // namespace varn::platform
