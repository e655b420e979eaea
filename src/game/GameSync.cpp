#include <array>
#include <optional>

#include "config/ConfigFile.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"

namespace varn {

namespace {

constexpr std::uint8_t kSyncCommandId = 10;
// The receive buffer holds 1024 bytes, the command id included.
constexpr std::size_t kMaxSyncPayload = 1023;
constexpr std::size_t kSyncHeaderLength = 2;
constexpr std::size_t kMaxReducedSyncPacket = 32;

// Weapon scan of the statistics lines: markers whose four following bytes are skipped, and the
// marker whose next byte is the weapon.
constexpr std::uint8_t kWeaponMarker = 29;
constexpr std::size_t kSkippedAfterMarker = 4;

bool skipsFourBytes(std::uint8_t marker) { return marker == 1 || marker == 2 || marker == 3 || marker == 10; }

// The logged forms keep the byte as the signed value the statistics tools read.
std::int32_t signedByte(std::uint8_t value) { return static_cast<std::int8_t>(value); }

std::optional<std::uint8_t> weaponOf(const PacketReader& payload) {
    std::size_t index = 1;
    while (const std::optional<std::uint8_t> marker = payload.byteAt(index)) {
        if (*marker == kWeaponMarker) return payload.byteAt(index + 1);
        index += skipsFourBytes(*marker) ? 1 + kSkippedAfterMarker : 1;
    }
    return std::nullopt;
}

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
    if (const std::optional<std::uint8_t> weapon = weaponOf(payload)) {
        logStatChange("Wea: ", server.loggedWeapon[index], senderId, *weapon);
    }
}

// Sends the full packet to every active player but exceptId; with cull, players out of the sender's
// range get the reduced report instead.
void relayToPlayers(GameServer& server, std::int32_t senderId, const PacketReader& payload,
                    const PacketWriter<kSyncHeaderLength + kMaxSyncPayload>& full, std::int32_t exceptId,
                    bool cull) {
    std::array<std::uint8_t, kMaxReducedSyncPacket> reduced{kSyncCommandId,
                                                            static_cast<std::uint8_t>(senderId)};
    std::size_t reducedLength = kSyncHeaderLength;
    const bool haveReduced = cull && server.players.appendReducedSync(senderId, reduced, reducedLength);
    const bool statLogging = server.config().isOn("StatLogging");

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
    if (senderId < 0 || payload.size() > kMaxSyncPayload) return;
    if (!players.applySync(senderId, payload)) return;

    PacketWriter<kSyncHeaderLength + kMaxSyncPayload> full;
    full.byte(kSyncCommandId).byte(static_cast<std::uint8_t>(senderId)).bytes(payload.data(), payload.size());

    // In test mode a client sees its own report come back, unreduced.
    if (config().isOn("Testmode")) {
        relayToPlayers(*this, senderId, payload, full, -1, false);
    } else {
        relayToPlayers(*this, senderId, payload, full, senderId, true);
    }
}

}  // namespace varn
