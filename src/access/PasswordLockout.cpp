#include "access/PasswordLockout.h"

#include <algorithm>
#include <limits>

#include "access/KnownAdministrators.h"
#include "log/ServerLog.h"

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
    const Table& table = tableOf(kind);
    const auto found = table.entries.find(peer.address);
    return found != table.entries.end() && now < found->second.lockedUntil;
}

bool PasswordLockout::admits(Kind kind, const PeerAddress& peer, std::int64_t now) {
    if (isLockedOut(kind, peer, now)) return false;
    Table& table = tableOf(kind);
    if (kind == Kind::PlayerJoin) return true;
    if (table.entries.size() < kMaxEntries || table.entries.contains(peer.address)) return true;
    releaseExpiredLocks(table, now);
    return !table.unlocked.empty();
}

bool PasswordLockout::knownAdministrator(const PeerAddress& peer) const {
    return knownAdministrators_ != nullptr && knownAdministrators_->isKnown(peer.address);
}

bool PasswordLockout::adminGuessAvailable(const PeerAddress& peer, std::int64_t now) {
    return knownAdministrator(peer) || adminGuessAvailable(now);
}

// The same budget as the admin guesses': a burst of 20 lines, then 10 a second.
bool PasswordLockout::takePlayerLine(std::int64_t now) {
    if (!playerLinesUsed_) {
        playerLinesUsed_ = true;
        playerLineRefill_ = now;
    }
    constexpr std::int64_t kSecondsToFill = kAdminGuessBurst / kAdminGuessesPerSecond + 1;
    const std::int64_t elapsed = std::clamp<std::int64_t>(now - playerLineRefill_, 0, kSecondsToFill);
    playerLines_ = std::min(kAdminGuessBurst, playerLines_ + static_cast<std::uint32_t>(elapsed) * kAdminGuessesPerSecond);
    playerLineRefill_ = std::max(playerLineRefill_, now);
    if (playerLines_ == 0) return false;
    --playerLines_;
    return true;
}

bool PasswordLockout::adminGuessAvailable(std::int64_t now) {
    refillAdminGuesses(now);
    return adminGuesses_ > 0;
}

void PasswordLockout::refillAdminGuesses(std::int64_t now) {
    if (!adminGuessesUsed_) {
        adminGuessesUsed_ = true;
        adminGuessRefill_ = now;
        return;
    }
    // Counted only forward, and only as far as it takes to fill the budget.
    constexpr std::int64_t kSecondsToFill = kAdminGuessBurst / kAdminGuessesPerSecond + 1;
    const std::int64_t elapsed = std::clamp<std::int64_t>(now - adminGuessRefill_, 0, kSecondsToFill);
    const std::uint32_t refill = static_cast<std::uint32_t>(elapsed) * kAdminGuessesPerSecond;
    adminGuesses_ = std::min(kAdminGuessBurst, adminGuesses_ + refill);
    adminGuessRefill_ = std::max(adminGuessRefill_, now);
}

bool PasswordLockout::recordFailure(Kind kind, const PeerAddress& peer, std::int64_t now) {
    if (kind == Kind::AdminLogin && !knownAdministrator(peer)) {
        refillAdminGuesses(now);
        if (adminGuesses_ > 0) --adminGuesses_;
    }
    Table& table = tableOf(kind);
    const std::uint32_t address = peer.address;
    auto found = table.entries.find(address);
    if (found == table.entries.end()) {
        if (table.entries.size() >= kMaxEntries) {
            releaseExpiredLocks(table, now);
            // Every entry is locked: there is no room, and admits() keeps such addresses out.
            if (table.unlocked.empty()) return false;
            table.entries.erase(table.unlocked.front());
            table.unlocked.pop_front();
        }
        found = table.entries.emplace(address, Entry{}).first;
        found->second.place = table.unlocked.insert(table.unlocked.end(), address);
    } else if (!found->second.locked) {
        table.unlocked.splice(table.unlocked.end(), table.unlocked, found->second.place);
    }

    Entry& entry = found->second;
    // A count older than the window, or one whose lock-out has run out, starts again.
    if (entry.failures == 0 || now - entry.firstFailure >= kWindowSeconds || entry.failures >= kMaxFailures) {
        entry.failures = 0;
        entry.firstFailure = now;
    }
    ++entry.failures;
    if (entry.failures < kMaxFailures) return false;

    if (entry.locked) {
        table.locks.erase({entry.lockedUntil, address});
    } else {
        table.unlocked.erase(entry.place);
    }
    entry.locked = true;
    entry.lockedUntil = now + kLockSeconds;
    table.locks.emplace(entry.lockedUntil, address);
    return true;
}

PasswordLockout::WrongPassword PasswordLockout::recordWrongPassword(Kind kind, const PeerAddress& peer,
                                                                   std::int64_t now) {
    WrongPassword outcome;
    outcome.lockedOut = recordFailure(kind, peer, now);
    const std::uint32_t failures = failuresInWindow(kind, peer);
    // An address that a full table cannot hold is not counted, so it gets no line of its own.
    outcome.logged = failures != 0 && failures <= kMaxFailures;
    // Each player-side line, a wrong password's or a lock-out's, takes one from the budget.
    if (kind == Kind::PlayerJoin) {
        outcome.logged = outcome.logged && takePlayerLine(now);
        outcome.lockedOut = outcome.lockedOut && outcome.logged && takePlayerLine(now);
    }
    if (!outcome.logged) countUnlogged(peer, now);
    return outcome;
}

void logLockedOut(std::string_view ipText) {
    ServerLog::instance().line("SERVER-WARNING: ", ipText, " locked out for ", PasswordLockout::kLockSeconds,
                               " seconds after ", PasswordLockout::kMaxFailures, " wrong passwords.");
}

std::uint32_t PasswordLockout::failuresInWindow(Kind kind, const PeerAddress& peer) const {
    const Table& table = tableOf(kind);
    const auto found = table.entries.find(peer.address);
    return found == table.entries.end() ? 0 : found->second.failures;
}

void PasswordLockout::recordSuccess(Kind kind, const PeerAddress& peer) {
    if (kind == Kind::AdminLogin && knownAdministrators_ != nullptr) knownAdministrators_->remember(peer.address);
    Table& table = tableOf(kind);
    const auto found = table.entries.find(peer.address);
    if (found == table.entries.end()) return;
    if (found->second.locked) {
        table.locks.erase({found->second.lockedUntil, peer.address});
    } else {
        table.unlocked.erase(found->second.place);
    }
    table.entries.erase(found);
}

// A lock-out that has run out makes its entry an ordinary one again, the first to go when room is
// needed: it was last used a minute ago or more.
void PasswordLockout::releaseExpiredLocks(Table& table, std::int64_t now) {
    while (!table.locks.empty() && table.locks.begin()->first <= now) {
        const std::uint32_t address = table.locks.begin()->second;
        table.locks.erase(table.locks.begin());
        Entry& entry = table.entries.at(address);
        entry.locked = false;
        entry.place = table.unlocked.insert(table.unlocked.begin(), address);
    }
}

void PasswordLockout::countUnlogged(const PeerAddress& peer, std::int64_t now) {
    if (unlogged_ == 0) summaryStart_ = now;
    if (unlogged_ < std::numeric_limits<std::uint32_t>::max()) ++unlogged_;
    if (unloggedFrom_.size() < kMaxSummaryAddresses) unloggedFrom_.insert(peer.address);
}

bool PasswordLockout::takeMinuteReport(std::int64_t now, std::uint32_t& attempts, std::size_t& addresses) {
    if (unlogged_ == 0 || now - summaryStart_ < kSummarySeconds) return false;
    attempts = unlogged_;
    addresses = unloggedFrom_.size();
    unlogged_ = 0;
    std::unordered_set<std::uint32_t>().swap(unloggedFrom_);  // gives back what a flood made it hold
    return true;
}

std::size_t PasswordLockout::size() const {
    return tables_[0].entries.size() + tables_[1].entries.size();
}

}  // namespace varn
