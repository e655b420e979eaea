#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <bit>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/GameServerFixture.h"

namespace varn {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Builds sync payloads (the bytes after the command id) field by field.
class Payload {
public:
    Payload& byte(int value) {
        bytes_.push_back(static_cast<std::uint8_t>(value));
        return *this;
    }
    Payload& word(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) byte(static_cast<int>((value >> shift) & 0xFF));
        return *this;
    }
    Payload& point(float x, float y, float z) {
        return word(std::bit_cast<std::uint32_t>(x)).word(std::bit_cast<std::uint32_t>(y)).word(
            std::bit_cast<std::uint32_t>(z));
    }
    Payload& fill(int value, std::size_t count) {
        bytes_.insert(bytes_.end(), count, static_cast<std::uint8_t>(value));
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }
    PacketReader reader() const { return PacketReader(bytes_.data(), bytes_.size()); }

private:
    Bytes bytes_;
};

std::uint32_t bitsOf(float value) { return std::bit_cast<std::uint32_t>(value); }

Bytes relayed(std::int32_t senderId, const Payload& payload) {
    Bytes packet(2 + payload.bytes().size());
    packet[0] = 10;
    packet[1] = static_cast<std::uint8_t>(senderId);
    std::copy(payload.bytes().begin(), payload.bytes().end(), packet.begin() + 2);
    return packet;
}

const PeerAddress kSomewhere = PeerAddress::fromHostOrder(0x7F000001u, 5000);

// ---- PlayerRegistry: apply, reduced form, range ----

class PlayerRegistrySyncTest : public ::testing::Test {
protected:
    VehicleTable vehicles;
    PlayerRegistry registry{vehicles};
    std::int32_t id = registry.add(kSomewhere, "alice");
    PlayerRecord& record() { return *registry.find(id); }
};

TEST_F(PlayerRegistrySyncTest, StateByteDecidesVehicleFootWordAndWhereTagsStart) {
    struct Case {
        int state;
        bool hasWord;
        std::uint8_t inVehicle;
        std::uint8_t isPassenger;
        std::uint8_t vehicleId;
        std::uint32_t footWord;
        std::uint32_t driverWord;  // of vehicleId, when in one
    };
    constexpr std::uint32_t kWord = 0x11223344, kOldFootWord = 0xAAAAAAAA, kOldDriverWord = 0x55;
    const Case cases[] = {
        {0, true, 0, 0, 0, kWord, 0},
        {1, true, 1, 0, 1, kOldFootWord, kWord},
        {100, true, 1, 0, 100, kOldFootWord, kWord},
        {101, false, 1, 1, 1, kOldFootWord, 0},
        {200, false, 1, 1, 100, kOldFootWord, 0},
        // The client only says "on foot": the passenger flag stays as it was.
        {201, false, 0, 1, 0, 0, 0},
        {255, false, 0, 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        VehicleTable table;
        PlayerRegistry players(table);
        const std::int32_t player = players.add(kSomewhere, "p");
        PlayerRecord& before = *players.find(player);
        before.footWord = kOldFootWord;
        before.isPassenger = 1;
        for (std::int32_t vehicle : {1, 100}) {
            table.add(vehicle);
            table.get(vehicle)->driverWord = kOldDriverWord;
        }

        Payload payload;
        payload.byte(c.state);
        if (c.hasWord) payload.word(kWord);
        payload.byte(2).byte(0x21);  // found only when tags start right after the state
        ASSERT_TRUE(players.applySync(player, payload.reader()));

        const PlayerRecord& after = *players.find(player);
        EXPECT_EQ(after.inVehicle, c.inVehicle);
        EXPECT_EQ(after.isPassenger, c.isPassenger);
        EXPECT_EQ(after.vehicleId, c.vehicleId);
        EXPECT_EQ(after.footWord, c.footWord);
        EXPECT_EQ(after.syncTag2, 0x21);
        if (c.vehicleId == 0) {
            EXPECT_EQ(after.vehicle, nullptr);
        } else {
            ASSERT_EQ(after.vehicle, table.get(c.vehicleId));
            EXPECT_EQ(after.vehicle->driverWord, c.driverWord);
        }
    }
}

TEST_F(PlayerRegistrySyncTest, EveryTagHasItsWidthAndItsField) {
    // Fields in a fixed order: the player's point, tags 2..7, 8, 9, the vehicle's point and tag 14.
    const auto fields = [](const PlayerRecord& r, const VehicleRecord& v) {
        return std::vector<std::uint32_t>{
            bitsOf(r.position[0]), bitsOf(r.position[1]), bitsOf(r.position[2]),
            static_cast<std::uint32_t>(r.syncTag2), static_cast<std::uint32_t>(r.syncTag3),
            static_cast<std::uint32_t>(r.syncTag4), static_cast<std::uint32_t>(r.syncTag5),
            static_cast<std::uint32_t>(r.syncTag6), static_cast<std::uint32_t>(r.syncTag7), r.syncTag8,
            r.syncTag9, bitsOf(v.position[0]), bitsOf(v.position[1]), bitsOf(v.position[2]),
            bitsOf(v.syncTag14[0]), bitsOf(v.syncTag14[1]), bitsOf(v.syncTag14[2])};
    };
    enum Field {
        kX, kY, kZ, kTag2, kTag3, kTag4, kTag5, kTag6, kTag7, kTag8, kTag9,
        kVx, kVy, kVz, kT14a, kT14b, kT14c
    };
    struct Case {
        int tag;
        std::size_t width;
        std::vector<int> stored;
    };
    const Case cases[] = {
        {1, 12, {kX, kY, kZ}}, {2, 1, {kTag2}}, {3, 1, {kTag3}}, {4, 1, {kTag4}},
        {5, 1, {kTag5}},       {6, 1, {kTag6}}, {7, 1, {kTag7}}, {8, 4, {kTag8}},
        {9, 4, {kTag9}},       {10, 12, {}},    {11, 12, {}},    {12, 12, {}},
        {13, 12, {kVx, kVy, kVz}}, {14, 12, {kT14a, kT14b, kT14c}},
        {15, 1, {}},           {16, 1, {}},     {0, 0, {}},      {17, 0, {}},
        {255, 0, {}},
    };
    // Every value byte is 0x0E: a walk that takes too few bytes reads it as tag 14 and swallows the
    // trailing marker tag; one that takes too many swallows it as value.
    constexpr int kValueByte = 0x0E;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        VehicleTable table;
        PlayerRegistry players(table);
        const std::int32_t player = players.add(kSomewhere, "p");
        const int marker = c.tag == 2 ? 3 : 2;

        Payload payload;
        payload.byte(9).word(0).byte(c.tag).fill(kValueByte, c.width).byte(marker).byte(0x44);
        ASSERT_TRUE(players.applySync(player, payload.reader()));

        std::vector<std::uint32_t> expected(17, 0);
        for (int field : c.stored) expected[field] = c.width == 1 ? 0x0Eu : 0x0E0E0E0Eu;
        expected[marker == 2 ? kTag2 : kTag3] = 0x44;
        EXPECT_EQ(fields(*players.find(player), *table.get(9)), expected);
    }
}

TEST_F(PlayerRegistrySyncTest, OneByteTagsAreSignedAndVehicleTagsNeedAVehicle) {
    Payload payload;
    payload.byte(0).word(0).byte(3).byte(0xF0).byte(13).point(1, 2, 3).byte(14).point(4, 5, 6);
    ASSERT_TRUE(registry.applySync(id, payload.reader()));
    EXPECT_EQ(record().syncTag3, -16);
    EXPECT_FALSE(vehicles.exists(0));

    // A passenger's tag 13 moves the vehicle it rides in.
    Payload passenger;
    passenger.byte(107).byte(13).point(7, 8, 9);
    ASSERT_TRUE(registry.applySync(id, passenger.reader()));
    ASSERT_TRUE(vehicles.exists(7));
    EXPECT_EQ(vehicles.get(7)->position[0], 7.0f);
    EXPECT_EQ(vehicles.get(7)->position[2], 9.0f);

    // Back on foot without a value: the vehicle stays where it was.
    Payload walking;
    walking.byte(230).byte(13).point(1, 1, 1);
    ASSERT_TRUE(registry.applySync(id, walking.reader()));
    EXPECT_EQ(vehicles.get(7)->position[0], 7.0f);
}

TEST_F(PlayerRegistrySyncTest, ShortPayloadsAreNeverReadPastTheirEnd) {
    // Each payload is followed in memory by bytes that would change the state if they were read.
    struct Case {
        const char* what;
        Bytes bytes;
        bool applied;
        std::int32_t syncTag2;
    };
    const Case cases[] = {
        {"no state byte", {}, false, 0},
        {"foot word cut short", {0, 1, 2, 3}, false, 0},
        {"driver word cut short", {7, 1, 2}, false, 0},
        {"position cut short", {201, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 0},
        {"tag 8 cut short after a whole tag 2", {201, 2, 5, 8, 1, 2, 3}, true, 5},
        {"tag byte last", {201, 2, 6, 2}, true, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VehicleTable table;
        PlayerRegistry players(table);
        const std::int32_t player = players.add(kSomewhere, "p");
        players.find(player)->footWord = 0xAAAAAAAA;

        Bytes memory = c.bytes;
        memory.insert(memory.end(), 16, 0x41);
        EXPECT_EQ(players.applySync(player, PacketReader(memory.data(), c.bytes.size())), c.applied);
        const PlayerRecord& after = *players.find(player);
        EXPECT_EQ(after.position[0], 0.0f);
        EXPECT_EQ(after.syncTag8, 0u);
        EXPECT_EQ(after.syncTag2, c.syncTag2);
        EXPECT_EQ(after.footWord, c.applied ? 0u : 0xAAAAAAAAu);
        EXPECT_FALSE(table.exists(7));
    }
    EXPECT_FALSE(registry.applySync(99, Payload().byte(0).word(1).reader()));
}

TEST_F(PlayerRegistrySyncTest, ReducedReportFollowsTheStoredState) {
    const auto onFootAt123 = [] {
        return Payload().byte(0).word(0x04030201).byte(1).point(1.0f, 2.0f, 3.0f);
    };
    struct Case {
        const char* what;
        Payload sync;
        Bytes reduced;
    };
    const Case cases[] = {
        {"on foot", onFootAt123().byte(2).byte(0xF0).byte(3).byte(9),
         onFootAt123().byte(2).byte(0xF0).byte(3).byte(9).bytes()},
        {"driver", Payload().byte(7).word(0xCAFE).byte(13).point(-5.0f, 6.0f, 7.5f).byte(1).point(9, 9, 9),
         Payload().byte(7).word(0xCAFE).byte(13).point(-5.0f, 6.0f, 7.5f).bytes()},
        {"passenger", Payload().byte(107), {107}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(registry.applySync(id, c.sync.reader()));
        std::array<std::uint8_t, 32> buffer{10, 0};
        std::size_t length = 2;
        ASSERT_TRUE(registry.appendReducedSync(id, buffer, length));
        EXPECT_EQ(length, 2 + c.reduced.size());
        EXPECT_EQ(Bytes(buffer.begin() + 2, buffer.begin() + static_cast<std::ptrdiff_t>(length)), c.reduced);
    }
    // A passenger's report leaves the vehicle without a driver word.
    EXPECT_EQ(vehicles.get(7)->driverWord, 0u);

    std::array<std::uint8_t, 32> buffer{};
    std::size_t length = 2;
    EXPECT_FALSE(registry.appendReducedSync(42, buffer, length));
    EXPECT_EQ(length, 2u);
    ASSERT_TRUE(registry.applySync(id, Payload().byte(0).word(0).reader()));
    std::array<std::uint8_t, 23> tooSmall{};
    EXPECT_FALSE(registry.appendReducedSync(id, tooSmall, length));
    EXPECT_EQ(length, 2u);
}

TEST_F(PlayerRegistrySyncTest, RangeIsBelowThreeHundredOnTheGroundPlane) {
    struct Case {
        float x, y, z;
        bool within;
    };
    const Case cases[] = {
        {299.99f, 0, 0, true}, {300.0f, 0, 0, false}, {300.01f, 0, 0, false}, {-300.0f, 0, 0, false},
        {0, 299.99f, 0, true}, {0, 300.0f, 0, false}, {0, -300.01f, 0, false}, {180.0f, 240.0f, 0, false},
        {179.9f, 240.0f, 0, true}, {0, 0, 1000.0f, true}, {100.0f, 0, -5000.0f, true},
        {std::nextafter(300.0f, 0.0f), 0, 0, true}, {299.0f, 0, 0, true}, {-299.5f, 0, 0, true},
        {std::numeric_limits<float>::quiet_NaN(), 0, 0, false},
        {0, std::numeric_limits<float>::infinity(), 0, false},
    };
    const std::int32_t other = registry.add(kSomewhere, "bob");
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << "," << c.z);
        registry.find(other)->position[0] = c.x;
        registry.find(other)->position[1] = c.y;
        registry.find(other)->position[2] = c.z;
        EXPECT_EQ(registry.withinRange(id, other), c.within);
        EXPECT_EQ(registry.withinRange(other, id), c.within);
    }
    EXPECT_TRUE(registry.withinRange(id, 77));
    EXPECT_TRUE(registry.withinRange(77, id));

    // All around the edge, the records' own test agrees with the distance taken in full.
    PlayerRecord& far = *registry.find(other);
    int checked = 0;
    for (float x = 150.0f; x <= 301.0f; x = std::nextafter(x + 0.37f, 400.0f)) {
        for (const float y : {0.0f, 0.001f, 259.8f, 260.0f, 263.0f, 299.9f, 300.0f}) {
            far.position[0] = x;
            far.position[1] = y;
            const double expected = std::sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y);
            ASSERT_EQ(PlayerRegistry::withinRange(*registry.find(id), far), expected < 300.0)
                << x << "," << y;
            ++checked;
        }
    }
    EXPECT_GT(checked, 2000);
    far.position[1] = 0;

    // A driver is where the vehicle is, not where it last stood.
    registry.find(other)->position[0] = 0;
    ASSERT_TRUE(registry.applySync(id, Payload().byte(3).word(0).byte(13).point(1000.0f, 0, 0).reader()));
    EXPECT_FALSE(registry.withinRange(id, other));
    ASSERT_TRUE(registry.applySync(id, Payload().byte(3).word(0).byte(13).point(10.0f, 0, 0).reader()));
    EXPECT_TRUE(registry.withinRange(id, other));
}

// ---- GameServer: the relay and its statistics lines ----

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class SyncRelayTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        logPath = std::filesystem::temp_directory_path() /
                  ("varn-sync-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        ASSERT_TRUE(ServerLog::instance().open(logPath.string()));
    }
    void TearDown() override {
        ServerLog::instance().close();
        std::filesystem::remove(logPath);
        GameServerFixture::TearDown();
    }

    // The statistics lines written so far, in order.
    std::vector<std::string> statLines() const {
        std::vector<std::string> result;
        std::istringstream in(readFile(logPath));
        for (std::string line; std::getline(in, line);) {
            if (line.ends_with('\r')) line.pop_back();  // a CR LF line end
            if (line.starts_with("Veh: ") || line.starts_with("Wea: ")) result.push_back(line);
        }
        return result;
    }

    // A player standing at (x, y).
    std::int32_t addPlayerAt(const PeerAddress& address, float x, float y) {
        const std::int32_t added = players.add(address, std::to_string(players.size()));
        players.find(added)->position[0] = x;
        players.find(added)->position[1] = y;
        return added;
    }

    void sync(std::int32_t sender, const Payload& payload) { server->relaySync(sender, payload.reader()); }

    std::filesystem::path logPath;
};

TEST_F(SyncRelayTest, NearPlayersGetTheFullReportFarOnesTheReducedOneAdminsNothing) {
    start();
    const PeerAddress sender = peer(2), near = peer(3), far = peer(4), idle = peer(5), admin = peer(9, 6000);
    const std::int32_t senderId = addPlayerAt(sender, 0, 0);
    addPlayerAt(near, 0, 0);
    addPlayerAt(far, 505.0f, 0);
    players.remove(addPlayerAt(idle, 0, 0));
    adminServer->administrators().add(admin, "boss");

    const Payload payload =
        Payload().byte(0).word(0x0D0C0B0A).byte(1).point(5.0f, 0, 1.5f).byte(2).byte(0x7F);
    sync(senderId, payload);

    EXPECT_EQ(gameSentTo(near), std::vector<Bytes>{relayed(senderId, payload)});
    const Payload reduced =
        Payload().byte(0).word(0x0D0C0B0A).byte(1).point(5.0f, 0, 1.5f).byte(2).byte(0x7F).byte(3).byte(0);
    EXPECT_EQ(gameSentTo(far), std::vector<Bytes>{relayed(senderId, reduced)});
    EXPECT_EQ(relayed(senderId, reduced).size(), 24u);
    EXPECT_TRUE(gameSentTo(sender).empty());
    EXPECT_TRUE(gameSentTo(idle).empty());
    EXPECT_TRUE(adminSentTo(admin).empty());
    EXPECT_TRUE(gameSentTo(admin).empty());
    EXPECT_EQ(network.sent.size(), 2u);
    EXPECT_EQ(players.find(senderId)->footWord, 0x0D0C0B0Au);
    EXPECT_EQ(players.find(senderId)->syncTag2, 0x7F);
}

TEST_F(SyncRelayTest, FarPlayersGetTheDriverAndPassengerForms) {
    start();
    const std::int32_t senderId = addPlayerAt(peer(2), 0, 0);
    addPlayerAt(peer(3), 1000.0f, 1000.0f);

    sync(senderId, Payload().byte(42).word(0xBEEF).byte(13).point(-1.0f, 2.0f, 3.0f));
    sync(senderId, Payload().byte(142));
    const auto received = gameSentTo(peer(3));
    ASSERT_EQ(received.size(), 2u);
    const Payload driver = Payload().byte(42).word(0xBEEF).byte(13).point(-1.0f, 2.0f, 3.0f);
    EXPECT_EQ(received[0], relayed(senderId, driver));
    EXPECT_EQ(received[0].size(), 20u);
    EXPECT_EQ(received[1], testing::bytesOf({10, 0, 142}));
}

TEST_F(SyncRelayTest, TestmodeEchoesTheFullReportToEveryoneTheSenderToo) {
    configure("Testmode 1\n");
    start();
    const std::int32_t senderId = addPlayerAt(peer(2), 0, 0);
    addPlayerAt(peer(3), 5000.0f, 0);
    adminServer->administrators().add(peer(9, 6000), "boss");

    const Payload payload = Payload().byte(201).byte(4).byte(1);
    sync(senderId, payload);
    EXPECT_EQ(gameSentTo(peer(2)), std::vector<Bytes>{relayed(senderId, payload)});
    EXPECT_EQ(gameSentTo(peer(3)), std::vector<Bytes>{relayed(senderId, payload)});
    EXPECT_EQ(network.sent.size(), 2u);
}

TEST_F(SyncRelayTest, NothingHappensForUnknownSendersAndIncompleteStates) {
    configure("StatLogging 1\n");
    start();
    const std::int32_t senderId = addPlayerAt(peer(2), 0, 0);
    addPlayerAt(peer(3), 0, 0);
    players.find(senderId)->footWord = 0x12345678;

    sync(-1, Payload().byte(5).word(1));
    sync(senderId, Payload());
    sync(senderId, Payload().byte(0).byte(1).byte(2).byte(3));
    sync(senderId, Payload().byte(8).byte(1));
    sync(senderId, Payload().byte(0).word(0).fill(0, 1023 - 5 + 1));  // longer than any datagram received
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(players.find(senderId)->footWord, 0x12345678u);
    EXPECT_EQ(players.find(senderId)->vehicleId, 0);
    EXPECT_TRUE(statLines().empty());

    // A tag cut short is relayed as it came but not stored.
    const Payload cut = Payload().byte(201).byte(1).fill(0x42, 8);
    sync(senderId, cut);
    EXPECT_EQ(gameSentTo(peer(3)), std::vector<Bytes>{relayed(senderId, cut)});
    EXPECT_EQ(players.find(senderId)->position[0], 0.0f);

    // The largest datagram the server receives is relayed whole.
    network.clearSent();
    const Payload largest = Payload().byte(201).fill(0, 1022);
    sync(senderId, largest);
    ASSERT_EQ(gameSentTo(peer(3)).size(), 1u);
    EXPECT_EQ(gameSentTo(peer(3))[0].size(), 1025u);
}

TEST_F(SyncRelayTest, VehicleLineOncePerChangeOnlyWithARecipient) {
    configure("StatLogging 1\n");
    start();
    const std::int32_t alone = addPlayerAt(peer(2), 0, 0);

    // A lone player's changes are relayed to nobody and not logged.
    sync(alone, Payload().byte(7).word(0));
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(statLines().empty());

    addPlayerAt(peer(3), 0, 0);
    addPlayerAt(peer(4), 0, 0);
    sync(alone, Payload().byte(0).word(0));   // on foot as logged at construction: no line
    sync(alone, Payload().byte(7).word(0));   // one line however many receive it
    sync(alone, Payload().byte(7).word(5));
    sync(alone, Payload().byte(150));         // passenger: the byte as the tools read it, signed
    sync(alone, Payload().byte(0).word(0));
    EXPECT_EQ(statLines(), (std::vector<std::string>{"Veh: 0 7", "Veh: 0 -106", "Veh: 0 0"}));
    EXPECT_EQ(log.text().find("Veh: "), std::string::npos);

    // A newcomer under a freed id is compared with what was logged for the id before.
    sync(alone, Payload().byte(9).word(0));
    players.remove(alone);
    const std::int32_t newcomer = addPlayerAt(peer(5), 0, 0);
    ASSERT_EQ(newcomer, alone);
    sync(newcomer, Payload().byte(9).word(0));
    sync(newcomer, Payload().byte(0).word(0));
    EXPECT_EQ(statLines(),
              (std::vector<std::string>{"Veh: 0 7", "Veh: 0 -106", "Veh: 0 0", "Veh: 0 9", "Veh: 0 0"}));
}

TEST_F(SyncRelayTest, WeaponLineFromTheMarkerScan) {
    configure("StatLogging 1\n");
    start();
    const std::int32_t senderId = addPlayerAt(peer(2), 0, 0);
    addPlayerAt(peer(3), 0, 0);

    // On foot with a zero word: the vehicle byte stays at its logged 0 and the word scans as four
    // plain markers.
    const auto onFoot = [] { return Payload().byte(0).word(0); };
    struct Case {
        const char* what;
        Payload payload;
        std::vector<std::string> newLines;
    };
    const Case cases[] = {
        {"marker right after the word", onFoot().byte(29).byte(5), {"Wea: 0 5"}},
        {"same weapon again", onFoot().byte(29).byte(5), {}},
        {"marker 1 skips four bytes", onFoot().byte(1).fill(29, 4).byte(29).byte(6), {"Wea: 0 6"}},
        {"markers 2, 3 and 10 skip too",
         onFoot().byte(2).fill(29, 4).byte(3).fill(29, 4).byte(10).fill(29, 4).byte(29).byte(7),
         {"Wea: 0 7"}},
        {"other markers skip only themselves", onFoot().byte(4).byte(29).byte(0xF0), {"Wea: 0 -16"}},
        {"the first marker 29 decides", onFoot().byte(29).byte(8).byte(29).byte(9), {"Wea: 0 8"}},
        {"no byte after the marker", onFoot().byte(29), {}},
        {"no marker", onFoot().byte(2).byte(1), {}},
        {"the scan starts at the second byte", Payload().byte(0).byte(29).byte(9).byte(0).byte(0),
         {"Wea: 0 9"}},
        {"the state byte is no marker", Payload().byte(29).word(0), {"Veh: 0 29"}},
        {"vehicle first, then weapon", Payload().byte(3).word(0).byte(29).byte(1), {"Veh: 0 3", "Wea: 0 1"}},
    };
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sync(senderId, c.payload);
        expected.insert(expected.end(), c.newLines.begin(), c.newLines.end());
        EXPECT_EQ(statLines(), expected);
    }
    EXPECT_EQ(log.text().find("Wea: "), std::string::npos);
}

TEST_F(SyncRelayTest, NoStatisticsLinesUnlessSwitchedOn) {
    start();
    const std::int32_t senderId = addPlayerAt(peer(2), 0, 0);
    addPlayerAt(peer(3), 0, 0);
    for (const char* setting : {"", "StatLogging 0\n", "StatLogging 2\n"}) {
        SCOPED_TRACE(setting);
        configure(setting);
        network.clearSent();
        sync(senderId, Payload().byte(7).word(0).byte(29).byte(4));
        EXPECT_EQ(gameSentTo(peer(3)).size(), 1u);
        EXPECT_TRUE(statLines().empty());
        EXPECT_EQ(server->loggedVehicle(0), 0u);
        EXPECT_EQ(server->loggedWeapon(0), 0u);
    }
}

}  // namespace
}  // namespace varn
