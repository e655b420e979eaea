#include "game/GameServer.h"

#include <algorithm>

#include "access/BanList.h"
#include "config/ServerSettings.h"
#include "game/StatisticsLines.h"
#include "log/ServerLog.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

// The game's side when no admin server is connected: there is nobody to reach.
class NoAdministrators final : public AdministratorChannel {
public:
    void sendToAdministrator(const PeerAddress&, const std::uint8_t*, std::size_t) override {}
    void sendToAdministrators(const std::uint8_t*, std::size_t) override {}
    void flushToAdministrators() override {}
    void dropSilentAdministrators(std::int32_t) override {}
    void addIdleTime(std::int32_t) override {}
    bool anyAdministrator() const override { return false; }
};

NoAdministrators& noAdministrators() {
    static NoAdministrators nobody;
    return nobody;
}

}  // namespace

GameServer::GameServer(PlayerRegistry& playerRegistry, UdpEndpoint& gameSocket, BanList& banList,
                       PasswordLockout& passwordLockout, ServerSettings& settings, const platform::Clock& clock)
    : players_(playerRegistry),
      gameEndpoint_(gameSocket),
      bans_(banList),
      passwordLockout_(passwordLockout),
      settings_(settings),
      clock_(clock),
      administrators_(&noAdministrators()),
      automaticBans_(static_cast<std::uint32_t>(settings.autoBanMaxPerMinute)),
      joinRate_(static_cast<std::uint32_t>(settings.joinMaxPerSecond)),
      statisticsLines_(std::make_unique<StatisticsLines>(settings)) {
    addObserver(*statisticsLines_);
    auto& log = ServerLog::instance();
    game_ = settings_.game;
    log.line("Game = ", game_ == kGameIronHarbor ? "Skyr3:Varn (#" : "Skyr:PB / Varn:PB (#", game_, ") ");

    gameMode_ = settings_.gameMode;
    log.line("GameMode = ", gameMode_ == kGameModeStunt ? "Stunt (#" : "Regular (#", gameMode_, ") ");

    maxPlayers_ = settings_.maxPlayers;
    log.line("MaxPlayers = ", maxPlayers_);
    log.line("");
}

GameServer::~GameServer() { players_.clear(); }

void GameServer::disconnectAdministrators() { administrators_ = &noAdministrators(); }

bool GameServer::logsChat() const { return settings_.logChat; }

bool GameServer::isFull() const { return players_.size() >= maxPlayers_; }

bool GameServer::changeServerPassword(std::string_view password) {
    if (!settings_.serverPassword.has_value()) return false;
    settings_.serverPassword = std::string(password);
    return true;
}

void GameServer::sendToPlayer(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    gameEndpoint_.send(to, data, length);
}

void GameServer::broadcastToPlayersExcept(const std::uint8_t* packet, std::size_t length, std::int32_t exceptId) {
    for (const auto& [id, record] : players_.records()) {
        if (id != exceptId) sendToPlayer(record.address, packet, length);
    }
}

void GameServer::broadcast(const std::uint8_t* packet, std::size_t length) {
    broadcastToPlayersExcept(packet, length, kNoPlayer);
    administrators_->sendToAdministrators(packet, length);
}

void GameServer::welcomePlayer(const PeerAddress& peer, std::int32_t id) {
    sendWelcome(peer, id, WelcomeRecipient::Player);
}

void GameServer::welcomeAdministrator(const PeerAddress& peer, std::int32_t id) {
    sendWelcome(peer, id, WelcomeRecipient::Administrator);
}

void GameServer::sendWelcome(const PeerAddress& peer, std::int32_t id, WelcomeRecipient recipient) {
    // 17 bytes of header and at most 26 entries of 1 + 2 + 13 + 1 bytes.
    PacketWriter<kMaxDatagramSize> welcome;
    encodeWelcomeHeader(welcome, {static_cast<std::uint8_t>(game_), static_cast<std::uint8_t>(gameMode_),
                                  static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(maxPlayers_)});
    const bool toAdministrator = recipient == WelcomeRecipient::Administrator;
    for (const auto& [playerId, record] : players_.records()) {
        if (record.name.empty()) continue;
        if (!toAdministrator && playerId == id) continue;
        encodeWelcomeEntry(welcome, static_cast<std::uint8_t>(playerId), record.score, record.name);
    }
    if (toAdministrator) {
        // The administrator's client waits for the welcome and drops a text that comes first: what
        // is queued goes out in the order it was given, the welcome before the text.
        gameEndpoint_.flush();
        administrators_->sendToAdministrator(peer, welcome.data(), welcome.size());
        administrators_->flushToAdministrators();
    } else {
        sendToPlayer(peer, welcome.data(), welcome.size());
    }
    if (messageOfTheDayLoaded_) sendMessageOfTheDay(peer);
}

void GameServer::sendMessageOfTheDay(const PeerAddress& peer) {
    // The id, the text and its NUL, cut at 1000 bytes.
    std::size_t length = 1;
    while (length < motdPacket_.size() && motdPacket_[length] != 0) ++length;
    if (length < motdPacket_.size()) ++length;
    sendToPlayer(peer, motdPacket_.data(), std::min(length, kMaxMessageOfTheDayDatagram));
}

void GameServer::kickPlayer(std::int32_t playerId, std::string_view administratorName) {
    removePlayer(playerId, LeaveReason::Kick, Actor{Actor::Kind::Administrator, administratorName});
}

void GameServer::banPlayer(std::int32_t playerId, std::string_view administratorName) {
    removePlayer(playerId, LeaveReason::Ban, Actor{Actor::Kind::Administrator, administratorName});
}

bool GameServer::banPlayer(std::int32_t playerId, std::string_view administratorName, const BanDetails& details,
                           std::string_view logSuffix) {
    return removePlayer(playerId, LeaveReason::Ban, Actor{Actor::Kind::Administrator, administratorName}, details,
                        logSuffix);
}

std::optional<IpText> GameServer::playerIpText(std::int32_t playerId) const {
    const PlayerRecord* player = players_.find(playerId);
    if (player == nullptr) return std::nullopt;
    return player->ipText;
}

}  // namespace varn
