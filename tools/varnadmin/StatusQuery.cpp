#include "StatusQuery.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

#include "protocol/BrowserProtocol.h"

namespace varnadmin {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Reads the counted texts of a reply one by one, never past its end.
class CountedTexts {
public:
    CountedTexts(const std::vector<std::uint8_t>& bytes, std::size_t start) : bytes_(bytes), at_(start) {}

    std::optional<std::string> next() {
        if (at_ >= bytes_.size() || bytes_[at_] == 0) return std::nullopt;
        const std::size_t length = bytes_[at_] - 1u;
        if (bytes_.size() - at_ - 1 < length) return std::nullopt;
        std::string text(bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + 1),
                         bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + 1 + length));
        at_ += 1 + length;
        return text;
    }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_;
};

std::optional<int> numberOf(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<ServerStatus> readStatusReply(const std::vector<std::uint8_t>& datagram) {
    const std::string_view magic = varn::browser::kStatusMagic;
    if (datagram.size() < magic.size() ||
        std::string_view(reinterpret_cast<const char*>(datagram.data()), magic.size()) != magic) {
        return std::nullopt;
    }
    CountedTexts texts(datagram, magic.size());
    for (int skipped = 0; skipped < 2; ++skipped) {  // the game's name and the game port
        if (!texts.next()) return std::nullopt;
    }
    ServerStatus status;
    const auto name = texts.next();
    const auto type = texts.next();
    const auto map = texts.next();
    const auto version = texts.next();
    const auto password = texts.next();
    const auto players = numberOf(texts.next());
    const auto maxPlayers = numberOf(texts.next());
    if (!name || !type || !map || !version || !password || !players || !maxPlayers) return std::nullopt;
    status.name = *name;
    status.version = *version;
    status.players = *players;
    status.maxPlayers = *maxPlayers;
    return status;
}

std::optional<ServerStatus> queryStatus(const std::string& host, std::uint16_t queryPort,
                                        std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    sockaddr_in server = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    server.sin_port = htons(queryPort);

    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return std::nullopt;
    std::optional<ServerStatus> status;
    const std::uint8_t query = varn::browser::kStatusQuery;
    if (::sendto(socket, &query, 1, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 1) {
        const auto deadline = SteadyClock::now() + timeout;
        while (!status) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) break;
            pollfd wait{socket, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
            std::vector<std::uint8_t> buffer(2048);
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(socket, buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got <= 0 || from.sin_addr.s_addr != server.sin_addr.s_addr || from.sin_port != server.sin_port) continue;
            buffer.resize(static_cast<std::size_t>(got));
            status = readStatusReply(buffer);
        }
    }
    ::close(socket);
    return status;
}

}  // namespace varnadmin
