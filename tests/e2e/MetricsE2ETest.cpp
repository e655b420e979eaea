#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/MetricsSupport.h"
#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

std::string metricsUrl(std::uint16_t port, const std::string& path = "/metrics") {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

double valueOr(const std::string& exposition, const std::string& sample, double fallback = -1) {
    return sampleValue(exposition, sample).value_or(fallback);
}

Bytes chatDatagram(const std::string& text) {
    Bytes datagram = {3, 0};
    datagram.insert(datagram.end(), text.begin(), text.end());
    datagram.push_back(0);
    return datagram;
}

// Reads datagrams until one starts with the given byte, or the time is up.
bool receiveStartingWith(UdpClient& client, std::uint8_t first, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto datagram = client.receive(200ms);
        if (datagram && !datagram->empty() && datagram->front() == first) return true;
    }
    return false;
}

class MetricsE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!programExists("curl")) GTEST_SKIP() << "curl is not installed (scripts/setup-deps.sh installs it)";
    }
};

// The real server with MetricsPort, read by curl: every counter moves by exactly what the players did,
// and promtool accepts the text.
TEST_F(MetricsE2ETest, CountersMoveByWhatPlayersDid) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const std::uint16_t metricsPort = freeTcpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "ChatFloodMaxCount 3\nMetricsPort " +
                                           std::to_string(metricsPort) + "\n");
    directory.write("banned.txt", "127.0.0.9\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));

    const HttpAnswer health = curl(metricsUrl(metricsPort, "/healthz"));
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok\n");
    EXPECT_EQ(curl(metricsUrl(metricsPort, "/other")).status, 404);
    EXPECT_EQ(curl(metricsUrl(metricsPort), "POST").status, 405);

    const HttpAnswer before = curl(metricsUrl(metricsPort));
    ASSERT_EQ(before.status, 200);
    EXPECT_EQ(before.contentType, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(valueOr(before.body, "varn_server_info{name=\"E2E Server\"}"), 1);
    EXPECT_EQ(valueOr(before.body, "varn_players"), 0);
    EXPECT_EQ(valueOr(before.body, "varn_players_max"), 8);
    EXPECT_GT(valueOr(before.body, "process_start_time_seconds"), 1.6e9);
    const double receivedBefore = valueOr(before.body, "varn_datagrams_received_total{socket=\"game\"}");
    const double bytesBefore = valueOr(before.body, "varn_bytes_received_total{socket=\"game\"}");
    EXPECT_EQ(receivedBefore, 0);

    UdpClient alice("127.0.0.2"), bob("127.0.0.3"), carol("127.0.0.4"), banned("127.0.0.9");
    std::size_t datagrams = 0;
    std::size_t bytes = 0;
    const auto send = [&](UdpClient& client, const Bytes& datagram) {
        client.sendTo(port, datagram);
        ++datagrams;
        bytes += datagram.size();
    };
    send(alice, joinDatagram("alice"));
    ASSERT_TRUE(receiveStartingWith(alice, 1));
    send(bob, joinDatagram("bob"));
    ASSERT_TRUE(receiveStartingWith(bob, 1));
    send(carol, joinDatagram("carol"));
    ASSERT_TRUE(receiveStartingWith(carol, 1));
    send(banned, joinDatagram("eve"));
    EXPECT_EQ(banned.receive(), std::optional<Bytes>(Bytes{6, 1}));
    send(alice, Bytes{2});
    ASSERT_TRUE(receiveStartingWith(carol, 9));  // alice's leave
    // bob floods the chat: more lines in one second than ChatFloodMaxCount, and is removed.
    for (int line = 0; line < 8; ++line) send(bob, chatDatagram("spam " + std::to_string(line)));
    ASSERT_TRUE(receiveStartingWith(carol, 9));  // bob's leave

    const HttpAnswer after = curl(metricsUrl(metricsPort));
    ASSERT_EQ(after.status, 200);
    EXPECT_EQ(valueOr(after.body, "varn_players"), 1);
    EXPECT_EQ(valueOr(after.body, "varn_joins_total"), 3);
    EXPECT_EQ(valueOr(after.body, "varn_joins_refused_total{reason=\"banned\"}"), 1);
    EXPECT_EQ(valueOr(after.body, "varn_joins_refused_total{reason=\"server_full\"}"), 0);
    EXPECT_EQ(valueOr(after.body, "varn_leaves_total{reason=\"quit\"}"), 1);
    EXPECT_EQ(valueOr(after.body, "varn_leaves_total{reason=\"chat_flood\"}"), 1);
    EXPECT_EQ(valueOr(after.body, "varn_leaves_total{reason=\"timeout\"}"), 0);
    EXPECT_EQ(valueOr(after.body, "varn_datagrams_received_total{socket=\"game\"}") - receivedBefore,
              static_cast<double>(datagrams));
    EXPECT_EQ(valueOr(after.body, "varn_bytes_received_total{socket=\"game\"}") - bytesBefore,
              static_cast<double>(bytes));
    EXPECT_GT(valueOr(after.body, "varn_datagrams_sent_total{socket=\"game\"}"), 0);
    EXPECT_EQ(valueOr(after.body, "varn_datagrams_send_limit_dropped_total{socket=\"game\"}"), 0);
    EXPECT_GT(valueOr(after.body, "varn_loop_pass_duration_seconds_count"),
              valueOr(before.body, "varn_loop_pass_duration_seconds_count"));
    EXPECT_GT(valueOr(after.body, "process_resident_memory_bytes"), 0);

    if (programExists("promtool")) {
        directory.write("scrape.txt", after.body);
        const CommandResult check =
            runCommand("promtool check metrics < '" + (directory.path() / "scrape.txt").string() + "'");
        EXPECT_EQ(check.status, 0) << check.output;
    } else {
        ADD_FAILURE() << "promtool is not installed (scripts/setup-deps.sh installs it)";
    }

    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), std::optional<int>(0));
    // The endpoint writes nothing into the log.
    EXPECT_EQ(directory.read("server.log").find("etrics"), std::string::npos);
}

// A TCP connection to 127.0.0.1:port, non-blocking, connecting; -1 when no socket could be had.
int connectTo(std::uint16_t port) {
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (descriptor < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    (void)::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return descriptor;
}

// Writes what the socket takes without waiting; the bytes written.
std::size_t writeWhatFits(int descriptor, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t now = ::send(descriptor, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (now <= 0) break;
        written += static_cast<std::size_t>(now);
    }
    return written;
}

// Hostile clients of the endpoint: a thousand idle connections, a request of 1 MB, a reader that
// never reads, garbage. The game answers within a pass all the while, the server's memory stays
// bounded, and the endpoint serves again once they are gone.
TEST_F(MetricsE2ETest, HostileClientsNeitherHoldTheGameNorTheEndpoint) {
    constexpr int kIdleConnections = 1'000;
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < kIdleConnections + 100) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kIdleConnections + 100);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
        if (files.rlim_cur < kIdleConnections + 100) GTEST_SKIP() << "too few descriptors for the test";
    }
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const std::uint16_t metricsPort = freeTcpPort();
    directory.write("varnserver.conf", baseConfiguration(port) + "MetricsPort " + std::to_string(metricsPort) + "\n");
    directory.write("banned.txt", "");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
    ASSERT_EQ(curl(metricsUrl(metricsPort)).status, 200);
    const long residentBefore = residentKilobytes(server.pid());

    std::vector<int> hostile;
    for (int index = 0; index < kIdleConnections; ++index) {
        const int descriptor = connectTo(metricsPort);
        ASSERT_GE(descriptor, 0);
        hostile.push_back(descriptor);
    }
    // The large request, the reader that asks and never reads, and garbage.
    const int large = connectTo(metricsPort);
    const int silentReader = connectTo(metricsPort);
    const int garbage = connectTo(metricsPort);
    hostile.insert(hostile.end(), {large, silentReader, garbage});
    std::this_thread::sleep_for(100ms);
    writeWhatFits(large, "GET /metrics HTTP/1.1\r\nX-Padding: " + std::string(1'000'000, 'a'));
    writeWhatFits(silentReader, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string noise(4'000, '\0');
    for (std::size_t index = 0; index < noise.size(); ++index) noise[index] = static_cast<char>(index * 131 + 7);
    writeWhatFits(garbage, noise);

    // The game answers each join within a pass while they hang on (a pass is far below 500 ms).
    for (int round = 0; round < 5; ++round) {
        UdpClient player("127.0.0." + std::to_string(10 + round));
        const auto sent = std::chrono::steady_clock::now();
        player.sendTo(port, joinDatagram("p" + std::to_string(round)));
        EXPECT_TRUE(receiveStartingWith(player, 1, 500ms)) << "round " << round;
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 500ms) << "round " << round;
        player.sendTo(port, Bytes{2});
        writeWhatFits(large, std::string(100'000, 'b'));
        std::this_thread::sleep_for(200ms);
    }
    const long residentDuring = residentKilobytes(server.pid());
    EXPECT_LT(residentDuring - residentBefore, 4 * 1024) << "kB before " << residentBefore << ", during " << residentDuring;

    for (const int descriptor : hostile) ::close(descriptor);
    // Connections the server already closed or times out; the endpoint serves again soon after.
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline && status != 200) {
        status = curl(metricsUrl(metricsPort)).status;
        if (status != 200) std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(status, 200);
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), std::optional<int>(0));
}

// Without MetricsPort no TCP socket exists; a port that cannot be bound gives one line on standard
// error and the server runs without metrics.
TEST_F(MetricsE2ETest, NoKeyNoSocketAndAnUnbindablePortIsOneLine) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    {
        ServerProcess server(directory.path(), {}, false);
        ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
        // The server's sockets by inode; none of them is in the kernel's TCP table.
        const std::string tcpOwned = runCommand("find /proc/" + std::to_string(server.pid()) +
                                                "/fd -lname 'socket:*' -printf '%l\\n'")
                                         .output;
        const std::string tcpTable = runCommand("cat /proc/net/tcp").output;
        EXPECT_NE(tcpOwned.find("socket:["), std::string::npos);
        for (std::size_t at = tcpOwned.find("socket:["); at != std::string::npos;
             at = tcpOwned.find("socket:[", at + 1)) {
            const std::string inode = tcpOwned.substr(at + 8, tcpOwned.find(']', at) - at - 8);
            EXPECT_EQ(tcpTable.find(" " + inode + " "), std::string::npos) << "a TCP socket: " << inode;
        }
        server.signal(SIGTERM);
        EXPECT_EQ(server.waitForExit(), std::optional<int>(0));
    }

    // The metrics port is taken by someone else.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::uint16_t taken = freeTcpPort();
    address.sin_port = htons(taken);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    directory.write("varnserver.conf", baseConfiguration(port) + "MetricsPort " + std::to_string(taken) + "\n");
    // An existing ban file, so the only line on standard error is the one about the metrics.
    directory.write("banned.txt", "");
    ServerProcess server(directory.path(), {}, false, ServerProcess::ErrorOutput::apart);
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
    UdpClient player("127.0.0.2");
    player.sendTo(port, joinDatagram("alice"));
    EXPECT_TRUE(receiveStartingWith(player, 1)) << "the server runs without metrics";
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), std::optional<int>(0));
    ::close(holder);
    const std::string errors = server.errorOutput();
    EXPECT_EQ(errors, "varnserver: metrics endpoint 127.0.0.1:" + std::to_string(taken) +
                          ": Address already in use; the server runs without metrics\n");
    EXPECT_EQ(directory.read("server.log").find("etrics"), std::string::npos);
}

}  // namespace
}  // namespace varn::e2e
