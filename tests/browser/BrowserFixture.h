#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "browser/BrowserQuery.h"
#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "game/PlayerRegistry.h"
#include "platform/Clock.h"
#include "support/FakeNetwork.h"

namespace varn::testing {

using Bytes = std::vector<std::uint8_t>;

// A BrowserQuery over a fake network, with its own configuration, player registry, manual tick
// clock and name lookup. Ports other programs hold, socket creation and non-blocking failures are
// scripted per test.
class BrowserFixture : public ::testing::Test {
protected:
    static constexpr std::int32_t kGamePort = 4000;

    void SetUp() override {
        config.loadText("ServerName \"Test Server\"\nServerPort 4000\nMaxPlayers 4\n"
                        "Game 2\nGameMode 1\nBannedFile b.txt\n");
        settings = readServerSettings(config);
    }

    // Adds configuration lines (replacing earlier values of the same keys) and reads the settings again.
    void configure(const std::string& lines) {
        config.loadText(lines);
        settings = readServerSettings(config);
    }

    BrowserQuery& start(std::int32_t gamePort = kGamePort) {
        BrowserQuery::Services services;
        services.socketFactory = [this]() -> std::unique_ptr<platform::DatagramSocket> {
            return std::make_unique<ScriptedSocket>(*this, network.factory()());
        };
        services.lookupHost = [this](const char* name) {
            lookups.emplace_back(name);
            const auto found = hosts.find(name);
            return found == hosts.end() ? 0u : found->second;
        };
        services.clock = &clock;
        services.settings = &settings;
        services.players = &players;
        browser = std::make_unique<BrowserQuery>(gamePort, std::move(services));
        return *browser;
    }

    // Queues a datagram for the query socket (the last fake socket made).
    void receive(const PeerAddress& from, const Bytes& datagram) {
        network.inbound.push_back({network.socketsCreated - 1, from, datagram});
    }

    std::vector<Bytes> sentTo(const PeerAddress& peer) const { return network.sentTo(peer); }

    static PeerAddress peer(std::uint32_t hostAddress, std::uint16_t port = 5000) {
        return PeerAddress::fromHostOrder(hostAddress, port);
    }
    static PeerAddress master(std::uint32_t hostAddress) {
        return PeerAddress::fromHostOrder(hostAddress, 27900);
    }

    static Bytes bytesOfText(const std::string& text) { return Bytes(text.begin(), text.end()); }

    FakeNetwork network;
    ConfigFile config;
    ServerSettings settings;
    PlayerRegistry players;
    platform::ManualClock clock{0, 500'000};
    std::map<std::string, std::uint32_t> hosts;  // name -> address, network order
    std::vector<std::string> lookups;
    std::set<std::uint16_t> busyPorts;  // host order
    std::vector<std::int32_t> boundPorts;
    int createFailures = 0;
    bool failNonBlocking = false;
    std::unique_ptr<BrowserQuery> browser;

private:
    class ScriptedSocket final : public platform::DatagramSocket {
    public:
        ScriptedSocket(BrowserFixture& fixture, std::unique_ptr<platform::DatagramSocket> inner)
            : fixture_(fixture), inner_(std::move(inner)) {}

        bool create() override {
            if (fixture_.createFailures > 0) {
                --fixture_.createFailures;
                return false;
            }
            return inner_->create();
        }
        bool bind(std::uint32_t address, std::uint16_t port) override {
            const std::uint16_t hostPort = PeerAddress{0, port}.hostPort();
            fixture_.boundPorts.push_back(hostPort);
            busy_ = fixture_.busyPorts.contains(hostPort);
            if (busy_) return false;
            return inner_->bind(address, port);
        }
        std::error_code bindError() const override {
            return busy_ ? std::make_error_code(std::errc::address_in_use) : inner_->bindError();
        }
        bool setNonBlocking() override { return !fixture_.failNonBlocking && inner_->setNonBlocking(); }
        bool waitReadable(std::uint32_t wait) override { return inner_->waitReadable(wait); }
        int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                        std::uint16_t& port) override {
            return inner_->receiveFrom(buffer, capacity, address, port);
        }
        int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
                   std::size_t length) override {
            return inner_->sendTo(address, port, data, length);
        }
        platform::ReceiveResult receive(std::uint8_t* buffer, std::size_t capacity) override {
            return inner_->receive(buffer, capacity);
        }
        void sendBatch(std::span<platform::SendSlot> slots) override { inner_->sendBatch(slots); }
        void close() override { inner_->close(); }
        platform::WaitHandle waitHandle() const override { return inner_->waitHandle(); }
        std::uint16_t localPort() const override { return inner_->localPort(); }

    private:
        BrowserFixture& fixture_;
        std::unique_ptr<platform::DatagramSocket> inner_;
        bool busy_ = false;
    };
};

// A counted string: one length byte (characters plus one), then the characters.
inline void appendCounted(Bytes& bytes, const std::string& text) {
    bytes.push_back(static_cast<std::uint8_t>(text.size() + 1));
    bytes.insert(bytes.end(), text.begin(), text.end());
}

}  // namespace varn::testing
