// Arbitrary datagrams on the browser query port: each input is split into queries from a few
// addresses, answered by one responder over a socket that sends nowhere.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "FuzzWorld.h"
#include "browser/BrowserQuery.h"

namespace {

struct Inbox {
    std::deque<std::pair<varn::PeerAddress, std::vector<std::uint8_t>>> queries;
};

class QuerySocket final : public varn::platform::DatagramSocket {
public:
    explicit QuerySocket(Inbox& inbox) : inbox_(inbox) {}
    bool create() override { return true; }
    bool bind(std::uint32_t, std::uint16_t) override { return true; }
    bool setNonBlocking() override { return true; }
    bool waitReadable(std::uint32_t) override { return !inbox_.queries.empty(); }
    int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                    std::uint16_t& port) override {
        if (inbox_.queries.empty()) return -1;
        auto [from, bytes] = std::move(inbox_.queries.front());
        inbox_.queries.pop_front();
        address = from.address;
        port = from.port;
        if (bytes.size() > capacity) return -1;
        std::copy(bytes.begin(), bytes.end(), buffer);
        return static_cast<int>(bytes.size());
    }
    int sendTo(std::uint32_t, std::uint16_t, const std::uint8_t*, std::size_t length) override {
        return static_cast<int>(length);
    }
    void close() override {}
    int waitHandle() const override { return -1; }
    std::uint16_t localPort() const override { return 0; }

private:
    Inbox& inbox_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static varn::fuzzing::World& world = *new varn::fuzzing::World;
    static Inbox& inbox = *new Inbox;
    static varn::BrowserQuery& browser = *[] {
        varn::BrowserQuery::Services services;
        services.socketFactory = [] { return std::make_unique<QuerySocket>(inbox); };
        services.lookupHost = [](const char*) -> std::uint32_t { return 0; };
        services.clock = &world.clock;
        services.settings = &world.settings;
        services.players = &world.players;
        return new varn::BrowserQuery(4000, services);
    }();
    for (std::uint32_t i = 0; i < 3; ++i) {
        world.players.add(varn::PeerAddress::fromHostOrder(0x7F000100u + i, 5000), "player" + std::to_string(i));
    }
    varn::fuzzing::forEachDatagram(data, size, [&](std::uint8_t selector, const std::uint8_t* datagram,
                                                   std::size_t length) {
        inbox.queries.emplace_back(varn::fuzzing::senderFor(selector),
                                   std::vector<std::uint8_t>(datagram, datagram + length));
        if (selector & 0x80) {
            world.clock.advanceMilliseconds(60'000);
            browser.poll();
        }
    });
    browser.poll();
    world.players.clear();
    world.trimLog();
    return 0;
}
