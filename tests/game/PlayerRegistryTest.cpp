#include <gtest/gtest.h>

#include <vector>

#include "game/PlayerRegistry.h"

namespace varn {
namespace {

PeerAddress peer(std::uint32_t lastOctet, std::uint16_t port = 5000) {
    return PeerAddress::fromHostOrder(0x7F000000u | lastOctet, port);
}

TEST(PlayerRegistryTest, IdsFillTheLowestGapFirst) {
    PlayerRegistry registry;
    EXPECT_EQ(registry.add(peer(1), "a"), 0);
    EXPECT_EQ(registry.add(peer(2), "b"), 1);
    EXPECT_EQ(registry.add(peer(3), "c"), 2);
    registry.remove(1);
    EXPECT_EQ(registry.add(peer(4), "d"), 1);
    EXPECT_EQ(registry.add(peer(5), "e"), 3);
    EXPECT_EQ(registry.size(), 4);
    registry.clear();
    EXPECT_EQ(registry.add(peer(6), "f"), 0);
}

std::vector<std::int32_t> walkedIds(const PlayerRegistry& registry) {
    std::vector<std::int32_t> ids;
    for (const auto& [id, record] : registry.records()) {
        EXPECT_EQ(registry.find(id), &record) << "the walk hands out the record find gives for " << id;
        ids.push_back(id);
    }
    return ids;
}

TEST(PlayerRegistryTest, RecordsStayPutAndTheWalkGoesUpByIdAcrossGaps) {
    PlayerRegistry registry;
    ASSERT_EQ(registry.add(peer(1), "first"), 0);
    PlayerRecord* first = registry.find(0);
    for (std::uint32_t octet = 2; octet <= 40; ++octet) registry.add(peer(octet), "p");
    EXPECT_EQ(registry.find(0), first) << "adding players never moves a record";
    EXPECT_EQ(first->name, "first");

    for (const std::int32_t id : {1, 5, 39, 38}) registry.remove(id);
    registry.remove(5);
    registry.remove(-1);
    registry.remove(1000);
    EXPECT_EQ(registry.size(), 36);
    std::vector<std::int32_t> expected;
    for (std::int32_t id = 0; id < 38; ++id) {
        if (id != 1 && id != 5) expected.push_back(id);
    }
    EXPECT_EQ(walkedIds(registry), expected);

    struct Probe {
        std::int32_t id;
        bool known;
    };
    for (const Probe probe : {Probe{-1, false}, Probe{0, true}, Probe{1, false}, Probe{37, true},
                              Probe{38, false}, Probe{39, false}, Probe{40, false}, Probe{1 << 20, false}}) {
        SCOPED_TRACE(probe.id);
        EXPECT_EQ(registry.exists(probe.id), probe.known);
        EXPECT_EQ(registry.find(probe.id) != nullptr, probe.known);
    }

    // The freed ids come back lowest first, then the top grows again.
    EXPECT_EQ(registry.add(peer(50), "x"), 1);
    EXPECT_EQ(registry.add(peer(51), "y"), 5);
    EXPECT_EQ(registry.add(peer(52), "z"), 38);
    EXPECT_EQ(registry.findByAddress(peer(52)), 38);
    EXPECT_EQ(registry.find(0), first);
    expected = {};
    for (std::int32_t id = 0; id <= 38; ++id) expected.push_back(id);
    EXPECT_EQ(walkedIds(registry), expected);

    for (auto& [id, record] : registry.records()) record.score = static_cast<std::int16_t>(id);
    EXPECT_EQ(registry.score(37), 37) << "the mutable walk changes the stored records";
    registry.clear();
    EXPECT_TRUE(walkedIds(registry).empty());
    EXPECT_EQ(registry.size(), 0);
}

TEST(PlayerRegistryTest, NewRecordStartsFromItsAddressAndACutName) {
    PlayerRegistry registry;
    const std::int32_t id = registry.add(peer(7, 4100), "FourteenLetter");
    const PlayerRecord* record = registry.find(id);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, "FourteenLette");
    EXPECT_EQ(record->ipText.view(), "127.0.0.7");
    EXPECT_EQ(record->idleSeconds, 0);
    EXPECT_EQ(record->vehicle, nullptr);
}

TEST(PlayerRegistryTest, LookupsByAddressAndName) {
    PlayerRegistry registry;
    registry.add(peer(1), "alice");
    registry.add(peer(2), "");
    EXPECT_EQ(registry.findByAddress(peer(1)), 0);
    EXPECT_EQ(registry.findByAddress(peer(1, 5001)), -1) << "the port tells peers apart";
    EXPECT_EQ(registry.findByName("ALICE"), 0);
    EXPECT_EQ(registry.findByName("alic"), -1);
    EXPECT_EQ(registry.nameOf(1), std::optional<std::string>(""));
    EXPECT_EQ(registry.nameOf(9), std::nullopt);
    EXPECT_EQ(registry.addressOf(0), std::optional<PeerAddress>(peer(1)));
    EXPECT_EQ(registry.addressOf(9), std::nullopt);
    EXPECT_FALSE(namesEqualIgnoringCase("\xE9", "\xC9")) << "only ASCII letters fold";
}

TEST(PlayerRegistryTest, CountersAndUnknownIds) {
    PlayerRegistry registry;
    const std::int32_t id = registry.add(peer(1), "a");
    registry.setScore(id, 0);
    registry.setScore(id, static_cast<std::int16_t>(registry.score(id) - 1));
    EXPECT_EQ(registry.score(id), -1);
    registry.setScore(id, 32767);
    registry.setScore(id, static_cast<std::int16_t>(registry.score(id) + 1));
    EXPECT_EQ(registry.score(id), -32768);

    EXPECT_FALSE(registry.checkRepeatChat(id, "hello"));
    EXPECT_TRUE(registry.checkRepeatChat(id, "hello"));
    EXPECT_FALSE(registry.checkRepeatChat(id, "Hello"));
    registry.clearLastChat(id);
    EXPECT_TRUE(registry.checkRepeatChat(id, "")) << "an empty last chat equals only an empty text";
    EXPECT_FALSE(registry.checkRepeatChat(id, "Hello"));

    registry.addKillReport(id);
    registry.addChat(id);
    registry.setSharedByte(id, -3);
    EXPECT_EQ(registry.killReports(id), 1);
    EXPECT_EQ(registry.find(id)->chatCount, 1);
    EXPECT_EQ(registry.sharedByte(id), -3);
    registry.resetChatCount(id);
    EXPECT_EQ(registry.find(id)->chatCount, 0);

    // Unknown ids read as neutral values and change nothing.
    const std::int32_t unknown = 42;
    registry.addKillReport(unknown);
    registry.setIdle(unknown, 5);
    EXPECT_EQ(registry.killReports(unknown), 0);
    EXPECT_EQ(registry.sharedByte(unknown), 0);
    EXPECT_EQ(registry.score(unknown), 0);
    EXPECT_FALSE(registry.checkRepeatChat(unknown, "x"));
    EXPECT_EQ(registry.size(), 1);
}

TEST(VehicleTableTest, EntriesStayPutOnceAdded) {
    VehicleTable table;
    EXPECT_EQ(table.get(7), nullptr);
    table.add(7);
    VehicleRecord* record = table.get(7);
    ASSERT_NE(record, nullptr);
    record->driverWord = 99;
    for (int id = 1; id <= 100; ++id) table.add(id);
    EXPECT_EQ(table.get(7), record);
    EXPECT_EQ(table.get(7)->driverWord, 99u) << "adding an existing id changes nothing";
}

// Two servers in one process (or two tests) must not see each other's vehicles.
TEST(VehicleTableTest, EachDefaultRegistryKeepsItsOwnVehicles) {
    PlayerRegistry first;
    PlayerRegistry second;
    const PeerAddress somewhere = PeerAddress::fromHostOrder(0x7F000001u, 5000);
    const std::int32_t firstId = first.add(somewhere, "a");
    const std::int32_t secondId = second.add(somewhere, "b");
    // State 5: driving vehicle 5, then the driver's 32-bit word.
    const std::uint8_t firstDrives[] = {5, 0x11, 0, 0, 0};
    const std::uint8_t secondDrives[] = {5, 0x22, 0, 0, 0};
    ASSERT_TRUE(first.applySync(firstId, PacketReader(firstDrives, sizeof firstDrives)));
    ASSERT_TRUE(second.applySync(secondId, PacketReader(secondDrives, sizeof secondDrives)));
    const VehicleRecord* firstVehicle = first.find(firstId)->vehicle;
    const VehicleRecord* secondVehicle = second.find(secondId)->vehicle;
    ASSERT_NE(firstVehicle, nullptr);
    ASSERT_NE(secondVehicle, nullptr);
    EXPECT_NE(firstVehicle, secondVehicle);
    EXPECT_EQ(firstVehicle->driverWord, 0x11u);
    EXPECT_EQ(secondVehicle->driverWord, 0x22u);
}

}  // namespace
}  // namespace varn
