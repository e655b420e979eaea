#include <gtest/gtest.h>

#include <signal.h>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// A silent player goes after 16 to 17 seconds and the others hear of it; one that answers stays.
TEST(PolicingE2ETest, SilentPlayerTimesOutWhileAnAnsweringOneStays) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    UdpClient lively("127.0.0.2"), silent("127.0.0.3");
    lively.sendTo(port, joinDatagram("lively"));
    ASSERT_TRUE(lively.receive().has_value());
    silent.sendTo(port, joinDatagram("silent"));
    ASSERT_TRUE(silent.receive().has_value());
    const auto silentSince = SteadyClock::now();

    std::optional<double> removedAfter;
    const auto deadline = silentSince + 25s;
    while (SteadyClock::now() < deadline && !removedAfter) {
        const auto datagram = lively.receive(200ms);
        if (!datagram || datagram->empty()) continue;
        if ((*datagram)[0] == 4) lively.sendTo(port, {5});  // answer the server's ping
        if (*datagram == Bytes{9, 2, 1}) {
            removedAfter = std::chrono::duration<double>(SteadyClock::now() - silentSince).count();
        }
    }
    ASSERT_TRUE(removedAfter.has_value()) << "no time-out notice within 25 seconds";
    EXPECT_GE(*removedAfter, 15.5);
    EXPECT_LE(*removedAfter, 18.0);

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    EXPECT_NE(log.find("QUIT: 'silent', PlayerID = 1 ... quit due to timeout."), std::string::npos) << log;
    EXPECT_EQ(log.find("QUIT: 'lively'"), std::string::npos) << "the answering player stays";
}

}  // namespace
}  // namespace varn::e2e
