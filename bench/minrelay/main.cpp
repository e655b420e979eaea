// minrelay: the least work the game protocol allows, as the reference the server is measured against.
// It admits players with a bare welcome, answers ping requests, forgets players that quit, and fans
// every sync out to every other player with one send each. No state, no range test, no policing, no
// log; between datagrams it sleeps in the kernel.
//
// With --batched it reads whatever is waiting with one recvmmsg and sends each sync's copies with one
// sendmmsg: the least system calls a relay of one sync at a time can make.
//
// With --uring (when built with liburing) it makes fewer still: one multishot recvmsg delivers every
// datagram into a ring of provided buffers without a call of its own, each copy is a send entry, and the
// entries queued while handling one batch of completions go to the kernel in the same io_uring_enter that
// waits for the next batch. Successful sends post no completion.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#ifdef MINRELAY_WITH_URING
#include <liburing.h>
#include <sys/mman.h>
#endif

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
// receive is this relay's only wait, so it has no wait of its own to count. With --uring every
// io_uring_enter that waits for completions counts as a receive (it is the call that brings datagrams in,
// as the blocking recvmmsg is for --batched; one that reaps no datagram counts as an empty receive) and
// carries the sends queued before it, which therefore count no call; an io_uring_enter that only submits
// (when the queue of send entries is full) counts as a send. Setting the ring up is not counted.
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

// Where the io_uring path takes its sends: a block of memory for one datagram that stays untouched until
// the entries that read it have been submitted, and a send entry for one copy of the block last
// reserved (the queue keeps its own copy of the address, as the kernel reads it only at submission).
class SendQueue {
public:
    virtual ~SendQueue() = default;
    virtual std::uint8_t* reserve() = 0;
    virtual void queueSend(const sockaddr_in& to, const std::uint8_t* data, std::size_t length) = 0;
};

class MinimalRelay {
public:
    MinimalRelay(int socketHandle, bool batched, SendQueue* queue = nullptr)
        : socket_(socketHandle), batched_(batched), queue_(queue) {
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
        if (queue_ != nullptr) {
            queueFanOut(senderId, datagram, length);
            return;
        }
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

    // The same relay, built once in memory the queue keeps, and one send entry per copy.
    void queueFanOut(int senderId, const std::uint8_t* datagram, std::size_t length) {
        ++syncs;
        std::uint8_t* relay = queue_->reserve();
        relay[0] = kSync;
        relay[1] = static_cast<std::uint8_t>(senderId);
        std::memcpy(relay + 2, datagram + 1, length - 1);
        for (std::size_t id = 0; id < kMaxPlayers; ++id) {
            if (!peers_[id].active || static_cast<int>(id) == senderId) continue;
            ++sends;
            queue_->queueSend(peers_[id].address, relay, length + 1);
        }
    }

    void sendTo(const sockaddr_in& to, const std::uint8_t* data, std::size_t length) {
        if (queue_ != nullptr) {
            std::uint8_t* copy = queue_->reserve();
            std::memcpy(copy, data, length);
            queue_->queueSend(to, copy, length);
            return;
        }
        ++calls.sends;
        if (sendto(socket_, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
            ++calls.datagramsSent;
        }
    }

    int socket_;
    bool batched_;
    SendQueue* queue_;
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

#ifdef MINRELAY_WITH_URING
// The io_uring relay. One multishot recvmsg fills buffers the kernel takes from a provided-buffer ring;
// each buffer goes back to the ring as soon as its datagram is handled. The sends of a batch of
// completions are queued and submitted by the io_uring_enter that waits for the next batch.
class UringRelay final : public SendQueue {
public:
    struct Options {
        std::string setup = "best";  // best, defer, coop or plain: how the kernel runs completion work
        bool sendmsg = false;        // IORING_OP_SENDMSG instead of IORING_OP_SEND with an address
    };

    UringRelay(int handle, Options options) : handle_(handle), options_(std::move(options)) {}

    ~UringRelay() override {
        if (ringOpen_) io_uring_queue_exit(&ring_);
        if (bufferRing_ != nullptr) munmap(bufferRing_, bufferRingBytes());
    }

    UringRelay(const UringRelay&) = delete;
    UringRelay& operator=(const UringRelay&) = delete;

    // Sets the ring up with the cheapest flags the kernel takes; false (with a line on standard error)
    // when it has no io_uring or refuses a part this relay needs.
    bool open() {
        struct Setup {
            const char* name;
            unsigned flags;
        };
        const Setup setups[] = {
            {"defer", IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN},
            {"coop", IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN},
            {"plain", 0},
        };
        int result = -EINVAL;
        for (const Setup& setup : setups) {
            if (options_.setup != "best" && options_.setup != setup.name) continue;
            io_uring_params params{};
            params.flags = setup.flags;
            result = io_uring_queue_init_params(kEntries, &ring_, &params);
            if (result == 0) {
                description_ = setup.name;
                features_ = params.features;
                break;
            }
        }
        if (result != 0) {
            std::fprintf(stderr, "minrelay: io_uring_queue_init_params: %s\n", std::strerror(-result));
            return false;
        }
        ringOpen_ = true;
        // The socket as a registered file spares a look-up per entry; a registered ring fd one per enter.
        if (io_uring_register_files(&ring_, &handle_, 1) == 0) {
            fixedFile_ = true;
            description_ += ", fixed file";
        }
        if (io_uring_register_ring_fd(&ring_) == 1) description_ += ", registered ring";
        if ((features_ & IORING_FEAT_CQE_SKIP) != 0) description_ += ", no completion for a sent copy";
        description_ += options_.sendmsg ? ", sendmsg" : ", send with address";

        void* memory = mmap(nullptr, bufferRingBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            std::perror("minrelay: mmap");
            return false;
        }
        bufferRing_ = static_cast<io_uring_buf_ring*>(memory);
        io_uring_buf_reg registration{};
        registration.ring_addr = reinterpret_cast<std::uintptr_t>(bufferRing_);
        registration.ring_entries = kBuffers;
        registration.bgid = kBufferGroup;
        result = io_uring_register_buf_ring(&ring_, &registration, 0);
        if (result != 0) {
            std::fprintf(stderr, "minrelay: io_uring_register_buf_ring: %s\n", std::strerror(-result));
            return false;
        }
        io_uring_buf_ring_init(bufferRing_);
        for (unsigned id = 0; id < kBuffers; ++id) {
            io_uring_buf_ring_add(bufferRing_, buffer(id), kBufferSize, static_cast<unsigned short>(id),
                                  io_uring_buf_ring_mask(kBuffers), static_cast<int>(id));
        }
        io_uring_buf_ring_advance(bufferRing_, kBuffers);
        receiveHeader_.msg_namelen = sizeof(sockaddr_in);
        return true;
    }

    const std::string& description() const { return description_; }

    // Every block holds the largest datagram plus the sender's id, and room for the addresses of a whole
    // fan-out; a flush comes before the block is handed out, never between its entries, so no entry
    // reads a block that has been handed out again.
    std::uint8_t* reserve() override {
        if (blocksUsed_ == kBlocks || io_uring_sq_space_left(&ring_) < kMaxPlayers) {
            flush();
            if (blocksUsed_ == kBlocks || io_uring_sq_space_left(&ring_) < kMaxPlayers) {
                std::fprintf(stderr, "minrelay: the kernel takes no more send entries\n");
                std::exit(1);
            }
        }
        current_ = &blocks_[blocksUsed_++];
        current_->copies = 0;
        return current_->data.data();
    }

    void queueSend(const sockaddr_in& to, const std::uint8_t* data, std::size_t length) override {
        io_uring_sqe* entry = io_uring_get_sqe(&ring_);
        if (entry == nullptr || current_ == nullptr || current_->copies == kMaxPlayers) return;  // reserve left room
        Outgoing& copy = current_->outgoing[current_->copies++];
        copy.to = to;
        if (options_.sendmsg) {
            copy.part = iovec{const_cast<std::uint8_t*>(data), length};
            copy.header = msghdr{};
            copy.header.msg_name = &copy.to;
            copy.header.msg_namelen = sizeof copy.to;
            copy.header.msg_iov = &copy.part;
            copy.header.msg_iovlen = 1;
            io_uring_prep_sendmsg(entry, fixedFile_ ? 0 : handle_, &copy.header, MSG_DONTWAIT);
        } else {
            io_uring_prep_send(entry, fixedFile_ ? 0 : handle_, data, length, MSG_DONTWAIT);
            io_uring_prep_send_set_addr(entry, reinterpret_cast<const sockaddr*>(&copy.to), sizeof copy.to);
        }
        entry->user_data = kSendTag;
        if (fixedFile_) entry->flags |= IOSQE_FIXED_FILE;
        if ((features_ & IORING_FEAT_CQE_SKIP) != 0) entry->flags |= IOSQE_CQE_SKIP_SUCCESS;
        ++queued_;
    }

    void run(MinimalRelay& relay) {
        armReceive();
        while (stopRequested == 0) {
            const int result = io_uring_submit_and_wait(&ring_, 1);
            ++calls.receives;
            if (io_uring_sq_ready(&ring_) == 0) releaseBlocks();
            if (result < 0 && result != -EINTR && result != -EAGAIN && result != -EBUSY) {
                std::fprintf(stderr, "minrelay: io_uring_submit_and_wait: %s\n", std::strerror(-result));
                break;
            }
            unsigned head = 0;
            unsigned seen = 0;
            unsigned datagrams = 0;
            io_uring_cqe* completion = nullptr;
            io_uring_for_each_cqe(&ring_, head, completion) {
                ++seen;
                if (completion->user_data == kReceiveTag) {
                    datagrams += take(*completion, relay);
                } else if (completion->res < 0) {
                    ++failedSends_;
                }
            }
            io_uring_cq_advance(&ring_, seen);
            if (datagrams == 0) ++calls.emptyReceives;
            if (rearm_) armReceive();
        }
        calls.datagramsSent = queued_ - failedSends_;
        releaseSocket();
    }

    unsigned long long failedSends() const { return failedSends_; }

private:
    static constexpr unsigned kEntries = 4096;
    static constexpr unsigned kBuffers = 512;
    static constexpr unsigned kBufferSize =
        sizeof(io_uring_recvmsg_out) + sizeof(sockaddr_in) + kReceiveBufferSize;
    static constexpr unsigned kBlocks = 256;
    static constexpr unsigned short kBufferGroup = 0;
    static constexpr std::uint64_t kReceiveTag = 1;
    static constexpr std::uint64_t kSendTag = 2;
    static constexpr std::uint64_t kCancelTag = 3;

    struct Outgoing {
        sockaddr_in to;
        msghdr header;
        iovec part;
    };

    struct Block {
        std::array<std::uint8_t, kReceiveBufferSize + 1> data;
        std::array<Outgoing, kMaxPlayers> outgoing;
        std::size_t copies;
    };

    std::size_t bufferRingBytes() const { return kBuffers * sizeof(io_uring_buf); }
    std::uint8_t* buffer(unsigned id) { return buffers_.data() + static_cast<std::size_t>(id) * kBufferSize; }

    void armReceive() {
        io_uring_sqe* entry = io_uring_get_sqe(&ring_);
        if (entry == nullptr) {
            flush();
            entry = io_uring_get_sqe(&ring_);
            if (entry == nullptr) {
                std::fprintf(stderr, "minrelay: the kernel takes no more entries\n");
                std::exit(1);
            }
        }
        io_uring_prep_recvmsg_multishot(entry, fixedFile_ ? 0 : handle_, &receiveHeader_, 0);
        entry->flags |= IOSQE_BUFFER_SELECT;
        if (fixedFile_) entry->flags |= IOSQE_FIXED_FILE;
        entry->buf_group = kBufferGroup;
        entry->user_data = kReceiveTag;
        rearm_ = false;
    }

    // One completion of the multishot receive: the datagram is handled and its buffer goes back.
    unsigned take(const io_uring_cqe& completion, MinimalRelay& relay) {
        if ((completion.flags & IORING_CQE_F_MORE) == 0) rearm_ = true;  // ended (out of buffers, say)
        if (completion.res < 0 || (completion.flags & IORING_CQE_F_BUFFER) == 0) return 0;
        const unsigned id = completion.flags >> IORING_CQE_BUFFER_SHIFT;
        std::uint8_t* memory = buffer(id);
        ++calls.datagramsReceived;
        const io_uring_recvmsg_out* out = io_uring_recvmsg_validate(memory, completion.res, &receiveHeader_);
        if (out != nullptr && (out->flags & MSG_TRUNC) == 0 && out->namelen == sizeof(sockaddr_in)) {
            // An oversized datagram is refused whole, as the server does.
            const unsigned length = io_uring_recvmsg_payload_length(
                const_cast<io_uring_recvmsg_out*>(out), completion.res, &receiveHeader_);
            sockaddr_in from{};
            std::memcpy(&from, io_uring_recvmsg_name(const_cast<io_uring_recvmsg_out*>(out)), sizeof from);
            if (length >= 1) {
                relay.handle(static_cast<const std::uint8_t*>(
                                 io_uring_recvmsg_payload(const_cast<io_uring_recvmsg_out*>(out), &receiveHeader_)),
                             length, from);
            }
        }
        io_uring_buf_ring_add(bufferRing_, memory, kBufferSize, static_cast<unsigned short>(id),
                              io_uring_buf_ring_mask(kBuffers), 0);
        io_uring_buf_ring_advance(bufferRing_, 1);
        return 1;
    }

    // The receive still in flight and the registered file both hold the socket, and the kernel tears a
    // ring down in the background: both are let go here, so that the port is free when the relay exits.
    // Not counted: it is the shut-down.
    void releaseSocket() {
        io_uring_sqe* entry = io_uring_get_sqe(&ring_);
        if (entry != nullptr) {
            io_uring_prep_cancel64(entry, kReceiveTag, 0);
            entry->user_data = kCancelTag;
            io_uring_submit(&ring_);
            // Bounded: the cancel and the receive's last completion come at once.
            bool ended = false;
            for (int attempt = 0; attempt < 100 && !ended; ++attempt) {
                io_uring_cqe* completion = nullptr;
                __kernel_timespec wait{0, 10'000'000};
                if (io_uring_wait_cqe_timeout(&ring_, &completion, &wait) != 0) continue;
                ended = completion->user_data == kReceiveTag && (completion->flags & IORING_CQE_F_MORE) == 0;
                io_uring_cqe_seen(&ring_, completion);
            }
        }
        if (fixedFile_) io_uring_unregister_files(&ring_);
    }

    // Submits without waiting, when the queue of entries or the blocks they read from are full.
    void flush() {
        io_uring_submit(&ring_);
        ++calls.sends;
        if (io_uring_sq_ready(&ring_) == 0) releaseBlocks();
    }

    void releaseBlocks() {
        blocksUsed_ = 0;
        current_ = nullptr;
    }

    int handle_;
    Options options_;
    io_uring ring_{};
    bool ringOpen_ = false;
    unsigned features_ = 0;
    bool fixedFile_ = false;
    bool rearm_ = false;
    std::string description_;
    io_uring_buf_ring* bufferRing_ = nullptr;
    std::vector<std::uint8_t> buffers_ = std::vector<std::uint8_t>(std::size_t{kBuffers} * kBufferSize);
    msghdr receiveHeader_{};
    std::vector<Block> blocks_ = std::vector<Block>(kBlocks);
    unsigned blocksUsed_ = 0;
    Block* current_ = nullptr;
    unsigned long long queued_ = 0;
    unsigned long long failedSends_ = 0;
};
#endif

void printUsage() {
    std::fprintf(stderr,
                 "usage: minrelay --port N [--address 127.0.0.1] [--batched | --uring [--uring-setup "
                 "best|defer|coop|plain] [--uring-sendmsg]]\n"
                 "       minrelay --uring-check   (status 0 when an io_uring relay can run here, 3 when not)\n");
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0;
    std::string address = "127.0.0.1";
    bool batched = false;
    bool uring = false;
    std::string uringSetup = "best";
    bool uringSendmsg = false;
    bool uringCheck = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc) {
            port = std::strtol(argv[++i], nullptr, 10);
        } else if (option == "--address" && i + 1 < argc) {
            address = argv[++i];
        } else if (option == "--batched") {
            batched = true;
        } else if (option == "--uring") {
            uring = true;
        } else if (option == "--uring-setup" && i + 1 < argc) {
            uringSetup = argv[++i];
        } else if (option == "--uring-sendmsg") {
            uringSendmsg = true;
        } else if (option == "--uring-check") {
            uringCheck = true;
        } else {
            printUsage();
            return 2;
        }
    }
#ifndef MINRELAY_WITH_URING
    if (uring || uringCheck) {
        std::fprintf(stderr, "minrelay: --uring is not available: built without liburing (Debian: liburing-dev)\n");
        return 3;
    }
    (void)uringSendmsg;
#else
    if (uringCheck) {
        // A ring over an unbound socket: the kernel (or a sandbox's filter) may refuse io_uring.
        const int probe = socket(AF_INET, SOCK_DGRAM, 0);
        if (probe < 0) return 3;
        auto ring = std::make_unique<UringRelay>(probe, UringRelay::Options{"best", false});
        const bool opened = ring->open();
        ring.reset();
        close(probe);
        if (!opened) std::fprintf(stderr, "minrelay: --uring is not available: the kernel refuses io_uring here\n");
        return opened ? 0 : 3;
    }
#endif
    if (batched && uring) {
        printUsage();
        return 2;
    }
    if (uringSetup != "best" && uringSetup != "defer" && uringSetup != "coop" && uringSetup != "plain") {
        printUsage();
        return 2;
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

#ifdef MINRELAY_WITH_URING
    if (uring) {
        // The ring holds the socket as a registered file: it goes first, so the port is free on exit.
        auto ring = std::make_unique<UringRelay>(handle, UringRelay::Options{uringSetup, uringSendmsg});
        if (!ring->open()) {
            ring.reset();
            close(handle);
            return 1;
        }
        std::printf("minrelay: listening on %s:%ld, io_uring (%s)\n", address.c_str(), port,
                    ring->description().c_str());
        std::fflush(stdout);
        MinimalRelay relay(handle, false, ring.get());
        ring->run(relay);
        const unsigned long long refused = ring->failedSends();
        ring.reset();
        close(handle);
        writeSystemCallCountsIfAsked();
        std::printf("minrelay: %llu syncs relayed with %llu sends (%llu refused) in %llu io_uring_enter calls\n",
                    static_cast<unsigned long long>(relay.syncs), static_cast<unsigned long long>(relay.sends),
                    refused, calls.receives + calls.sends);
        return 0;
    }
#endif
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
