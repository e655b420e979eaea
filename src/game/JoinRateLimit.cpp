#include "game/JoinRateLimit.h"

#include "log/ServerLog.h"

namespace varn {

bool JoinRateLimit::allowJoin(std::int64_t now) {
    if (joinsThisSecond_ == 0 || now - secondStart_ >= kSecondMilliseconds) {
        secondStart_ = now;
        joinsThisSecond_ = 0;
    }
    if (joinsThisSecond_ < joinsPerSecond_) {
        ++joinsThisSecond_;
        return true;
    }
    endMinuteIfOver(now);
    if (!inMinute_) {
        inMinute_ = true;
        minuteStart_ = now;
    }
    ++droppedThisMinute_;
    return false;
}

void JoinRateLimit::endMinuteIfOver(std::int64_t now) {
    if (!inMinute_ || now - minuteStart_ < kMinuteMilliseconds) return;
    inMinute_ = false;
    ServerLog::instance().line("SERVER-WARNING: ", droppedThisMinute_,
                               " joins dropped unanswered in the last minute (JoinMaxPerSecond ", joinsPerSecond_,
                               ").");
    droppedThisMinute_ = 0;
}

}  // namespace varn
