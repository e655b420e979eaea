// The cost of one wake-up of the main loop's wait with each mechanism, for choosing between them: a
// set like the server's (the game socket, the signals' pipe and more sockets that stay quiet),
// one datagram sent to the game socket, the wait that reports it, and the receive that takes it.
// The plain poll of the old loop rebuilt its array and read the clock around each wait; that is the
// third case.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <array>
#include <memory>
#include <vector>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"
#include "platform/Wait.h"

namespace {

using namespace varn;

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Sockets {
    explicit Sockets(std::size_t count) : sockets(count) {
        for (auto& socket : sockets) {
            socket = platform::createUdpSocket();
            socket->create();
            socket->bind(PeerAddress::fromHostOrder(kLoopback, 0).address, 0);
        }
        sender->create();
        [[maybe_unused]] const int made = ::pipe(pipe);
    }
    ~Sockets() {
        ::close(pipe[0]);
        ::close(pipe[1]);
    }
    void sendOne() {
        const std::uint8_t datagram[] = {10, 1, 2, 3};
        sender->sendTo(PeerAddress::fromHostOrder(kLoopback, 0).address, sockets[0]->localPort(), datagram,
                       sizeof datagram);
    }
    void receiveOne() {
        std::array<std::uint8_t, 64> buffer{};
        sockets[0]->receive(buffer.data(), buffer.size());
    }
    std::vector<std::unique_ptr<platform::DatagramSocket>> sockets;
    std::unique_ptr<platform::DatagramSocket> sender = platform::createUdpSocket();
    int pipe[2] = {-1, -1};
};

void waitSet(benchmark::State& state, platform::WaitBackend backend) {
    Sockets sockets(static_cast<std::size_t>(state.range(0)));
    auto set = platform::createWaitSet(backend);
    for (std::uint32_t index = 0; index < sockets.sockets.size(); ++index) {
        set->add(sockets.sockets[index]->waitHandle(), index, false);
    }
    set->add(sockets.pipe[0], 9, false);
    for (auto _ : state) {
        sockets.sendOne();
        set->wait(1000);
        benchmark::DoNotOptimize(set->events().size());
        sockets.receiveOne();
    }
    state.SetLabel(set->name());
}

void rebuiltPoll(benchmark::State& state) {
    Sockets sockets(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        sockets.sendOne();
        std::vector<platform::WaitHandle> handles;
        for (const auto& socket : sockets.sockets) handles.push_back(socket->waitHandle());
        handles.push_back(platform::kNoWaitHandle);
        handles.push_back(sockets.pipe[0]);
        benchmark::DoNotOptimize(platform::waitForInput(handles, 1000));
        sockets.receiveOne();
    }
}

void BM_WakeUp_Epoll(benchmark::State& state) { waitSet(state, platform::WaitBackend::epoll); }
void BM_WakeUp_Poll(benchmark::State& state) { waitSet(state, platform::WaitBackend::poll); }
void BM_WakeUp_PollRebuiltEachPass(benchmark::State& state) { rebuiltPoll(state); }

// The server's own set (game socket and two more), and one with 64 more sockets, as a metrics
// endpoint with many connections would make it.
BENCHMARK(BM_WakeUp_Epoll)->Arg(3)->Arg(64);
BENCHMARK(BM_WakeUp_Poll)->Arg(3)->Arg(64);
BENCHMARK(BM_WakeUp_PollRebuiltEachPass)->Arg(3)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
