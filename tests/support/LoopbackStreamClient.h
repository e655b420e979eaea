#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace varn::testing {

// A TCP client on loopback for tests that drive a loop between their own steps: connects blocking,
// then sends all it is given and reads what is there without waiting.
class LoopbackStreamClient {
public:
    explicit LoopbackStreamClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~LoopbackStreamClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackStreamClient(const LoopbackStreamClient&) = delete;
    LoopbackStreamClient& operator=(const LoopbackStreamClient&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t now = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (now <= 0) return;
            sent += static_cast<std::size_t>(now);
        }
    }
    // A small receive buffer, so a reply the client does not read fills it soon.
    void shrinkReceiveBuffer() const {
        const int size = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    // Reads what is there; true once the server has closed (end of stream or reset).
    bool readSome(std::string& into) const {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                into.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace varn::testing
