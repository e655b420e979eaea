// How a player leaves the game, for every reason: the one removal of a player.
#include <optional>
#include <string>

#include "access/BanList.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "protocol/GameProtocol.h"
#include "protocol/LogVocabulary.h"

namespace varn {

namespace {

namespace words = logvocabulary;

// What each way out writes and sends: the line's prefix and ending, the notice to the player (if
// any) and the reason byte of the leave broadcast.
struct LeaveForm {
    std::string_view prefix;
    std::string_view ending;
    std::optional<std::uint8_t> notice;
    std::uint8_t leftReason;
};

LeaveForm leaveForm(LeaveReason reason, bool chatFloodBan) {
    switch (reason) {
        case LeaveReason::Quit: return {words::kQuitPrefix, {}, std::nullopt, leftReason::kQuit};
        case LeaveReason::Timeout: return {words::kQuitPrefix, words::kTimeoutEnding, std::nullopt, leftReason::kTimeout};
        case LeaveReason::Kick: return {words::kKickedPrefix, {}, notice::kRemoved, leftReason::kKickedOrBanned};
        case LeaveReason::Ban: return {words::kBannedPrefix, {}, notice::kBanned, leftReason::kKickedOrBanned};
        case LeaveReason::ChatFlood:
            if (chatFloodBan) return {words::kBannedPrefix, words::kChatFloodBanEnding, notice::kBanned, leftReason::kChatFlood};
            return {words::kQuitPrefix, words::kChatFloodEnding, notice::kRemoved, leftReason::kChatFlood};
        case LeaveReason::CrcMismatch:
            return {words::kQuitPrefix, words::kCrcMismatchEnding, notice::kCrcMismatch, leftReason::kCrcMismatch};
        case LeaveReason::CrcTimeout:
            return {words::kQuitPrefix, words::kCrcTimeoutEnding, notice::kCrcUnanswered, leftReason::kCrcUnanswered};
        case LeaveReason::Trainer: return {words::kQuitPrefix, words::kTrainerEnding, std::nullopt, leftReason::kTrainer};
    }
    return {words::kQuitPrefix, {}, std::nullopt, leftReason::kQuit};
}

// " by Admin <name>" or " by Script <file>" after a kick or a ban.
std::string_view actorWords(const Actor& by) {
    switch (by.kind) {
        case Actor::Kind::Administrator: return words::kByAdministrator;
        case Actor::Kind::Script: return words::kByScript;
        case Actor::Kind::Server: break;
    }
    return {};
}

}  // namespace

void GameServer::sendNotice(const PeerAddress& to, std::uint8_t reason) {
    const auto packet = encodeNotice(reason);
    sendToPlayer(to, packet.data(), packet.size());
}

bool GameServer::removePlayer(std::int32_t playerId, LeaveReason reason, Actor by, const BanDetails& details,
                              std::string_view logSuffix) {
    if (!announceRemoval(playerId, reason, by, details, logSuffix)) return false;
    completeRemoval(playerId, reason);
    return true;
}

// A chat-flood ban enters the ban list before its line is written, a kick's or ban's after it.
bool GameServer::announceRemoval(std::int32_t playerId, LeaveReason reason, Actor by, const BanDetails& details,
                                 std::string_view logSuffix) {
    const PlayerRecord* record = players_.find(playerId);
    if (record == nullptr) return false;
    // Beyond the automatic bans of the minute, a chat flooder is only removed (and dropped).
    const bool chatFloodBan = reason == LeaveReason::ChatFlood && settings_.banOnChatFlood &&
                              automaticBans_.allowBan(record->address.address, clock_.monotonicSeconds());
    const LeaveForm form = leaveForm(reason, chatFloodBan);
    const PlayerView player(playerId, *record);
    const auto addBan = [&](const Actor& banner, bool automatic) {
        if (automatic) {
            bans_.addAddressAutomatic(record->address, details);
        } else {
            bans_.addAddress(record->address, details);
        }
        const BanAdded event{record->ipText.view(), banner, automatic};
        raise([&event](GameObserver& observer) { observer.onBanAdded(event); });
    };

    if (chatFloodBan) addBan(Actor{}, true);
    const bool namesActor = reason == LeaveReason::Kick || reason == LeaveReason::Ban;
    const std::string_view actor = namesActor ? actorWords(by) : std::string_view{};
    ServerLog::instance().line(form.prefix, printableForLog(record->name), words::kPlayerIdField, playerId,
                               form.ending, actor, actor.empty() ? std::string_view{} : by.name,
                               namesActor ? logSuffix : std::string_view{});
    if (reason == LeaveReason::Ban) addBan(by, false);

    const PlayerLeft event{player, reason, by};
    raise([&event](GameObserver& observer) { observer.onPlayerLeft(event); });
    if (form.notice) sendNotice(record->address, *form.notice);
    return true;
}

void GameServer::completeRemoval(std::int32_t playerId, LeaveReason reason) {
    players_.remove(playerId);
    const auto left = encodePlayerLeft(leaveForm(reason, false).leftReason, static_cast<std::uint8_t>(playerId));
    broadcast(left.data(), left.size());
}

}  // namespace varn
