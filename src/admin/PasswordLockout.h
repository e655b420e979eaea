#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

#include "net/PeerAddress.h"

namespace varn {

// Compares two texts in time that depends only on their lengths, so a password guess learns nothing
// from how long the answer takes.
bool constantTimeEquals(std::string_view given, std::string_view expected);

// Counts wrong passwords per address, one count for each kind of login, and locks an address out of
// that kind for a while after too many. The table is bounded: the entry used least recently goes.
class PasswordLockout {
public:
    enum class Kind : std::uint8_t { AdminLogin = 0, PlayerJoin = 1 };

    static constexpr std::uint32_t kMaxFailures = 5;
    static constexpr std::int64_t kWindowSeconds = 60;
    static constexpr std::int64_t kLockSeconds = 60;
    static constexpr std::size_t kMaxEntries = 4096;

    bool isLockedOut(Kind kind, const PeerAddress& peer, std::int64_t now) const;
    // Counts one wrong password; true when it locks the address out (the moment to log it, once).
    bool recordFailure(Kind kind, const PeerAddress& peer, std::int64_t now);
    void recordSuccess(Kind kind, const PeerAddress& peer);
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::uint32_t failures = 0;
        std::int64_t firstFailure = 0;
        std::int64_t lockedUntil = 0;
        std::uint64_t lastUse = 0;
    };
    static std::uint64_t keyOf(Kind kind, const PeerAddress& peer) {
        return (static_cast<std::uint64_t>(kind) << 32) | peer.address;
    }
    void evictOldest();

    std::map<std::uint64_t, Entry> entries_;
    std::uint64_t useCounter_ = 0;
};

}  // namespace varn
