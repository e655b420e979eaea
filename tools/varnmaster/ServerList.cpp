#include "ServerList.h"

#include <algorithm>

#include "net/PeerAddress.h"

namespace varn::master {

namespace {

constexpr std::size_t kMostAddressesCountedPerMinute = 65'536;
constexpr std::int64_t kMinuteMilliseconds = 60'000;

constexpr std::array<std::string_view, static_cast<std::size_t>(Drop::count)> kDropNames = {
    "malformed",       "rate",          "rate_table",        "ports_per_address", "pending_full",
    "list_full",       "challenge_outstanding", "budget",    "wrong_answer",      "unexpected",
    "challenge_timeout", "bad_status",  "missed_polls",      "heartbeat_age",
};

Outgoing datagramTo(ServerKey key, std::uint32_t source, std::span<const std::uint8_t> bytes) {
    Outgoing out;
    out.to = key;
    out.source = source;
    out.length = static_cast<std::uint8_t>(std::min(bytes.size(), out.bytes.size()));
    std::copy_n(bytes.begin(), out.length, out.bytes.begin());
    return out;
}

}  // namespace

std::string_view dropName(Drop drop) { return kDropNames[static_cast<std::size_t>(drop)]; }

std::string ServerKey::text() const {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) + ":" + std::to_string(port);
}

bool SendBudget::take(std::size_t bytes, std::int64_t nowMilliseconds) {
    const std::int64_t second = nowMilliseconds / 1000;
    if (second != second_) {
        second_ = second;
        datagrams_ = 0;
        bytes_ = 0;
    }
    if (datagrams_ + 1 > datagramsPerSecond_ || bytes_ + static_cast<std::int64_t>(bytes) > bytesPerSecond_) {
        return false;
    }
    ++datagrams_;
    bytes_ += static_cast<std::int64_t>(bytes);
    ++datagramsTaken_;
    bytesTaken_ += bytes;
    return true;
}

ServerList::ServerList(const MasterSettings& settings, RandomSource random, Describe describe)
    : settings_(settings),
      random_(std::move(random)),
      describe_(std::move(describe)),
      challengeBudget_(std::max(1, settings.sendDatagramsPerSecond / 2), std::max(1, settings.sendBytesPerSecond / 2)),
      pollBudget_(std::max(1, settings.sendDatagramsPerSecond - settings.sendDatagramsPerSecond / 2),
                  std::max(1, settings.sendBytesPerSecond - settings.sendBytesPerSecond / 2)) {
    key_.shuffle();
}

std::size_t ServerList::answeredCount() const {
    return static_cast<std::size_t>(
        std::count_if(listed_.begin(), listed_.end(), [](const auto& entry) { return entry.second.answered; }));
}

bool ServerList::rateAllows(std::uint32_t address, std::int64_t nowMilliseconds) {
    const std::int64_t minute = nowMilliseconds / kMinuteMilliseconds;
    if (minute != rateMinute_) {
        rateMinute_ = minute;
        heartbeatsThisMinute_.clear();
    }
    auto found = heartbeatsThisMinute_.find(address);
    if (found == heartbeatsThisMinute_.end()) {
        if (heartbeatsThisMinute_.size() >= kMostAddressesCountedPerMinute) {
            countDrop(Drop::rateTable);
            return false;
        }
        found = heartbeatsThisMinute_.emplace(address, 0).first;
    }
    if (found->second >= static_cast<std::uint32_t>(settings_.heartbeatsPerAddressPerMinute)) {
        countDrop(Drop::rate);
        return false;
    }
    ++found->second;
    return true;
}

std::size_t ServerList::portsHeldBy(std::uint32_t address) const {
    const auto found = portsByAddress_.find(address);
    return found == portsByAddress_.end() ? 0 : found->second;
}

void ServerList::adjustPorts(std::uint32_t address, int change) {
    auto& held = portsByAddress_[address];
    held = static_cast<std::uint32_t>(static_cast<int>(held) + change);
    if (held == 0) portsByAddress_.erase(address);
}

void ServerList::heartbeat(std::uint32_t address, std::uint32_t localAddress, std::span<const std::uint8_t> datagram,
                           std::int64_t nowMilliseconds, std::int64_t nowSeconds) {
    const std::optional<std::uint16_t> queryPort = browser::decodeHeartbeat(datagram);
    if (!queryPort) {
        countDrop(Drop::malformed);
        return;
    }
    ++counters_.heartbeats;
    if (!rateAllows(address, nowMilliseconds)) return;
    const ServerKey key{address, *queryPort};
    if (auto listed = listed_.find(key.packed()); listed != listed_.end()) {
        Listed& server = listed->second;
        server.lastHeartbeat = nowSeconds;
        server.lastHeartbeatAt = nowMilliseconds;
        server.localAddress = localAddress;
        ++stateGeneration_;
        // A heartbeat asks for a fresh look at the server.
        if (server.pollSent == 0) server.nextPoll = nowMilliseconds;
        return;
    }
    if (auto pending = pending_.find(key.packed()); pending != pending_.end()) {
        if (nowMilliseconds - pending->second.sent < settings_.challengeSeconds * 1000LL) {
            countDrop(Drop::challengeOutstanding);
            return;
        }
        pending->second.localAddress = localAddress;
        if (!challenge(key, pending->second, nowMilliseconds)) {
            pending_.erase(pending);
            adjustPorts(address, -1);
        }
        return;
    }
    if (portsHeldBy(address) >= static_cast<std::size_t>(settings_.maxPortsPerAddress)) {
        countDrop(Drop::portsPerAddress);
        return;
    }
    if (pending_.size() >= static_cast<std::size_t>(settings_.maxPending)) {
        countDrop(Drop::pendingFull);
        return;
    }
    if (listed_.size() >= static_cast<std::size_t>(settings_.maxServers)) {
        countDrop(Drop::listFull);
        return;
    }
    Pending fresh;
    fresh.localAddress = localAddress;
    if (!challenge(key, fresh, nowMilliseconds)) return;
    pending_.emplace(key.packed(), fresh);
    adjustPorts(address, +1);
}

// One challenge for one heartbeat: 9 bytes for at least 10 received, so the master never sends an
// address more than it was sent from there.
bool ServerList::challenge(ServerKey key, Pending& pending, std::int64_t nowMilliseconds) {
    if (!challengeBudget_.take(1 + browser::kChallengeLength, nowMilliseconds)) {
        countDrop(Drop::budget);
        return false;
    }
    random_(pending.challenge);
    pending.sent = nowMilliseconds;
    std::array<std::uint8_t, 1 + browser::kChallengeLength> bytes{};
    bytes[0] = browser::kChallengeQuery;
    std::copy(pending.challenge.begin(), pending.challenge.end(), bytes.begin() + 1);
    outbox_.push_back(datagramTo(key, pending.localAddress, bytes));
    ++counters_.challengesSent;
    return true;
}

void ServerList::challengeAnswer(ServerKey from, std::span<const std::uint8_t> datagram,
                                 std::int64_t nowMilliseconds, std::int64_t nowSeconds) {
    const auto pending = pending_.find(from.packed());
    if (pending == pending_.end()) {
        countDrop(Drop::unexpected);
        return;
    }
    const bool inTime = nowMilliseconds - pending->second.sent <= settings_.challengeSeconds * 1000LL;
    const bool right = inTime && key_.isAnswer(pending->second.challenge, datagram);
    const std::uint32_t localAddress = pending->second.localAddress;
    pending_.erase(pending);
    if (!right) {
        ++counters_.challengesFailed;
        countDrop(Drop::wrongAnswer);
        adjustPorts(from.address, -1);
        return;
    }
    ++counters_.challengesPassed;
    if (listed_.size() >= static_cast<std::size_t>(settings_.maxServers)) {
        countDrop(Drop::listFull);
        adjustPorts(from.address, -1);
        return;
    }
    Listed& server = listed_[from.packed()];
    server.key = from;
    server.localAddress = localAddress;
    server.firstSeen = nowSeconds;
    server.lastHeartbeat = nowSeconds;
    server.lastHeartbeatAt = nowMilliseconds;
    server.nextPoll = nowMilliseconds;
    ++stateGeneration_;
    poll(server, nowMilliseconds);
}

bool ServerList::poll(Listed& server, std::int64_t nowMilliseconds) {
    if (!pollBudget_.take(1, nowMilliseconds)) return false;
    const std::uint8_t query[] = {browser::kStatusQuery};
    outbox_.push_back(datagramTo(server.key, server.localAddress, query));
    server.pollSent = nowMilliseconds;
    server.nextPoll = nowMilliseconds + settings_.pollSeconds * 1000LL;
    if (!server.pieces) server.pieces = std::make_unique<browser::StatusPieces>();
    server.pieces->clear();
    ++counters_.pollsSent;
    return true;
}

void ServerList::statusPiece(ServerKey from, std::span<const std::uint8_t> datagram, std::int64_t,
                             std::int64_t nowSeconds) {
    const auto found = listed_.find(from.packed());
    if (found == listed_.end() || found->second.pollSent == 0 || !found->second.pieces) {
        countDrop(Drop::unexpected);
        return;
    }
    Listed& server = found->second;
    const browser::StatusPieces::Outcome outcome = server.pieces->add(datagram);
    if (outcome == browser::StatusPieces::Outcome::incomplete) return;
    if (outcome == browser::StatusPieces::Outcome::refused) {
        countDrop(Drop::badStatus);
        return;
    }
    std::optional<browser::ServerStatus> status = browser::decodeStatusReply(server.pieces->reply());
    server.pieces.reset();
    server.pollSent = 0;
    if (!status || status->gameName != browser::kGameName) {
        ++counters_.pollsFailed;
        countDrop(Drop::badStatus);
        if (++server.missedPolls >= kMostMissedPolls) drop(found, Drop::missedPolls);
        return;
    }
    ++counters_.pollsAnswered;
    server.status = std::move(*status);
    server.answered = true;
    server.missedPolls = 0;
    server.lastSeen = nowSeconds;
    if (describe_) server.json = describe_(server);
    ++generation_;
}

void ServerList::drop(std::unordered_map<std::uint64_t, Listed>::iterator server, Drop why) {
    countDrop(why);
    adjustPorts(server->second.key.address, -1);
    if (server->second.answered) ++generation_;
    ++stateGeneration_;
    listed_.erase(server);
}

void ServerList::tick(std::int64_t nowMilliseconds) {
    for (auto pending = pending_.begin(); pending != pending_.end();) {
        if (nowMilliseconds - pending->second.sent > settings_.challengeSeconds * 1000LL) {
            ++counters_.challengesTimedOut;
            countDrop(Drop::challengeTimeout);
            adjustPorts(static_cast<std::uint32_t>(pending->first >> 16), -1);
            pending = pending_.erase(pending);
        } else {
            ++pending;
        }
    }
    for (auto server = listed_.begin(); server != listed_.end();) {
        Listed& entry = server->second;
        if (entry.pollSent != 0 && nowMilliseconds - entry.pollSent > kPollTimeoutMilliseconds) {
            // No reply, or one with a piece missing: a failed poll.
            entry.pollSent = 0;
            entry.pieces.reset();
            ++counters_.pollsFailed;
            if (++entry.missedPolls >= kMostMissedPolls) {
                drop(server++, Drop::missedPolls);
                continue;
            }
        }
        if (nowMilliseconds - entry.lastHeartbeatAt > kHeartbeatAgeSeconds * 1000) {
            drop(server++, Drop::heartbeatAge);
            continue;
        }
        if (entry.pollSent == 0 && nowMilliseconds >= entry.nextPoll) poll(entry, nowMilliseconds);
        ++server;
    }
}

void ServerList::restore(ServerKey key, std::uint32_t localAddress, std::int64_t firstSeen,
                         std::int64_t lastHeartbeat, std::int64_t nowMilliseconds, std::int64_t nowSeconds) {
    if (listed_.size() >= static_cast<std::size_t>(settings_.maxServers) || listed_.contains(key.packed())) return;
    Listed& server = listed_[key.packed()];
    server.key = key;
    server.localAddress = localAddress;
    server.firstSeen = firstSeen;
    server.lastHeartbeat = lastHeartbeat;
    // Its age as the calendar tells it, carried over to the monotonic clock once.
    const std::int64_t age = std::clamp<std::int64_t>(nowSeconds - lastHeartbeat, 0, kHeartbeatAgeSeconds + 1);
    server.lastHeartbeatAt = nowMilliseconds - age * 1000;
    server.nextPoll = nowMilliseconds;
    adjustPorts(key.address, +1);
}

std::string ServerList::takeDropSummary() {
    std::uint64_t total = 0;
    std::string reasons;
    for (std::size_t index = 0; index < sinceSummary_.size(); ++index) {
        if (sinceSummary_[index] == 0) continue;
        total += sinceSummary_[index];
        if (!reasons.empty()) reasons += ", ";
        reasons += std::string(kDropNames[index]) + " " + std::to_string(sinceSummary_[index]);
    }
    sinceSummary_.fill(0);
    if (total == 0) return {};
    return "MASTER-WARNING: " + std::to_string(total) + " dropped in the last minute (" + reasons + ").";
}

}  // namespace varn::master
