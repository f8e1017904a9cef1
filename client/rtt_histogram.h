// Round-trip times of a run or of one interval: a fixed-size log-linear
// histogram of nanosecond values with exact count, sum, minimum and maximum.
// Values from 1 µs to 60 s are kept with a relative error of at most 1 % (the
// percentiles come from bucket midpoints: within 0.4 %); below 128 ns every
// nanosecond has its own bucket, and values above 60 s count as 60 s (the
// maximum stays exact). Recording never allocates.
#pragma once

#include <cstdint>

namespace quarvent {

// What a histogram says, in microseconds; every field is 0 when count is 0.
struct RttSummary {
  uint64_t count = 0;
  double min = 0, mean = 0, stddev = 0, p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
};

class RttHistogram {
 public:
  static constexpr int kSubBits = 7;  // 128 buckets per power of two
  static constexpr int kSubCount = 1 << kSubBits;
  static constexpr int64_t kMaxNs = 60'000'000'000;  // 60 s
  static constexpr int kBuckets = 30 * kSubCount;    // up to 2^36 ns, beyond kMaxNs

  void Record(int64_t ns) noexcept {
    if (ns < 0) ns = 0;
    if (ns > kMaxNs) ns = kMaxNs;
    const int i = BucketOf(ns);
    ++m_counts[i];
    if (i < m_lo) m_lo = i;
    if (i > m_hi) m_hi = i;
    ++m_count;
    m_sum += ns;
    m_sumSq += static_cast<double>(ns) * static_cast<double>(ns);
    if (ns < m_min) m_min = ns;
    if (ns > m_max) m_max = ns;
  }
  // Adds every value of other.
  void Merge(const RttHistogram& other) noexcept;
  // Back to empty (touches only the buckets in use).
  void Clear() noexcept;

  uint64_t Count() const noexcept { return m_count; }
  // The value (ns) at or below which a fraction q (0..1) of the values lie:
  // the midpoint of the bucket that holds the ceil(q * count)-th smallest
  // value, kept within the exact minimum and maximum (and exactly they for
  // the first and the last rank). 0 when empty.
  int64_t PercentileNs(double q) const noexcept;
  RttSummary Summary() const noexcept;
  // The mean (ns) of the fastest values once the slowest fraction `drop`
  // (0..1) of them is left out: floor(drop * count) values go, by bucket
  // midpoints kept within the exact minimum and maximum; with none left out,
  // the exact mean. 0 when empty.
  double TrimmedMeanNs(double drop) const noexcept;

  // Bucket arithmetic, public for the tests: index of a value, and the
  // smallest value and the width of a bucket.
  static int BucketOf(int64_t ns) noexcept {
    const uint64_t v = static_cast<uint64_t>(ns);
    if (v < kSubCount) return static_cast<int>(v);
    const int msb = 63 - __builtin_clzll(v);
    const int shift = msb - kSubBits;
    return ((shift + 1) << kSubBits) + static_cast<int>((v >> shift) - kSubCount);
  }
  static int64_t BucketLow(int i) noexcept {
    if (i < kSubCount) return i;
    const int shift = (i >> kSubBits) - 1;
    return static_cast<int64_t>(kSubCount + (i & (kSubCount - 1))) << shift;
  }
  static int64_t BucketWidth(int i) noexcept {
    return i < kSubCount ? 1 : int64_t{1} << ((i >> kSubBits) - 1);
  }

 private:
  uint64_t m_count = 0;
  int64_t m_sum = 0;  // exact: 2^32 passes of 60 s stay far below 2^63 ns
  double m_sumSq = 0;
  int64_t m_min = INT64_MAX;
  int64_t m_max = 0;
  int m_lo = kBuckets;  // buckets in use: m_lo..m_hi
  int m_hi = -1;
  uint64_t m_counts[kBuckets] = {};
};

// Responsiveness in round trips per minute: 60,000 divided by the round trip
// in milliseconds, from the mean of the fastest 95 % of the round trips (the
// slowest 5 % left out). 0 when there is none.
double RoundTripsPerMinute(const RttHistogram& rtt) noexcept;

}  // namespace quarvent
