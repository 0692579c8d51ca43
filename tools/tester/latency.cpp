#include "latency.h"

#include <algorithm>
#include <cmath>

namespace doip_tools {
namespace {

// Below 2^kExactBits µs a bucket per microsecond; above, kSubBuckets per power of two.
constexpr int kExactBits = 8;
constexpr uint64_t kExact = uint64_t{1} << kExactBits;
constexpr uint64_t kSubBuckets = kExact / 2;
constexpr int kMostBits = 36;  // 2^36 µs: about 19 hours
constexpr uint64_t kMostUs = (uint64_t{1} << kMostBits) - 1;
constexpr size_t kBuckets = kExact + (kMostBits - kExactBits) * kSubBuckets;

int bit_width(uint64_t v) {
    int bits = 0;
    for (; v != 0; v >>= 1) {
        ++bits;
    }
    return bits;
}

size_t bucket_of(uint64_t us) {
    if (us < kExact) {
        return static_cast<size_t>(us);
    }
    const int shift = bit_width(us) - kExactBits;  // us >> shift lies in [kSubBuckets, kExact)
    return static_cast<size_t>(kExact + static_cast<uint64_t>(shift - 1) * kSubBuckets + (us >> shift) -
                               kSubBuckets);
}

// The largest microsecond count that falls into `bucket`.
uint64_t upper_us(size_t bucket) {
    if (bucket < kExact) {
        return bucket;
    }
    const uint64_t above = bucket - kExact;
    const uint64_t shift = above / kSubBuckets + 1;
    const uint64_t mantissa = above % kSubBuckets + kSubBuckets;
    return ((mantissa + 1) << shift) - 1;
}

}  // namespace

LatencyHistogram::LatencyHistogram() : buckets_(kBuckets, 0) {}

void LatencyHistogram::add(double ms) {
    const double us = std::max(0.0, std::round(ms * 1000.0));
    buckets_[bucket_of(us >= static_cast<double>(kMostUs) ? kMostUs : static_cast<uint64_t>(us))] += 1;
    ++count_;
    max_ms_ = std::max(max_ms_, std::max(0.0, ms));
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
    for (size_t i = 0; i < kBuckets; ++i) {
        buckets_[i] += other.buckets_[i];
    }
    count_ += other.count_;
    max_ms_ = std::max(max_ms_, other.max_ms_);
}

double LatencyHistogram::percentile(double percent) const {
    if (count_ == 0) {
        return 0;
    }
    const auto rank = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::ceil(percent / 100.0 * static_cast<double>(count_))));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        seen += buckets_[i];
        if (seen >= rank) {
            return std::min(static_cast<double>(upper_us(i)) / 1000.0, max_ms_);
        }
    }
    return max_ms_;
}

}  // namespace doip_tools
