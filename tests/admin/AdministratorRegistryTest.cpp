#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "admin/AdministratorRegistry.h"

namespace varn {
namespace {

PeerAddress peer(std::uint32_t lastOctet, std::uint16_t port = 6000) {
    return PeerAddress::fromHostOrder(0x7F000000u | lastOctet, port);
}

std::vector<std::int32_t> walkedIds(const AdministratorRegistry& registry) {
    std::vector<std::int32_t> ids;
    for (const auto& entry : registry.records()) ids.push_back(entry.first);
    return ids;
}

TEST(AdministratorRegistryTest, IdsFillTheLowestGapAndNamesAreCut) {
    AdministratorRegistry registry;
    EXPECT_EQ(registry.add(peer(1), "first"), 0);
    EXPECT_EQ(registry.add(peer(2), "second"), 1);
    EXPECT_EQ(registry.add(peer(3), "third"), 2);
    registry.remove(0);
    registry.remove(7);
    EXPECT_EQ(registry.add(peer(4), "FourteenLetter"), 0);
    EXPECT_EQ(registry.add(peer(5), "fifth"), 3);
    EXPECT_EQ(walkedIds(registry), (std::vector<std::int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(registry.size(), 4);

    const AdministratorRecord* record = registry.find(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, "FourteenLette");
    EXPECT_EQ(record->address, peer(4));
    EXPECT_EQ(record->idleSeconds, 0);
    EXPECT_EQ(registry.find(4), nullptr);
    EXPECT_EQ(registry.nameOf(4), std::nullopt);

    registry.clear();
    EXPECT_EQ(registry.size(), 0);
    EXPECT_EQ(registry.add(peer(6), "again"), 0);
}

TEST(AdministratorRegistryTest, LookupsAndIdleTime) {
    AdministratorRegistry registry;
    registry.add(peer(1), "Boss");
    registry.add(peer(1, 6001), "b\xC3\x96ss");

    EXPECT_EQ(registry.findByAddress(peer(1)), 0);
    EXPECT_EQ(registry.findByAddress(peer(1, 6001)), 1) << "another port is another administrator";
    EXPECT_EQ(registry.findByAddress(peer(2)), -1);
    EXPECT_EQ(registry.findByName("bOSS"), 0);
    EXPECT_EQ(registry.findByName("B\xC3\x96SS"), 1) << "only ASCII letters ignore their case";
    EXPECT_EQ(registry.findByName("b\xC3\xB6ss"), -1);
    EXPECT_EQ(registry.findByName("Bos"), -1);

    registry.addIdleToAll(3);
    registry.setIdle(1, 40);
    registry.setIdle(9, 40);
    registry.addIdleToAll(2);
    EXPECT_EQ(registry.find(0)->idleSeconds, 5);
    EXPECT_EQ(registry.find(1)->idleSeconds, 42);
    registry.resetIdle(1);
    EXPECT_EQ(registry.find(1)->idleSeconds, 0);
    EXPECT_FALSE(registry.exists(9));
}

}  // namespace
}  // namespace varn
