#include "game/GameServer.h"

#include "access/BanList.h"
#include "config/ServerSettings.h"
#include "log/ServerLog.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "protocol/GameProtocol.h"

namespace varn {

GameServer::GameServer(PlayerRegistry& playerRegistry, UdpEndpoint& gameSocket, UdpEndpoint& adminSocket,
                       BanList& banList, ServerSettings& settings, const platform::Clock& clock)
    : players(playerRegistry),
      gameEndpoint(gameSocket),
      adminEndpoint(adminSocket),
      bans_(banList),
      settings_(settings),
      clock_(clock) {
    auto& log = ServerLog::instance();
    game = settings_.game;
    log.line("Game = ", game == kGameIronHarbor ? "Skyr3:Varn (#" : "Skyr:PB / Varn:PB (#", game, ") ");

    gameMode = settings_.gameMode;
    log.line("GameMode = ", gameMode == kGameModeStunt ? "Stunt (#" : "Regular (#", gameMode, ") ");

    maxPlayers = settings_.maxPlayers;
    log.line("MaxPlayers = ", maxPlayers);
    log.line("");
}

bool GameServer::logsChat() const { return settings_.logChat; }

bool GameServer::changeServerPassword(std::string_view password) {
    if (!settings_.serverPassword.has_value()) return false;
    settings_.serverPassword = std::string(password);
    return true;
}

GameServer::~GameServer() { players.clear(); }

void GameServer::sendTo(UdpEndpoint& endpoint, const PeerAddress& to, const std::uint8_t* data,
                        std::size_t length) {
    endpoint.send(to, data, length);
}

void GameServer::broadcast(const std::uint8_t* packet, std::size_t length, std::int32_t exceptId,
                           bool alsoAdmins) {
    for (const auto& [id, record] : players.records()) {
        if (record.active != 0 && id != exceptId) sendTo(gameEndpoint, record.address, packet, length);
    }
    if (!alsoAdmins) return;
    for (const auto& entry : admins.records()) {
        if (entry.second.active != 0) sendTo(adminEndpoint, entry.second.address, packet, length);
    }
}

void GameServer::sendWelcome(const PeerAddress& peer, std::int32_t id, bool toAdmin) {
    // 17 bytes of header and at most 26 entries of 1 + 2 + 13 + 1 bytes.
    PacketWriter<kMaxDatagramSize> welcome;
    encodeWelcomeHeader(welcome, {static_cast<std::uint8_t>(game), static_cast<std::uint8_t>(gameMode),
                                  static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(maxPlayers)});
    for (const auto& [playerId, record] : players.records()) {
        if (record.active == 0 || record.name.empty()) continue;
        if (!toAdmin && playerId == id) continue;
        encodeWelcomeEntry(welcome, static_cast<std::uint8_t>(playerId), record.score, record.name);
    }
    sendTo(toAdmin ? adminEndpoint : gameEndpoint, peer, welcome.data(), welcome.size());

    if (motdLoaded == 0) return;
    // The id, the text and its NUL, cut at 1000 bytes.
    std::size_t length = 1;
    while (length < motdPacket.size() && motdPacket[length] != 0) ++length;
    if (length < motdPacket.size()) ++length;
    sendTo(gameEndpoint, peer, motdPacket.data(), std::min(length, kMaxMessageOfTheDayDatagram));
}

}  // namespace varn
