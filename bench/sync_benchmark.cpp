// The cost of relaying one sync report in a full server of 26 players: GameServer::processCommand
// with command 10, from the sender lookup to the last of the 25 sends.
//
// SyncRelay/inRange and SyncRelay/halfFar send through a socket that only counts, so they measure the
// server's own work per sync (lookup, state update, reduced report, range tests, 25 send calls into
// the endpoint). SyncRelayLoopback sends through a real UDP socket to 26 loopback sockets, so it adds
// what the kernel charges the server for 25 datagrams.
//
// With VARN_BENCH_METRICS=1 in the environment the game has the metrics endpoint's counters as an
// observer, as a server with MetricsPort has, and every 100,000 relays the whole exposition is
// written, as a scrape would (far more often than a scrape a second).

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "game/PlayerRegistry.h"
#include "log/ServerLog.h"
#include "metrics/ServerMetrics.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "platform/DatagramSocket.h"
#include "platform/Files.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"

namespace {

using varn::PeerAddress;

constexpr int kPlayers = varn::kMaxPlayers;
constexpr std::size_t kSyncLength = 36;
constexpr float kFarApart = 5000.0f;

// A socket that accepts every datagram and only counts them.
class CountingSocket final : public varn::platform::DatagramSocket {
public:
    explicit CountingSocket(std::uint64_t& sent) : sent_(sent) {}
    bool create() override { return true; }
    bool bind(std::uint32_t, std::uint16_t) override { return true; }
    bool setNonBlocking() override { return true; }
    bool waitReadable(std::uint32_t) override { return false; }
    int receiveFrom(std::uint8_t*, std::size_t, std::uint32_t&, std::uint16_t&) override { return -1; }
    int sendTo(std::uint32_t, std::uint16_t, const std::uint8_t*, std::size_t length) override {
        ++sent_;
        return static_cast<int>(length);
    }
    void close() override {}
    int waitHandle() const override { return -1; }
    std::uint16_t localPort() const override { return 0; }

private:
    std::uint64_t& sent_;
};

// The sync a client on foot sends: state 0 and its 32-bit value, tag 1 with the position, tags 2 and
// 3, and a 12-byte tag 10 (what varnload sends, byte for byte in size).
std::array<std::uint8_t, kSyncLength> syncFrom(float x, std::uint32_t sequence) {
    std::array<std::uint8_t, kSyncLength> sync{};
    sync[0] = varn::command::kSync;
    sync[1] = varn::sync::kOnFootState;
    std::memcpy(&sync[2], &sequence, 4);
    sync[6] = varn::sync::kPositionTag;
    const float position[3] = {x, 0.0f, 0.0f};
    std::memcpy(&sync[7], position, sizeof position);
    sync[19] = varn::sync::kTag2;
    sync[21] = varn::sync::kTag3;
    sync[23] = varn::sync::kUnstoredTag10;
    std::memcpy(&sync[24], &sequence, 4);
    return sync;
}

PeerAddress playerAddress(int index) {
    return PeerAddress::fromHostOrder(0x7F000000u | static_cast<std::uint32_t>(10 + index), 40000);
}

// A GameServer with 26 joined players whose positions are set by one sync each.
class SyncWorld {
public:
    SyncWorld(varn::UdpEndpoint::SocketFactory factory, bool halfFar) {
        varn::ServerLog::instance().setQuiet(true);
        varn::ConfigFile config;
        config.loadText(
            "ServerName \"Bench\"\nServerPort 4000\nMaxPlayers 26\nGame 2\nGameMode 1\nBannedFile banned.txt\n");
        settings_ = varn::readServerSettings(config);
        gameEndpoint_ = std::make_unique<varn::UdpEndpoint>(settings_.sendLimit, factory);
        gameEndpoint_->open(4000, "127.0.0.1");
        server_ = std::make_unique<varn::GameServer>(players_, *gameEndpoint_, bans_, lockout_, settings_, clock_);
        const char* withMetrics = std::getenv("VARN_BENCH_METRICS");
        if (withMetrics != nullptr && std::string(withMetrics) == "1") {
            varn::MetricsSources sources;
            sources.serverName = "Bench";
            sources.maxPlayers = kPlayers;
            sources.gameTraffic = [this] { return gameEndpoint_->traffic(); };
            metrics_ = std::make_unique<varn::ServerMetrics>(std::move(sources));
            server_->addObserver(metrics_->gameCounters());
        }
        for (int index = 0; index < kPlayers; ++index) {
            players_.add(playerAddress(index), "load" + std::to_string(index));
            const bool far = halfFar && index >= kPlayers / 2;
            positions_[static_cast<std::size_t>(index)] = (far ? kFarApart : 0.0f) + 2.0f * static_cast<float>(index);
            relay(index, 0);
        }
    }

    void relay(int sender, std::uint32_t sequence) {
        if (metrics_ && sequence % 100'000 == 0) benchmark::DoNotOptimize(metrics_->render());
        const auto sync = syncFrom(positions_[static_cast<std::size_t>(sender)], sequence);
        server_->processCommand(varn::signedByte(sync[0]), sync.data() + 1,
                                addresses_[static_cast<std::size_t>(sender)],
                                static_cast<std::int32_t>(sync.size()));
    }

private:
    varn::ServerSettings settings_;
    varn::PlayerRegistry players_;
    varn::platform::ManualClock clock_;
    varn::BanList bans_{varn::platform::FileSystem::system(), clock_};
    varn::PasswordLockout lockout_;
    std::unique_ptr<varn::UdpEndpoint> gameEndpoint_;
    std::unique_ptr<varn::ServerMetrics> metrics_;
    std::unique_ptr<varn::GameServer> server_;
    std::array<float, kPlayers> positions_{};
    const std::array<PeerAddress, kPlayers> addresses_ = [] {
        std::array<PeerAddress, kPlayers> addresses{};
        for (int index = 0; index < kPlayers; ++index) addresses[static_cast<std::size_t>(index)] = playerAddress(index);
        return addresses;
    }();
};

void runRelays(benchmark::State& state, SyncWorld& world, const std::uint64_t& sent) {
    const std::uint64_t sentBefore = sent;
    std::uint32_t sequence = 1;
    int sender = 0;
    for (auto _ : state) {
        world.relay(sender, sequence++);
        sender = sender + 1 == kPlayers ? 0 : sender + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["sends_per_sync"] =
        benchmark::Counter(static_cast<double>(sent - sentBefore) / static_cast<double>(state.iterations()));
}

void syncRelay(benchmark::State& state, bool halfFar) {
    std::uint64_t sent = 0;
    SyncWorld world([&sent] { return std::make_unique<CountingSocket>(sent); }, halfFar);
    runRelays(state, world, sent);
}

void SyncRelayInRange(benchmark::State& state) { syncRelay(state, false); }
void SyncRelayHalfFar(benchmark::State& state) { syncRelay(state, true); }

// The real platform socket, counted on the way through.
class CountedUdpSocket final : public varn::platform::DatagramSocket {
public:
    explicit CountedUdpSocket(std::uint64_t& sent) : inner_(varn::platform::createUdpSocket()), sent_(sent) {}
    bool create() override { return inner_->create(); }
    bool bind(std::uint32_t address, std::uint16_t) override { return inner_->bind(address, 0); }
    bool setNonBlocking() override { return inner_->setNonBlocking(); }
    bool waitReadable(std::uint32_t wait) override { return inner_->waitReadable(wait); }
    int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                    std::uint16_t& port) override {
        return inner_->receiveFrom(buffer, capacity, address, port);
    }
    int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data, std::size_t length) override {
        ++sent_;
        return inner_->sendTo(address, port, data, length);
    }
    void close() override { inner_->close(); }
    int waitHandle() const override { return inner_->waitHandle(); }
    std::uint16_t localPort() const override { return inner_->localPort(); }

private:
    std::unique_ptr<varn::platform::DatagramSocket> inner_;
    std::uint64_t& sent_;
};

// The 26 players' sockets on 127.0.0.10.. port 40000, emptied between timed stretches.
class LoopbackPlayers {
public:
    LoopbackPlayers() {
        for (int index = 0; index < kPlayers; ++index) {
            const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            const int bufferBytes = 4 << 20;
            setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = playerAddress(index).address;
            local.sin_port = playerAddress(index).port;
            ok_ = ok_ && handle >= 0 && ::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
            handles_.push_back(handle);
        }
    }
    ~LoopbackPlayers() {
        for (int handle : handles_) ::close(handle);
    }
    bool ok() const { return ok_; }
    void drain() {
        std::array<std::uint8_t, 64> buffer{};
        for (int handle : handles_) {
            while (recv(handle, buffer.data(), buffer.size(), 0) >= 0) {
            }
        }
    }

private:
    std::vector<int> handles_;
    bool ok_ = true;
};

void SyncRelayLoopback(benchmark::State& state) {
    LoopbackPlayers recipients;
    if (!recipients.ok()) {
        state.SkipWithError("cannot bind the players' loopback sockets (127.0.0.10.., port 40000)");
        return;
    }
    std::uint64_t sent = 0;
    SyncWorld world([&sent] { return std::make_unique<CountedUdpSocket>(sent); }, false);
    const std::uint64_t sentBefore = sent;
    std::uint32_t sequence = 1;
    int sender = 0;
    constexpr std::uint32_t kSyncsBetweenDrains = 512;
    for (auto _ : state) {
        world.relay(sender, sequence);
        sender = sender + 1 == kPlayers ? 0 : sender + 1;
        if (++sequence % kSyncsBetweenDrains == 0) {
            state.PauseTiming();
            recipients.drain();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["sends_per_sync"] =
        benchmark::Counter(static_cast<double>(sent - sentBefore) / static_cast<double>(state.iterations()));
}

BENCHMARK(SyncRelayInRange)->Name("SyncRelay/26players/inRange");
BENCHMARK(SyncRelayHalfFar)->Name("SyncRelay/26players/halfFar");
BENCHMARK(SyncRelayLoopback)->Name("SyncRelayLoopback/26players/inRange")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
