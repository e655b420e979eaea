#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "net/PeerAddress.h"

namespace varn {

// Compares two texts in time that depends only on their lengths, so a password guess learns nothing
// from how long the answer takes.
bool constantTimeEquals(std::string_view given, std::string_view expected);

// Logs that an address has just been locked out: "SERVER-WARNING: <ip> locked out for 60 seconds
// after 5 wrong passwords."
void logLockedOut(std::string_view ipText);

// Counts wrong passwords per address, in one table for each kind of login, and locks an address out
// of that kind for a minute after five within a minute. A table is bounded: a new address takes the
// place of the unlocked entry used least recently; a locked entry stays until its minute is over.
// While every entry of the admin table is locked, the addresses it does not hold are not admitted at
// all; player joins fail open instead: an address the full table does not hold may still try, it is
// simply not counted, so that a flood of forged addresses cannot keep every player out. Admin logins
// also share one budget of wrong passwords over all addresses (a burst of 20, then 10 a second), which
// bounds guessing from forged source addresses; an address an administrator logged in from before
// (KnownAdministrators) is spared it. Wrong player passwords get a line each for the first five of an
// address in its window, as admin ones do, and those lines (with the lock-out lines) share a budget
// of the same size. Attempts
// that get no log line of their own are counted for one summary line a minute. Times are monotonic
// seconds.
class KnownAdministrators;

class PasswordLockout {
public:
    enum class Kind : std::uint8_t { AdminLogin = 0, PlayerJoin = 1 };

    static constexpr std::uint32_t kMaxFailures = 5;
    static constexpr std::int64_t kWindowSeconds = 60;
    static constexpr std::int64_t kLockSeconds = 60;
    static constexpr std::size_t kMaxEntries = 4096;
    static constexpr std::uint32_t kAdminGuessBurst = 20;
    static constexpr std::uint32_t kAdminGuessesPerSecond = 10;
    static constexpr std::int64_t kSummarySeconds = 60;
    // Beyond this many, the summary's count of addresses stops growing.
    static constexpr std::size_t kMaxSummaryAddresses = 65536;

    // Where the addresses of successful admin logins are remembered; none while this is not called.
    void rememberAdministratorsIn(KnownAdministrators& known) { knownAdministrators_ = &known; }

    bool isLockedOut(Kind kind, const PeerAddress& peer, std::int64_t now) const;
    // Whether an attempt from this address may be looked at now: not while the address is locked
    // out, nor, for an admin login, while its table is full of locked entries and holds none for it.
    bool admits(Kind kind, const PeerAddress& peer, std::int64_t now);
    // Whether the budget of wrong admin passwords has one left now.
    bool adminGuessAvailable(std::int64_t now);
    // The same for an attempt from peer: always, when an administrator logged in from its address
    // before.
    bool adminGuessAvailable(const PeerAddress& peer, std::int64_t now);
    // Counts one wrong password (an admin login's also spends one from the budget); true when it
    // locks the address out (the moment to log it, once).
    bool recordFailure(Kind kind, const PeerAddress& peer, std::int64_t now);
    // The wrong passwords counted for the address in its current window; 0 when it has no entry.
    std::uint32_t failuresInWindow(Kind kind, const PeerAddress& peer) const;
    // What one wrong password leads to: whether it gets a log line of its own (the first five of an
    // address in its window; later ones are counted for the summary line) and whether it has just
    // locked the address out.
    struct WrongPassword {
        bool logged = true;
        // Whether it has just locked the address out and the line saying so is to be written.
        bool lockedOut = false;
    };
    WrongPassword recordWrongPassword(Kind kind, const PeerAddress& peer, std::int64_t now);
    void recordSuccess(Kind kind, const PeerAddress& peer);

    // An attempt that gets no log line of its own: dropped unseen, or a failure beyond the first five.
    void countUnlogged(const PeerAddress& peer, std::int64_t now);
    // Once a minute has passed since the first attempt counted after the last report: true, with the
    // figures, and the counts start again. False while nothing is counted or the minute is not over.
    bool takeMinuteReport(std::int64_t now, std::uint32_t& attempts, std::size_t& addresses);
    // Wrong passwords are counted that no report has logged yet.
    bool reportPending() const { return unlogged_ != 0; }

    std::size_t size() const;

private:
    struct Entry {
        std::uint32_t failures = 0;
        std::int64_t firstFailure = 0;
        std::int64_t lockedUntil = 0;
        // A locked entry is listed in its table's locks, any other in its table's unlocked list.
        bool locked = false;
        std::list<std::uint32_t>::iterator place;
    };
    struct Table {
        std::unordered_map<std::uint32_t, Entry> entries;
        std::list<std::uint32_t> unlocked;  // the least recently used first
        std::set<std::pair<std::int64_t, std::uint32_t>> locks;  // by the end of the lock-out
    };

    Table& tableOf(Kind kind) { return tables_[static_cast<std::size_t>(kind)]; }
    const Table& tableOf(Kind kind) const { return tables_[static_cast<std::size_t>(kind)]; }
    static void releaseExpiredLocks(Table& table, std::int64_t now);
    void refillAdminGuesses(std::int64_t now);
    bool knownAdministrator(const PeerAddress& peer) const;
    // Takes one from the budget of player wrong-password lines; false when it is spent.
    bool takePlayerLine(std::int64_t now);

    std::array<Table, 2> tables_;
    std::uint32_t adminGuesses_ = kAdminGuessBurst;
    std::int64_t adminGuessRefill_ = 0;
    bool adminGuessesUsed_ = false;
    std::uint32_t playerLines_ = kAdminGuessBurst;
    std::int64_t playerLineRefill_ = 0;
    bool playerLinesUsed_ = false;
    KnownAdministrators* knownAdministrators_ = nullptr;
    std::uint32_t unlogged_ = 0;
    std::int64_t summaryStart_ = 0;
    std::unordered_set<std::uint32_t> unloggedFrom_;
};

}  // namespace varn
