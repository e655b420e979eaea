#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/GameProtocol.h"
#include "varnload/LatencyHistogram.h"
#include "varnload/ProcessStats.h"

namespace varn::bench {

// One simulated player for every player slot of a server.
inline constexpr int kMaxSimulatedPlayers = kMaxPlayers;

struct LoadSettings {
    std::string serverAddress = "127.0.0.1";
    std::uint16_t port = 0;
    int players = kMaxSimulatedPlayers;
    // Player i sends from 127.0.0.(firstHostOctet + i): one address each, so the join-flood rule,
    // which counts joins per address, lets them all in.
    int firstHostOctet = 10;
    // Half of the players far from the other half, so each sync goes out full to some and reduced
    // to the others.
    bool spread = false;
    // Leave the server's ping requests unanswered (a diagnosis: no ping replies, so no ping reports
    // broadcast to every player).
    bool ignorePings = false;
    pid_t serverPid = 0;
    // Player i joins as the prefix and i in two digits (load00, load01 ...); two generators at once
    // need prefixes, and first octets, of their own.
    std::string namePrefix = "load";
};

// What one measuring window saw.
struct StepResult {
    double ratePerPlayer = 0;
    double windowSeconds = 0;
    std::uint64_t syncsSent = 0;
    std::uint64_t syncsSkipped = 0;
    std::uint64_t expectedRelays = 0;
    std::uint64_t fullRelays = 0;
    std::uint64_t reducedRelays = 0;
    // Full where the positions call for reduced, or the other way round.
    std::uint64_t unexpectedForm = 0;
    // Relays of syncs sent before this window.
    std::uint64_t lateRelays = 0;
    std::uint64_t otherDatagrams = 0;
    // Relays slower than 1 ms, and how many of them carried syncs sent within 20 ms after the
    // server's once-a-second ping requests arrived.
    std::uint64_t slowRelays = 0;
    std::uint64_t slowRelaysAfterPing = 0;
    std::uint64_t pingsAnswered = 0;
    std::uint64_t checksumsAnswered = 0;
    std::uint64_t loadSocketDrops = 0;
    long serverSocketDrops = -1;
    // From the send stamp in the sync to the kernel's arrival stamp at the recipient, and to the
    // moment varnload read it.
    double latencyP50 = 0;
    double latencyP99 = 0;
    double latencyMax = 0;
    double readLatencyP50 = 0;
    double readLatencyP99 = 0;
    double readLatencyMax = 0;
    ProcessSample serverBefore;
    ProcessSample serverAfter;
    double loadCpuSeconds = 0;

    std::uint64_t relaysReceived() const { return fullRelays + reducedRelays; }
    double lossFraction() const;
    double relayRate() const;
    double serverCpuSeconds() const;
    // From the CPU-time clock when it could be read, else from /proc/<pid>/stat.
    double serverCpuPercent() const;
    double statCpuPercent() const;
};

// Simulated players in one process: each with its own socket on its own loopback address, joining,
// sending syncs on a fixed schedule, answering the server's pings and check-sum requests, and
// counting and timing the relays it receives.
class LoadGenerator {
public:
    explicit LoadGenerator(LoadSettings settings);
    ~LoadGenerator();
    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    // Opens the sockets and joins every player, one after the other; false with the reason on
    // standard error.
    bool joinAll();
    // Serves pings and check-sum requests and drops whatever else arrives, for a while.
    void settle(double seconds);
    // Every player sends syncs at ratePerPlayer for the given time; a rate of 0 only listens.
    StepResult runStep(double ratePerPlayer, double seconds);
    void quitAll();
    // What ended the run early, in words: one of the players was kicked, banned or otherwise removed,
    // or the server shut down. The measurements of that window mean nothing then.
    const std::optional<std::string>& interruption() const { return interruption_; }

private:
    struct SentStamp {
        std::uint32_t sequence = 0;
        std::int64_t realtimeNs = 0;
    };
    struct SimulatedPlayer {
        std::string name;
        int socket = -1;
        int id = -1;
        float x = 0;
        float y = 0;
        int group = 0;
        std::uint32_t sequence = 0;
        std::uint32_t windowFirstSequence = 1;
        std::uint32_t kernelDrops = 0;
        std::int64_t nextSendNs = 0;
        std::vector<SentStamp> sent;
    };

    bool openSocket(SimulatedPlayer& player, int index);
    bool join(SimulatedPlayer& player, int index);
    void sendSync(SimulatedPlayer& player);
    void waitAndReceive(std::int64_t timeoutNs);
    void receiveAll(SimulatedPlayer& player);
    void handleDatagram(SimulatedPlayer& player, const std::uint8_t* bytes, std::size_t length,
                        std::int64_t arrivalNs, std::int64_t readNs);
    void handleRelay(const SimulatedPlayer& recipient, const std::uint8_t* bytes, std::size_t length,
                     std::int64_t arrivalNs, std::int64_t readNs);
    void reply(const SimulatedPlayer& player, const std::uint8_t* bytes, std::size_t length);
    void noticeRemoval(const SimulatedPlayer& player, const std::uint8_t* bytes, std::size_t length);
    void noticeLeave(const std::uint8_t* bytes, std::size_t length);
    void noticeSocketError(int error);

    LoadSettings settings_;
    std::vector<SimulatedPlayer> players_;
    std::array<int, 256> indexOfId_{};
    int poller_ = -1;
    std::int64_t lastPingRequestNs_ = 0;
    StepResult current_;
    std::optional<std::string> interruption_;
    LatencyHistogram latency_;
    LatencyHistogram readLatency_;
};

}  // namespace varn::bench
