#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/Packet.h"
#include "net/PeerAddress.h"

namespace varn {

inline constexpr std::size_t kMaxRecordNameLength = 13;

// The last state of a vehicle that a player reported driving or riding in.
struct VehicleRecord {
    std::uint32_t driverWord = 0;
    float position[3] = {0, 0, 0};
    float syncTag14[3] = {0, 0, 0};
};

// Every vehicle ever named by a sync report; entries are never removed, so references stay valid.
class VehicleTable {
public:
    bool exists(std::int32_t vehicleId) const { return vehicles_.contains(vehicleId); }
    void add(std::int32_t vehicleId) { vehicles_.try_emplace(vehicleId); }
    VehicleRecord* get(std::int32_t vehicleId);

private:
    std::map<std::int32_t, VehicleRecord> vehicles_;
};

// Everything the server knows about one peer (a player, or an administrator in the admin table).
// Only the registry and the game's handlers change it; other folders read a PlayerView.
struct PlayerRecord {
    PeerAddress address;          // where its datagrams come from and go to
    IpText ipText;                // the address's text form, for log lines and the administrators
    bool active = true;           // a record that walks and look-ups see (the server keeps none inactive)
    std::int32_t idleSeconds = 0; // seconds since its last datagram
    std::string name;             // as joined: at most 13 bytes, printable
    std::int16_t score = 0;       // kills less suicides
    std::uint16_t pongTime = 0;   // ping clock (milliseconds) when its last ping answer came
    std::uint16_t pingTime = 0;   // ping clock when the last ping request went out
    std::uint16_t ping = 0;       // the last round trip measured: pongTime - pingTime
    std::uint16_t lastPing = 0;   // the one before it; the players are told the mean of the two
    std::int32_t chatCount = 0;   // chat texts since the last once-a-second pass
    std::string lastChat;         // the last chat text accepted, for the repeat filter
    bool inVehicle = false;       // its last sync said it drives or rides
    bool isPassenger = false;     // ... as a passenger
    std::uint8_t vehicleId = 0;   // the vehicle it is in, 0 on foot
    std::uint32_t footWord = 0;   // the state word of its last on-foot sync
    float position[3] = {0, 0, 0};  // its last reported position on foot
    std::uint32_t syncTag8 = 0;   // the last values of the sync tags it reported
    VehicleRecord* vehicle = nullptr;  // the vehicle table's entry for vehicleId, null on foot
    std::int32_t sharedByte = 0;  // the byte it announced for the others to query
    std::int32_t syncTag2 = 0;
    std::int32_t syncTag5 = 0;
    std::int32_t syncTag4 = 0;
    std::int32_t syncTag3 = 0;
    std::int32_t syncTag6 = 0;
    std::int32_t syncTag7 = 0;
    std::uint32_t syncTag9 = 0;
    std::int32_t crcPending = 0;  // check-sum requests sent and not yet answered
    std::int32_t killReports = 0; // death reports since the last once-a-second pass
};

// Records by id in a table of slots indexed by the id itself, so that finding a record is one index
// and a walk goes through the ids in ascending order. A record keeps its address until it is removed.
class PlayerSlots {
public:
    using Entry = std::pair<const std::int32_t, PlayerRecord>;

    // Walks the occupied slots in ascending id order; Value is Entry or const Entry.
    template <typename Value>
    class Walker {
    public:
        using Slot =
            std::conditional_t<std::is_const_v<Value>, const std::unique_ptr<Entry>, std::unique_ptr<Entry>>;
        Walker(Slot* slot, Slot* end) : slot_(slot), end_(end) { skipEmpty(); }
        Value& operator*() const { return **slot_; }
        Value* operator->() const { return slot_->get(); }
        Walker& operator++() {
            ++slot_;
            skipEmpty();
            return *this;
        }
        bool operator==(const Walker& other) const { return slot_ == other.slot_; }

    private:
        void skipEmpty() {
            while (slot_ != end_ && !*slot_) ++slot_;
        }
        Slot* slot_;
        Slot* end_;
    };

    Walker<Entry> begin() { return {slots_.data(), slots_.data() + slots_.size()}; }
    Walker<Entry> end() { return {slots_.data() + slots_.size(), slots_.data() + slots_.size()}; }
    Walker<const Entry> begin() const { return {slots_.data(), slots_.data() + slots_.size()}; }
    Walker<const Entry> end() const { return {slots_.data() + slots_.size(), slots_.data() + slots_.size()}; }

    std::size_t size() const { return count_; }
    bool contains(std::int32_t id) const { return find(id) != nullptr; }
    PlayerRecord* find(std::int32_t id) { return recordAt(id); }
    const PlayerRecord* find(std::int32_t id) const { return recordAt(id); }
    // The lowest id without a record.
    std::int32_t lowestFreeId() const;
    // Stores the record under a free id.
    void emplace(std::int32_t id, PlayerRecord&& record);
    void erase(std::int32_t id);
    void clear();

private:
    PlayerRecord* recordAt(std::int32_t id) const {
        const auto index = static_cast<std::size_t>(id);
        return id >= 0 && index < slots_.size() && slots_[index] ? &slots_[index]->second : nullptr;
    }

    std::vector<std::unique_ptr<Entry>> slots_;
    std::size_t count_ = 0;
};

// The table of peers by small integer id: the lowest free id first, always walked in ascending order.
class PlayerRegistry {
public:
    using Records = PlayerSlots;

    // Vehicles go to a table of the registry's own unless it is handed another one.
    PlayerRegistry() : ownVehicles_(std::make_unique<VehicleTable>()), vehicles_(ownVehicles_.get()) {}
    explicit PlayerRegistry(VehicleTable& vehicles) : vehicles_(&vehicles) {}

    // The new id, or a negative value when none can be given.
    std::int32_t add(const PeerAddress& address, std::string_view name);
    void remove(std::int32_t id) { records_.erase(id); }
    void clear() { records_.clear(); }
    bool exists(std::int32_t id) const { return records_.contains(id); }
    int countActive() const;
    int size() const { return static_cast<int>(records_.size()); }
    std::int32_t findByAddress(const PeerAddress& address) const;
    std::int32_t findByName(std::string_view name) const;
    std::optional<std::string> nameOf(std::int32_t id) const;
    std::optional<PeerAddress> addressOf(std::int32_t id) const;
    std::int16_t score(std::int32_t id) const;
    void setScore(std::int32_t id, std::int16_t value);
    std::int32_t killReports(std::int32_t id) const;
    void addKillReport(std::int32_t id);
    void addChat(std::int32_t id);
    void resetChatCount(std::int32_t id);
    // True for a repeat of the last accepted chat text; otherwise keeps the text and gives false.
    bool checkRepeatChat(std::int32_t id, std::string_view text);
    void clearLastChat(std::int32_t id);
    void resetIdle(std::int32_t id) { setIdle(id, 0); }
    void setIdle(std::int32_t id, std::int32_t seconds);
    // Adds seconds to the idle time of every active record.
    void addIdleToAll(std::int32_t seconds);
    void resetCrcPending(std::int32_t id);
    std::int32_t sharedByte(std::int32_t id) const;
    void setSharedByte(std::int32_t id, std::int32_t value);
    // Stores the state a sync payload reports. False, with nothing stored, for an unknown id or a
    // payload without its state byte or the 32-bit value a state of 0 to 100 carries.
    bool applySync(std::int32_t id, const PacketReader& payload);
    // Appends the player's compact state at buffer[length] and advances length; false, with nothing
    // appended, for an unknown id or when the state does not fit.
    bool appendReducedSync(std::int32_t id, std::span<std::uint8_t> buffer, std::size_t& length) const;
    // Whether two players are close enough (x and y only) to receive each other's full sync.
    bool withinRange(std::int32_t idA, std::int32_t idB) const;
    // The same test for two records at hand.
    static bool withinRange(const PlayerRecord& a, const PlayerRecord& b);

    // The record under id, or nullptr.
    PlayerRecord* find(std::int32_t id) { return records_.find(id); }
    const PlayerRecord* find(std::int32_t id) const { return records_.find(id); }
    // Walked in ascending id order.
    Records& records() { return records_; }
    const Records& records() const { return records_; }

private:
    Records records_;
    std::unique_ptr<VehicleTable> ownVehicles_;
    VehicleTable* vehicles_;
};

// Names compare ignoring the case of ASCII letters only.
bool namesEqualIgnoringCase(std::string_view a, std::string_view b);

}  // namespace varn
