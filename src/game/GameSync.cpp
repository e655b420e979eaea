#include <array>
#include <optional>

#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

using FullRelay = PacketWriter<sync::kRelayHeaderLength + sync::kMaxPayload>;

// Writes "<prefix><id> <value>" to the file only when value differs from what was last logged for the id.
void logStatChange(const char* prefix, std::uint32_t& logged, std::int32_t id, std::uint8_t value) {
    const auto widened = static_cast<std::uint32_t>(signedByte(value));
    if (widened == logged) return;
    logged = widened;
    auto& log = ServerLog::instance();
    log.fileOnly(prefix, id, " ", signedByte(value));
}

// The vehicle and weapon lines; written once per sync, before the first recipient gets it.
void logSyncStatistics(GameServer& server, std::int32_t senderId, const PacketReader& payload) {
    if (senderId < 0 || static_cast<std::size_t>(senderId) >= kMaxLoggedPlayers) return;
    const auto index = static_cast<std::size_t>(senderId);
    logStatChange("Veh: ", server.loggedVehicle[index], senderId, *payload.byteAt(0));
    if (const std::optional<std::uint8_t> weapon = sync::weaponOf(payload)) {
        logStatChange("Wea: ", server.loggedWeapon[index], senderId, *weapon);
    }
}

// Sends the full packet to every active player but exceptId; with cull, players out of the sender's
// range get the reduced report instead.
void relayToPlayers(GameServer& server, std::int32_t senderId, const PacketReader& payload,
                    const FullRelay& full, std::int32_t exceptId, bool cull) {
    std::array<std::uint8_t, sync::kMaxReducedRelayLength> reduced{command::kSync,
                                                                   static_cast<std::uint8_t>(senderId)};
    std::size_t reducedLength = sync::kRelayHeaderLength;
    const bool haveReduced = cull && server.players.appendReducedSync(senderId, reduced, reducedLength);
    const bool statLogging = server.settings().statLogging;

    bool firstRecipient = true;
    for (const auto& [id, record] : server.players.records()) {
        if (record.active == 0 || id == exceptId) continue;
        if (firstRecipient) {
            firstRecipient = false;
            if (statLogging) logSyncStatistics(server, senderId, payload);
        }
        if (!cull || server.players.withinRange(senderId, id)) {
            server.sendToPlayer(record.address, full.data(), full.size());
        } else if (haveReduced) {
            server.sendToPlayer(record.address, reduced.data(), reducedLength);
        }
    }
}

}  // namespace

void GameServer::relaySync(std::int32_t senderId, const PacketReader& payload) {
    // Only registered players sync; a report cut short before its state is complete changes nothing.
    if (senderId < 0 || payload.size() > sync::kMaxPayload) return;
    if (!players.applySync(senderId, payload)) return;

    FullRelay full;
    sync::encodeRelayHeader(full, static_cast<std::uint8_t>(senderId));
    full.bytes(payload.data(), payload.size());

    // In test mode a client sees its own report come back, unreduced.
    if (settings_.testMode) {
        relayToPlayers(*this, senderId, payload, full, -1, false);
    } else {
        relayToPlayers(*this, senderId, payload, full, senderId, true);
    }
}

}  // namespace varn
