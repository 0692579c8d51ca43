// Latencies of many exchanges in bounded memory: a histogram whose buckets are exact up to 255 µs and then
// 1/128 of a power of two wide (under 0.8 % of the value), so that a run of hours keeps a few kilobytes per
// thread. Percentiles are by nearest rank and name the upper end of their bucket (never above the maximum).
#ifndef DOIP_TOOLS_TESTER_LATENCY_H
#define DOIP_TOOLS_TESTER_LATENCY_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace doip_tools {

class LatencyHistogram {
  public:
    LatencyHistogram();

    // One exchange of `ms` milliseconds (negative counts as 0, more than about 19 hours as that).
    void add(double ms);
    // Adds the other's exchanges to these.
    void merge(const LatencyHistogram& other);

    uint64_t count() const { return count_; }
    double max_ms() const { return max_ms_; }
    // The latency that `percent` of the exchanges do not exceed (0 < percent <= 100), in milliseconds;
    // 0 without exchanges.
    double percentile(double percent) const;

  private:
    std::vector<uint64_t> buckets_;
    uint64_t count_ = 0;
    double max_ms_ = 0;
};

}  // namespace doip_tools

#endif
