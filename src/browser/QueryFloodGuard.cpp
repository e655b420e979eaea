#include "browser/QueryFloodGuard.h"

#include <algorithm>

namespace varn {

namespace {

// What a bucket holds after the seconds since its last refill at so much a second, at most full.
// Seconds are counted only forward and only as far as it takes to fill the bucket, so the product
// cannot overflow.
std::uint64_t refilled(std::uint64_t held, std::int64_t since, std::int64_t now, std::uint64_t perSecond,
                       std::uint64_t capacity) {
    const std::int64_t secondsToFill = static_cast<std::int64_t>(capacity / perSecond) + 1;
    const std::int64_t elapsed = std::clamp<std::int64_t>(now - since, 0, secondsToFill);
    return std::min(capacity, held + static_cast<std::uint64_t>(elapsed) * perSecond);
}

}  // namespace

QueryFloodGuard::QueryFloodGuard(std::int64_t nowSeconds)
    : budgetBytes_(kReplyBytesPerSecond), budgetRefill_(nowSeconds), reportStart_(nowSeconds) {}

bool QueryFloodGuard::allowStatus(std::uint32_t address, std::int64_t nowSeconds) {
    auto found = buckets_.find(address);
    if (found == buckets_.end()) {
        if (buckets_.size() >= kMaxAddresses) evictOldest();
        found = buckets_.emplace(address, Bucket{kStatusBurst, nowSeconds, 0}).first;
    }
    Bucket& bucket = found->second;
    bucket.lastUse = ++useCounter_;
    bucket.tokens = refilled(bucket.tokens, bucket.lastRefill, nowSeconds, kStatusPerSecond, kStatusBurst);
    bucket.lastRefill = std::max(bucket.lastRefill, nowSeconds);
    if (bucket.tokens == 0) return false;
    --bucket.tokens;
    return true;
}

bool QueryFloodGuard::allowReplyBytes(std::size_t bytes, std::int64_t nowSeconds) {
    budgetBytes_ = refilled(budgetBytes_, budgetRefill_, nowSeconds, kReplyBytesPerSecond, kReplyBytesPerSecond);
    budgetRefill_ = std::max(budgetRefill_, nowSeconds);
    if (budgetBytes_ < bytes) return false;
    budgetBytes_ -= bytes;
    return true;
}

void QueryFloodGuard::countDrop(std::uint32_t address) {
    ++dropped_;
    if (droppedFrom_.size() < kMaxAddresses) droppedFrom_.insert(address);
}

bool QueryFloodGuard::takeMinuteReport(std::int64_t nowSeconds, std::uint32_t& dropped, std::size_t& addresses) {
    if (nowSeconds - reportStart_ < kReportIntervalSeconds) return false;
    reportStart_ = nowSeconds;
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
