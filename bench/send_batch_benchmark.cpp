// The cost of sending one sync's 25 copies (100 bytes each) to 25 loopback receivers, three ways:
//
//   SendToEach         one sendto per datagram on a plain socket: the least a one-by-one relay does
//   EndpointSendEach   UdpEndpoint::send per datagram: today's server path, send limit included
//   EndpointQueueFlush UdpEndpoint::queue per datagram and one flush: one sendmmsg for all 25
//
// The receivers are emptied every so many iterations with the clock stopped, so the kernel never
// drops for lack of room. Run with repetitions and read the medians; other work on the machine moves
// single runs:
//   varn_send_batch_benchmark --benchmark_repetitions=9 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "config/ConfigFile.h"
#include "log/ServerLog.h"
#include "net/PeerAddress.h"
#include "net/UdpEndpoint.h"

namespace {

using varn::PeerAddress;

constexpr int kReceivers = 25;
constexpr std::size_t kDatagramBytes = 100;
// Iterations between two emptyings: 256 x 100-byte datagrams per receiver stay far below its buffer.
constexpr std::int64_t kDrainEvery = 256;

const std::uint32_t kLoopback = PeerAddress::fromHostOrder(0x7F000001, 0).address;

class LoopbackReceivers {
public:
    LoopbackReceivers() {
        for (int index = 0; index < kReceivers; ++index) {
            const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = kLoopback;
            socklen_t length = sizeof local;
            ok_ = ok_ && handle >= 0 && ::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                  ::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) == 0;
            handles_.push_back(handle);
            addresses_.push_back(PeerAddress{kLoopback, local.sin_port});
        }
    }
    ~LoopbackReceivers() {
        for (int handle : handles_) ::close(handle);
    }
    bool ok() const { return ok_; }
    const std::vector<PeerAddress>& addresses() const { return addresses_; }
    void drain() {
        std::array<std::uint8_t, 256> buffer{};
        for (int handle : handles_) {
            while (::recv(handle, buffer.data(), buffer.size(), 0) >= 0) {
            }
        }
    }

private:
    std::vector<int> handles_;
    std::vector<PeerAddress> addresses_;
    bool ok_ = true;
};

// Keeps the clock off while the receivers are emptied.
void drainNow(benchmark::State& state, LoopbackReceivers& receivers, std::int64_t& sinceDrain) {
    if (++sinceDrain < kDrainEvery) return;
    state.PauseTiming();
    receivers.drain();
    sinceDrain = 0;
    state.ResumeTiming();
}

void SendToEach(benchmark::State& state) {
    LoopbackReceivers receivers;
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (!receivers.ok() || sender < 0) {
        state.SkipWithError("no loopback sockets");
        return;
    }
    std::vector<sockaddr_in> destinations;
    for (const PeerAddress& address : receivers.addresses()) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address.address;
        to.sin_port = address.port;
        destinations.push_back(to);
    }
    const std::array<std::uint8_t, kDatagramBytes> datagram{};
    std::int64_t sinceDrain = 0;
    for (auto _ : state) {
        for (const sockaddr_in& to : destinations) {
            benchmark::DoNotOptimize(::sendto(sender, datagram.data(), datagram.size(), 0,
                                              reinterpret_cast<const sockaddr*>(&to), sizeof to));
        }
        drainNow(state, receivers, sinceDrain);
    }
    ::close(sender);
    state.SetItemsProcessed(state.iterations() * kReceivers);
}

// An endpoint bound on loopback, without a send limit.
bool openEndpoint(varn::UdpEndpoint& endpoint) {
    for (std::int32_t port = 47300; port < 47400; ++port) {
        if (endpoint.open(port, "127.0.0.1")) return true;
    }
    return false;
}

template <bool Queued>
void endpointSends(benchmark::State& state) {
    varn::ServerLog::instance().setQuiet(true);
    LoopbackReceivers receivers;
    varn::ConfigFile config;
    varn::UdpEndpoint endpoint(varn::readServerSettings(config).sendLimit, varn::platform::createUdpSocket);
    if (!receivers.ok() || !openEndpoint(endpoint)) {
        state.SkipWithError("no loopback sockets");
        return;
    }
    const std::array<std::uint8_t, kDatagramBytes> datagram{};
    std::int64_t sinceDrain = 0;
    for (auto _ : state) {
        for (const PeerAddress& to : receivers.addresses()) {
            if constexpr (Queued) {
                endpoint.queue(to, datagram.data(), datagram.size());
            } else {
                endpoint.send(to, datagram.data(), datagram.size());
            }
        }
        if constexpr (Queued) endpoint.flush();
        drainNow(state, receivers, sinceDrain);
    }
    if (endpoint.bytesSent != static_cast<std::uint64_t>(state.iterations()) * kReceivers * kDatagramBytes) {
        state.SkipWithError("not every datagram went");
    }
    state.SetItemsProcessed(state.iterations() * kReceivers);
}

void EndpointSendEach(benchmark::State& state) { endpointSends<false>(state); }
void EndpointQueueFlush(benchmark::State& state) { endpointSends<true>(state); }

}  // namespace

BENCHMARK(SendToEach);
BENCHMARK(EndpointSendEach);
BENCHMARK(EndpointQueueFlush);

BENCHMARK_MAIN();
