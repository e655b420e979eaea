#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "game/PlayerRegistry.h"

namespace varn {

namespace {

// State byte of a sync report: 0 on foot with a 32-bit value, 1..100 driver of that vehicle with a
// 32-bit value, 101..200 passenger of vehicle s - 100, above that on foot without a value.
constexpr std::uint8_t kOnFootState = 0;
constexpr std::uint8_t kLastDriverState = 100;
constexpr std::uint8_t kLastPassengerState = 200;
constexpr std::uint8_t kPassengerStateOffset = 100;
constexpr std::size_t kStateWordOffset = 1;
constexpr std::size_t kTagsAfterStateWord = 5;
constexpr std::size_t kTagsWithoutStateWord = 1;

constexpr std::uint8_t kPositionTag = 1;
constexpr std::uint8_t kVehiclePositionTag = 13;
constexpr std::uint8_t kVehicleTag14 = 14;
constexpr std::size_t kPointWidth = 12;

// The value width of every tag; tags not listed carry no value and the next byte is read as a tag.
constexpr std::array<std::uint8_t, 256> kTagWidths = [] {
    std::array<std::uint8_t, 256> widths{};
    widths[1] = kPointWidth;
    for (int tag = 2; tag <= 7; ++tag) widths[tag] = 1;
    widths[8] = 4;
    widths[9] = 4;
    for (int tag = 10; tag <= 14; ++tag) widths[tag] = kPointWidth;
    widths[15] = 1;
    widths[16] = 1;
    return widths;
}();

// On foot: state, footWord, tag 1 and a point, tag 2 and a byte, tag 3 and a byte.
constexpr std::size_t kMaxReducedSyncLength = 1 + 4 + 1 + kPointWidth + 2 + 2;

// Players farther apart than this (on the ground plane) get each other's reduced report.
constexpr double kRelayRange = 300.0;

std::int32_t signedByte(std::uint8_t value) { return static_cast<std::int8_t>(value); }

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
    case kPositionTag: readPoint(value, record.position); break;
    case 2: record.syncTag2 = signedByte(*value.byteAt(0)); break;
    case 3: record.syncTag3 = signedByte(*value.byteAt(0)); break;
    case 4: record.syncTag4 = signedByte(*value.byteAt(0)); break;
    case 5: record.syncTag5 = signedByte(*value.byteAt(0)); break;
    case 6: record.syncTag6 = signedByte(*value.byteAt(0)); break;
    case 7: record.syncTag7 = signedByte(*value.byteAt(0)); break;
    case 8: record.syncTag8 = *value.uint32At(0); break;
    case 9: record.syncTag9 = *value.uint32At(0); break;
    case kVehiclePositionTag:
    case kVehicleTag14: {
        // Any occupant, a passenger too, moves the vehicle it is in.
        if (record.vehicleId == 0 || record.inVehicle != 1) break;
        VehicleRecord* vehicle = vehicles.get(record.vehicleId);
        if (vehicle == nullptr) break;
        readPoint(value, tag == kVehiclePositionTag ? vehicle->position : vehicle->syncTag14);
        break;
    }
    default: break;
    }
}

void enterVehicle(PlayerRecord& record, VehicleTable& vehicles, std::uint8_t vehicleId, bool passenger) {
    record.inVehicle = 1;
    record.isPassenger = passenger ? 1 : 0;
    vehicles.add(vehicleId);
    record.vehicle = vehicles.get(vehicleId);
    record.vehicleId = vehicleId;
}

void leaveVehicle(PlayerRecord& record, std::uint32_t footWord) {
    record.inVehicle = 0;
    record.footWord = footWord;
    record.vehicle = nullptr;
    record.vehicleId = 0;
}

}  // namespace

bool PlayerRegistry::applySync(std::int32_t id, const PacketReader& payload) {
    PlayerRecord* record = find(id);
    const std::optional<std::uint8_t> state = payload.byteAt(0);
    if (record == nullptr || !state) return false;

    std::size_t readPosition = kTagsWithoutStateWord;
    if (*state <= kLastDriverState) {
        const std::optional<std::uint32_t> word = payload.uint32At(kStateWordOffset);
        if (!word) return false;
        if (*state == kOnFootState) {
            leaveVehicle(*record, *word);
            record->isPassenger = 0;
        } else {
            enterVehicle(*record, *vehicles_, *state, false);
            record->vehicle->driverWord = *word;
        }
        readPosition = kTagsAfterStateWord;
    } else if (*state <= kLastPassengerState) {
        enterVehicle(*record, *vehicles_, static_cast<std::uint8_t>(*state - kPassengerStateOffset), true);
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
        const std::size_t width = kTagWidths[tag];
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

    PacketWriter<kMaxReducedSyncLength> reduced;
    if (record->inVehicle == 0) {
        reduced.byte(kOnFootState).uint32(record->footWord).byte(kPositionTag);
        writePoint(reduced, record->position);
        reduced.byte(2).byte(static_cast<std::uint8_t>(record->syncTag2));
        reduced.byte(3).byte(static_cast<std::uint8_t>(record->syncTag3));
    } else if (record->isPassenger == 0) {
        static constexpr VehicleRecord kNoVehicle{};
        const VehicleRecord& vehicle = record->vehicle != nullptr ? *record->vehicle : kNoVehicle;
        reduced.byte(record->vehicleId).uint32(vehicle.driverWord).byte(kVehiclePositionTag);
        writePoint(reduced, vehicle.position);
    } else {
        reduced.byte(static_cast<std::uint8_t>(record->vehicleId + kPassengerStateOffset));
    }

    if (length > buffer.size() || buffer.size() - length < reduced.size()) return false;
    std::memcpy(buffer.data() + length, reduced.data(), reduced.size());
    length += reduced.size();
    return true;
}

bool PlayerRegistry::withinRange(std::int32_t idA, std::int32_t idB) const {
    const PlayerRecord* a = find(idA);
    const PlayerRecord* b = find(idB);
    if (a == nullptr || b == nullptr) return true;

    const auto groundPoint = [](const PlayerRecord& record) -> const float* {
        if (record.inVehicle == 1 && record.vehicle != nullptr) return record.vehicle->position;
        return record.position;
    };
    const float* pointA = groundPoint(*a);
    const float* pointB = groundPoint(*b);
    const double dx = static_cast<double>(pointA[0]) - pointB[0];
    const double dy = static_cast<double>(pointA[1]) - pointB[1];
    return std::sqrt(dx * dx + dy * dy) < kRelayRange;
}

}  // namespace varn
