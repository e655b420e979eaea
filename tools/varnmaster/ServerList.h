#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "MasterSettings.h"
#include "protocol/BrowserStatusReader.h"
#include "protocol/MasterVerification.h"

namespace varn::master {

// Why something a master received was not taken, or why a server left the list.
enum class Drop : std::uint8_t {
    malformed,             // not a heartbeat, an answer or a status reply
    rate,                  // more heartbeats from its address this minute than allowed
    rateTable,             // too many addresses counted this minute to count another
    portsPerAddress,       // its address holds as many query ports as allowed
    pendingFull,           // the table of verifications under way is full
    listFull,              // MaxServers are listed
    challengeOutstanding,  // a challenge to it is still waiting for its answer
    budget,                // the send budget was spent for this second
    wrongAnswer,           // an answer that is not the key's
    unexpected,            // an answer or status reply nobody asked for
    challengeTimeout,      // no answer within the time given
    badStatus,             // a status reply that could not be read
    missedPolls,           // a listed server that missed its polls
    heartbeatAge,          // a listed server that stopped sending heartbeats
    count
};
std::string_view dropName(Drop drop);

// Host order, as shown and sorted.
struct ServerKey {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint64_t packed() const { return static_cast<std::uint64_t>(address) << 16 | port; }
    std::string text() const;
};

// A verified server: what it last said of itself and when.
struct Listed {
    ServerKey key;
    std::uint32_t localAddress = 0;  // network order: the master's address it reached
    bool answered = false;           // listed once a status reply came
    browser::ServerStatus status;
    std::int64_t firstSeen = 0;        // calendar seconds
    std::int64_t lastSeen = 0;         // calendar seconds of the last status reply
    std::int64_t lastHeartbeat = 0;    // calendar seconds, as shown and kept
    std::int64_t lastHeartbeatAt = 0;  // monotonic milliseconds, for the age rule: a step of the
                                       // calendar clock must not drop the list
    std::int64_t nextPoll = 0;         // monotonic milliseconds
    std::int64_t pollSent = 0;         // monotonic milliseconds; 0 while none is out
    std::int32_t missedPolls = 0;
    std::unique_ptr<browser::StatusPieces> pieces;  // only while a poll is out
    // The server's entry of the list's JSON, made when its status comes, so the whole list is only
    // put together from these.
    std::string json;
};

// One datagram the list wants sent.
struct Outgoing {
    ServerKey to;
    std::uint32_t source = 0;  // network order
    std::array<std::uint8_t, 1 + browser::kChallengeLength> bytes{};
    std::uint8_t length = 0;
};

// The datagrams and bytes one kind of send may take in one second.
class SendBudget {
public:
    SendBudget(std::int64_t datagramsPerSecond, std::int64_t bytesPerSecond)
        : datagramsPerSecond_(datagramsPerSecond), bytesPerSecond_(bytesPerSecond) {}
    bool take(std::size_t bytes, std::int64_t nowMilliseconds);
    std::uint64_t datagramsTaken() const { return datagramsTaken_; }
    std::uint64_t bytesTaken() const { return bytesTaken_; }

private:
    std::int64_t datagramsPerSecond_;
    std::int64_t bytesPerSecond_;
    std::int64_t second_ = -1;
    std::int64_t datagrams_ = 0;
    std::int64_t bytes_ = 0;
    std::uint64_t datagramsTaken_ = 0;
    std::uint64_t bytesTaken_ = 0;
};

// Counters for /metrics.
struct ListCounters {
    std::uint64_t heartbeats = 0;
    std::uint64_t challengesSent = 0;
    std::uint64_t challengesPassed = 0;
    std::uint64_t challengesFailed = 0;
    std::uint64_t challengesTimedOut = 0;
    std::uint64_t pollsSent = 0;
    std::uint64_t pollsAnswered = 0;
    std::uint64_t pollsFailed = 0;
    std::array<std::uint64_t, static_cast<std::size_t>(Drop::count)> drops{};
};

// The master's tables and rules, apart from any socket: verifications under way (bounded, and apart
// from the list, so a flood of forged heartbeats can fill only them) and the verified servers. Time
// is handed in; what is to be sent collects in the outbox.
class ServerList {
public:
    // Fills the 8 bytes of a challenge from the system's random source.
    using RandomSource = std::function<void(std::span<std::uint8_t>)>;
    // Writes a server's entry of the list's JSON (ListRender's entryJson).
    using Describe = std::function<std::string(const Listed&)>;

    // A verification answer counts within this long; a poll's reply within this long.
    static constexpr std::int64_t kPollTimeoutMilliseconds = 3'000;
    static constexpr std::int32_t kMostMissedPolls = 3;
    // A server's longest heartbeat gap, twice, and a margin: a listed server silent that long has gone.
    static constexpr std::int64_t kHeartbeatAgeSeconds = 2 * 1920 + 300;

    ServerList(const MasterSettings& settings, RandomSource random, Describe describe = {});

    void heartbeat(std::uint32_t address, std::uint32_t localAddress, std::span<const std::uint8_t> datagram,
                   std::int64_t nowMilliseconds, std::int64_t nowSeconds);
    void challengeAnswer(ServerKey from, std::span<const std::uint8_t> datagram, std::int64_t nowMilliseconds,
                         std::int64_t nowSeconds);
    void statusPiece(ServerKey from, std::span<const std::uint8_t> datagram, std::int64_t nowMilliseconds,
                     std::int64_t nowSeconds);
    // A datagram that is none of the three.
    void malformed() { countDrop(Drop::malformed); }
    // Time-outs, drops and the polls that are due.
    void tick(std::int64_t nowMilliseconds);

    // A server from the state file: verified, polled at once, listed once it answers.
    void restore(ServerKey key, std::uint32_t localAddress, std::int64_t firstSeen, std::int64_t lastHeartbeat,
                 std::int64_t nowMilliseconds, std::int64_t nowSeconds);

    std::vector<Outgoing>& outbox() { return outbox_; }
    const std::unordered_map<std::uint64_t, Listed>& listed() const { return listed_; }
    std::size_t pendingCount() const { return pending_.size(); }
    std::size_t answeredCount() const;
    const ListCounters& counters() const { return counters_; }
    const SendBudget& challengeBudget() const { return challengeBudget_; }
    const SendBudget& pollBudget() const { return pollBudget_; }
    // Moves whenever what the list shows changes.
    std::uint64_t generation() const { return generation_; }
    // Moves whenever what the state file keeps changes.
    std::uint64_t stateGeneration() const { return stateGeneration_; }
    // The drops since the last call, for the summary line; empty when there were none.
    std::string takeDropSummary();

private:
    struct Pending {
        std::uint32_t localAddress = 0;
        std::array<std::uint8_t, browser::kChallengeLength> challenge{};
        std::int64_t sent = 0;
    };

    void countDrop(Drop drop) { ++counters_.drops[static_cast<std::size_t>(drop)]; ++sinceSummary_[static_cast<std::size_t>(drop)]; }
    bool rateAllows(std::uint32_t address, std::int64_t nowMilliseconds);
    std::size_t portsHeldBy(std::uint32_t address) const;
    // False when the budget has no room for it.
    bool challenge(ServerKey key, Pending& pending, std::int64_t nowMilliseconds);
    bool poll(Listed& server, std::int64_t nowMilliseconds);
    void drop(std::unordered_map<std::uint64_t, Listed>::iterator server, Drop why);
    void adjustPorts(std::uint32_t address, int change);

    MasterSettings settings_;
    RandomSource random_;
    Describe describe_;
    // Half the budget each: a flood of heartbeats can spend the challenges' half, never the polls'.
    SendBudget challengeBudget_;
    SendBudget pollBudget_;
    browser::VerificationKey key_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::unordered_map<std::uint64_t, Listed> listed_;
    std::unordered_map<std::uint32_t, std::uint32_t> portsByAddress_;
    std::unordered_map<std::uint32_t, std::uint32_t> heartbeatsThisMinute_;
    std::int64_t rateMinute_ = -1;
    std::vector<Outgoing> outbox_;
    ListCounters counters_;
    std::array<std::uint64_t, static_cast<std::size_t>(Drop::count)> sinceSummary_{};
    std::uint64_t generation_ = 0;
    std::uint64_t stateGeneration_ = 0;
};

}  // namespace varn::master
