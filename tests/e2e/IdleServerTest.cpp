#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <string>
#include <thread>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// How often the process has gone to sleep in the kernel and been woken since it started.
long voluntarySwitches(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        const std::string key = "voluntary_ctxt_switches:";
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

// A server nobody uses sleeps: in three seconds it does not wake once, where a pass a second would
// wake it three times. A player that comes is pinged every second from the next whole second on;
// once it has gone and its last send period is over, the server sleeps again.
TEST(IdleServerTest, AServerNobodyUsesSleepsAndWakesForAPlayer) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    const auto sleepsOver = [&server](std::chrono::milliseconds span) {
        const long before = voluntarySwitches(server.pid());
        std::this_thread::sleep_for(span);
        return voluntarySwitches(server.pid()) - before;
    };
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(sleepsOver(3s), 1) << "an unused server wakes for nothing";

    UdpClient player("127.0.0.2");
    player.sendTo(port, joinDatagram("sleeper"));
    ASSERT_TRUE(player.receive().has_value());
    std::vector<SteadyClock::time_point> pings;
    for (const auto deadline = SteadyClock::now() + 5s; SteadyClock::now() < deadline && pings.size() < 3;) {
        const auto datagram = player.receive(200ms);
        if (!datagram || datagram->empty() || (*datagram)[0] != 4) continue;
        pings.push_back(SteadyClock::now());
        player.sendTo(port, {5});
    }
    ASSERT_EQ(pings.size(), 3u) << "pings every second once a player is there";
    for (std::size_t at = 1; at < pings.size(); ++at) {
        EXPECT_GE(pings[at] - pings[at - 1], 500ms);
        EXPECT_LE(pings[at] - pings[at - 1], 1500ms);
    }

    player.sendTo(port, {2});
    // The leave is sent in the current send period; the period after it starts the rest.
    std::this_thread::sleep_for(2500ms);
    EXPECT_LE(sleepsOver(3s), 1) << "asleep again once the player has gone";

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    EXPECT_NE(log.find("QUIT: 'sleeper'"), std::string::npos) << log;
}

}  // namespace
}  // namespace varn::e2e
