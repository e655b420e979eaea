// minrelay: the least work the game protocol allows, as the reference the server is measured against.
// It admits players with a bare welcome, answers ping requests, forgets players that quit, and fans
// every sync out to every other player with one send each. No state, no range test, no policing, no
// log; between datagrams it sleeps in the kernel.
//
// With --batched it reads whatever is waiting with one recvmmsg and sends each sync's copies with one
// sendmmsg: the least system calls a relay of one sync at a time can make.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t kMaxPlayers = 26;
constexpr std::size_t kReceiveBufferSize = 1024;
constexpr std::uint8_t kJoin = 1;
constexpr std::uint8_t kQuit = 2;
constexpr std::uint8_t kPingRequest = 4;
constexpr std::uint8_t kPingAnswer = 5;
constexpr std::uint8_t kNotice = 6;
constexpr std::uint8_t kSync = 10;
constexpr std::uint8_t kAlreadyJoined = 2;
constexpr std::uint8_t kServerFull = 7;
constexpr std::size_t kWelcomeLength = 17;

volatile sig_atomic_t stopRequested = 0;

// The system calls made, counted as the server counts its own (VARN_SYSCALL_COUNTS): a blocking
// receive is this relay's only wait, so it has no wait of its own to count.
struct SystemCallCounts {
    unsigned long long receives = 0;
    unsigned long long emptyReceives = 0;
    unsigned long long datagramsReceived = 0;
    unsigned long long sends = 0;
    unsigned long long datagramsSent = 0;
} calls;

void writeSystemCallCountsIfAsked() {
    const char* path = std::getenv("VARN_SYSCALL_COUNTS");
    if (path == nullptr || *path == '\0') return;
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) return;
    std::fprintf(file,
                 "waits=0 wait_changes=0 receives=%llu empty_receives=%llu datagrams_received=%llu sends=%llu "
                 "datagrams_sent=%llu clock_reads=0 other=0\n",
                 calls.receives, calls.emptyReceives, calls.datagramsReceived, calls.sends, calls.datagramsSent);
    std::fclose(file);
}

void requestStop(int) { stopRequested = 1; }

struct Peer {
    sockaddr_in address{};
    bool active = false;
};

constexpr std::size_t kReceiveBatch = 64;

class MinimalRelay {
public:
    MinimalRelay(int socketHandle, bool batched) : socket_(socketHandle), batched_(batched) {
        for (std::size_t index = 0; index < kMaxPlayers; ++index) {
            fanOutParts_[index].iov_base = relay_.data();
            fanOutMessages_[index].msg_hdr.msg_iov = &fanOutParts_[index];
            fanOutMessages_[index].msg_hdr.msg_iovlen = 1;
            fanOutMessages_[index].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
    }

    void handle(const std::uint8_t* datagram, std::size_t length, const sockaddr_in& from) {
        const int id = find(from);
        switch (datagram[0]) {
            case kJoin: join(id, from); break;
            case kQuit:
                if (id >= 0) peers_[static_cast<std::size_t>(id)].active = false;
                break;
            case kPingRequest: sendTo(from, &kPingAnswer, 1); break;
            case kSync:
                if (id >= 0) fanOut(id, datagram, length);
                break;
            default: break;
        }
    }

    std::uint64_t syncs = 0;
    std::uint64_t sends = 0;
    std::uint64_t sendCalls = 0;

private:
    int find(const sockaddr_in& from) const {
        for (std::size_t id = 0; id < kMaxPlayers; ++id) {
            const Peer& peer = peers_[id];
            if (peer.active && peer.address.sin_addr.s_addr == from.sin_addr.s_addr &&
                peer.address.sin_port == from.sin_port) {
                return static_cast<int>(id);
            }
        }
        return -1;
    }

    void join(int id, const sockaddr_in& from) {
        if (id >= 0) {
            const std::uint8_t notice[2] = {kNotice, kAlreadyJoined};
            sendTo(from, notice, sizeof notice);
            return;
        }
        for (std::size_t slot = 0; slot < kMaxPlayers; ++slot) {
            if (peers_[slot].active) continue;
            peers_[slot] = Peer{from, true};
            // The client checks the game, mode and the three check values; the player list may be empty.
            const std::uint8_t welcome[kWelcomeLength] = {
                kJoin, 2, 1, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(kMaxPlayers),
                0x21, 0x0E, 0x0C, 0x49, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11};
            sendTo(from, welcome, sizeof welcome);
            return;
        }
        const std::uint8_t notice[2] = {kNotice, kServerFull};
        sendTo(from, notice, sizeof notice);
    }

    void fanOut(int senderId, const std::uint8_t* datagram, std::size_t length) {
        // [10][sender id] and the payload unchanged: the relay is the datagram with the id put in.
        relay_[0] = kSync;
        relay_[1] = static_cast<std::uint8_t>(senderId);
        std::memcpy(relay_.data() + 2, datagram + 1, length - 1);
        ++syncs;
        unsigned copies = 0;
        for (std::size_t id = 0; id < kMaxPlayers; ++id) {
            if (!peers_[id].active || static_cast<int>(id) == senderId) continue;
            ++sends;
            if (batched_) {
                fanOutParts_[copies].iov_len = length + 1;
                fanOutMessages_[copies].msg_hdr.msg_name = &peers_[id].address;
                ++copies;
            } else {
                sendTo(peers_[id].address, relay_.data(), length + 1);
                ++sendCalls;
            }
        }
        // One call for the whole fan-out; a partial send goes on with the rest, a refused copy is skipped.
        for (unsigned done = 0; done < copies;) {
            const int went = sendmmsg(socket_, fanOutMessages_.data() + done, copies - done, 0);
            ++sendCalls;
            ++calls.sends;
            if (went > 0) calls.datagramsSent += static_cast<unsigned>(went);
            if (went < 0 && errno == EINTR) continue;
            done += went > 0 ? static_cast<unsigned>(went) : 1;
        }
    }

    void sendTo(const sockaddr_in& to, const std::uint8_t* data, std::size_t length) {
        ++calls.sends;
        if (sendto(socket_, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
            ++calls.datagramsSent;
        }
    }

    int socket_;
    bool batched_;
    std::array<Peer, kMaxPlayers> peers_{};
    std::array<std::uint8_t, kReceiveBufferSize + 1> relay_{};
    std::array<iovec, kMaxPlayers> fanOutParts_{};
    std::array<mmsghdr, kMaxPlayers> fanOutMessages_{};
};

// Blocks until something arrives, then takes whatever is waiting (up to a batch) with one call.
void runBatched(int handle, MinimalRelay& relay) {
    std::array<std::array<std::uint8_t, kReceiveBufferSize>, kReceiveBatch> buffers{};
    std::array<sockaddr_in, kReceiveBatch> senders{};
    std::array<iovec, kReceiveBatch> parts{};
    std::array<mmsghdr, kReceiveBatch> messages{};
    while (stopRequested == 0) {
        for (std::size_t index = 0; index < kReceiveBatch; ++index) {
            parts[index] = iovec{buffers[index].data(), buffers[index].size()};
            messages[index] = mmsghdr{};
            messages[index].msg_hdr.msg_name = &senders[index];
            messages[index].msg_hdr.msg_namelen = sizeof senders[index];
            messages[index].msg_hdr.msg_iov = &parts[index];
            messages[index].msg_hdr.msg_iovlen = 1;
        }
        const int received = recvmmsg(handle, messages.data(), kReceiveBatch, MSG_WAITFORONE, nullptr);
        ++calls.receives;
        if (received < 0) {
            ++calls.emptyReceives;
            if (errno == EINTR) continue;
            std::perror("minrelay: recvmmsg");
            return;
        }
        calls.datagramsReceived += static_cast<unsigned>(received);
        for (int index = 0; index < received; ++index) {
            const mmsghdr& message = messages[static_cast<std::size_t>(index)];
            // An oversized datagram is refused whole, as the server does.
            if (message.msg_len < 1 || (message.msg_hdr.msg_flags & MSG_TRUNC) != 0) continue;
            relay.handle(buffers[static_cast<std::size_t>(index)].data(), message.msg_len,
                         senders[static_cast<std::size_t>(index)]);
        }
    }
}

void printUsage() {
    std::fprintf(stderr, "usage: minrelay --port N [--address 127.0.0.1] [--batched]\n");
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0;
    std::string address = "127.0.0.1";
    bool batched = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc) {
            port = std::strtol(argv[++i], nullptr, 10);
        } else if (option == "--address" && i + 1 < argc) {
            address = argv[++i];
        } else if (option == "--batched") {
            batched = true;
        } else {
            printUsage();
            return 2;
        }
    }
    sockaddr_in bindAddress{};
    bindAddress.sin_family = AF_INET;
    if (port < 1 || port > 65535 || inet_pton(AF_INET, address.c_str(), &bindAddress.sin_addr) != 1) {
        printUsage();
        return 2;
    }
    bindAddress.sin_port = htons(static_cast<std::uint16_t>(port));

    const int handle = socket(AF_INET, SOCK_DGRAM, 0);
    if (handle < 0 || bind(handle, reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
        std::perror("minrelay: bind");
        return 1;
    }

    // No SA_RESTART: a stop signal interrupts the blocking receive.
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    std::printf("minrelay: listening on %s:%ld%s\n", address.c_str(), port, batched ? ", batched" : "");
    std::fflush(stdout);

    MinimalRelay relay(handle, batched);
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    if (batched) runBatched(handle, relay);
    while (!batched && stopRequested == 0) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received =
            recvfrom(handle, buffer.data(), buffer.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLength);
        ++calls.receives;
        if (received < 0) {
            ++calls.emptyReceives;
            if (errno == EINTR) continue;
            std::perror("minrelay: recvfrom");
            break;
        }
        // An oversized datagram is refused whole, as the server does.
        ++calls.datagramsReceived;
        if (received < 1 || static_cast<std::size_t>(received) > buffer.size()) continue;
        relay.handle(buffer.data(), static_cast<std::size_t>(received), from);
    }
    close(handle);
    writeSystemCallCountsIfAsked();
    std::printf("minrelay: %llu syncs relayed with %llu sends in %llu calls\n",
                static_cast<unsigned long long>(relay.syncs), static_cast<unsigned long long>(relay.sends),
                static_cast<unsigned long long>(relay.sendCalls));
    return 0;
}
