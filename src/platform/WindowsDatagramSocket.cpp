#include <winsock2.h>

#include <mswsock.h>
#include <ws2tcpip.h>

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/AddressText.h"
#include "platform/DatagramSocket.h"

namespace varn::platform {

namespace {

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
// How long a send waits for room in a full send buffer.
constexpr long kRoomWaitMilliseconds = 100;

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

// The texts of Windows Sockets errors, as the system words them; the library's own category has no
// text for them.
class SocketErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "winsock"; }
    std::string message(int code) const override {
        char text[512];
        DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
        // The system's text ends with a full stop and a line break; the line it goes into has its own end.
        while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                              text[length - 1] == '.')) {
            --length;
        }
        if (length == 0) return "Windows Sockets error " + std::to_string(code);
        return std::string(text, length);
    }
};

const std::error_category& socketErrorCategory() {
    static const SocketErrorCategory category;
    return category;
}

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
        bindError_.clear();
        if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return true;
        bindError_ = std::error_code(::WSAGetLastError(), socketErrorCategory());
        return false;
    }

    std::error_code bindError() const override { return bindError_; }

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
        const ReceiveResult result = receive(buffer, capacity);
        address = result.address;
        port = result.port;
        return result.status == ReceiveStatus::datagram ? static_cast<int>(result.length) : -1;
    }

    int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
               std::size_t length) override {
        if (socket_ == INVALID_SOCKET) return -1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = port;
        // The socket is non-blocking: a full send buffer is waited out briefly, as a blocking
        // socket would have waited, and then the datagram fails.
        for (int attempt = 0;; ++attempt) {
            const int sent = ::sendto(socket_, reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (sent != SOCKET_ERROR) return sent;
            if (::WSAGetLastError() != WSAEWOULDBLOCK || attempt > 0 || !waitForRoom()) return -1;
        }
    }

    // Plain recvfrom: the same three outcomes as elsewhere, one datagram per call.
    ReceiveResult receive(std::uint8_t* buffer, std::size_t capacity) override {
        ReceiveResult result;
        if (socket_ == INVALID_SOCKET) return result;
        int error = receiveOnce(buffer, capacity, result);
        if (error == WSAEWOULDBLOCK) {
            // Nothing waiting: re-arm the event, then look once more, so that a datagram arriving in
            // between is either received now or wakes the loop's wait.
            ::WSAResetEvent(readEvent_);
            error = receiveOnce(buffer, capacity, result);
        }
        if (error == WSAEWOULDBLOCK) {
            result.status = ReceiveStatus::nothingMore;
        } else if (error != 0) {
            result.status = ReceiveStatus::failed;
        }
        return result;
    }

    int setReceiveBufferBytes(int bytes) override {
        if (socket_ == INVALID_SOCKET) return -1;
        if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) != 0) {
            return -1;
        }
        int granted = 0;
        int length = sizeof granted;
        if (::getsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) != 0) return -1;
        return granted;
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

    // Receives one datagram into result; 0, or the error that kept it from being received. A
    // datagram larger than capacity fails with WSAEMSGSIZE and is gone: refused, never cut.
    int receiveOnce(std::uint8_t* buffer, std::size_t capacity, ReceiveResult& result) {
        sockaddr_in from{};
        int fromLength = sizeof from;
        const int received = ::recvfrom(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity),
                                        0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        result.address = from.sin_addr.s_addr;
        result.port = from.sin_port;
        if (received == SOCKET_ERROR) return ::WSAGetLastError();
        result.status = ReceiveStatus::datagram;
        result.length = static_cast<std::size_t>(received);
        return 0;
    }

    bool waitForRoom() {
        fd_set writable{};
        writable.fd_count = 1;
        writable.fd_array[0] = socket_;
        timeval timeout{};
        timeout.tv_usec = kRoomWaitMilliseconds * 1000;
        return ::select(0, nullptr, &writable, nullptr, &timeout) > 0;
    }

    std::optional<WinsockUse> winsock_;
    SOCKET socket_ = INVALID_SOCKET;
    std::error_code bindError_;
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
