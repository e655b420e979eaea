#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "admin/AdminServer.h"
#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "support/FakeNetwork.h"
#include "support/LogCapture.h"

namespace varn::testing {

inline constexpr const char* kBaseConfiguration =
    "ServerName \"Test Server\"\nServerPort 4000\nMaxPlayers 4\nGame 2\nGameMode 1\nBannedFile banned.txt\n";

// A GameServer and its AdminServer over fake sockets, with their own registry, ban list, lock-out
// table and a manual clock. The game
// endpoint is fake socket 0 and the admin endpoint fake socket 1. The settings are read from the
// base configuration plus what a test adds; the server reads them as they are at each use.
class GameServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        config.loadText(kBaseConfiguration);
        settings = readServerSettings(config);
    }

    void TearDown() override { stop(); }

    // The admin server goes first: it holds on to the game it serves.
    void stop() {
        adminServer.reset();
        server.reset();
    }

    // Adds configuration lines (they replace earlier values of the same keys) and reads the settings again.
    void configure(const std::string& lines) {
        config.loadText(lines);
        settings = readServerSettings(config);
    }
    // Replaces the whole configuration by the base settings plus lines.
    void reconfigure(const std::string& lines) {
        config.clear();
        configure(std::string(kBaseConfiguration) + lines);
    }

    void start() {
        stop();
        gameEndpoint = std::make_unique<UdpEndpoint>(settings.sendLimit, network.factory());
        adminEndpoint = std::make_unique<UdpEndpoint>(settings.sendLimit, network.factory());
        ASSERT_TRUE(gameEndpoint->open(4000, nullptr));
        ASSERT_TRUE(adminEndpoint->open(4003, nullptr));
        server = std::make_unique<GameServer>(players, *gameEndpoint, bans, lockout, settings, clock);
        adminServer = std::make_unique<AdminServer>(*server, *adminEndpoint, bans, lockout, settings, clock);
        log.clear();
    }

    // Hands a datagram to the game dispatcher as the main loop does.
    void receiveGame(const PeerAddress& from, const std::vector<std::uint8_t>& datagram) {
        server->processCommand(static_cast<std::int8_t>(datagram[0]), datagram.data() + 1, from,
                               static_cast<std::int32_t>(datagram.size()));
    }
    void receiveAdmin(const PeerAddress& from, const std::vector<std::uint8_t>& datagram) {
        adminServer->processCommand(static_cast<std::int8_t>(datagram[0]), datagram.data() + 1, from,
                                    static_cast<std::int32_t>(datagram.size()));
    }

    std::vector<std::vector<std::uint8_t>> gameSentTo(const PeerAddress& peer) const {
        std::vector<std::vector<std::uint8_t>> result;
        for (const auto& datagram : network.sent) {
            if (datagram.socket == 0 && datagram.peer == peer) result.push_back(datagram.bytes);
        }
        return result;
    }
    std::vector<std::vector<std::uint8_t>> adminSentTo(const PeerAddress& peer) const {
        std::vector<std::vector<std::uint8_t>> result;
        for (const auto& datagram : network.sent) {
            if (datagram.socket == 1 && datagram.peer == peer) result.push_back(datagram.bytes);
        }
        return result;
    }

    static PeerAddress peer(std::uint32_t lastOctet, std::uint16_t port = 5000) {
        return PeerAddress::fromHostOrder(0x7F000000u | lastOctet, port);
    }

    ConfigFile config;
    ServerSettings settings;
    LogCapture log;
    FakeNetwork network;
    PlayerRegistry players;
    platform::ManualClock clock;
    BanList bans{platform::FileSystem::system(), clock};
    std::unique_ptr<UdpEndpoint> gameEndpoint;
    std::unique_ptr<UdpEndpoint> adminEndpoint;
    PasswordLockout lockout;
    std::unique_ptr<GameServer> server;
    std::unique_ptr<AdminServer> adminServer;
};

}  // namespace varn::testing
