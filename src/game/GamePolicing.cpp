#include "game/GameServer.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "access/BanIndex.h"
#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "config/ServerSettings.h"
#include "log/ServerLog.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "protocol/GameProtocol.h"

namespace varn {

// The once-per-second pass and the 30-second tick. Each check notes ids during its walk and removes
// after it, so no table is changed while it is walked.

namespace {

constexpr std::int32_t kLastChatClearingCycle = 3;
constexpr std::uint32_t kJoinJudgedAtTicks = 5;
constexpr std::uint32_t kJoinFloodAttempts = 3;
constexpr std::int32_t kUnansweredCrcTolerated = 8;

using Ids = std::vector<std::int32_t>;

// The records of a registry that a predicate picks, in ascending id order.
template <typename Predicate>
Ids noteIds(const PlayerRegistry& registry, Predicate picks) {
    Ids noted;
    for (const auto& [id, record] : registry.records()) {
        if (picks(record)) noted.push_back(id);
    }
    return noted;
}

enum class Flood { join, chat };

// The details of a flood ban. The operator's flood-ban minutes give it a time limit; 0, less or no
// key leaves it permanent and bare, written exactly as ever.
BanDetails floodBanDetails(const GameServer& server, Flood flood) {
    const ServerSettings& settings = server.settings();
    const std::int32_t minutes =
        flood == Flood::join ? settings.joinFloodBanMinutes : settings.chatFloodBanMinutes;
    if (minutes <= 0) return {};
    const std::int64_t now = server.clock().calendarSeconds();
    BanDetails details;
    details.until = now + std::int64_t{minutes} * 60;
    details.by = std::string(flood == Flood::join ? kJoinFloodBanner : kChatFloodBanner);
    details.at = now;
    return details;
}

// The address a join-flood entry's text stands for (it is always a dotted address).
std::uint32_t ipAddressOf(std::string_view ipText) { return banAddressOf(ipText).value_or(0); }

}  // namespace

void GameServer::checkChatFlood(std::int32_t maxCount) {
    HandlerScope scope(*this);
    Ids flooders;
    for (auto& [id, record] : players_.records()) {
        if (record.chatCount > maxCount) flooders.push_back(id);
        record.killReports = 0;
    }
    if (flooders.empty()) return;
    for (const std::int32_t id : flooders) {
        removePlayer(id, LeaveReason::ChatFlood, Actor{}, floodBanDetails(*this, Flood::chat));
    }
}

void GameServer::resetChatCounters() {
    const bool clearLastChat = lastChatCycle_ >= kLastChatClearingCycle;
    for (auto& entry : players_.records()) {
        PlayerRecord& record = entry.second;
        record.chatCount = 0;
        if (clearLastChat) record.lastChat.clear();
    }
    lastChatCycle_ = clearLastChat ? 0 : lastChatCycle_ + 1;
}

void GameServer::checkJoinFlood() {
    HandlerScope scope(*this);
    const std::int64_t now = clock_.monotonicSeconds();
    automaticBans_.endMinuteIfOver(now);
    joinRate_.endMinuteIfOver(clock_.monotonicMilliseconds());
    std::vector<std::string> judged;
    for (auto& [ipText, join] : recentJoins_) {
        if (join.ticks < kJoinJudgedAtTicks) {
            ++join.ticks;
            continue;
        }
        if (join.attempts >= kJoinFloodAttempts && automaticBans_.allowBan(ipAddressOf(ipText), now)) {
            auto& log = ServerLog::instance();
            log.line("BANNED: '", ipText, "' for Join Flood.");
            bans_.addAutomatic(ipText, floodBanDetails(*this, Flood::join));
            const BanAdded event{ipText, Actor{}, true};
            raise([&event](GameObserver& observer) { observer.onBanAdded(event); });
        }
        judged.push_back(ipText);
    }
    for (const std::string& ipText : judged) recentJoins_.erase(ipText);
}

void GameServer::checkTimeouts(std::int32_t limitSeconds) {
    const auto silent = [limitSeconds](const PlayerRecord& record) {
        return record.idleSeconds > limitSeconds;
    };

    HandlerScope scope(*this);
    for (const std::int32_t id : noteIds(players_, silent)) removePlayer(id, LeaveReason::Timeout);
    administrators_->dropSilentAdministrators(limitSeconds);
}

void GameServer::addIdleTime(std::int32_t seconds) {
    players_.addIdleToAll(seconds);
    administrators_->addIdleTime(seconds);
}

void GameServer::sendPings() {
    HandlerScope scope(*this);
    const std::array<std::uint8_t, 1> request = {command::kPingRequest};
    for (auto& entry : players_.records()) {
        PlayerRecord& record = entry.second;
        record.lastPing = record.ping;
        // A player that missed the last request gets a wrapped, large value; the ping report clamps it.
        record.ping = static_cast<std::uint16_t>(record.pongTime - record.pingTime);
        record.pingTime = clock().pingMilliseconds();
        sendToPlayer(record.address, request.data(), request.size());
    }
    administrators_->sendToAdministrators(request.data(), request.size());
}

// The check-sum tick tells each silent player during its walk and removes them all after it.
void GameServer::checkClientCrc() {
    HandlerScope scope(*this);
    const std::array<std::uint8_t, 1> request = {command::kClientCrc};
    Ids silent;
    for (auto& [id, record] : players_.records()) {
        if (record.crcPending < kUnansweredCrcTolerated) {
            sendToPlayer(record.address, request.data(), request.size());
            ++record.crcPending;
            continue;
        }
        announceRemoval(id, LeaveReason::CrcTimeout, Actor{}, {}, {});
        silent.push_back(id);
    }
    for (const std::int32_t id : silent) completeRemoval(id, LeaveReason::CrcTimeout);
}

void GameServer::passSecond(std::int32_t chatFloodMaxCount, std::int32_t timeoutSeconds) {
    checkChatFlood(chatFloodMaxCount);
    resetChatCounters();
    checkJoinFlood();
    checkTimeouts(timeoutSeconds);
    addIdleTime(1);
    sendPings();
    // The pings leave before the observers hear of the second: a script's handlers may use their
    // whole budget, and a player's pings must keep their one-second beat whatever the scripts do.
    gameEndpoint_.flush();
    reportWrongPasswords();
    // Ban expiry dates are dates: the game reads the calendar clock.
    expireBans();
    notifySecondPassed();
}

bool GameServer::needsSecondTicks() const {
    return players_.size() != 0 || administrators_->anyAdministrator() || !recentJoins_.empty() ||
           automaticBans_.minuteOpen() || joinRate_.minuteOpen() || passwordLockout_.reportPending() ||
           bans_.hasTimedEntries() || bans_.hasExpiriesToHandOn() || bans_.savePending();
}

// The chat cycle is the one count that moves while nobody plays: every fourth pass clears the
// players' last lines.
void GameServer::skipQuietSeconds(std::int64_t seconds) {
    if (seconds <= 0) return;
    lastChatCycle_ = static_cast<std::int32_t>((lastChatCycle_ + seconds) % (kLastChatClearingCycle + 1));
}

void GameServer::reportWrongPasswords() {
    std::uint32_t attempts = 0;
    std::size_t addresses = 0;
    if (!passwordLockout_.takeMinuteReport(clock_.monotonicSeconds(), attempts, addresses)) return;
    auto& log = ServerLog::instance();
    log.line("SERVER-WARNING: ", attempts, " wrong passwords from ", addresses,
             " addresses in the last minute.");
}

}  // namespace varn
