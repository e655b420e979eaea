#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "access/BanDetails.h"
#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

std::int64_t calendarNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The first datagram whose first byte is one of the answers to a join: the welcome or a refusal.
std::optional<Bytes> joinAnswer(UdpClient& client) {
    for (int datagrams = 0; datagrams < 20; ++datagrams) {
        const auto datagram = client.receive(3s);
        if (!datagram) return std::nullopt;
        if (!datagram->empty() && ((*datagram)[0] == 1 || (*datagram)[0] == 6)) return datagram;
    }
    return std::nullopt;
}

// A ban that runs out lets its address in again and leaves the file at the shut-down's save; a join
// flood with JoinFloodBanMinutes is banned with its time limit; a CIDR range keeps its addresses out.
TEST(BansE2ETest, TimedBansRunOutAndJoinFloodBansCarryTheirLimit) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const std::int64_t started = calendarNow();
    directory.write("banned.txt", "127.0.0.5 # until=" + utcDateText(started + 6) + " by=Ops at=" +
                                      utcDateText(started) + " reason=cool down\n127.0.9.0/24\n");
    directory.write("varnserver.conf", baseConfiguration(port) + "JoinFloodBanMinutes 90\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    UdpClient waiting("127.0.0.5");
    waiting.sendTo(port, joinDatagram("waiting"));
    EXPECT_EQ(joinAnswer(waiting), std::optional<Bytes>(Bytes{6, 1})) << "banned until its date";
    UdpClient inRange("127.0.9.200");
    inRange.sendTo(port, joinDatagram("ranged"));
    EXPECT_EQ(joinAnswer(inRange), std::optional<Bytes>(Bytes{6, 1}));

    UdpClient first("127.0.0.4"), second("127.0.0.4"), third("127.0.0.4");
    first.sendTo(port, joinDatagram("flood"));
    ASSERT_EQ(joinAnswer(first).value_or(Bytes{0}).at(0), 1);
    for (UdpClient* again : {&second, &third}) {
        again->sendTo(port, joinDatagram("flood"));
        EXPECT_EQ(joinAnswer(*again), std::optional<Bytes>(Bytes{6}));
    }
    ASSERT_TRUE(server.waitForOutput("BANNED: '127.0.0.4' for Join Flood.\n", 15s));
    ASSERT_TRUE(server.waitForOutput("SERVER: Ban on 127.0.0.5 expired.\n", 15s));

    UdpClient back("127.0.0.5");
    back.sendTo(port, joinDatagram("back"));
    EXPECT_EQ(joinAnswer(back).value_or(Bytes{0}).at(0), 1) << "let in after the ban ran out";
    UdpClient fourth("127.0.0.4");
    fourth.sendTo(port, joinDatagram("flood"));
    EXPECT_EQ(joinAnswer(fourth), std::optional<Bytes>(Bytes{6, 1}));

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    const std::string saved = directory.read("banned.txt");
    const std::string head = "127.0.9.0/24\n127.0.0.4 # until=";
    ASSERT_EQ(saved.substr(0, head.size()), head) << saved;
    std::string floodLine = saved.substr(saved.find('\n') + 1);
    floodLine.pop_back();  // its line end
    const BanLine line = readBanLine(floodLine);
    EXPECT_EQ(line.entry, "127.0.0.4");
    EXPECT_EQ(line.unreadableDetails, 0u);
    EXPECT_EQ(line.details.by, "join-flood");
    ASSERT_TRUE(line.details.until && line.details.at);
    EXPECT_EQ(*line.details.until - *line.details.at, 90 * 60);
    EXPECT_GE(*line.details.at, started);
    EXPECT_EQ(saved.back(), '\n');
    EXPECT_EQ(saved.find('\n'), head.find('\n')) << "two lines: the expired one is gone";
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 2);
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The ban file is the operator's word. A file deleted under the running server (a SIGHUP finds it
// missing and keeps the list) and written anew with one more entry is taken as written by the next
// SIGHUP, even right after a save of the server's own (here an expiry), when the list still waits
// to be written.
TEST(BansE2ETest, AFileWrittenAnewAfterItWentMissingIsTakenByTheNextHangUp) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("banned.txt", "127.0.0.7 # until=" + utcDateText(calendarNow() + 3) + "\n10.0.0.1\n");
    directory.write("varnserver.conf", baseConfiguration(port));
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
    // The expiry is saved at once; a save within the last second makes the next one wait.
    ASSERT_TRUE(server.waitForOutput("SERVER: Ban on 127.0.0.7 expired.\n", 10s));
    for (int wait = 0; wait < 100 && directory.read("banned.txt") != "10.0.0.1\n"; ++wait) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(directory.read("banned.txt"), "10.0.0.1\n");

    std::filesystem::remove(directory.path() / "banned.txt");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("SERVER-WARNING: Unable to reload the Banned IP list.\n"));
    const std::string operatorsFile = "10.0.0.1\n127.0.0.8\n";
    directory.write("banned.txt", operatorsFile);
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("SERVER: Reloaded the Banned IP list (2 entries).\n"));

    UdpClient added("127.0.0.8");
    added.sendTo(port, joinDatagram("eve"));
    EXPECT_EQ(joinAnswer(added), std::optional<Bytes>(Bytes{6, 1})) << "the operator's new entry is in force";
    EXPECT_EQ(directory.read("banned.txt"), operatorsFile);
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    EXPECT_EQ(directory.read("banned.txt"), operatorsFile);
}

// An operator takes a line out of the file without telling the server, and a join flood is banned
// meanwhile: neither the grouped save nor the shut-down's save puts the line back, and the flood ban
// is not lost. The log says once that the file was read again before saving.
TEST(BansE2ETest, AnEditWithoutHangUpSurvivesAFloodBanAndARestart) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("banned.txt", "10.0.0.1\n10.0.0.2\n");
    directory.write("varnserver.conf", baseConfiguration(port) + "JoinFloodBanMinutes 90\n");
    {
        ServerProcess server(directory.path(), {}, false);
        ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
        directory.write("banned.txt", "10.0.0.2\n10.0.0.3\n");

        UdpClient first("127.0.0.4"), second("127.0.0.4"), third("127.0.0.4");
        first.sendTo(port, joinDatagram("flood"));
        ASSERT_EQ(joinAnswer(first).value_or(Bytes{0}).at(0), 1);
        for (UdpClient* again : {&second, &third}) {
            again->sendTo(port, joinDatagram("flood"));
            EXPECT_EQ(joinAnswer(*again), std::optional<Bytes>(Bytes{6}));
        }
        ASSERT_TRUE(server.waitForOutput("BANNED: '127.0.0.4' for Join Flood.\n", 15s));
        server.signal(SIGTERM);
        ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
        EXPECT_EQ(countOf(server.output(), "SERVER: The Banned IP list changed on disk; read it again before saving (3 entries).\n"), 1u)
            << server.output();
    }
    const std::string saved = directory.read("banned.txt");
    EXPECT_EQ(saved.substr(0, 18), "10.0.0.2\n10.0.0.3\n") << saved;
    EXPECT_EQ(saved.find("10.0.0.1"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\n127.0.0.4 # until="), std::string::npos) << saved;
    EXPECT_EQ(countOf(saved, "\n"), 3u) << saved;

    // After the restart the server holds the file as the operator and the flood left it.
    ServerProcess restarted(directory.path(), {}, false);
    ASSERT_TRUE(restarted.waitForOutput("SERVER: press 'q'"));
    UdpClient flooder("127.0.0.4");
    flooder.sendTo(port, joinDatagram("again"));
    EXPECT_EQ(joinAnswer(flooder), std::optional<Bytes>(Bytes{6, 1}));
    restarted.signal(SIGTERM);
    ASSERT_EQ(restarted.waitForExit(), std::optional<int>(0));
    EXPECT_EQ(directory.read("banned.txt"), saved) << "nothing changed, nothing lost";
}

}  // namespace
}  // namespace varn::e2e
