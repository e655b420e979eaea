#pragma once

#include <cstdint>

namespace varn {

// Bounds the joins the server accepts in one second. Each accepted join is a log line, a quit
// another, a statistics page maybe: forged source addresses, each a fresh player, could otherwise
// fill the disk at the rate the network carries them, while a server of at most 26 slots never needs
// more than a few joins a second. A join beyond the bound is dropped unanswered, whoever sends it,
// so during such a flood some real joins are dropped too; one line a minute sums them up:
// "SERVER-WARNING: <n> joins dropped unanswered in the last minute (JoinMaxPerSecond <limit>)."
// The minute starts with the first dropped join. Times are monotonic milliseconds.
class JoinRateLimit {
public:
    static constexpr std::int64_t kSecondMilliseconds = 1000;
    static constexpr std::int64_t kMinuteMilliseconds = 60 * kSecondMilliseconds;

    explicit JoinRateLimit(std::uint32_t joinsPerSecond) : joinsPerSecond_(joinsPerSecond) {}

    // Whether a join may be accepted now; counts it when it may, counts the drop when not.
    bool allowJoin(std::int64_t now);
    // Once the minute in which joins were dropped is over: logs the summary line. Called once a second.
    void endMinuteIfOver(std::int64_t now);
    // Dropped joins wait for their summary line.
    bool minuteOpen() const { return inMinute_; }

    std::uint32_t joinsPerSecond() const { return joinsPerSecond_; }

private:
    std::uint32_t joinsPerSecond_;
    // The second being counted: it starts with the first join after the last one ended.
    std::int64_t secondStart_ = 0;
    std::uint32_t joinsThisSecond_ = 0;
    bool inMinute_ = false;
    std::int64_t minuteStart_ = 0;
    std::uint64_t droppedThisMinute_ = 0;
};

}  // namespace varn
