#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/AddressText.h"
#include "platform/BatchSend.h"
#include "platform/DatagramSocket.h"
#include "platform/SystemCalls.h"

namespace varn::platform {

namespace {

// Datagrams handed to one recvmmsg or sendmmsg; longer batches take several calls.
constexpr std::size_t kSystemBatch = 64;
// How long a send waits for room in a full send buffer, as a blocking socket would have waited.
constexpr int kRoomWaitMilliseconds = 100;
// Waits for room at most this often per send call, should the buffer fill again and again.
constexpr int kMostRoomWaits = 64;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

sockaddr_in socketAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = port;
    return result;
}

// The waiting for room of one send call (one datagram or one batch): once a wait has run out, the
// rest of the call fails at once rather than holding the loop up again and again.
class RoomWait {
public:
    bool waitForRoom(int fd) {
        if (exhausted_ || waits_ >= kMostRoomWaits) return false;
        ++waits_;
        pollfd entry{fd, POLLOUT, 0};
        int ready;
        do {
            ++systemCalls.other;
            ready = ::poll(&entry, 1, kRoomWaitMilliseconds);
        } while (ready < 0 && errno == EINTR);
        exhausted_ = ready <= 0;
        return !exhausted_;
    }

private:
    bool exhausted_ = false;
    int waits_ = 0;
};

class PosixDatagramSocket final : public DatagramSocket {
public:
    ~PosixDatagramSocket() override { close(); }

    bool create() override {
        close();
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        return fd_ >= 0;
    }

    bool bind(std::uint32_t address, std::uint16_t port) override {
        if (fd_ < 0) return false;
        const sockaddr_in local = socketAddress(address, port);
        bindError_.clear();
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return true;
        bindError_ = std::error_code(errno, std::generic_category());
        return false;
    }

    std::error_code bindError() const override { return bindError_; }

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
        ++systemCalls.other;
        const int ready = ::poll(&entry, 1, timeout);
        return ready > 0 && (entry.revents & (POLLIN | POLLERR)) != 0;
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
        if (fd_ < 0) return -1;
        const sockaddr_in to = socketAddress(address, port);
        RoomWait roomWait;
        for (;;) {
            ++systemCalls.sends;
            const ssize_t sent =
                ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (sent >= 0) {
                ++systemCalls.datagramsSent;
                return static_cast<int>(sent);
            }
            if (errno == EINTR) continue;
            if (!wouldBlock(errno) || !roomWait.waitForRoom(fd_)) return -1;
        }
    }

    ReceiveResult receive(std::uint8_t* buffer, std::size_t capacity) override {
        ReceiveResult result;
        if (fd_ < 0) return result;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t received;
        do {
            ++systemCalls.receives;
            received = ::recvfrom(fd_, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
        } while (received < 0 && errno == EINTR);
        if (received < 0) {
            ++systemCalls.emptyReceives;
            result.status = wouldBlock(errno) ? ReceiveStatus::nothingMore : ReceiveStatus::failed;
            return result;
        }
        ++systemCalls.datagramsReceived;
        result.address = from.sin_addr.s_addr;
        result.port = from.sin_port;
        // MSG_TRUNC reports the datagram's real length: a longer one is refused, not cut.
        if (static_cast<std::size_t>(received) > capacity) {
            result.status = ReceiveStatus::failed;
            return result;
        }
        result.status = ReceiveStatus::datagram;
        result.length = static_cast<std::size_t>(received);
        return result;
    }

#if defined(__linux__)
    std::size_t receiveBatch(std::span<ReceiveSlot> slots) override {
        if (fd_ < 0) return DatagramSocket::receiveBatch(slots);
        std::size_t filled = 0;
        while (filled < slots.size()) {
            const std::size_t received = receiveSome(slots.subspan(filled));
            filled += received;
            // A system batch that came back short found the socket dry; the last slot says so.
            if (received == 0 || slots[filled - 1].result.status == ReceiveStatus::nothingMore) break;
        }
        return filled;
    }

    void sendBatch(std::span<SendSlot> slots) override {
        if (fd_ < 0) {
            for (SendSlot& slot : slots) slot.sent = -1;
            return;
        }
        RoomWait roomWait;
        sendInOrder(slots, [&](std::span<SendSlot> rest) { return sendSome(rest, roomWait); });
    }
#endif

#if defined(__linux__)
    bool reportLocalAddresses() override {
        const int on = 1;
        reportLocal_ = fd_ >= 0 && ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
        return reportLocal_;
    }
#endif

    int setReceiveBufferBytes(int bytes) override {
        if (fd_ < 0) return -1;
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return -1;
        int granted = 0;
        socklen_t length = sizeof granted;
        if (::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) return -1;
#if defined(__linux__)
        // Linux doubles the request for its own bookkeeping and reports the doubled size.
        granted /= 2;
#endif
        return granted;
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
#if defined(__linux__)
    // One recvmmsg into the first slots (at most kSystemBatch of them). Returns how many slots it
    // settled: the datagrams received, followed by a "nothing more" when the call came back short
    // and there is a slot left for it; or one slot that says "nothing more" or "failed".
    std::size_t receiveSome(std::span<ReceiveSlot> slots) {
        const std::size_t count = std::min(slots.size(), kSystemBatch);
        std::array<mmsghdr, kSystemBatch> messages{};
        std::array<iovec, kSystemBatch> parts{};
        std::array<sockaddr_in, kSystemBatch> senders{};
        std::array<PacketInfoSpace, kSystemBatch> controls{};
        for (std::size_t index = 0; index < count; ++index) {
            parts[index] = {slots[index].buffer, slots[index].capacity};
            msghdr& header = messages[index].msg_hdr;
            header.msg_name = &senders[index];
            header.msg_namelen = sizeof senders[index];
            header.msg_iov = &parts[index];
            header.msg_iovlen = 1;
            if (reportLocal_) {
                header.msg_control = controls[index].bytes;
                header.msg_controllen = sizeof controls[index].bytes;
            }
        }
        int received;
        do {
            ++systemCalls.receives;
            received = ::recvmmsg(fd_, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
        } while (received < 0 && errno == EINTR);
        if (received < 0) {
            ++systemCalls.emptyReceives;
            slots.front().result = ReceiveResult{};
            if (!wouldBlock(errno)) slots.front().result.status = ReceiveStatus::failed;
            return 1;
        }
        const auto got = static_cast<std::size_t>(received);
        systemCalls.datagramsReceived += got;
        for (std::size_t index = 0; index < got; ++index) {
            ReceiveResult& result = slots[index].result;
            result.address = senders[index].sin_addr.s_addr;
            result.port = senders[index].sin_port;
            result.localAddress = reportLocal_ ? destinationOf(messages[index].msg_hdr) : 0;
            // A datagram longer than its buffer is refused, not cut; the ones after it are kept.
            const bool oversized = (messages[index].msg_hdr.msg_flags & MSG_TRUNC) != 0;
            result.status = oversized ? ReceiveStatus::failed : ReceiveStatus::datagram;
            result.length = oversized ? 0 : messages[index].msg_len;
        }
        if (got < count) {
            slots[got].result = ReceiveResult{};
            return got + 1;
        }
        return got;
    }

    // One sendmmsg of the first slots (at most kSystemBatch of them): how many went, or -1 when the
    // first one could not go.
    int sendSome(std::span<SendSlot> slots, RoomWait& roomWait) {
        const std::size_t count = std::min(slots.size(), kSystemBatch);
        std::array<mmsghdr, kSystemBatch> messages{};
        std::array<iovec, kSystemBatch> parts{};
        std::array<sockaddr_in, kSystemBatch> destinations{};
        std::array<PacketInfoSpace, kSystemBatch> controls{};
        for (std::size_t index = 0; index < count; ++index) {
            destinations[index] = socketAddress(slots[index].address, slots[index].port);
            parts[index] = {const_cast<std::uint8_t*>(slots[index].data), slots[index].length};
            msghdr& header = messages[index].msg_hdr;
            header.msg_name = &destinations[index];
            header.msg_namelen = sizeof destinations[index];
            header.msg_iov = &parts[index];
            header.msg_iovlen = 1;
            if (slots[index].source != 0) setSource(header, controls[index], slots[index].source);
        }
        for (;;) {
            ++systemCalls.sends;
            const int sent = ::sendmmsg(fd_, messages.data(), static_cast<unsigned>(count), MSG_NOSIGNAL);
            if (sent >= 0) {
                systemCalls.datagramsSent += static_cast<std::uint64_t>(sent);
                for (std::size_t index = 0; index < static_cast<std::size_t>(sent); ++index) {
                    slots[index].sent = static_cast<int>(messages[index].msg_len);
                }
                return sent;
            }
            if (errno == EINTR) continue;
            if (!wouldBlock(errno) || !roomWait.waitForRoom(fd_)) return -1;
        }
    }

    // Room for one IP_PKTINFO control message, aligned as the system wants it.
    struct PacketInfoSpace {
        alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    };

    static std::uint32_t destinationOf(msghdr& header) {
        for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr; control = CMSG_NXTHDR(&header, control)) {
            if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(control), sizeof info);
                return info.ipi_addr.s_addr;
            }
        }
        return 0;
    }

    static void setSource(msghdr& header, PacketInfoSpace& space, std::uint32_t source) {
        std::memset(space.bytes, 0, sizeof space.bytes);
        header.msg_control = space.bytes;
        header.msg_controllen = sizeof space.bytes;
        cmsghdr* control = CMSG_FIRSTHDR(&header);
        control->cmsg_level = IPPROTO_IP;
        control->cmsg_type = IP_PKTINFO;
        control->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = source;
        std::memcpy(CMSG_DATA(control), &info, sizeof info);
    }
#endif

    int fd_ = -1;
    std::error_code bindError_;
    bool reportLocal_ = false;
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
