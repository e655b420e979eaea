#include "admin/AdministratorRegistry.h"

#include "game/PlayerRegistry.h"
#include "protocol/AdminProtocol.h"

namespace varn {

std::int32_t AdministratorRegistry::add(const PeerAddress& address, std::string_view name) {
    std::int32_t id = 0;
    for (const auto& entry : records_) {
        if (entry.first != id) break;
        ++id;
    }
    records_.emplace(id, AdministratorRecord{address, std::string(name.substr(0, admin::kMaxNameLength)), 0});
    return id;
}

std::int32_t AdministratorRegistry::findByAddress(const PeerAddress& address) const {
    std::int32_t found = -1;
    for (const auto& [id, record] : records_) {
        if (record.address == address) found = id;
    }
    return found;
}

std::int32_t AdministratorRegistry::findByName(std::string_view name) const {
    for (const auto& [id, record] : records_) {
        if (namesEqualIgnoringCase(record.name, name)) return id;
    }
    return -1;
}

std::optional<std::string> AdministratorRegistry::nameOf(std::int32_t id) const {
    const AdministratorRecord* record = find(id);
    if (record == nullptr) return std::nullopt;
    return record->name;
}

void AdministratorRegistry::setIdle(std::int32_t id, std::int32_t seconds) {
    const auto found = records_.find(id);
    if (found != records_.end()) found->second.idleSeconds = seconds;
}

void AdministratorRegistry::addIdleToAll(std::int32_t seconds) {
    for (auto& entry : records_) entry.second.idleSeconds += seconds;
}

const AdministratorRecord* AdministratorRegistry::find(std::int32_t id) const {
    const auto found = records_.find(id);
    return found == records_.end() ? nullptr : &found->second;
}

}  // namespace varn
