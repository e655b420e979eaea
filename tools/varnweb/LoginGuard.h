#pragma once

#include <cstdint>
#include <deque>
#include <map>

#include "access/PasswordLockout.h"

namespace varnweb {

// Every login through the console reaches the server from the console's own address, so the
// server's lock-out (five wrong admin passwords in a minute lock an address out for a minute) would
// shut out every administrator of that address. The console counts the wrong passwords it forwarded,
// per web client and in all, over the server's window and lock together, and stops forwarding before
// either count could reach the server's limit. A login still waiting for its answer counts as wrong
// until it is answered, so a burst of tries cannot slip past. Times are monotonic seconds.
class LoginGuard {
public:
    static constexpr std::uint32_t kServerLimit = varn::PasswordLockout::kMaxFailures;
    // One web client gets fewer tries than the console as a whole, which stays one below the server.
    static constexpr std::uint32_t kClientLimit = kServerLimit - 2;
    static constexpr std::uint32_t kConsoleLimit = kServerLimit - 1;
    static constexpr std::int64_t kMemorySeconds =
        varn::PasswordLockout::kWindowSeconds + varn::PasswordLockout::kLockSeconds;

    enum class Verdict : std::uint8_t { forward, clientHeld, consoleHeld };

    // Whether a login of this client (its IPv4 address) may go to the server now; when it may, it is
    // counted as pending until finished() is told its outcome.
    Verdict admit(std::uint32_t client, std::int64_t now);
    void finished(std::uint32_t client, bool wrongPassword, std::int64_t now);
    // Seconds until the oldest counted failure that holds this client back is forgotten.
    std::int64_t secondsUntilFree(std::uint32_t client, std::int64_t now) const;

private:
    void forgetOld(std::int64_t now);
    std::uint32_t pendingOf(std::uint32_t client) const;

    // The times of the wrong passwords forwarded, by client; oldest first.
    std::map<std::uint32_t, std::deque<std::int64_t>> failures_;
    std::map<std::uint32_t, std::uint32_t> pending_;
};

}  // namespace varnweb
