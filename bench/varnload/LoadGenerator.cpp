#include "varnload/LoadGenerator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/Packet.h"

namespace varn::bench {

namespace {

constexpr auto kChecksumAnswer = encodeClientCrcReply(kExpectedClientCrc);

// The sync each player sends: on foot, the sequence number as the 32-bit foot value (the reduced
// relay carries it back), the position as tag 1, tags 2 and 3, and tag 10, whose twelve bytes the
// server neither reads nor stores, holding the sequence number and the send time. The full relay
// passes the payload through unchanged. Offsets are in the datagram sent, [10] and the payload.
constexpr std::size_t kFootValueOffset = 1 + sync::kStateWordOffset;
constexpr std::size_t kPositionOffset = 1 + sync::kTagsAfterStateWord + 1;
constexpr std::size_t kTagTwoOffset = kPositionOffset + sync::kPointWidth;
constexpr std::size_t kTagThreeOffset = kTagTwoOffset + 2;
constexpr std::size_t kOpaqueTagOffset = kTagThreeOffset + 2;
constexpr std::size_t kSyncLength = kOpaqueTagOffset + 1 + sync::kPointWidth;
// The relay puts the sender id after the command id: everything moves one byte on.
constexpr std::size_t kFullRelayLength = kSyncLength + 1;
constexpr std::size_t kFullRelayTagOffset = kOpaqueTagOffset + 1;
// On foot, the reduced report is the longest of its forms.
constexpr std::size_t kReducedRelayLength = sync::kMaxReducedRelayLength;
constexpr std::size_t kReducedFootValueOffset = sync::kRelayHeaderLength + sync::kStateWordOffset;

constexpr float kFarApart = 5000.0f;
constexpr float kPlayerSpacing = 2.0f;
constexpr std::size_t kSentStampSlots = 1 << 16;
constexpr int kJoinTimeoutMs = 2000;
constexpr int kReceiveBufferBytes = 8 << 20;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kStartDelayNs = 5'000'000;
// A player more than this far behind its schedule skips the missed syncs instead of bursting them.
constexpr std::int64_t kMaxLagNs = 50'000'000;
constexpr std::int64_t kDrainNs = 300'000'000;
constexpr std::int64_t kSlowRelayNs = 1'000'000;
constexpr std::int64_t kAfterPingNs = 20'000'000;
constexpr unsigned kBatch = 64;
constexpr std::size_t kDatagramCapacity = 2048;

// What the server's notice [6][reason] to one of the players says.
std::string noticeText(int reason) {
    switch (reason) {
        case notice::kNameRefused: return "name refused: reserved or in use (give another --name-prefix)";
        case notice::kBanned: return "banned";
        case notice::kAlreadyJoined: return "this address and port already joined";
        case notice::kRemoved: return "kicked by an administrator, or removed for a chat flood";
        case notice::kWrongPassword: return "wrong server password";
        case notice::kWrongVersion: return "wrong protocol version";
        case notice::kServerFull: return "server full";
        case notice::kCrcMismatch: return "client check-sum mismatch";
        case notice::kCrcUnanswered: return "client check-sum not answered";
        default: return "notice " + std::to_string(reason);
    }
}

// What the broadcast [9][reason][id] says of a player who left.
std::string leaveText(int reason) {
    switch (reason) {
        case leftReason::kQuit: return "quit";
        case leftReason::kKickedOrBanned: return "kicked or banned by an administrator";
        case leftReason::kTimeout: return "timed out";
        case leftReason::kChatFlood: return "removed for a chat flood";
        case leftReason::kTrainer: return "removed after a trainer report";
        case leftReason::kCrcMismatch: return "removed for a client check-sum mismatch";
        case leftReason::kCrcUnanswered: return "removed for an unanswered client check-sum";
        default: return "left (reason " + std::to_string(reason) + ")";
    }
}

std::int64_t clockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}
std::int64_t monotonicNs() { return clockNs(CLOCK_MONOTONIC); }
// Kernel arrival stamps are on the real-time clock, so the send stamps are too.
std::int64_t realtimeNs() { return clockNs(CLOCK_REALTIME); }

void putUint32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void putInt64(std::uint8_t* at, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}
std::uint32_t getUint32(const std::uint8_t* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | at[i];
    return value;
}
std::int64_t getInt64(const std::uint8_t* at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
    return static_cast<std::int64_t>(value);
}

// Receive buffers for one batched read; static so the hot loop never allocates.
struct ReceiveBatch {
    std::uint8_t data[kBatch][kDatagramCapacity];
    alignas(cmsghdr) std::uint8_t control[kBatch][CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
    iovec vectors[kBatch];
    mmsghdr headers[kBatch];
};
ReceiveBatch batch;

}  // namespace

double StepResult::lossFraction() const {
    if (expectedRelays == 0) return 0;
    const double received = static_cast<double>(relaysReceived());
    return std::max(0.0, 1.0 - received / static_cast<double>(expectedRelays));
}

double StepResult::relayRate() const {
    return windowSeconds > 0 ? static_cast<double>(relaysReceived()) / windowSeconds : 0;
}

double StepResult::serverCpuSeconds() const {
    if (!serverBefore.valid || !serverAfter.valid) return 0;
    if (serverBefore.cpuNanosecondsValid && serverAfter.cpuNanosecondsValid) {
        return static_cast<double>(serverAfter.cpuNanoseconds - serverBefore.cpuNanoseconds) / 1e9;
    }
    return serverAfter.statCpuSeconds - serverBefore.statCpuSeconds;
}

double StepResult::serverCpuPercent() const {
    return windowSeconds > 0 ? 100.0 * serverCpuSeconds() / windowSeconds : 0;
}

double StepResult::statCpuPercent() const {
    if (!serverBefore.valid || !serverAfter.valid || windowSeconds <= 0) return 0;
    return 100.0 * (serverAfter.statCpuSeconds - serverBefore.statCpuSeconds) / windowSeconds;
}

LoadGenerator::LoadGenerator(LoadSettings settings) : settings_(std::move(settings)) {
    indexOfId_.fill(-1);
    poller_ = epoll_create1(EPOLL_CLOEXEC);
    for (unsigned i = 0; i < kBatch; ++i) {
        batch.vectors[i] = iovec{batch.data[i], kDatagramCapacity};
        batch.headers[i].msg_hdr.msg_iov = &batch.vectors[i];
        batch.headers[i].msg_hdr.msg_iovlen = 1;
    }
}

LoadGenerator::~LoadGenerator() {
    for (SimulatedPlayer& player : players_) {
        if (player.socket >= 0) close(player.socket);
    }
    if (poller_ >= 0) close(poller_);
}

bool LoadGenerator::openSocket(SimulatedPlayer& player, int index) {
    player.socket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (player.socket < 0) {
        std::perror("varnload: socket");
        return false;
    }
    // A deep queue, so that a relay lost is the server's loss and not a late read of ours.
    const int bufferBytes = kReceiveBufferBytes;
    if (setsockopt(player.socket, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0) {
        setsockopt(player.socket, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    }
    const int on = 1;
    setsockopt(player.socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    setsockopt(player.socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F000000u | static_cast<std::uint32_t>(settings_.firstHostOctet + index));
    if (bind(player.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "varnload: cannot bind 127.0.0.%d: %s\n", settings_.firstHostOctet + index,
                     std::strerror(errno));
        return false;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(settings_.port);
    inet_pton(AF_INET, settings_.serverAddress.c_str(), &server.sin_addr);
    if (connect(player.socket, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        std::perror("varnload: connect");
        return false;
    }
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u32 = static_cast<std::uint32_t>(index);
    epoll_ctl(poller_, EPOLL_CTL_ADD, player.socket, &interest);
    return true;
}

bool LoadGenerator::join(SimulatedPlayer& player, int index) {
    char number[8];
    std::snprintf(number, sizeof number, "%02d", index);
    player.name = settings_.namePrefix + number;
    const char* name = player.name.c_str();
    PacketWriter<32> request;
    encodeJoin(request, player.name, "");
    reply(player, request.data(), request.size());

    const std::int64_t deadline = monotonicNs() + std::int64_t{kJoinTimeoutMs} * 1'000'000;
    std::uint8_t answer[kDatagramCapacity];
    for (;;) {
        const std::int64_t left = deadline - monotonicNs();
        pollfd entry{player.socket, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left / 1'000'000) + 1) <= 0) {
            std::fprintf(stderr, "varnload: %s got no welcome within %d ms\n", name, kJoinTimeoutMs);
            return false;
        }
        const ssize_t received = recv(player.socket, answer, sizeof answer, 0);
        if (received < 1) continue;
        const PacketReader datagram(answer, static_cast<std::size_t>(received));
        if (answer[0] == command::kNotice) {
            const std::optional<std::uint8_t> reason = decodeNotice(datagram);
            std::fprintf(stderr, "varnload: %s refused: %s\n", name,
                         reason ? noticeText(*reason).c_str() : "refused without a reason (an empty name, or a "
                                                                "join from this address a moment ago)");
            return false;
        }
        if (const std::optional<Welcome> welcome = decodeWelcome(datagram)) {
            player.id = welcome->header.peerId;
            indexOfId_[static_cast<std::size_t>(player.id)] = index;
            return true;
        }
        // Join notices of earlier players, the message of the day: not wanted yet.
    }
}

bool LoadGenerator::joinAll() {
    players_.resize(static_cast<std::size_t>(settings_.players));
    const int half = settings_.players / 2;
    for (int index = 0; index < settings_.players; ++index) {
        SimulatedPlayer& player = players_[static_cast<std::size_t>(index)];
        player.group = settings_.spread && index >= half ? 1 : 0;
        player.x = static_cast<float>(player.group) * kFarApart + kPlayerSpacing * static_cast<float>(index);
        player.y = 0;
        player.sent.assign(kSentStampSlots, SentStamp{});
        if (!openSocket(player, index) || !join(player, index)) return false;
    }
    // One report each, as a client sends on entering the game: the server then knows every
    // position, and the first window's relays already take the form the distances call for.
    for (SimulatedPlayer& player : players_) sendSync(player);
    return true;
}

void LoadGenerator::reply(const SimulatedPlayer& player, const std::uint8_t* bytes, std::size_t length) {
    send(player.socket, bytes, length, 0);
}

void LoadGenerator::noticeRemoval(const SimulatedPlayer& player, const std::uint8_t* bytes, std::size_t length) {
    const std::optional<std::uint8_t> reason = decodeNotice(PacketReader(bytes, length));
    if (!interruption_) {
        interruption_ = "the server removed " + player.name + " (" +
                        (reason ? noticeText(*reason) : std::string("a notice without a reason")) + ")";
    }
}

void LoadGenerator::noticeLeave(const std::uint8_t* bytes, std::size_t length) {
    const PacketReader datagram(bytes, length);
    const auto reason = datagram.byteAt(1);
    const auto id = datagram.byteAt(2);
    if (!reason || !id || indexOfId_[*id] < 0) {
        ++current_.otherDatagrams;
        return;
    }
    if (!interruption_) {
        const SimulatedPlayer& gone = players_[static_cast<std::size_t>(indexOfId_[*id])];
        interruption_ = gone.name + " (id " + std::to_string(*id) + ") is gone: " + leaveText(*reason);
    }
}

// A refused send or receive on a connected socket: the server's port is closed, it has shut down.
void LoadGenerator::noticeSocketError(int error) {
    if (error != ECONNREFUSED || interruption_) return;
    interruption_ = "the server on " + settings_.serverAddress + ":" + std::to_string(settings_.port) +
                    " stopped (its port refuses datagrams): it was shut down";
}

void LoadGenerator::sendSync(SimulatedPlayer& player) {
    std::uint8_t report[kSyncLength] = {command::kSync, sync::kOnFootState};
    const std::uint32_t sequence = ++player.sequence;
    putUint32(report + kFootValueOffset, sequence);
    report[kPositionOffset - 1] = sync::kPositionTag;
    const float position[3] = {player.x, player.y, 0.0f};
    std::memcpy(report + kPositionOffset, position, sizeof position);
    report[kTagTwoOffset] = sync::kTag2;
    report[kTagThreeOffset] = sync::kTag3;
    report[kOpaqueTagOffset] = sync::kUnstoredTag10;
    putUint32(report + kOpaqueTagOffset + 1, sequence);
    const std::int64_t stamp = realtimeNs();
    putInt64(report + kOpaqueTagOffset + 5, stamp);
    player.sent[sequence % kSentStampSlots] = SentStamp{sequence, stamp};
    if (send(player.socket, report, sizeof report, 0) == static_cast<ssize_t>(sizeof report)) {
        ++current_.syncsSent;
    } else {
        noticeSocketError(errno);
        ++current_.syncsSkipped;
    }
}

void LoadGenerator::handleRelay(const SimulatedPlayer& recipient, const std::uint8_t* bytes, std::size_t length,
                                std::int64_t arrivalNs, std::int64_t readNs) {
    const int senderIndex = indexOfId_[bytes[1]];
    if (senderIndex < 0) {
        ++current_.otherDatagrams;
        return;
    }
    const SimulatedPlayer& sender = players_[static_cast<std::size_t>(senderIndex)];
    bool full = false;
    std::uint32_t sequence = 0;
    std::int64_t sentNs = 0;
    if (length == kFullRelayLength && bytes[kFullRelayTagOffset] == sync::kUnstoredTag10) {
        full = true;
        sequence = getUint32(bytes + kFullRelayTagOffset + 1);
        sentNs = getInt64(bytes + kFullRelayTagOffset + 5);
    } else if (length == kReducedRelayLength && bytes[sync::kRelayHeaderLength] == sync::kOnFootState) {
        sequence = getUint32(bytes + kReducedFootValueOffset);
        const SentStamp& stamp = sender.sent[sequence % kSentStampSlots];
        if (stamp.sequence == sequence) sentNs = stamp.realtimeNs;
    } else {
        ++current_.otherDatagrams;
        return;
    }
    if (sequence < sender.windowFirstSequence) {
        ++current_.lateRelays;
        return;
    }
    ++(full ? current_.fullRelays : current_.reducedRelays);
    if (full != (sender.group == recipient.group)) ++current_.unexpectedForm;
    if (sentNs != 0) {
        const std::int64_t latency = (arrivalNs != 0 ? arrivalNs : readNs) - sentNs;
        latency_.record(latency);
        readLatency_.record(readNs - sentNs);
        if (latency > kSlowRelayNs) {
            ++current_.slowRelays;
            const std::int64_t sincePing = sentNs - lastPingRequestNs_;
            if (sincePing >= 0 && sincePing < kAfterPingNs) ++current_.slowRelaysAfterPing;
        }
    }
}

void LoadGenerator::handleDatagram(SimulatedPlayer& player, const std::uint8_t* bytes, std::size_t length,
                                   std::int64_t arrivalNs, std::int64_t readNs) {
    if (length == 0) return;
    switch (bytes[0]) {
        case command::kPingRequest: {
            // The requests to all players go out in one burst: the first one marks it.
            const std::int64_t arrived = arrivalNs != 0 ? arrivalNs : readNs;
            if (arrived - lastPingRequestNs_ > kAfterPingNs) lastPingRequestNs_ = arrived;
            if (settings_.ignorePings) break;
            reply(player, &command::kPingReply, 1);
            ++current_.pingsAnswered;
            break;
        }
        case command::kClientCrc:
            reply(player, kChecksumAnswer.data(), kChecksumAnswer.size());
            ++current_.checksumsAnswered;
            break;
        case command::kNotice: noticeRemoval(player, bytes, length); break;
        case command::kPlayerLeft: noticeLeave(bytes, length); break;
        case command::kSync:
            if (length >= sync::kRelayHeaderLength) {
                handleRelay(player, bytes, length, arrivalNs, readNs);
            } else {
                ++current_.otherDatagrams;
            }
            break;
        default: ++current_.otherDatagrams; break;
    }
}

void LoadGenerator::receiveAll(SimulatedPlayer& player) {
    for (;;) {
        for (unsigned i = 0; i < kBatch; ++i) {
            msghdr& header = batch.headers[i].msg_hdr;
            header.msg_name = nullptr;
            header.msg_namelen = 0;
            header.msg_control = batch.control[i];
            header.msg_controllen = sizeof batch.control[i];
            header.msg_flags = 0;
        }
        const int count = recvmmsg(player.socket, batch.headers, kBatch, MSG_DONTWAIT, nullptr);
        if (count < 0) noticeSocketError(errno);
        if (count <= 0) return;
        const std::int64_t readNs = realtimeNs();
        for (int i = 0; i < count; ++i) {
            msghdr& header = batch.headers[i].msg_hdr;
            std::int64_t arrivalNs = 0;
            for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
                 control = CMSG_NXTHDR(&header, control)) {
                if (control->cmsg_level != SOL_SOCKET) continue;
                if (control->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(control), sizeof stamp);
                    arrivalNs = static_cast<std::int64_t>(stamp.tv_sec) * kNsPerSecond + stamp.tv_nsec;
                } else if (control->cmsg_type == SO_RXQ_OVFL) {
                    // The socket's running count of datagrams dropped for want of room.
                    std::uint32_t dropped = 0;
                    std::memcpy(&dropped, CMSG_DATA(control), sizeof dropped);
                    if (dropped > player.kernelDrops) {
                        current_.loadSocketDrops += dropped - player.kernelDrops;
                        player.kernelDrops = dropped;
                    }
                }
            }
            const std::size_t length = std::min<std::size_t>(batch.headers[i].msg_len, kDatagramCapacity);
            handleDatagram(player, batch.data[i], length, arrivalNs, readNs);
        }
        if (static_cast<unsigned>(count) < kBatch) return;
    }
}

void LoadGenerator::waitAndReceive(std::int64_t timeoutNs) {
    epoll_event events[kMaxSimulatedPlayers + 1];
    const timespec timeout{static_cast<time_t>(timeoutNs / kNsPerSecond), static_cast<long>(timeoutNs % kNsPerSecond)};
    const int ready = epoll_pwait2(poller_, events, kMaxSimulatedPlayers + 1, &timeout, nullptr);
    for (int i = 0; i < ready; ++i) receiveAll(players_[events[i].data.u32]);
}

void LoadGenerator::settle(double seconds) {
    const std::int64_t end = monotonicNs() + static_cast<std::int64_t>(seconds * 1e9);
    for (std::int64_t now = monotonicNs(); now < end && !interruption_; now = monotonicNs()) {
        waitAndReceive(end - now);
    }
    current_ = StepResult{};
}

StepResult LoadGenerator::runStep(double ratePerPlayer, double seconds) {
    current_ = StepResult{};
    current_.ratePerPlayer = ratePerPlayer;
    latency_.clear();
    readLatency_.clear();

    const std::int64_t period = ratePerPlayer > 0 ? static_cast<std::int64_t>(1e9 / ratePerPlayer) : 0;
    const std::int64_t start = monotonicNs() + kStartDelayNs;
    const auto playerCount = static_cast<std::int64_t>(players_.size());
    for (std::size_t index = 0; index < players_.size(); ++index) {
        SimulatedPlayer& player = players_[index];
        player.windowFirstSequence = player.sequence + 1;
        // Spread over the period so the server sees a steady stream, not 26 syncs at once.
        player.nextSendNs = start + period * static_cast<std::int64_t>(index) / std::max<std::int64_t>(playerCount, 1);
    }
    const std::int64_t sendEnd = start + static_cast<std::int64_t>(seconds * 1e9);
    const long dropsBefore = udpSocketDrops(settings_.port);
    const std::int64_t loadCpuBefore = clockNs(CLOCK_PROCESS_CPUTIME_ID);
    current_.serverBefore = sampleProcess(settings_.serverPid);
    const std::int64_t windowStart = monotonicNs();

    bool sending = true;
    std::int64_t drainEnd = 0;
    for (;;) {
        const std::int64_t now = monotonicNs();
        if (sending && now >= sendEnd) {
            current_.serverAfter = sampleProcess(settings_.serverPid);
            current_.windowSeconds = static_cast<double>(now - windowStart) / 1e9;
            current_.loadCpuSeconds = static_cast<double>(clockNs(CLOCK_PROCESS_CPUTIME_ID) - loadCpuBefore) / 1e9;
            sending = false;
            drainEnd = now + kDrainNs;
        }
        if ((!sending && now >= drainEnd) || interruption_) break;
        std::int64_t wake = sending ? sendEnd : drainEnd;
        if (sending && period > 0) {
            for (SimulatedPlayer& player : players_) {
                if (now - player.nextSendNs > kMaxLagNs) {
                    current_.syncsSkipped += static_cast<std::uint64_t>((now - player.nextSendNs) / period);
                    player.nextSendNs = now;
                }
                while (player.nextSendNs <= now && player.nextSendNs < sendEnd) {
                    sendSync(player);
                    player.nextSendNs += period;
                }
                wake = std::min(wake, player.nextSendNs);
            }
        }
        waitAndReceive(std::max<std::int64_t>(0, wake - monotonicNs()));
    }

    const long dropsAfter = udpSocketDrops(settings_.port);
    if (dropsBefore >= 0 && dropsAfter >= 0) current_.serverSocketDrops = dropsAfter - dropsBefore;
    const auto others = static_cast<std::uint64_t>(std::max<std::int64_t>(playerCount - 1, 0));
    current_.expectedRelays = current_.syncsSent * others;
    current_.latencyP50 = latency_.percentileMicroseconds(0.50);
    current_.latencyP99 = latency_.percentileMicroseconds(0.99);
    current_.latencyMax = latency_.maxMicroseconds();
    current_.readLatencyP50 = readLatency_.percentileMicroseconds(0.50);
    current_.readLatencyP99 = readLatency_.percentileMicroseconds(0.99);
    current_.readLatencyMax = readLatency_.maxMicroseconds();
    return current_;
}

void LoadGenerator::quitAll() {
    const std::uint8_t quit = command::kQuit;
    for (const SimulatedPlayer& player : players_) {
        if (player.id >= 0) reply(player, &quit, 1);
    }
}

}  // namespace varn::bench
