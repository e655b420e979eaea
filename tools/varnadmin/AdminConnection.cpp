#include "AdminConnection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "AdminProtocolConstants.h"

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
        if (datagram.fromAdminPort && datagram.bytes == Bytes{admin::kPing}) {
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
    Bytes join = {admin::kJoin, admin::kProtocolVersion};
    join.insert(join.end(), name.begin(), name.end());
    join.push_back(admin::kNameEnd);
    join.insert(join.end(), password.begin(), password.end());
    join.push_back(0);
    send(join);

    LoginResult result;
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - SteadyClock::now());
        const std::optional<Datagram> datagram = next(std::max(left, Milliseconds(0)));
        if (!datagram) return result;
        const Bytes& bytes = datagram->bytes;
        if (!datagram->fromAdminPort) continue;
        if (bytes[0] == admin::kWelcome && bytes.size() >= admin::kWelcomeHeaderSize) {
            result.outcome = LoginOutcome::accepted;
            result.adminId = bytes[admin::kWelcomeIdOffset];
            result.players = playersOfWelcome(bytes);
            return result;
        }
        if (bytes[0] == admin::kNotice && bytes.size() >= 2) {
            result.outcome = LoginOutcome::refused;
            result.refusalReason = bytes[1];
            return result;
        }
    }
}

void AdminConnection::quit() { send({admin::kQuit}); }

std::vector<Player> playersOfWelcome(const Bytes& welcome) {
    std::vector<Player> players;
    std::size_t index = admin::kWelcomeHeaderSize;
    while (index + 3 <= welcome.size()) {
        Player player;
        player.id = welcome[index];
        player.score = static_cast<std::int16_t>(welcome[index + 1] | welcome[index + 2] << 8);
        index += 3;
        while (index < welcome.size() && welcome[index] != admin::kWelcomeEntryEnd) {
            player.name.push_back(static_cast<char>(welcome[index++]));
        }
        ++index;  // the end byte
        players.push_back(std::move(player));
    }
    return players;
}

}  // namespace varnadmin
