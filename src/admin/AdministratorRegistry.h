#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "net/PeerAddress.h"

namespace varn {

// What the server keeps of a logged-in administrator.
struct AdministratorRecord {
    PeerAddress address;           // where its datagrams come from and the admin socket answers
    std::string name;              // as logged in: at most 13 bytes, as the client sent them
    std::int32_t idleSeconds = 0;  // seconds since its last datagram
};

// The logged-in administrators by small integer id: the lowest free id first, always walked in
// ascending order. Their ids are their own: an administrator and a player may share one.
class AdministratorRegistry {
public:
    using Records = std::map<std::int32_t, AdministratorRecord>;

    // The new id; the name is cut to 13 bytes.
    std::int32_t add(const PeerAddress& address, std::string_view name);
    void remove(std::int32_t id) { records_.erase(id); }
    void clear() { records_.clear(); }
    bool exists(std::int32_t id) const { return records_.contains(id); }
    int size() const { return static_cast<int>(records_.size()); }
    // The id logged in from the address (the highest, should there be two), or -1.
    std::int32_t findByAddress(const PeerAddress& address) const;
    // The lowest id with the name, ignoring the case of ASCII letters, or -1.
    std::int32_t findByName(std::string_view name) const;
    std::optional<std::string> nameOf(std::int32_t id) const;
    void resetIdle(std::int32_t id) { setIdle(id, 0); }
    void setIdle(std::int32_t id, std::int32_t seconds);
    void addIdleToAll(std::int32_t seconds);

    // The record under id, or nullptr.
    const AdministratorRecord* find(std::int32_t id) const;
    // Walked in ascending id order.
    const Records& records() const { return records_; }

private:
    Records records_;
};

}  // namespace varn
