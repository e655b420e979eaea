#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <stdexcept>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint8_t kPingRequest = 4;
constexpr std::uint8_t kPingReply = 5;

// A ban file of many single addresses (none of them on loopback) and one range, 127.1.*.*, that
// the flood comes from.
std::string manyBans(int count) {
    std::string bans;
    for (int index = 0; index < count; ++index) {
        bans += "10." + std::to_string(index / 65536 % 256) + "." + std::to_string(index / 256 % 256) + "." +
                std::to_string(index % 256) + "\n";
    }
    return bans + "127.1.0.0\n";
}

// Sends refused joins from addresses of the banned range until told to stop (or for at most 30 s):
// perSecond of them a second in steps of 10 ms from one sender, or, when perSecond is 0, from two
// senders as fast as they can, 64 to a system call.
class JoinFlood {
public:
    JoinFlood(std::uint16_t port, int perSecond) {
        const int senders = perSecond > 0 ? 1 : 2;
        for (int sender = 0; sender < senders; ++sender) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7F010001u + static_cast<std::uint32_t>(sender));
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                if (fd >= 0) ::close(fd);
                stop_ = true;
                for (std::thread& thread : threads_) thread.join();
                for (int open : fds_) ::close(open);
                throw std::runtime_error("cannot bind a flood socket");
            }
            fds_.push_back(fd);
            threads_.emplace_back([this, fd, port, perSecond] { run(fd, port, perSecond); });
        }
    }
    ~JoinFlood() {
        stop_ = true;
        for (std::thread& thread : threads_) thread.join();
        for (int fd : fds_) ::close(fd);
    }
    JoinFlood(const JoinFlood&) = delete;
    JoinFlood& operator=(const JoinFlood&) = delete;

    long sent() const { return sent_; }

private:
    static constexpr std::size_t kBurst = 64;

    void run(int fd, std::uint16_t port, int perSecond) {
        Bytes join = joinDatagram("flooder");
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        iovec part{join.data(), join.size()};
        std::array<mmsghdr, kBurst> messages{};
        for (mmsghdr& message : messages) {
            message.msg_hdr.msg_name = &to;
            message.msg_hdr.msg_namelen = sizeof to;
            message.msg_hdr.msg_iov = &part;
            message.msg_hdr.msg_iovlen = 1;
        }
        const auto start = SteadyClock::now();
        const auto end = start + 30s;
        long mine = 0;
        while (!stop_ && SteadyClock::now() < end) {
            std::size_t burst = kBurst;
            if (perSecond > 0) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
                const long due = static_cast<long>(elapsed.count()) * perSecond / 1000;
                if (mine >= due) {
                    std::this_thread::sleep_for(10ms);
                    continue;
                }
                burst = std::min<std::size_t>(kBurst, static_cast<std::size_t>(due - mine));
            }
            const int went = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(burst), 0);
            if (went > 0) {
                mine += went;
                sent_ += went;
            }
        }
    }

    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
};

// A flood of refused joins from a banned range, with many bans loaded, cannot hold the loop on
// the game socket: the player who is in still gets the ping request every second, and SIGTERM
// still ends the server at once. Paced at 3000 a second, and as fast as one sender can go (more
// than the server can read, so its socket never runs empty).
TEST(FloodTest, RefusedJoinFloodLeavesPingsAndStopOnTime) {
    struct Case {
        const char* name;
        int perSecond;
    };
    for (const Case& testCase : {Case{"3000 a second", 3000}, Case{"as fast as one sender goes", 0}}) {
        SCOPED_TRACE(testCase.name);
        ScratchDirectory directory;
        const std::uint16_t port = freeUdpPort();
        directory.write("varnserver.conf", baseConfiguration(port));
        directory.write("banned.txt", manyBans(20000));
        ServerProcess server(directory.path(), {}, false);
        ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

        UdpClient banned("127.1.0.9"), player("127.0.0.2");
        banned.sendTo(port, joinDatagram("probe"));
        ASSERT_EQ(banned.receive(), std::optional<Bytes>(Bytes{6, 1})) << "the range is banned";
        player.sendTo(port, joinDatagram("player"));
        const std::optional<Bytes> welcome = player.receive();
        ASSERT_TRUE(welcome.has_value());
        ASSERT_EQ(welcome->at(0), 1);

        std::vector<SteadyClock::time_point> pings;
        {
            JoinFlood flood(port, testCase.perSecond);
            const auto floodStart = SteadyClock::now();
            while (SteadyClock::now() - floodStart < 5s) {
                const std::optional<Bytes> datagram = player.receive(100ms);
                if (!datagram || datagram->empty() || datagram->front() != kPingRequest) continue;
                pings.push_back(SteadyClock::now());
                player.sendTo(port, {kPingReply});
            }
            const auto stopAsked = SteadyClock::now();
            server.signal(SIGTERM);
            EXPECT_EQ(server.waitForExit(10s), std::optional<int>(0));
            EXPECT_LE(SteadyClock::now() - stopAsked, 3s) << "the stop took effect during the flood";
            EXPECT_GT(flood.sent(), 10000) << "the flood ran";
        }

        ASSERT_GE(pings.size(), 2u) << "pings during 5 s of flood";
        auto longestGap = pings.front() - pings.front();
        for (std::size_t index = 1; index < pings.size(); ++index) {
            longestGap = std::max(longestGap, pings[index] - pings[index - 1]);
        }
        EXPECT_LE(longestGap, 2500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count()
                                      << " ms without a ping";
    }
}

// The address of forged flooder number index: 127.2.b.c with no octet 0 (so that none of them, banned,
// reads as a range) and none 255.
std::string forgedAddress(int index) {
    char text[16];
    std::snprintf(text, sizeof text, "127.2.%d.%d", 1 + index / 250 % 250, 1 + index % 250);
    return text;
}

// Each forged address joins, quits and joins twice more (three joins within five seconds: a join
// flood), about count / seconds addresses a second, one short-lived socket per address.
void sendForgedJoinFloods(std::uint16_t port, int count, std::chrono::milliseconds spread) {
    const auto start = SteadyClock::now();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int index = 0; index < count; ++index) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, forgedAddress(index).c_str(), &local.sin_addr);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            if (fd >= 0) ::close(fd);
            throw std::runtime_error("cannot bind a forged address");
        }
        char name[8];
        std::snprintf(name, sizeof name, "f%d", index);
        const Bytes join = joinDatagram(name);
        const Bytes quit = {2};
        for (const Bytes* datagram : {&join, &quit, &join, &join}) {
            ::sendto(fd, datagram->data(), datagram->size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        ::close(fd);
        // Paced, so the flood reaches the server rather than overflowing its socket's buffer.
        const auto due = start + spread * (index + 1) / count;
        if (index % 50 == 49) std::this_thread::sleep_until(due);
    }
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// 4,000 forged addresses, each a join flood, against a list of 100,000 bans: the bans the server
// makes by itself are bounded per minute and saved together, so the joined player still gets a
// ping every second, the offenders beyond the bound get no answer, and SIGTERM ends the server at
// once. Bans one by one, each rewriting the whole file, held the loop for many seconds.
TEST(FloodTest, ForgedJoinFloodsAgainstALongBanListKeepPingsAndStopOnTime) {
    constexpr int kFlooders = 4000;
    constexpr int kBansPerMinute = 60;
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "JoinFloodBanMinutes 30\nAutoBanMaxPerMinute " +
                                           std::to_string(kBansPerMinute) + "\n");
    directory.write("banned.txt", manyBans(100000));
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'", 20s));

    UdpClient player("127.0.0.2");
    // The player hears every flooder that gets in and leaves: its socket must not drop the pings timed
    // here among those notices.
    player.enlargeReceiveBuffer(8 << 20);
    player.sendTo(port, joinDatagram("player"));
    const std::optional<Bytes> welcome = player.receive();
    ASSERT_TRUE(welcome.has_value());
    ASSERT_EQ(welcome->at(0), 1);

    std::vector<SteadyClock::time_point> pings;
    const auto watch = [&](std::chrono::milliseconds length) {
        const auto until = SteadyClock::now() + length;
        while (SteadyClock::now() < until) {
            // The console's pipe is kept empty: a full one would hold the server, not the flood.
            server.drainOutput();
            const std::optional<Bytes> datagram = player.receive(50ms);
            if (!datagram || datagram->empty() || datagram->front() != kPingRequest) continue;
            pings.push_back(SteadyClock::now());
            player.sendTo(port, {kPingReply});
        }
    };
    watch(1500ms);
    std::atomic<bool> flooded{false};
    std::thread flood([port, &flooded] {
        sendForgedJoinFloods(port, kFlooders, 900ms);
        flooded = true;
    });
    watch(1000ms);
    // A slow machine may take longer to send the floods: the pings are read meanwhile, so that their
    // times are the server's and not the wait for this thread.
    for (int round = 0; round < 100 && !flooded; ++round) watch(100ms);
    flood.join();
    // The floods are judged five to six passes after their first join; then the bans are saved.
    watch(8000ms);

    ASSERT_TRUE(server.waitForOutput("for Join Flood.", 1s)) << "the floods were judged";
    const std::string output = server.output();
    const std::size_t banned = countOf(output, "for Join Flood.");
    EXPECT_EQ(banned, static_cast<std::size_t>(kBansPerMinute)) << "no more bans than the minute allows";
    // A banned flooder is refused as banned; one beyond the bound gets nothing at all.
    const std::size_t firstBan = output.find("BANNED: '127.2.");
    ASSERT_NE(firstBan, std::string::npos);
    const std::string bannedAddress =
        output.substr(firstBan + 9, output.find('\'', firstBan + 9) - (firstBan + 9));
    std::string droppedAddress;
    for (int index = 0; index < kFlooders && droppedAddress.empty(); ++index) {
        std::string banLine = forgedAddress(index);
        banLine.append("' for Join Flood.");
        if (output.find(banLine) == std::string::npos) {
            droppedAddress = forgedAddress(index);
        }
    }
    UdpClient bannedClient(bannedAddress), droppedClient(droppedAddress);
    bannedClient.sendTo(port, joinDatagram("again"));
    EXPECT_EQ(bannedClient.receive(2s), std::optional<Bytes>(Bytes{6, 1})) << bannedAddress;
    droppedClient.sendTo(port, joinDatagram("again"));
    EXPECT_EQ(droppedClient.receive(1s), std::nullopt) << droppedAddress << " is dropped for the minute";

    const auto stopAsked = SteadyClock::now();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(10s), std::optional<int>(0));
    const auto stopTook = SteadyClock::now() - stopAsked;
    EXPECT_LT(stopTook, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(stopTook).count() << " ms";

    ASSERT_GE(pings.size(), 8u) << "pings during the 10.5 s watched";
    auto longestGap = pings.front() - pings.front();
    for (std::size_t index = 1; index < pings.size(); ++index) {
        longestGap = std::max(longestGap, pings[index] - pings[index - 1]);
    }
    EXPECT_LT(longestGap, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count()
                              << " ms without a ping";
    RecordProperty("longest_ping_gap_ms",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count()));
    RecordProperty("stop_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(stopTook).count()));
    std::printf("longest ping gap %lld ms, stop %lld ms, %zu bans\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count()),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stopTook).count()),
                banned);

    // Every ban reached the file, each with its time limit, the old list whole.
    const std::string file = directory.read("banned.txt");
    EXPECT_EQ(countOf(file, "by=join-flood"), static_cast<std::size_t>(kBansPerMinute));
    EXPECT_EQ(countOf(file, "\n"), 100001u + kBansPerMinute);
}

// Forged joins from ever new addresses, each a join and a quit, with the statistics lines and time
// stamps on: the server accepts at most JoinMaxPerSecond joins a second and drops the rest
// unanswered, so the log grows by a bounded number of lines however fast the forger sends. Every
// accepted join wrote a join line, a quit line and their statistics lines before.
TEST(FloodTest, ForgedJoinsFromNewAddressesGrowTheLogByABoundedAmount) {
    constexpr int kForged = 3000;
    constexpr int kJoinsPerSecond = 100;
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "StatLogging 1\nLogTimestamps 1\n");
    directory.write("banned.txt", "");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'", 20s));
    const std::size_t logBefore = directory.read("server.log").size();

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto start = SteadyClock::now();
    for (int index = 0; index < kForged; ++index) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(0x7F030000u | static_cast<std::uint32_t>(index + 1));
        ASSERT_TRUE(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
        const Bytes join = joinDatagram("forged");
        const Bytes quit = {2};
        for (const Bytes* datagram : {&join, &quit}) {
            ::sendto(fd, datagram->data(), datagram->size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        ::close(fd);
        // Paced over about a second, so the flood reaches the server rather than its socket's buffer.
        if (index % 50 == 49) std::this_thread::sleep_until(start + 1000ms * (index + 1) / kForged);
        server.drainOutput();
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - start).count() + 1;
    std::this_thread::sleep_for(1500ms);
    server.drainOutput();

    // A real player still gets in once the flood is over.
    UdpClient player("127.0.0.2");
    player.sendTo(port, joinDatagram("player"));
    const std::optional<Bytes> welcome = player.receive();
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->at(0), 1);

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(10s), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    const std::size_t joins = countOf(log, "Z JOIN: '");
    const std::size_t bound = static_cast<std::size_t>(kJoinsPerSecond * (seconds + 1) + 1);
    std::printf("%zu joins logged from %d forged addresses in %lld s, the log grew by %zu bytes\n", joins, kForged,
                static_cast<long long>(seconds), log.size() - logBefore);
    EXPECT_GE(joins, static_cast<std::size_t>(kJoinsPerSecond)) << "the flood did reach the server";
    EXPECT_LE(joins, bound);
    // Each accepted join costs about 250 bytes of log (join, quit and their statistics lines).
    EXPECT_LT(log.size() - logBefore, bound * 400) << "bytes the log grew by";
}

}  // namespace
}  // namespace varn::e2e
