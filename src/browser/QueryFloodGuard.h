#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

namespace varn {

// Keeps the query port from being used to flood the server or, through it, somebody else: each
// address may ask for the status only so often (a token bucket: a burst of 8, then 2 a second), and
// all query replies together may not exceed 256 KiB a second. Tables are bounded.
class QueryFloodGuard {
public:
    static constexpr std::uint64_t kStatusBurst = 8;
    static constexpr std::uint64_t kStatusPerSecond = 2;
    static constexpr std::uint64_t kReplyBytesPerSecond = 256 * 1024;
    static constexpr std::size_t kMaxAddresses = 4096;
    static constexpr std::uint32_t kReportIntervalMilliseconds = 60'000;

    explicit QueryFloodGuard(std::uint32_t nowMilliseconds);

    // Whether this address may have a status reply now; takes one token when it may.
    bool allowStatus(std::uint32_t address, std::uint32_t nowMilliseconds);
    // Whether a reply of this many bytes fits the global budget now; spends it when it does.
    bool allowReplyBytes(std::size_t bytes, std::uint32_t nowMilliseconds);
    void countDrop(std::uint32_t address);
    // Once a minute has passed since the last report: true (with the figures) when anything was
    // dropped in it; the counts start again either way.
    bool takeMinuteReport(std::uint32_t nowMilliseconds, std::uint32_t& dropped, std::size_t& addresses);

    std::size_t trackedAddresses() const { return buckets_.size(); }

private:
    struct Bucket {
        std::uint64_t milliTokens = 0;
        std::uint32_t lastRefill = 0;
        std::uint64_t lastUse = 0;
    };
    void evictOldest();

    std::map<std::uint32_t, Bucket> buckets_;
    std::uint64_t useCounter_ = 0;
    // The global budget in thousandths of a byte, refilled by the millisecond.
    std::uint64_t budgetMilliBytes_;
    std::uint32_t budgetRefill_;
    std::uint32_t reportStart_;
    std::uint32_t dropped_ = 0;
    std::set<std::uint32_t> droppedFrom_;
};

}  // namespace varn
