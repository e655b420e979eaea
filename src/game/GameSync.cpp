#include <array>
#include <optional>

#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "protocol/GameProtocol.h"
#include "protocol/LogVocabulary.h"

namespace varn {

namespace {

using FullRelay = PacketWriter<sync::kRelayHeaderLength + sync::kMaxPayload>;

// Writes "<prefix><id> <value>" to the file only when value differs from what was last logged for the id.
void logStatChange(std::string_view prefix, std::uint32_t& logged, std::int32_t id, std::uint8_t value) {
    const auto widened = static_cast<std::uint32_t>(signedByte(value));
    if (widened == logged) return;
    logged = widened;
    auto& log = ServerLog::instance();
    log.fileOnly(prefix, id, " ", signedByte(value));
}

}  // namespace

// The vehicle and weapon lines; written once per sync, before the first recipient gets it.
void GameServer::logSyncStatistics(std::int32_t senderId, const PacketReader& payload) {
    if (senderId < 0 || static_cast<std::size_t>(senderId) >= kMaxLoggedPlayers) return;
    const auto index = static_cast<std::size_t>(senderId);
    logStatChange(logvocabulary::kVehicle, loggedVehicle_[index], senderId, *payload.byteAt(0));
    if (const std::optional<std::uint8_t> weapon = sync::weaponOf(payload)) {
        logStatChange(logvocabulary::kWeapon, loggedWeapon_[index], senderId, *weapon);
    }
}

// Without echo, the sender is left out and players out of its range get the reduced report; with
// echo (test mode) every player, the sender too, gets the full packet.
void GameServer::relayToPlayers(std::int32_t senderId, const PacketReader& payload, const std::uint8_t* full,
                                std::size_t fullLength, SyncEcho echo) {
    const bool cull = echo == SyncEcho::LeaveOutSender;
    const std::int32_t exceptId = cull ? senderId : kNoPlayer;
    std::array<std::uint8_t, sync::kMaxReducedRelayLength> reduced{command::kSync,
                                                                   static_cast<std::uint8_t>(senderId)};
    std::size_t reducedLength = sync::kRelayHeaderLength;
    const bool haveReduced = cull && players_.appendReducedSync(senderId, reduced, reducedLength);
    const bool statLogging = settings_.statLogging;
    // The sender is looked up once; a sender without a record is in everyone's range.
    const PlayerRecord* sender = players_.find(senderId);

    bool firstRecipient = true;
    for (const auto& [id, record] : players_.records()) {
        if (!record.active || id == exceptId) continue;
        if (firstRecipient) {
            firstRecipient = false;
            if (statLogging) logSyncStatistics(senderId, payload);
        }
        if (!cull || sender == nullptr || PlayerRegistry::withinRange(*sender, record)) {
            sendToPlayer(record.address, full, fullLength);
        } else if (haveReduced) {
            sendToPlayer(record.address, reduced.data(), reducedLength);
        }
    }
}

void GameServer::relaySync(std::int32_t senderId, const PacketReader& payload) {
    // Only registered players sync; a report cut short before its state is complete changes nothing.
    if (senderId < 0 || payload.size() > sync::kMaxPayload) return;
    if (!players_.applySync(senderId, payload)) return;

    FullRelay full;
    sync::encodeRelayHeader(full, static_cast<std::uint8_t>(senderId));
    full.bytes(payload.data(), payload.size());

    // In test mode a client sees its own report come back, unreduced.
    relayToPlayers(senderId, payload, full.data(), full.size(),
                   settings_.testMode ? SyncEcho::EchoToSender : SyncEcho::LeaveOutSender);
}

}  // namespace varn
