#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/StreamSocket.h"

namespace varn::platform {

namespace {

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

class PosixStreamConnection final : public StreamConnection {
public:
    PosixStreamConnection(int fd, std::uint32_t peer) : fd_(fd), peer_(peer) {}
    ~PosixStreamConnection() override { ::close(fd_); }
    PosixStreamConnection(const PosixStreamConnection&) = delete;
    PosixStreamConnection& operator=(const PosixStreamConnection&) = delete;

    StreamResult read(std::span<std::uint8_t> buffer) override {
        ssize_t received;
        do {
            received = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
        return resultOf(received);
    }

    StreamResult write(std::span<const std::uint8_t> bytes) override {
        ssize_t sent;
        do {
            sent = ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return resultOf(sent);
    }

    WaitHandle waitHandle() const override { return fd_; }
    std::uint32_t peerAddress() const override { return peer_; }

private:
    static StreamResult resultOf(ssize_t moved) {
        if (moved > 0) return {StreamStatus::done, static_cast<std::size_t>(moved)};
        if (moved < 0 && wouldBlock(errno)) return {StreamStatus::wouldBlock, 0};
        // 0 from recv is the peer's orderly close; any other error ends the connection too.
        return {StreamStatus::closed, 0};
    }

    int fd_;
    std::uint32_t peer_;
};

class PosixStreamListener final : public StreamListener {
public:
    ~PosixStreamListener() override {
        if (fd_ >= 0) ::close(fd_);
    }

    std::error_code listen(std::uint32_t address, std::uint16_t port, int backlog) override {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) return std::error_code(errno, std::generic_category());
        // A restarted server binds again at once, whatever connections of the last one linger.
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address;
        local.sin_port = port;
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            ::listen(fd_, backlog) != 0) {
            const std::error_code error(errno, std::generic_category());
            ::close(fd_);
            fd_ = -1;
            return error;
        }
        return {};
    }

    std::unique_ptr<StreamConnection> accept() override {
        if (fd_ < 0) return nullptr;
        int connection;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        do {
            length = sizeof peer;
            connection = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        } while (connection < 0 && errno == EINTR);
        if (connection < 0) return nullptr;
        return std::make_unique<PosixStreamConnection>(connection, peer.sin_addr.s_addr);
    }

    std::uint16_t localPort() const override {
        if (fd_ < 0) return 0;
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
        return ntohs(local.sin_port);
    }

    WaitHandle waitHandle() const override { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<StreamListener> createTcpListener() { return std::make_unique<PosixStreamListener>(); }

}  // namespace varn::platform
