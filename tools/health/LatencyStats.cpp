#include "health/LatencyStats.h"

#include <algorithm>
#include <cmath>

namespace Halvoren::Health {

int LatencyStats::bucketOf(std::uint64_t us) {
    if (us < kSubBuckets) {
        return static_cast<int>(us);
    }
    // The highest set bit picks the range, the next six bits the bucket within it.
    const int top = 63 - __builtin_clzll(us);
    const int range = top - 5;  // 64..127 is range 1
    const int sub = static_cast<int>((us >> (top - 6)) & (kSubBuckets - 1));
    return std::min(range * kSubBuckets + sub, kSubBuckets * kRanges - 1);
}

double LatencyStats::middleOf(int bucket) {
    if (bucket < kSubBuckets) {
        return bucket;
    }
    const int range = bucket / kSubBuckets;
    const int sub = bucket % kSubBuckets;
    const double width = std::ldexp(1.0, range - 1);
    const double low = std::ldexp(1.0, range + 5) + sub * width;
    return low + width / 2.0;
}

void LatencyStats::add(std::int64_t microseconds) {
    const auto us = static_cast<std::uint64_t>(std::max<std::int64_t>(microseconds, 0));
    ++m_buckets[static_cast<std::size_t>(bucketOf(us))];
    ++m_count;
    m_max = std::max(m_max, us);
}

void LatencyStats::merge(const LatencyStats& other) {
    for (std::size_t i = 0; i < m_buckets.size(); ++i) {
        m_buckets[i] += other.m_buckets[i];
    }
    m_count += other.m_count;
    m_max = std::max(m_max, other.m_max);
}

double LatencyStats::percentileUs(double fraction) const {
    if (m_count == 0) {
        return 0.0;
    }
    // The rank of the wanted latency, 1-based; the bucket that holds it gives its value.
    const auto rank = static_cast<std::uint64_t>(
        std::max(1.0, std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(m_count))));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < m_buckets.size(); ++i) {
        seen += m_buckets[i];
        if (seen >= rank) {
            return std::min(middleOf(static_cast<int>(i)), static_cast<double>(m_max));
        }
    }
    return static_cast<double>(m_max);
}

}  // namespace Halvoren::Health
