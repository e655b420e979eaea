#include "game/PlayerRegistry.h"

namespace varn {

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool namesEqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

VehicleRecord* VehicleTable::get(std::int32_t vehicleId) {
    const auto found = vehicles_.find(vehicleId);
    return found == vehicles_.end() ? nullptr : &found->second;
}

std::int32_t PlayerSlots::lowestFreeId() const {
    std::size_t id = 0;
    while (id < slots_.size() && slots_[id]) ++id;
    return static_cast<std::int32_t>(id);
}

void PlayerSlots::emplace(std::int32_t id, PlayerRecord&& record) {
    const auto index = static_cast<std::size_t>(id);
    if (index >= slots_.size()) slots_.resize(index + 1);
    if (slots_[index]) return;
    slots_[index] = std::make_unique<Entry>(id, std::move(record));
    ++count_;
}

void PlayerSlots::erase(std::int32_t id) {
    if (find(id) == nullptr) return;
    slots_[static_cast<std::size_t>(id)].reset();
    --count_;
    // Empty slots at the top are let go, so a walk never passes more slots than the highest id needs.
    while (!slots_.empty() && !slots_.back()) slots_.pop_back();
}

void PlayerSlots::clear() {
    slots_.clear();
    count_ = 0;
}

std::int32_t PlayerRegistry::add(const PeerAddress& address, std::string_view name) {
    const std::int32_t id = records_.lowestFreeId();
    if (id < 0) return -1;
    PlayerRecord record;
    record.address = address;
    record.ipText = address.ipText();
    record.name = std::string(name.substr(0, kMaxRecordNameLength));
    records_.emplace(id, std::move(record));
    return id;
}

int PlayerRegistry::countActive() const {
    int count = 0;
    for (const auto& entry : records_) count += entry.second.active ? 1 : 0;
    return count;
}

std::int32_t PlayerRegistry::findByAddress(const PeerAddress& address) const {
    // The last match wins; the address text is a function of the address, so the numbers compare.
    std::int32_t found = -1;
    for (const auto& [id, record] : records_) {
        if (record.active && record.address == address) found = id;
    }
    return found;
}

std::int32_t PlayerRegistry::findByName(std::string_view name) const {
    for (const auto& [id, record] : records_) {
        if (record.active && namesEqualIgnoringCase(record.name, name)) return id;
    }
    return -1;
}

std::optional<std::string> PlayerRegistry::nameOf(std::int32_t id) const {
    const PlayerRecord* record = find(id);
    if (record == nullptr) return std::nullopt;
    return record->name;
}

std::optional<PeerAddress> PlayerRegistry::addressOf(std::int32_t id) const {
    const PlayerRecord* record = find(id);
    if (record == nullptr) return std::nullopt;
    return record->address;
}

std::int16_t PlayerRegistry::score(std::int32_t id) const {
    const PlayerRecord* record = find(id);
    return record == nullptr ? 0 : record->score;
}

void PlayerRegistry::setScore(std::int32_t id, std::int16_t value) {
    if (PlayerRecord* record = find(id)) record->score = value;
}

std::int32_t PlayerRegistry::killReports(std::int32_t id) const {
    const PlayerRecord* record = find(id);
    return record == nullptr ? 0 : record->killReports;
}

void PlayerRegistry::addKillReport(std::int32_t id) {
    if (PlayerRecord* record = find(id)) ++record->killReports;
}

void PlayerRegistry::addChat(std::int32_t id) {
    if (PlayerRecord* record = find(id)) ++record->chatCount;
}

void PlayerRegistry::resetChatCount(std::int32_t id) {
    if (PlayerRecord* record = find(id)) record->chatCount = 0;
}

bool PlayerRegistry::checkRepeatChat(std::int32_t id, std::string_view text) {
    PlayerRecord* record = find(id);
    if (record == nullptr) return false;
    if (record->lastChat == text) return true;
    record->lastChat.assign(text);
    return false;
}

void PlayerRegistry::clearLastChat(std::int32_t id) {
    if (PlayerRecord* record = find(id)) record->lastChat.clear();
}

void PlayerRegistry::setIdle(std::int32_t id, std::int32_t seconds) {
    if (PlayerRecord* record = find(id)) record->idleSeconds = seconds;
}

void PlayerRegistry::addIdleToAll(std::int32_t seconds) {
    for (auto& entry : records_) {
        if (entry.second.active) entry.second.idleSeconds += seconds;
    }
}

void PlayerRegistry::resetCrcPending(std::int32_t id) {
    if (PlayerRecord* record = find(id)) record->crcPending = 0;
}

std::int32_t PlayerRegistry::sharedByte(std::int32_t id) const {
    const PlayerRecord* record = find(id);
    return record == nullptr ? 0 : record->sharedByte;
}

void PlayerRegistry::setSharedByte(std::int32_t id, std::int32_t value) {
    if (PlayerRecord* record = find(id)) record->sharedByte = value;
}

}  // namespace varn
