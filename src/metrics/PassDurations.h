#pragma once

#include <array>
#include <cstdint>

namespace varn {

// The main loop's pass durations, as a histogram: the loop hands over one duration per pass; a
// handful of comparisons and two additions, nothing else.
class PassDurations {
public:
    // Upper bounds in microseconds: 50 us .. 100 ms, with 10 ms (the alert's threshold) among them.
    static constexpr std::array<std::int64_t, 11> kUpperBoundsMicroseconds = {
        50, 100, 250, 500, 1'000, 2'500, 5'000, 10'000, 25'000, 50'000, 100'000};
    static constexpr std::size_t kBuckets = kUpperBoundsMicroseconds.size() + 1;

    void observe(std::int64_t microseconds) {
        std::size_t bucket = 0;
        while (bucket < kUpperBoundsMicroseconds.size() && microseconds > kUpperBoundsMicroseconds[bucket]) ++bucket;
        ++counts_[bucket];
        sumMicroseconds_ += static_cast<std::uint64_t>(microseconds > 0 ? microseconds : 0);
    }

    // Per bucket, not cumulative; the last is above every bound.
    const std::array<std::uint64_t, kBuckets>& counts() const { return counts_; }
    std::uint64_t sumMicroseconds() const { return sumMicroseconds_; }

private:
    std::array<std::uint64_t, kBuckets> counts_{};
    std::uint64_t sumMicroseconds_ = 0;
};

}  // namespace varn
