#include <gtest/gtest.h>

#include <system_error>

#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "net/UdpEndpoint.h"
#include "platform/DatagramSocket.h"
#include "support/FakeNetwork.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

using testing::FakeNetwork;
using testing::LogCapture;

const PeerAddress kPeer = PeerAddress::fromHostOrder(0x7F000002, 5000);

struct SendLimitCase {
    const char* name;
    const char* configuration;
    int datagrams;              // 400-byte datagrams sent in one period
    int expectedSent;           // how many of them go out
    bool expectedOpenAfter;
    std::vector<std::string> expectedLog;
};

TEST(UdpEndpointTest, SendLimitDropsAndShutsAsConfigured) {
    const std::string warning = "SERVER-WARNING: 400 bytes dropped due to exceeding limit.";
    const std::string fatal =
        "SERVER-ERROR: Maximum allowed send limit (sent/dropped) per reset hit.  Server will shut down.";
    const SendLimitCase cases[] = {
        {"limit off", "ServerSendLimit 1000\n", 10, 10, true, {}},
        {"enabled without limit", "ServerSendLimitEnabled 1\n", 10, 10, true, {}},
        {"limit zero is off", "ServerSendLimitEnabled 1\nServerSendLimit 0\n", 10, 10, true, {}},
        // 0, 400, 800 are below 1000, so the third datagram still goes and crosses the limit.
        {"limit 1000, silent", "ServerSendLimitEnabled 1\nServerSendLimit 1000\nServerSendLimitMaxAllowed 0\n", 6,
         3, true, {}},
        {"limit 1000, logged, shut above 1500",
         "ServerSendLimitEnabled 1\nServerSendLimit 1000\nServerSendLimitMaxAllowed 1500\n"
         "ServerSendLimitLogDropped 1\n",
         5, 3, false, {warning, fatal}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ConfigFile config;
        config.loadText(testCase.configuration);
        FakeNetwork network;
        UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
        ASSERT_TRUE(endpoint.open(4000, nullptr));
        LogCapture log;
        const std::vector<std::uint8_t> datagram(400, 0xAB);
        int sent = 0;
        for (int i = 0; i < testCase.datagrams; ++i) {
            if (endpoint.send(kPeer, datagram.data(), datagram.size()) > 0) ++sent;
        }
        EXPECT_EQ(sent, testCase.expectedSent);
        EXPECT_EQ(static_cast<int>(network.sent.size()), testCase.expectedSent);
        EXPECT_EQ(endpoint.isOpen, testCase.expectedOpenAfter);
        EXPECT_EQ(log.lines(), testCase.expectedLog);
        EXPECT_EQ(endpoint.bytesSent, static_cast<std::uint64_t>(testCase.expectedSent) * 400u);
    }
}

TEST(UdpEndpointTest, NewPeriodResumesSending) {
    ConfigFile config;
    config.loadText("ServerSendLimitEnabled 1\nServerSendLimit 100\nServerSendLimitMaxAllowed 0\n");
    FakeNetwork network;
    UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
    ASSERT_TRUE(endpoint.open(4000, nullptr));
    const std::uint8_t datagram[100] = {};
    EXPECT_EQ(endpoint.send(kPeer, datagram, sizeof datagram), 100);
    EXPECT_EQ(endpoint.send(kPeer, datagram, sizeof datagram), 0);
    endpoint.resetSendPeriod();
    EXPECT_EQ(endpoint.send(kPeer, datagram, sizeof datagram), 100);
}

TEST(UdpEndpointTest, OpenRefusalsAndTheirMessages) {
    struct Case {
        const char* name;
        std::int32_t port;
        const char* address;
        bool failLibraryStart;
        bool failCreate;
        const char* expectedLog;
    };
    const Case cases[] = {
        {"port zero", 0, nullptr, false, false, ""},
        {"negative port", -4, nullptr, false, false, ""},
        {"port above 65535", 65536 + 4000, nullptr, false, false, "ERROR: Unable to bind to the socket.\n"},
        {"octet above 255", 4000, "127.0.0.256", false, false, "ERROR: Unable to bind to the socket.\n"},
        {"not an address", 4000, "localhost", false, false, "ERROR: Unable to bind to the socket.\n"},
        {"no socket library", 4000, nullptr, true, false, "ERROR: Unable to complete WSAStartup ().\n"},
        {"no socket", 4000, nullptr, false, true, "ERROR: Unable to get an open socket.\n"},
    };
    ConfigFile config;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeNetwork network;
        network.failLibraryStart = testCase.failLibraryStart;
        network.failCreate = testCase.failCreate;
        UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
        LogCapture log;
        EXPECT_FALSE(endpoint.open(testCase.port, testCase.address));
        EXPECT_FALSE(endpoint.isOpen);
        EXPECT_EQ(log.text(), testCase.expectedLog);
    }
}

// The console keeps its one line; standard error says where and why, as the address was written.
TEST(UdpEndpointTest, BindFailuresNameTheAddressThePortAndTheReasonOnStandardError) {
    struct Case {
        const char* name;
        std::int32_t port;
        const char* address;
        bool bindFails;
        std::error_code bindError;
        std::string expectedDiagnostic;
    };
    // The reason is the error's own text, which differs between the platforms' libraries.
    const std::error_code inUse = std::make_error_code(std::errc::address_in_use);
    const std::error_code notLocal = std::make_error_code(std::errc::address_not_available);
    const Case cases[] = {
        {"port taken", 4000, nullptr, true, inUse, "varnserver: 0.0.0.0:4000: " + inUse.message() + "\n"},
        {"address not local", 4000, "10.9.8.7", true, notLocal,
         "varnserver: 10.9.8.7:4000: " + notLocal.message() + "\n"},
        {"no reason given", 4000, "127.0.0.1", true, {}, "varnserver: 127.0.0.1:4000: reason unknown\n"},
        {"port above 65535", 70000, nullptr, false, {}, "varnserver: 0.0.0.0:70000: the port is above 65535\n"},
        {"not an address", 4000, "localhost", false, {}, "varnserver: localhost:4000: not an IPv4 address\n"},
        {"bound", 4000, "127.0.0.1", false, {}, ""},
    };
    ConfigFile config;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeNetwork network;
        network.failBind = testCase.bindFails;
        network.bindError = testCase.bindError;
        UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
        LogCapture log;
        testing::DiagnosticCapture diagnostics;
        const bool opened = endpoint.open(testCase.port, testCase.address);
        EXPECT_EQ(opened, testCase.expectedDiagnostic.empty());
        EXPECT_EQ(log.text(), opened ? "" : "ERROR: Unable to bind to the socket.\n");
        EXPECT_EQ(diagnostics.text(), testCase.expectedDiagnostic);
    }
}

TEST(UdpEndpointTest, ReopenRestartsTotalsAndClosedEndpointDoesNothing) {
    ConfigFile config;
    FakeNetwork network;
    UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
    ASSERT_TRUE(endpoint.open(4000, "127.0.0.1"));
    EXPECT_EQ(endpoint.bindAddress.ipText().view(), "127.0.0.1");
    network.inbound.push_back({0, kPeer, {1, 2, 3}});
    std::uint8_t buffer[16];
    PeerAddress from;
    ASSERT_TRUE(endpoint.isReadable(1));
    EXPECT_EQ(endpoint.receive(from, buffer, sizeof buffer), 3);
    EXPECT_EQ(from, kPeer);
    EXPECT_EQ(endpoint.send(kPeer, buffer, 3), 3);
    EXPECT_EQ(endpoint.bytesReceived, 3u);
    EXPECT_EQ(endpoint.bytesSent, 3u);

    endpoint.close();
    EXPECT_EQ(endpoint.bytesReceived, 3u) << "totals survive a close for the shut-down report";
    EXPECT_FALSE(endpoint.isReadable(0));
    EXPECT_EQ(endpoint.receive(from, buffer, sizeof buffer), 0);
    EXPECT_EQ(endpoint.send(kPeer, buffer, 3), -1);

    ASSERT_TRUE(endpoint.open(4001, nullptr));
    EXPECT_EQ(endpoint.bytesReceived, 0u);
    EXPECT_EQ(endpoint.bytesSent, 0u);
    EXPECT_EQ(endpoint.port, 4001);
}

// The real socket layer: an oversized datagram is refused, not cut, and does not block the next one.
TEST(UdpEndpointTest, LoopbackRefusesOversizedDatagramAndReceivesTheNext) {
    ConfigFile config;
    UdpEndpoint endpoint(readServerSettings(config).sendLimit, platform::createUdpSocket);
    std::int32_t port = 0;
    for (std::int32_t candidate = 47000; candidate < 47100 && port == 0; ++candidate) {
        LogCapture quiet;
        if (endpoint.open(candidate, "127.0.0.1")) port = candidate;
    }
    ASSERT_NE(port, 0);

    const auto client = platform::createUdpSocket();
    ASSERT_TRUE(client->create());
    const PeerAddress to = PeerAddress::fromHostOrder(0x7F000001, static_cast<std::uint16_t>(port));
    const std::vector<std::uint8_t> big(1500, 7), small = {9, 8, 7};
    client->sendTo(to.address, to.port, big.data(), big.size());
    client->sendTo(to.address, to.port, small.data(), small.size());

    std::uint8_t buffer[1024];
    PeerAddress from;
    ASSERT_TRUE(endpoint.isReadable(2'000'000));
    EXPECT_EQ(endpoint.receive(from, buffer, sizeof buffer), -1);
    ASSERT_TRUE(endpoint.isReadable(2'000'000));
    EXPECT_EQ(endpoint.receive(from, buffer, sizeof buffer), 3);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(endpoint.bytesReceived, 3u);
}

}  // namespace
}  // namespace varn
