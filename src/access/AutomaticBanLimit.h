#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>

namespace varn {

// Bounds the bans the server makes by itself (join and chat floods): at most a set number in a
// minute. Forged source addresses could otherwise fill the ban list with other people's addresses,
// each ban costing a line of the file. An offender beyond the bound is not banned; its address is
// dropped unanswered for the rest of that minute, and one line a minute sums such offenders up:
// "SERVER-WARNING: <n> flood offenders dropped unanswered instead of banned in the last minute
// (AutoBanMaxPerMinute <limit>)." A minute starts with the first automatic ban after the last one
// ended. Times are monotonic seconds.
class AutomaticBanLimit {
public:
    static constexpr std::int64_t kMinuteSeconds = 60;
    // Beyond this many, further offenders are still not banned and counted, but not dropped.
    static constexpr std::size_t kMaxDroppedAddresses = 65536;

    explicit AutomaticBanLimit(std::uint32_t bansPerMinute) : bansPerMinute_(bansPerMinute) {}

    // Whether the offender at address (network byte order) may be banned now; when not, its
    // address is dropped for the rest of the minute.
    bool allowBan(std::uint32_t address, std::int64_t now);
    // Whether datagrams from address are to be dropped now.
    bool drops(std::uint32_t address, std::int64_t now) const;
    // Once the minute in which offenders were dropped is over: logs the summary line and forgets
    // them. Called once a second.
    void endMinuteIfOver(std::int64_t now);

    std::uint32_t bansPerMinute() const { return bansPerMinute_; }
    // A minute of automatic bans is counting; it ends in a once-a-second pass.
    bool minuteOpen() const { return inMinute_; }

private:
    bool minuteOver(std::int64_t now) const { return !inMinute_ || now - minuteStart_ >= kMinuteSeconds; }

    std::uint32_t bansPerMinute_;
    bool inMinute_ = false;
    std::int64_t minuteStart_ = 0;
    std::uint32_t bansThisMinute_ = 0;
    std::uint32_t offendersDropped_ = 0;
    std::unordered_set<std::uint32_t> dropped_;
};

}  // namespace varn
