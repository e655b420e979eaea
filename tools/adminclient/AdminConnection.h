#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>

namespace varnadmin {

using Bytes = std::vector<std::uint8_t>;
using Milliseconds = std::chrono::milliseconds;

// A player as the welcome lists him.
struct Player {
    int id = 0;
    int score = 0;
    std::string name;
};

// What the server sent: from its admin port, or (the message of the day) from its game port.
struct Datagram {
    Bytes bytes;
    bool fromAdminPort = false;
};

// tooLong: the name and password do not fit in one datagram, and nothing was sent.
enum class LoginOutcome { accepted, refused, noAnswer, tooLong };

struct LoginResult {
    LoginOutcome outcome = LoginOutcome::noAnswer;
    int refusalReason = -1;
    int adminId = -1;
    std::vector<Player> players;
};

// The answer to a join: a welcome or a refusal; nothing for any other datagram.
std::optional<LoginResult> decodeLoginReply(const Bytes& bytes);

// One admin session over UDP. Every wait answers the server's pings, so a session never times out
// while the client is waiting.
class AdminConnection {
public:
    AdminConnection() = default;
    ~AdminConnection();
    AdminConnection(const AdminConnection&) = delete;
    AdminConnection& operator=(const AdminConnection&) = delete;

    // Resolves the host (IPv4) and opens a socket; false with a message in error.
    bool open(const std::string& host, std::uint16_t port, std::string& error);
    LoginResult login(const std::string& name, const std::string& password, Milliseconds timeout);
    void send(const Bytes& datagram);
    // The next datagram from the server within the time-out, pings answered and left out; nothing
    // when the time runs out or a stop signal arrives.
    std::optional<Datagram> next(Milliseconds timeout);
    // The next datagram from the admin port whose first bytes are prefix.
    std::optional<Bytes> awaitReply(const Bytes& prefix, Milliseconds timeout);
    void quit();
    // The IPv4 address (host byte order) that the server sees this client come from: the system's
    // choice of source address for the server's address. Nothing when the system has no route.
    std::optional<std::uint32_t> localAddress() const;

private:
    int socket_ = -1;
    sockaddr_in server_{};
};

// Set by SIGINT and SIGTERM once installStopHandlers has run.
bool stopRequested();
void installStopHandlers();

}  // namespace varnadmin
