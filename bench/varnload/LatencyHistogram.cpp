#include "varnload/LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace varn::bench {

void LatencyHistogram::record(std::int64_t nanoseconds) {
    // Two clocks read on one machine: a negative difference is rounding, not time travel.
    if (nanoseconds < 0) nanoseconds = 0;
    const auto microseconds = static_cast<std::uint64_t>(nanoseconds / 1000);
    ++buckets_[std::min(microseconds, kBoundMicroseconds)];
    ++count_;
    maxNanoseconds_ = std::max(maxNanoseconds_, nanoseconds);
}

void LatencyHistogram::clear() {
    std::fill(buckets_.begin(), buckets_.end(), 0);
    count_ = 0;
    maxNanoseconds_ = 0;
}

double LatencyHistogram::percentileMicroseconds(double fraction) const {
    if (count_ == 0) return 0;
    const auto wanted = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
    std::uint64_t seen = 0;
    for (std::uint64_t microseconds = 0; microseconds < kBoundMicroseconds; ++microseconds) {
        seen += buckets_[microseconds];
        // The bucket holds latencies from this microsecond up to the next one: report its upper edge.
        if (seen >= wanted && seen > 0) return std::min(static_cast<double>(microseconds + 1), maxMicroseconds());
    }
    return maxMicroseconds();
}

}  // namespace varn::bench
