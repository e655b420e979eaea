#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

namespace varn {

// Keeps the query port from being used to flood the server or, through it, somebody else: each
// address may ask for the status only so often (a token bucket: a burst of 8, then 2 a second), and
// all query replies together may not exceed 256 KiB a second. Tables are bounded. Time is the
// monotonic clock in whole seconds, so setting the system clock neither refills nor stalls a bucket.
class QueryFloodGuard {
public:
    static constexpr std::uint64_t kStatusBurst = 8;
    static constexpr std::uint64_t kStatusPerSecond = 2;
    static constexpr std::uint64_t kReplyBytesPerSecond = 256 * 1024;
    static constexpr std::size_t kMaxAddresses = 4096;
    static constexpr std::int64_t kReportIntervalSeconds = 60;

    explicit QueryFloodGuard(std::int64_t nowSeconds);

    // Whether this address may have a status reply now; takes one token when it may.
    bool allowStatus(std::uint32_t address, std::int64_t nowSeconds);
    // Whether a reply of this many bytes fits the global budget now; spends it when it does.
    bool allowReplyBytes(std::size_t bytes, std::int64_t nowSeconds);
    void countDrop(std::uint32_t address);
    // Once a minute has passed since the last report: true (with the figures) when anything was
    // dropped in it; the counts start again either way.
    bool takeMinuteReport(std::int64_t nowSeconds, std::uint32_t& dropped, std::size_t& addresses);

    std::size_t trackedAddresses() const { return buckets_.size(); }

private:
    struct Bucket {
        std::uint64_t tokens = 0;
        std::int64_t lastRefill = 0;
        std::uint64_t lastUse = 0;
    };
    void evictOldest();

    std::map<std::uint32_t, Bucket> buckets_;
    std::uint64_t useCounter_ = 0;
    std::uint64_t budgetBytes_;
    std::int64_t budgetRefill_;
    std::int64_t reportStart_;
    std::uint32_t dropped_ = 0;
    std::set<std::uint32_t> droppedFrom_;
};

}  // namespace varn
