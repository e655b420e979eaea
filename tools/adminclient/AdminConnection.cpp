#include "adminclient/AdminConnection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "protocol/Packet.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"

namespace varnadmin {

namespace admin = varn::admin;

namespace {

using SteadyClock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopFlag = 0;

void onStopSignal(int) { stopFlag = 1; }

constexpr std::size_t kReceiveBufferSize = 2048;

}  // namespace

bool stopRequested() { return stopFlag != 0; }

void installStopHandlers() {
    // No SA_RESTART: a signal ends the wait for the next datagram at once.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

AdminConnection::~AdminConnection() {
    if (socket_ >= 0) ::close(socket_);
}

bool AdminConnection::open(const std::string& host, std::uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        error = "cannot resolve host '" + host + "': " + ::gai_strerror(status);
        return false;
    }
    server_ = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    server_.sin_port = htons(port);
    ::freeaddrinfo(found);

    socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket_ < 0) {
        error = "cannot create a UDP socket";
        return false;
    }
    return true;
}

void AdminConnection::send(const Bytes& datagram) {
    ::sendto(socket_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&server_),
             sizeof server_);
}

std::optional<Datagram> AdminConnection::next(Milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        if (stopRequested()) return std::nullopt;
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd entry{socket_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return std::nullopt;
        if (ready <= 0) continue;

        std::uint8_t buffer[kReceiveBufferSize];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got =
            ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got <= 0 || from.sin_addr.s_addr != server_.sin_addr.s_addr) continue;
        Datagram datagram{Bytes(buffer, buffer + got), from.sin_port == server_.sin_port};
        if (datagram.fromAdminPort && datagram.bytes == Bytes{varn::command::kPingRequest}) {
            send({admin::kPingAnswer});
            continue;
        }
        return datagram;
    }
}

std::optional<Bytes> AdminConnection::awaitReply(const Bytes& prefix, Milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - SteadyClock::now());
        const std::optional<Datagram> datagram = next(std::max(left, Milliseconds(0)));
        if (!datagram) return std::nullopt;
        if (datagram->fromAdminPort && datagram->bytes.size() >= prefix.size() &&
            std::equal(prefix.begin(), prefix.end(), datagram->bytes.begin())) {
            return datagram->bytes;
        }
    }
}

LoginResult AdminConnection::login(const std::string& name, const std::string& password,
                                   Milliseconds timeout) {
    varn::PacketWriter<varn::kMaxDatagramSize> join;
    admin::encodeJoin(join, name, password);
    LoginResult result;
    if (join.overflowed()) {
        result.outcome = LoginOutcome::tooLong;
        return result;
    }
    send(Bytes(join.data(), join.data() + join.size()));

    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - SteadyClock::now());
        const std::optional<Datagram> datagram = next(std::max(left, Milliseconds(0)));
        if (!datagram) return result;
        if (!datagram->fromAdminPort) continue;
        if (auto answer = decodeLoginReply(datagram->bytes)) return *answer;
    }
}

std::optional<LoginResult> decodeLoginReply(const Bytes& bytes) {
    const varn::PacketReader reader(bytes.data(), bytes.size());
    LoginResult result;
    if (const auto welcome = varn::decodeWelcome(reader)) {
        result.outcome = LoginOutcome::accepted;
        result.adminId = welcome->header.peerId;
        for (const varn::WelcomeEntry& entry : welcome->players) {
            result.players.push_back(Player{entry.id, entry.score, entry.name});
        }
        return result;
    }
    if (const auto reason = varn::decodeNotice(reader)) {
        result.outcome = LoginOutcome::refused;
        result.refusalReason = *reason;
        return result;
    }
    return std::nullopt;
}

void AdminConnection::quit() { send({admin::kQuit}); }

// A connected datagram socket gets its source address from the routing table without sending a byte.
std::optional<std::uint32_t> AdminConnection::localAddress() const {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0) return std::nullopt;
    std::optional<std::uint32_t> address;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::connect(probe, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        address = ntohl(local.sin_addr.s_addr);
    }
    ::close(probe);
    return address;
}

}  // namespace varnadmin
