#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "config/ServerSettings.h"
#include "net/UdpEndpoint.h"
#include "platform/DatagramSocket.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

// Whether nobody in the process holds Windows Sockets any more. A WSACleanup that succeeds gave
// up somebody's use, so the answer is only meaningful when every socket is gone.
bool winsockReleased() { return ::WSACleanup() == SOCKET_ERROR && ::WSAGetLastError() == WSANOTINITIALISED; }

std::uint16_t hostPort(std::uint16_t networkPort) { return PeerAddress{0, networkPort}.hostPort(); }

// The endpoint starts Windows Sockets in open and holds it through its socket: a pair of start and
// clean-up calls elsewhere in the process must not close its socket.
TEST(WinsockTest, OpenEndpointHoldsWindowsSocketsOfItsOwn) {
    {
        UdpEndpoint endpoint(SendLimitSettings{}, platform::createUdpSocket);
        testing::LogCapture log;
        auto probe = platform::createUdpSocket();
        ASSERT_TRUE(probe->create());
        ASSERT_TRUE(probe->bind(PeerAddress::fromHostOrder(kLoopback, 0).address, 0));
        const std::uint16_t port = hostPort(probe->localPort());
        probe.reset();
        ASSERT_TRUE(endpoint.open(port, "127.0.0.1")) << log.text();

        WSADATA data{};
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
        ASSERT_EQ(::WSACleanup(), 0);

        auto client = platform::createUdpSocket();
        ASSERT_TRUE(client->create());
        const std::uint8_t datagram[] = {4, 5, 6};
        const PeerAddress to = PeerAddress::fromHostOrder(kLoopback, port);
        ASSERT_EQ(client->sendTo(to.address, to.port, datagram, sizeof datagram), 3);
        std::uint8_t buffer[16];
        PeerAddress from;
        ASSERT_TRUE(endpoint.isReadable(2'000'000));
        EXPECT_EQ(endpoint.receive(from, buffer, sizeof buffer), 3);
    }
    EXPECT_TRUE(winsockReleased()) << "the endpoint gives Windows Sockets up when it is destroyed";
}

TEST(WinsockTest, FailedOpenReleasesWindowsSockets) {
    auto holder = platform::createUdpSocket();
    ASSERT_TRUE(holder->create());
    ASSERT_TRUE(holder->bind(PeerAddress::fromHostOrder(kLoopback, 0).address, 0));
    {
        UdpEndpoint endpoint(SendLimitSettings{}, platform::createUdpSocket);
        testing::LogCapture log;
        EXPECT_FALSE(endpoint.open(hostPort(holder->localPort()), "127.0.0.1"));
        EXPECT_EQ(log.text(), "ERROR: Unable to bind to the socket.\n");
        holder.reset();
        EXPECT_TRUE(winsockReleased()) << "nothing is held after the failed open";
    }
}

// Name look-ups work before any socket exists: they start Windows Sockets for themselves.
TEST(WinsockTest, LookupStartsWindowsSocketsForItself) {
    EXPECT_EQ(platform::lookupHostAddress("127.0.0.1"), PeerAddress::fromHostOrder(kLoopback, 0).address);
    EXPECT_TRUE(winsockReleased());
}

}  // namespace
}  // namespace varn
