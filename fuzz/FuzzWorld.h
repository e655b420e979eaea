#pragma once

// A GameServer and its AdminServer over sockets that send nowhere, for feeding them arbitrary datagrams.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>

#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "admin/AdminServer.h"
#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "platform/DatagramSocket.h"
#include "platform/Files.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"

namespace varn::fuzzing {

class NullSocket final : public platform::DatagramSocket {
public:
    bool create() override { return true; }
    bool bind(std::uint32_t, std::uint16_t) override { return true; }
    bool setNonBlocking() override { return true; }
    bool waitReadable(std::uint32_t) override { return false; }
    int receiveFrom(std::uint8_t*, std::size_t, std::uint32_t&, std::uint16_t&) override { return -1; }
    int sendTo(std::uint32_t, std::uint16_t, const std::uint8_t*, std::size_t length) override {
        return static_cast<int>(length);
    }
    void close() override {}
    int waitHandle() const override { return -1; }
    std::uint16_t localPort() const override { return 0; }
};

inline std::unique_ptr<platform::DatagramSocket> makeNullSocket() { return std::make_unique<NullSocket>(); }

// Everything a GameServer needs, with every feature that a datagram can reach switched on.
struct World {
    World() {
        ServerLog::instance().setConsole(&sink);
        ConfigFile config;
        config.loadText(
            "ServerName Fuzz\nServerPort 4000\nMaxPlayers 26\nGame 2\nGameMode 1\nBannedFile banned.txt\n"
            "ServerPassword pw\nAdminPassword admin\nAdminAllowShutdown 1\nStatLogging 1\nDebugOutput 1\n"
            "PasswordLockout 1\n");
        settings = readServerSettings(config);
        gameEndpoint = std::make_unique<UdpEndpoint>(settings.sendLimit, makeNullSocket);
        adminEndpoint = std::make_unique<UdpEndpoint>(settings.sendLimit, makeNullSocket);
        gameEndpoint->open(4000, nullptr);
        adminEndpoint->open(admin::kDefaultPort, nullptr);
        server = std::make_unique<GameServer>(players, *gameEndpoint, bans, lockout, settings, clock);
        adminServer = std::make_unique<AdminServer>(*server, *adminEndpoint, bans, lockout, settings, clock);
        server->requirePassword();
    }

    // Keeps the log from growing without end over a long run.
    void trimLog() {
        if (sink.tellp() > (1 << 20)) sink.str("");
    }

    std::ostringstream sink;
    ServerSettings settings;
    PlayerRegistry players;
    platform::ManualClock clock;
    BanList bans{platform::FileSystem::system(), clock};
    std::unique_ptr<UdpEndpoint> gameEndpoint;
    std::unique_ptr<UdpEndpoint> adminEndpoint;
    PasswordLockout lockout;
    std::unique_ptr<GameServer> server;
    std::unique_ptr<AdminServer> adminServer;
};

// Splits an input into datagrams: [sender selector][length][bytes]..., the selector also choosing
// when the policing passes run. Each datagram is copied into a buffer of exactly its length, so
// the sanitizer sees any read beyond it.
template <typename Handle>
void forEachDatagram(const std::uint8_t* data, std::size_t size, Handle handle) {
    std::size_t position = 0;
    while (position + 2 <= size) {
        const std::uint8_t selector = data[position];
        std::size_t length = data[position + 1];
        position += 2;
        if (length > size - position) length = size - position;
        if (length == 0) continue;
        std::unique_ptr<std::uint8_t[]> datagram(new std::uint8_t[length]);
        std::copy(data + position, data + position + length, datagram.get());
        position += length;
        handle(selector, datagram.get(), length);
    }
}

inline PeerAddress senderFor(std::uint8_t selector) {
    return PeerAddress::fromHostOrder(0x7F000001u + (selector & 0x07u), static_cast<std::uint16_t>(5000 + ((selector >> 3) & 1)));
}

// One input's game session: each datagram handed to the game, the once-a-second pass and the
// check-sum tick when the selector asks for them; then the session ends, so the next input starts
// from an empty server.
inline void playGameSession(World& world, const std::uint8_t* data, std::size_t size) {
    GameServer& server = *world.server;
    forEachDatagram(data, size, [&](std::uint8_t selector, const std::uint8_t* datagram, std::size_t length) {
        server.processCommand(signedByte(datagram[0]), datagram + 1, senderFor(selector),
                              static_cast<std::int32_t>(length));
        if (selector & 0x80) {
            world.clock.advanceSeconds(1);
            server.passSecond(2, 15);
        }
        if ((selector & 0x70) == 0x70) server.checkClientCrc();
    });
    server.players().clear();
    world.adminServer->administrators().clear();
    server.recentJoins().clear();
}

}  // namespace varn::fuzzing
