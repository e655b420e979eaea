#include <winsock2.h>

#include <mswsock.h>
#include <ws2tcpip.h>

#include <optional>
#include <string_view>

#include "platform/AddressText.h"
#include "platform/DatagramSocket.h"

namespace varn::platform {

namespace {

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

// Holds Windows Sockets for as long as it lives; WSAStartup and WSACleanup are counted per process.
class WinsockUse {
public:
    WinsockUse() {
        WSADATA data{};
        started_ = ::WSAStartup(kWinsockVersion, &data) == 0;
    }
    ~WinsockUse() {
        if (started_) ::WSACleanup();
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;

    bool started() const { return started_; }

private:
    bool started_ = false;
};

class WindowsDatagramSocket final : public DatagramSocket {
public:
    ~WindowsDatagramSocket() override { close(); }

    std::string_view libraryFailureLine() const override {
        return winsock_ && !winsock_->started() ? "ERROR: Unable to complete WSAStartup ()." : "";
    }

    bool create() override {
        close();
        if (!startWinsock()) return false;
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (socket_ == INVALID_SOCKET) return false;
        // Windows fails the next receive when an earlier send drew a "port unreachable"; a player who
        // vanished must not cut short the reading of everybody else's datagrams.
        BOOL reportUnreachable = FALSE;
        DWORD returned = 0;
        ::WSAIoctl(socket_, SIO_UDP_CONNRESET, &reportUnreachable, sizeof reportUnreachable, nullptr, 0,
                   &returned, nullptr, nullptr);
        // The loop's wait watches this event; it is set whenever a datagram arrives.
        readEvent_ = ::WSACreateEvent();
        if (readEvent_ == WSA_INVALID_EVENT || ::WSAEventSelect(socket_, readEvent_, FD_READ) != 0) {
            close();
            return false;
        }
        return true;
    }

    bool bind(std::uint32_t address, std::uint16_t port) override {
        if (socket_ == INVALID_SOCKET) return false;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address;
        local.sin_port = port;
        return ::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }

    // The event selection has already made the socket non-blocking; this only confirms it.
    bool setNonBlocking() override {
        if (socket_ == INVALID_SOCKET) return false;
        u_long nonBlocking = 1;
        return ::ioctlsocket(socket_, static_cast<long>(FIONBIO), &nonBlocking) == 0;
    }

    bool waitReadable(std::uint32_t waitMicroseconds) override {
        if (socket_ == INVALID_SOCKET) return false;
        // Re-armed before the test: a datagram that arrives after a negative answer sets the event
        // again and wakes the loop's wait.
        ::WSAResetEvent(readEvent_);
        fd_set readable{};
        readable.fd_count = 1;
        readable.fd_array[0] = socket_;
        // Whole milliseconds, as on POSIX: a wait below one millisecond is a pure test.
        const std::uint32_t milliseconds = waitMicroseconds / 1000u;
        timeval timeout{};
        timeout.tv_sec = static_cast<long>(milliseconds / 1000u);
        timeout.tv_usec = static_cast<long>(milliseconds % 1000u * 1000u);
        const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
        return ready > 0;
    }

    int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                    std::uint16_t& port) override {
        if (socket_ == INVALID_SOCKET) return -1;
        int received = receiveOnce(buffer, capacity, address, port);
        if (received < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
            // Nothing waiting: re-arm the event, then look once more, so that a datagram arriving in
            // between is either received now or wakes the loop's wait.
            ::WSAResetEvent(readEvent_);
            received = receiveOnce(buffer, capacity, address, port);
        }
        return received;
    }

    int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
               std::size_t length) override {
        if (socket_ == INVALID_SOCKET) return -1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = port;
        const int sent = ::sendto(socket_, reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return sent == SOCKET_ERROR ? -1 : sent;
    }

    void close() override {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
        if (readEvent_ != WSA_INVALID_EVENT) {
            ::WSACloseEvent(readEvent_);
            readEvent_ = WSA_INVALID_EVENT;
        }
    }

    WaitHandle waitHandle() const override {
        if (socket_ == INVALID_SOCKET) return kNoWaitHandle;
        return reinterpret_cast<WaitHandle>(readEvent_);
    }

    std::uint16_t localPort() const override {
        if (socket_ == INVALID_SOCKET) return 0;
        sockaddr_in local{};
        int length = sizeof local;
        if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
        return local.sin_port;
    }

private:
    // Windows Sockets 2.2 for this socket, held until it is destroyed; started again after a failure.
    bool startWinsock() {
        if (!winsock_ || !winsock_->started()) winsock_.emplace();
        return winsock_->started();
    }

    // A datagram larger than capacity fails with WSAEMSGSIZE and is gone: refused, never cut.
    int receiveOnce(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address, std::uint16_t& port) {
        sockaddr_in from{};
        int fromLength = sizeof from;
        const int received = ::recvfrom(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity),
                                        0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        address = from.sin_addr.s_addr;
        port = from.sin_port;
        return received == SOCKET_ERROR ? -1 : received;
    }

    std::optional<WinsockUse> winsock_;
    SOCKET socket_ = INVALID_SOCKET;
    WSAEVENT readEvent_ = WSA_INVALID_EVENT;
};

}  // namespace

std::unique_ptr<DatagramSocket> createUdpSocket() { return std::make_unique<WindowsDatagramSocket>(); }

std::uint32_t systemAddressFromText(const char* text) { return ::inet_addr(text); }

std::uint32_t lookupHostAddress(const char* hostName) {
    const WinsockUse winsock;
    if (!winsock.started()) return 0;
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
