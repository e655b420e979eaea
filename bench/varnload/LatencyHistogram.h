#pragma once

#include <cstdint>
#include <vector>

namespace varn::bench {

// Relay latencies in whole microseconds: one bucket per microsecond up to a bound, one overflow
// bucket beyond it, and the exact maximum. Recording never allocates.
class LatencyHistogram {
public:
    static constexpr std::uint64_t kBoundMicroseconds = 50'000;

    LatencyHistogram() : buckets_(kBoundMicroseconds + 1, 0) {}

    void record(std::int64_t nanoseconds);
    void clear();
    std::uint64_t count() const { return count_; }
    // The smallest latency that at least the given fraction of the samples do not exceed, in
    // microseconds; the maximum when it lies beyond the bound; 0 without samples.
    double percentileMicroseconds(double fraction) const;
    double maxMicroseconds() const { return static_cast<double>(maxNanoseconds_) / 1000.0; }

private:
    std::vector<std::uint64_t> buckets_;
    std::uint64_t count_ = 0;
    std::int64_t maxNanoseconds_ = 0;
};

}  // namespace varn::bench
