#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

void appendFloat(Bytes& bytes, float value) {
    std::uint8_t raw[4];
    std::memcpy(raw, &value, sizeof raw);
    bytes.insert(bytes.end(), raw, raw + 4);
}

// On foot at (x, 0, 0): [10][0][foot word][1][x y z][2][tag 2][3][tag 3].
Bytes footSync(float x, std::uint8_t tag2) {
    Bytes sync = {10, 0, 0x11, 0x22, 0x33, 0x44, 1};
    appendFloat(sync, x);
    appendFloat(sync, 0.0f);
    appendFloat(sync, 0.0f);
    sync.push_back(2);
    sync.push_back(tag2);
    sync.push_back(3);
    sync.push_back(9);
    return sync;
}

// The next datagram that is a sync relay, skipping pings and notices.
std::optional<Bytes> nextSync(UdpClient& client) {
    for (int i = 0; i < 10; ++i) {
        auto datagram = client.receive(2s);
        if (!datagram) return std::nullopt;
        if (!datagram->empty() && (*datagram)[0] == 10) return datagram;
    }
    return std::nullopt;
}

TEST(SyncRelayTest, NearPlayerGetsTheFullReportAndFarPlayerTheReducedOne) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    UdpClient sender("127.0.0.2"), near("127.0.0.3"), far("127.0.0.4");
    for (auto* client : {&sender, &near, &far}) {
        client->sendTo(port, joinDatagram(client == &sender ? "sender" : client == &near ? "near" : "far"));
        ASSERT_TRUE(client->receive().has_value());
    }
    near.sendTo(port, footSync(100.0f, 1));
    far.sendTo(port, footSync(500.0f, 1));
    // Drain what those two reports caused before the one under test.
    while (sender.receive(300ms)) {
    }
    while (near.receive(100ms)) {
    }
    while (far.receive(100ms)) {
    }

    Bytes report = footSync(0.0f, 7);
    for (int byte : {8, 0xAA, 0xBB, 0xCC, 0xDD}) report.push_back(static_cast<std::uint8_t>(byte));
    sender.sendTo(port, report);
    Bytes full = {10, 0};
    full.insert(full.end(), report.begin() + 1, report.end());
    EXPECT_EQ(nextSync(near), std::optional<Bytes>(full));
    const auto reduced = nextSync(far);
    ASSERT_TRUE(reduced.has_value());
    // The reduced form carries the stored state only: the tag 8 value stays behind.
    EXPECT_EQ(*reduced, Bytes(full.begin(), full.begin() + 24));
    // Pings may arrive meanwhile; what must not is the sender's own report.
    for (auto datagram = sender.receive(300ms); datagram; datagram = sender.receive(300ms)) {
        EXPECT_NE((*datagram)[0], 10) << "no echo without Testmode";
    }

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace varn::e2e
