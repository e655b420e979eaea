#include "access/AutomaticBanLimit.h"

#include <limits>

#include "log/ServerLog.h"

namespace varn {

bool AutomaticBanLimit::allowBan(std::uint32_t address, std::int64_t now) {
    endMinuteIfOver(now);
    if (!inMinute_) {
        inMinute_ = true;
        minuteStart_ = now;
        bansThisMinute_ = 0;
    }
    if (bansThisMinute_ < bansPerMinute_) {
        ++bansThisMinute_;
        return true;
    }
    if (offendersDropped_ < std::numeric_limits<std::uint32_t>::max()) ++offendersDropped_;
    if (dropped_.size() < kMaxDroppedAddresses) dropped_.insert(address);
    return false;
}

bool AutomaticBanLimit::drops(std::uint32_t address, std::int64_t now) const {
    return !dropped_.empty() && !minuteOver(now) && dropped_.contains(address);
}

void AutomaticBanLimit::endMinuteIfOver(std::int64_t now) {
    if (!inMinute_ || !minuteOver(now)) return;
    inMinute_ = false;
    if (offendersDropped_ != 0) {
        ServerLog::instance().line("SERVER-WARNING: ", offendersDropped_,
                                   " flood offenders dropped unanswered instead of banned in the last minute "
                                   "(AutoBanMaxPerMinute ",
                                   bansPerMinute_, ").");
    }
    offendersDropped_ = 0;
    std::unordered_set<std::uint32_t>().swap(dropped_);  // gives back what a flood made it hold
}

}  // namespace varn
