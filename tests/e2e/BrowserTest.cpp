#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "browser/VerificationModel.h"
#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const std::string kAseLine =
    "SERVER: ASE registration is enabled ... will attempt to register (if possible).\n";
constexpr std::uint16_t kMasterPort = 27900;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

void appendCounted(Bytes& bytes, const std::string& text) {
    bytes.push_back(static_cast<std::uint8_t>(text.size() + 1));
    bytes.insert(bytes.end(), text.begin(), text.end());
}

Bytes statusHeader(std::uint16_t port, const std::string& playerCount) {
    Bytes bytes = bytesOf("EYE1");
    for (const std::string& field :
         {std::string("varn"), std::to_string(port), std::string("E2E Server"), std::string("VARN"),
          std::string("Palm Bay"), std::string("0.3"), std::string("0"), playerCount, std::string("8"),
          std::string(" "), std::string(" ")}) {
        appendCounted(bytes, field);
    }
    bytes.push_back(0x01);
    return bytes;
}

// The log line comes just before the query socket is bound: ask until it answers.
bool waitForQueryPort(UdpClient& browser, std::uint16_t queryPort) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        browser.sendTo(queryPort, {'g'});
        if (browser.receive(100ms) == std::optional<Bytes>(bytesOf("Gvarn"))) return true;
    }
    return false;
}

// A stand-in master server: a UDP socket on port 27900 of one loopback address.
class StandInMaster {
public:
    explicit StandInMaster(const std::string& address) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kMasterPort);
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~StandInMaster() { ::close(fd_); }
    bool bound() const { return bound_; }

    // The next datagram equal to expected within the time-out; other servers' heartbeats that come
    // in meanwhile are passed over.
    bool receiveExactly(const Bytes& expected, std::chrono::milliseconds timeout,
                        std::uint16_t* fromPort = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count()) + 1) <= 0) return false;
            std::array<std::uint8_t, 2048> buffer{};
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) return false;
            if (Bytes(buffer.begin(), buffer.begin() + got) == expected) {
                if (fromPort != nullptr) *fromPort = ntohs(from.sin_port);
                return true;
            }
        }
        return false;
    }

    // Sends to the server on 127.0.0.1 and waits for the answer from that port.
    std::optional<Bytes> ask(std::uint16_t port, const Bytes& datagram, std::chrono::milliseconds timeout) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count()) + 1) <= 0) return std::nullopt;
            std::array<std::uint8_t, 2048> buffer{};
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got >= 0 && ntohs(from.sin_port) == port) return Bytes(buffer.begin(), buffer.begin() + got);
        }
        return std::nullopt;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

Bytes challengeDatagram(const std::array<std::uint8_t, 8>& challenge) {
    Bytes datagram(9, 'v');
    std::copy(challenge.begin(), challenge.end(), datagram.begin() + 1);
    return datagram;
}

Bytes answerDatagram(std::uint32_t response) {
    return {'V', static_cast<std::uint8_t>(response), static_cast<std::uint8_t>(response >> 8),
            static_cast<std::uint8_t>(response >> 16), static_cast<std::uint8_t>(response >> 24)};
}

// Holds a UDP port on every local address, as another program would.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        held_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~PortHolder() { ::close(fd_); }
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

TEST(BrowserTest, StatusQueryOnTheQueryPortListsTheServerAndItsPlayers) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const auto queryPort = static_cast<std::uint16_t>(port + 123);
    directory.write("varnserver.conf", baseConfiguration(port) + "ASE 1\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput(kAseLine));

    UdpClient browser("127.0.0.2");
    ASSERT_TRUE(waitForQueryPort(browser, queryPort));
    browser.sendTo(queryPort, {'s'});
    EXPECT_EQ(browser.receive(), std::optional<Bytes>(statusHeader(port, "0")));
    browser.sendTo(queryPort, {'p', 7, 7});
    EXPECT_EQ(browser.receive(), std::optional<Bytes>(Bytes{'P', 7, 7}));
    browser.sendTo(queryPort, {'x'});
    EXPECT_FALSE(browser.receive(300ms).has_value());

    UdpClient alice("127.0.0.3");
    alice.sendTo(port, joinDatagram("alice"));
    ASSERT_TRUE(alice.receive().has_value()) << "welcome";
    browser.sendTo(queryPort, {'s'});
    const auto reply = browser.receive();
    ASSERT_TRUE(reply.has_value());
    Bytes expectedStart = statusHeader(port, "1");
    expectedStart.push_back(0x3F);
    for (const std::string& field : {std::string("alice"), std::string(), std::string(), std::string("0")}) {
        appendCounted(expectedStart, field);
    }
    ASSERT_GT(reply->size(), expectedStart.size() + 2);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + static_cast<std::ptrdiff_t>(expectedStart.size())),
              expectedStart);
    const std::size_t pingLength = (*reply)[expectedStart.size()];
    EXPECT_EQ(reply->size(), expectedStart.size() + pingLength + 1) << "ping, then the empty last field";
    EXPECT_EQ(reply->back(), 0x01);

    // Listening on one more socket and waking for heartbeats does not make the loop spin.
    const long before = server.cpuTicks();
    std::this_thread::sleep_for(2s);
    EXPECT_LE(server.cpuTicks() - before, 3) << "ticks used while idle";

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
    const std::string log = directory.read("server.log");
    EXPECT_NE(log.find("SERVER: press 'q' or 'Q' to shutdown the server.\n" + kAseLine), std::string::npos)
        << log;
    EXPECT_NE(log.find("SERVER: successfully shutdown the server.\n- VarnServer log closed -\n"),
              std::string::npos);
}

TEST(BrowserTest, OutOfTheBoxTheHeartbeatGoesToTheLocalFallbackMaster) {
    StandInMaster master("127.0.0.1");
    if (!master.bound()) GTEST_SKIP() << "127.0.0.1:27900 is in use by another program";
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const auto queryPort = static_cast<std::uint16_t>(port + 123);
    directory.write("varnserver.conf", baseConfiguration(port) + "ASE 1\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput(kAseLine));

    std::uint16_t fromPort = 0;
    EXPECT_TRUE(
        master.receiveExactly(bytesOf("\\hb\\" + std::to_string(queryPort) + "\\varn"), 3s, &fromPort));
    EXPECT_EQ(fromPort, queryPort) << "heartbeats leave from the query socket";

    testing::VerificationModel model;
    model.build();
    const std::array<std::uint8_t, 8> challenge = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    EXPECT_EQ(master.ask(queryPort, challengeDatagram(challenge), 3s),
              std::optional<Bytes>(answerDatagram(model.answer(challenge))));

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

TEST(BrowserTest, ConfiguredMastersGetHeartbeatsNamingTheQueryPortInUse) {
    StandInMaster first("127.77.0.1");
    StandInMaster second("127.77.0.2");
    if (!first.bound() || !second.bound()) GTEST_SKIP() << "port 27900 of 127.77.0.1 or 127.77.0.2 is in use";
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    PortHolder busy(static_cast<std::uint16_t>(port + 123));
    ASSERT_TRUE(busy.held());
    const auto queryPort = static_cast<std::uint16_t>(port + 124);
    directory.write("varnserver.conf",
                    baseConfiguration(port) + "ASE 1\nASEMasterServers 127.77.0.1 127.77.0.2\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput(kAseLine));

    const Bytes heartbeat = bytesOf("\\hb\\" + std::to_string(queryPort) + "\\varn");
    EXPECT_TRUE(second.receiveExactly(heartbeat, 3s));
    EXPECT_TRUE(first.receiveExactly(heartbeat, 3s));

    UdpClient browser("127.0.0.2");
    browser.sendTo(queryPort, {'s'});
    EXPECT_EQ(browser.receive(), std::optional<Bytes>(statusHeader(port, "0")));

    testing::VerificationModel model;
    model.build();
    const std::array<std::uint8_t, 8> challenge = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(first.ask(queryPort, challengeDatagram(challenge), 3s),
              std::optional<Bytes>(answerDatagram(model.answer(challenge))));
    // Only the first master's /24 network is answered: 127.0.0.2 is outside it.
    browser.sendTo(queryPort, challengeDatagram(challenge));
    EXPECT_FALSE(browser.receive(300ms).has_value());

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

std::optional<std::string> runCommand(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string output;
    char chunk[1024];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    if (::pclose(pipe) != 0) return std::nullopt;
    return output;
}

// The text of the first element named tag at or after from.
std::string xmlField(const std::string& xml, const std::string& tag, std::size_t from = 0) {
    const std::size_t start = xml.find("<" + tag + ">", from);
    const std::size_t end = xml.find("</" + tag + ">", start);
    if (start == std::string::npos || end == std::string::npos) return "(missing " + tag + ")";
    return xml.substr(start + tag.size() + 2, end - start - tag.size() - 2);
}

// The ping field of a player entry in a raw status reply: the fifth counted string after the flags.
std::optional<std::string> rawPing(UdpClient& browser, std::uint16_t queryPort, std::uint16_t port,
                                   const std::string& name) {
    browser.sendTo(queryPort, {'s'});
    const auto reply = browser.receive();
    if (!reply) return std::nullopt;
    const std::string text(reply->begin(), reply->end());
    std::size_t at = text.find(static_cast<char>(name.size() + 1) + name, statusHeader(port, "2").size());
    if (at == std::string::npos) return std::nullopt;
    for (int field = 0; field < 4; ++field) at += static_cast<std::uint8_t>(text[at]);
    return text.substr(at + 1, static_cast<std::uint8_t>(text[at]) - 1u);
}

TEST(BrowserTest, QstatReadsTheStatusReply) {
    if (!runCommand("command -v quakestat >/dev/null 2>&1")) {
        GTEST_SKIP() << "quakestat (Debian package qstat) is not installed";
    }
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    const auto queryPort = static_cast<std::uint16_t>(port + 123);
    directory.write("varnserver.conf", baseConfiguration(port) + "ASE 1\n");
    ServerProcess server(directory.path(), {}, false);
    ASSERT_TRUE(server.waitForOutput(kAseLine));

    UdpClient alice("127.0.0.3"), bob("127.0.0.4"), browser("127.0.0.2");
    ASSERT_TRUE(waitForQueryPort(browser, queryPort));
    alice.sendTo(port, joinDatagram("alice"));
    ASSERT_TRUE(alice.receive().has_value());
    bob.sendTo(port, joinDatagram("bob"));
    ASSERT_TRUE(bob.receive().has_value());

    // Pings move once a second: qstat's value must be the one seen just before or just after it.
    const auto alicePingBefore = rawPing(browser, queryPort, port, "alice");
    // qstat is given the game port and asks the port 123 above it, as browsers do.
    const auto output = runCommand("quakestat -xml -R -P -eye 127.0.0.1:" + std::to_string(port));
    const auto alicePingAfter = rawPing(browser, queryPort, port, "alice");
    ASSERT_TRUE(output.has_value());
    ASSERT_TRUE(alicePingBefore && alicePingAfter);
    const std::string& xml = *output;
    SCOPED_TRACE(xml);

    EXPECT_EQ(xmlField(xml, "name"), "E2E Server");
    EXPECT_EQ(xmlField(xml, "map"), "Palm Bay");
    EXPECT_EQ(xmlField(xml, "numplayers"), "2");
    EXPECT_EQ(xmlField(xml, "maxplayers"), "8");

    std::vector<std::array<std::string, 3>> listed;  // name, score, ping
    for (std::size_t at = xml.find("<player>"); at != std::string::npos; at = xml.find("<player>", at + 1)) {
        listed.push_back({xmlField(xml, "name", at), xmlField(xml, "score", at), xmlField(xml, "ping", at)});
    }
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0][0], "alice");
    EXPECT_EQ(listed[1][0], "bob");
    EXPECT_EQ(listed[0][1], "0");
    EXPECT_EQ(listed[1][1], "0");
    EXPECT_TRUE(listed[0][2] == *alicePingBefore || listed[0][2] == *alicePingAfter)
        << "qstat ping " << listed[0][2] << ", raw " << *alicePingBefore << " / " << *alicePingAfter;

    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace varn::e2e
