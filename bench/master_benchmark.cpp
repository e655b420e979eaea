// varnmaster's costs with a full list: heartbeats handled per second with 10,000 servers listed (from
// the listed servers, and forged ones from new addresses), /servers.json built for 10,000 servers of
// 10 players each, and the memory one listed server takes.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <memory>
#include <string>
#include <vector>

#include "ListRender.h"
#include "ServerList.h"
#include "protocol/MasterVerification.h"

namespace {

using varn::master::ServerList;

constexpr std::uint32_t kLocal = 0x0200007Fu;
constexpr int kServers = 10'000;
constexpr int kPlayers = 10;

std::vector<std::uint8_t> heartbeatFor(std::uint16_t port) {
    const std::string text = "\\hb\\" + std::to_string(port) + "\\varn";
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> statusReply(int index) {
    std::vector<std::uint8_t> reply = {'E', 'Y', 'E', '1'};
    auto counted = [&reply](const std::string& text) {
        reply.push_back(static_cast<std::uint8_t>(text.size() + 1));
        reply.insert(reply.end(), text.begin(), text.end());
    };
    for (const std::string& field : {std::string("varn"), std::string("4000"), "Server number " + std::to_string(index),
                                     std::string("VARN"), std::string("Palm Bay"), std::string("0.3"), std::string("0"),
                                     std::to_string(kPlayers), std::string("16"), std::string(" "), std::string(" ")}) {
        counted(field);
    }
    reply.push_back(0x01);
    for (int player = 0; player < kPlayers; ++player) {
        reply.push_back(0x3F);
        for (const std::string& field : {"Player" + std::to_string(player), std::string(), std::string(),
                                         std::to_string(player * 3), std::to_string(40 + player), std::string()}) {
            counted(field);
        }
    }
    return reply;
}

std::uint32_t addressOf(int index) { return 0x0A000000u + static_cast<std::uint32_t>(index); }

// A list of kServers verified servers that have each answered a poll.
std::unique_ptr<ServerList> fullList(varn::master::MasterSettings& settings) {
    settings.sendDatagramsPerSecond = 100'000'000;
    settings.sendBytesPerSecond = 1'000'000'000;
    settings.heartbeatsPerAddressPerMinute = 1'000'000;
    auto list = std::make_unique<ServerList>(settings, [](std::span<std::uint8_t> bytes) {
        static std::uint8_t next = 0;
        for (std::uint8_t& byte : bytes) byte = next++;
    }, varn::master::entryJson);
    varn::browser::VerificationKey key;
    key.shuffle();
    const std::int64_t now = 1'000;
    for (int index = 0; index < kServers; ++index) {
        list->heartbeat(addressOf(index), kLocal, heartbeatFor(4123), now, 1'700'000'000);
        const varn::master::Outgoing challenge = list->outbox().back();
        list->outbox().clear();
        std::array<std::uint8_t, 8> bytes{};
        std::copy(challenge.bytes.begin() + 1, challenge.bytes.begin() + 9, bytes.begin());
        const std::uint32_t answer = key.answer(bytes);
        const std::uint8_t datagram[] = {'V', static_cast<std::uint8_t>(answer), static_cast<std::uint8_t>(answer >> 8),
                                         static_cast<std::uint8_t>(answer >> 16), static_cast<std::uint8_t>(answer >> 24)};
        list->challengeAnswer({addressOf(index), 4123}, datagram, now, 1'700'000'000);
        list->outbox().clear();
        list->statusPiece({addressOf(index), 4123}, statusReply(index), now, 1'700'000'000);
    }
    return list;
}

void HeartbeatsFromListedServers(benchmark::State& state) {
    varn::master::MasterSettings settings;
    auto list = fullList(settings);
    const std::vector<std::uint8_t> heartbeat = heartbeatFor(4123);
    std::int64_t now = 2'000;
    int index = 0;
    for (auto _ : state) {
        list->heartbeat(addressOf(index), kLocal, heartbeat, now, 1'700'000'000);
        index = index + 1 == kServers ? 0 : index + 1;
        now += index == 0 ? 1 : 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["listed"] = static_cast<double>(list->answeredCount());
}
BENCHMARK(HeartbeatsFromListedServers);

// Forged heartbeats from ever new addresses while the list is full: each one is refused (list full,
// pending table full or the challenges' budget spent) or challenged.
void ForgedHeartbeatsWithTheListFull(benchmark::State& state) {
    varn::master::MasterSettings settings;
    auto list = fullList(settings);
    const std::vector<std::uint8_t> heartbeat = heartbeatFor(7000);
    std::uint32_t address = 0xC0000000u;
    for (auto _ : state) {
        list->heartbeat(address++, kLocal, heartbeat, 3'000, 1'700'000'000);
        list->outbox().clear();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ForgedHeartbeatsWithTheListFull);

void ServersJsonFor10000Servers(benchmark::State& state) {
    varn::master::MasterSettings settings;
    auto list = fullList(settings);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string json = varn::master::serversJson(*list);
        bytes = json.size();
        benchmark::DoNotOptimize(json.data());
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(ServersJsonFor10000Servers)->Unit(benchmark::kMillisecond);

// The heap one listed server takes, its texts included (10 players each).
void MemoryPerListedServer(benchmark::State& state) {
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        varn::master::MasterSettings settings;
        auto list = fullList(settings);
        const std::size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_server"] = static_cast<double>(after - before) / kServers;
        benchmark::DoNotOptimize(list.get());
    }
}
BENCHMARK(MemoryPerListedServer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
