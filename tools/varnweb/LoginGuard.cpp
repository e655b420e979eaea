#include "varnweb/LoginGuard.h"

#include <algorithm>

namespace varnweb {

void LoginGuard::forgetOld(std::int64_t now) {
    for (auto entry = failures_.begin(); entry != failures_.end();) {
        std::deque<std::int64_t>& times = entry->second;
        while (!times.empty() && now - times.front() >= kMemorySeconds) times.pop_front();
        entry = times.empty() ? failures_.erase(entry) : std::next(entry);
    }
}

std::uint32_t LoginGuard::pendingOf(std::uint32_t client) const {
    const auto found = pending_.find(client);
    return found == pending_.end() ? 0 : found->second;
}

LoginGuard::Verdict LoginGuard::admit(std::uint32_t client, std::int64_t now) {
    forgetOld(now);
    std::uint32_t all = 0;
    for (const auto& [_, times] : failures_) all += static_cast<std::uint32_t>(times.size());
    for (const auto& [_, count] : pending_) all += count;
    const auto own = failures_.find(client);
    const std::uint32_t mine = (own == failures_.end() ? 0 : static_cast<std::uint32_t>(own->second.size())) +
                               pendingOf(client);
    if (mine >= kClientLimit) return Verdict::clientHeld;
    if (all >= kConsoleLimit) return Verdict::consoleHeld;
    ++pending_[client];
    return Verdict::forward;
}

void LoginGuard::finished(std::uint32_t client, bool wrongPassword, std::int64_t now) {
    const auto found = pending_.find(client);
    if (found != pending_.end() && --found->second == 0) pending_.erase(found);
    if (wrongPassword) failures_[client].push_back(now);
}

std::int64_t LoginGuard::secondsUntilFree(std::uint32_t client, std::int64_t now) const {
    std::int64_t oldest = now;
    const auto own = failures_.find(client);
    if (own != failures_.end() && !own->second.empty()) {
        oldest = own->second.front();
    } else {
        for (const auto& [_, times] : failures_) {
            if (!times.empty()) oldest = std::min(oldest, times.front());
        }
    }
    return std::max<std::int64_t>(1, kMemorySeconds - (now - oldest));
}

}  // namespace varnweb
