#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "game/PlayerRegistry.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

// Players farther apart than this (on the ground plane) get each other's reduced report.
constexpr double kRelayRange = 300.0;
// Every square below this has a root that rounds below the range.
constexpr double kRelayRangeSquareSafelyInside = (kRelayRange - 1.0) * (kRelayRange - 1.0);

void readPoint(const PacketReader& value, float (&point)[3]) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
        point[axis] = std::bit_cast<float>(*value.uint32At(axis * 4));
    }
}

template <std::size_t Capacity>
void writePoint(PacketWriter<Capacity>& packet, const float (&point)[3]) {
    for (const float coordinate : point) packet.uint32(std::bit_cast<std::uint32_t>(coordinate));
}

// Stores one tag whose whole value is present in value.
void storeTag(PlayerRecord& record, VehicleTable& vehicles, std::uint8_t tag, const PacketReader& value) {
    switch (tag) {
    case sync::kPositionTag: readPoint(value, record.position); break;
    case 2: record.syncTag2 = signedByte(*value.byteAt(0)); break;
    case 3: record.syncTag3 = signedByte(*value.byteAt(0)); break;
    case 4: record.syncTag4 = signedByte(*value.byteAt(0)); break;
    case 5: record.syncTag5 = signedByte(*value.byteAt(0)); break;
    case 6: record.syncTag6 = signedByte(*value.byteAt(0)); break;
    case 7: record.syncTag7 = signedByte(*value.byteAt(0)); break;
    case 8: record.syncTag8 = *value.uint32At(0); break;
    case 9: record.syncTag9 = *value.uint32At(0); break;
    case sync::kVehiclePositionTag:
    case sync::kVehicleTag14: {
        // Any occupant, a passenger too, moves the vehicle it is in.
        if (record.vehicleId == 0 || !record.inVehicle) break;
        VehicleRecord* vehicle = vehicles.get(record.vehicleId);
        if (vehicle == nullptr) break;
        readPoint(value, tag == sync::kVehiclePositionTag ? vehicle->position : vehicle->syncTag14);
        break;
    }
    default: break;
    }
}

void enterVehicle(PlayerRecord& record, VehicleTable& vehicles, std::uint8_t vehicleId, bool passenger) {
    record.inVehicle = true;
    record.isPassenger = passenger;
    vehicles.add(vehicleId);
    record.vehicle = vehicles.get(vehicleId);
    record.vehicleId = vehicleId;
}

void leaveVehicle(PlayerRecord& record, std::uint32_t footWord) {
    record.inVehicle = false;
    record.footWord = footWord;
    record.vehicle = nullptr;
    record.vehicleId = 0;
}

}  // namespace

bool PlayerRegistry::applySync(std::int32_t id, const PacketReader& payload) {
    PlayerRecord* record = find(id);
    const std::optional<std::uint8_t> state = payload.byteAt(0);
    if (record == nullptr || !state) return false;

    std::size_t readPosition = sync::kTagsWithoutStateWord;
    if (*state <= sync::kLastDriverState) {
        const std::optional<std::uint32_t> word = payload.uint32At(sync::kStateWordOffset);
        if (!word) return false;
        if (*state == sync::kOnFootState) {
            leaveVehicle(*record, *word);
            record->isPassenger = false;
        } else {
            enterVehicle(*record, *vehicles_, *state, false);
            record->vehicle->driverWord = *word;
        }
        readPosition = sync::kTagsAfterStateWord;
    } else if (*state <= sync::kLastPassengerState) {
        const auto vehicleId = static_cast<std::uint8_t>(*state - sync::kPassengerStateOffset);
        enterVehicle(*record, *vehicles_, vehicleId, true);
        record->vehicle->driverWord = 0;
    } else {
        // isPassenger is left as it was: the client only says it is on foot.
        leaveVehicle(*record, 0);
    }

    // A tag byte in the last position has no value to follow; a value cut short by the end of the
    // datagram ends the walk unstored.
    const std::size_t length = payload.size();
    while (readPosition + 1 < length) {
        const std::uint8_t tag = *payload.byteAt(readPosition);
        const std::size_t width = sync::kTagWidths[tag];
        if (width > length - readPosition - 1) break;
        storeTag(*record, *vehicles_, tag, payload.from(readPosition + 1));
        readPosition += 1 + width;
    }
    return true;
}

bool PlayerRegistry::appendReducedSync(std::int32_t id, std::span<std::uint8_t> buffer,
                                       std::size_t& length) const {
    const PlayerRecord* record = find(id);
    if (record == nullptr) return false;

    PacketWriter<sync::kMaxReducedStateLength> reduced;
    if (!record->inVehicle) {
        reduced.byte(sync::kOnFootState).uint32(record->footWord).byte(sync::kPositionTag);
        writePoint(reduced, record->position);
        reduced.byte(sync::kTag2).byte(static_cast<std::uint8_t>(record->syncTag2));
        reduced.byte(sync::kTag3).byte(static_cast<std::uint8_t>(record->syncTag3));
    } else if (!record->isPassenger) {
        static constexpr VehicleRecord kNoVehicle{};
        const VehicleRecord& vehicle = record->vehicle != nullptr ? *record->vehicle : kNoVehicle;
        reduced.byte(record->vehicleId).uint32(vehicle.driverWord).byte(sync::kVehiclePositionTag);
        writePoint(reduced, vehicle.position);
    } else {
        reduced.byte(static_cast<std::uint8_t>(record->vehicleId + sync::kPassengerStateOffset));
    }

    if (length > buffer.size() || buffer.size() - length < reduced.size()) return false;
    std::memcpy(buffer.data() + length, reduced.data(), reduced.size());
    length += reduced.size();
    return true;
}

bool PlayerRegistry::withinRange(std::int32_t idA, std::int32_t idB) const {
    const PlayerRecord* a = find(idA);
    const PlayerRecord* b = find(idB);
    return a == nullptr || b == nullptr || withinRange(*a, *b);
}

bool PlayerRegistry::withinRange(const PlayerRecord& a, const PlayerRecord& b) {
    const auto groundPoint = [](const PlayerRecord& record) -> const float* {
        if (record.inVehicle && record.vehicle != nullptr) return record.vehicle->position;
        return record.position;
    };
    const float* pointA = groundPoint(a);
    const float* pointB = groundPoint(b);
    const double dx = static_cast<double>(pointA[0]) - pointB[0];
    const double dy = static_cast<double>(pointA[1]) - pointB[1];
    // The root is taken only next to the edge, where rounding it may decide; far inside or outside
    // (and for a point with no number in it, which is never in range) the square says the same.
    const double square = dx * dx + dy * dy;
    if (square < kRelayRangeSquareSafelyInside) return true;
    if (!(square < kRelayRange * kRelayRange)) return false;
    return std::sqrt(square) < kRelayRange;
}

}  // namespace varn
