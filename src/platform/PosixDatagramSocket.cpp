#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/AddressText.h"
#include "platform/DatagramSocket.h"

namespace varn::platform {

namespace {

class PosixDatagramSocket final : public DatagramSocket {
public:
    ~PosixDatagramSocket() override { close(); }

    bool create() override {
        close();
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        return fd_ >= 0;
    }

    bool bind(std::uint32_t address, std::uint16_t port) override {
        if (fd_ < 0) return false;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address;
        local.sin_port = port;
        return ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }

    bool setNonBlocking() override {
        if (fd_ < 0) return false;
        const int flags = ::fcntl(fd_, F_GETFL, 0);
        return flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0;
    }

    bool waitReadable(std::uint32_t waitMicroseconds) override {
        if (fd_ < 0) return false;
        pollfd entry{fd_, POLLIN, 0};
        // poll counts milliseconds: a wait below one millisecond is a pure test.
        const int timeout = static_cast<int>(waitMicroseconds / 1000u);
        const int ready = ::poll(&entry, 1, timeout);
        return ready > 0 && (entry.revents & (POLLIN | POLLERR)) != 0;
    }

    int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                    std::uint16_t& port) override {
        if (fd_ < 0) return -1;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t received;
        do {
            received = ::recvfrom(fd_, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                  &fromLength);
        } while (received < 0 && errno == EINTR);
        address = from.sin_addr.s_addr;
        port = from.sin_port;
        if (received < 0) return -1;
        // MSG_TRUNC reports the datagram's real length: a longer one is refused, not cut.
        if (static_cast<std::size_t>(received) > capacity) return -1;
        return static_cast<int>(received);
    }

    int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
               std::size_t length) override {
        if (fd_ < 0) return -1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = port;
        ssize_t sent;
        do {
            sent = ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        } while (sent < 0 && errno == EINTR);
        return sent < 0 ? -1 : static_cast<int>(sent);
    }

    void close() override {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    WaitHandle waitHandle() const override { return fd_; }

    std::uint16_t localPort() const override {
        if (fd_ < 0) return 0;
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
        return local.sin_port;
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<DatagramSocket> createUdpSocket() { return std::make_unique<PosixDatagramSocket>(); }

std::uint32_t systemAddressFromText(const char* text) { return ::inet_addr(text); }

std::uint32_t lookupHostAddress(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    if (::getaddrinfo(hostName, nullptr, &hints, &results) != 0 || results == nullptr) return 0;
    std::uint32_t address = 0;
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(results);
    return address;
}

}  // namespace varn::platform
