#include "browser/QueryFloodGuard.h"

#include <algorithm>

namespace varn {

namespace {

constexpr std::uint64_t kMilli = 1000;
constexpr std::uint64_t kStatusCapacity = QueryFloodGuard::kStatusBurst * kMilli;
constexpr std::uint64_t kBudgetCapacity = QueryFloodGuard::kReplyBytesPerSecond * kMilli;

// The tick wraps every 49 days; the difference of two readings is right across the wrap.
std::uint64_t elapsed(std::uint32_t since, std::uint32_t now) { return static_cast<std::uint32_t>(now - since); }

}  // namespace

QueryFloodGuard::QueryFloodGuard(std::uint32_t nowMilliseconds)
    : budgetMilliBytes_(kBudgetCapacity), budgetRefill_(nowMilliseconds), reportStart_(nowMilliseconds) {}

bool QueryFloodGuard::allowStatus(std::uint32_t address, std::uint32_t nowMilliseconds) {
    auto found = buckets_.find(address);
    if (found == buckets_.end()) {
        if (buckets_.size() >= kMaxAddresses) evictOldest();
        found = buckets_.emplace(address, Bucket{kStatusCapacity, nowMilliseconds, 0}).first;
    }
    Bucket& bucket = found->second;
    bucket.lastUse = ++useCounter_;
    // Two tokens a second are two thousandths of a token a millisecond.
    bucket.milliTokens =
        std::min(kStatusCapacity, bucket.milliTokens + elapsed(bucket.lastRefill, nowMilliseconds) * kStatusPerSecond);
    bucket.lastRefill = nowMilliseconds;
    if (bucket.milliTokens < kMilli) return false;
    bucket.milliTokens -= kMilli;
    return true;
}

bool QueryFloodGuard::allowReplyBytes(std::size_t bytes, std::uint32_t nowMilliseconds) {
    budgetMilliBytes_ =
        std::min(kBudgetCapacity, budgetMilliBytes_ + elapsed(budgetRefill_, nowMilliseconds) * kReplyBytesPerSecond);
    budgetRefill_ = nowMilliseconds;
    const std::uint64_t cost = static_cast<std::uint64_t>(bytes) * kMilli;
    if (budgetMilliBytes_ < cost) return false;
    budgetMilliBytes_ -= cost;
    return true;
}

void QueryFloodGuard::countDrop(std::uint32_t address) {
    ++dropped_;
    if (droppedFrom_.size() < kMaxAddresses) droppedFrom_.insert(address);
}

bool QueryFloodGuard::takeMinuteReport(std::uint32_t nowMilliseconds, std::uint32_t& dropped,
                                       std::size_t& addresses) {
    if (elapsed(reportStart_, nowMilliseconds) < kReportIntervalMilliseconds) return false;
    reportStart_ = nowMilliseconds;
    dropped = dropped_;
    addresses = droppedFrom_.size();
    dropped_ = 0;
    droppedFrom_.clear();
    return dropped > 0;
}

void QueryFloodGuard::evictOldest() {
    const auto oldest = std::min_element(buckets_.begin(), buckets_.end(), [](const auto& a, const auto& b) {
        return a.second.lastUse < b.second.lastUse;
    });
    if (oldest != buckets_.end()) buckets_.erase(oldest);
}

}  // namespace varn
