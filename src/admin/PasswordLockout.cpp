#include "admin/PasswordLockout.h"

namespace varn {

bool constantTimeEquals(std::string_view given, std::string_view expected) {
    // Every byte of the expected text is looked at whatever the given one holds.
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0u;
        difference |= a ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0;
}

bool PasswordLockout::isLockedOut(Kind kind, const PeerAddress& peer, std::int64_t now) const {
    const auto found = entries_.find(keyOf(kind, peer));
    return found != entries_.end() && now < found->second.lockedUntil;
}

bool PasswordLockout::recordFailure(Kind kind, const PeerAddress& peer, std::int64_t now) {
    const std::uint64_t key = keyOf(kind, peer);
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        if (entries_.size() >= kMaxEntries) evictOldest();
        found = entries_.emplace(key, Entry{}).first;
    }
    Entry& entry = found->second;
    entry.lastUse = ++useCounter_;
    // A count older than the window, or one whose lock-out has run out, starts again.
    if (entry.failures == 0 || now - entry.firstFailure >= kWindowSeconds || entry.failures >= kMaxFailures) {
        entry.failures = 0;
        entry.firstFailure = now;
    }
    ++entry.failures;
    if (entry.failures < kMaxFailures) return false;
    entry.lockedUntil = now + kLockSeconds;
    return true;
}

void PasswordLockout::recordSuccess(Kind kind, const PeerAddress& peer) { entries_.erase(keyOf(kind, peer)); }

void PasswordLockout::evictOldest() {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    if (oldest != entries_.end()) entries_.erase(oldest);
}

}  // namespace varn
