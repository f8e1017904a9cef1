#include "client/rtt_histogram.h"

#include <algorithm>
#include <cmath>

namespace quarvent {

void RttHistogram::Merge(const RttHistogram& other) noexcept {
  if (other.m_count == 0) return;
  for (int i = other.m_lo; i <= other.m_hi; ++i) m_counts[i] += other.m_counts[i];
  m_lo = std::min(m_lo, other.m_lo);
  m_hi = std::max(m_hi, other.m_hi);
  m_count += other.m_count;
  m_sum += other.m_sum;
  m_sumSq += other.m_sumSq;
  m_min = std::min(m_min, other.m_min);
  m_max = std::max(m_max, other.m_max);
}

void RttHistogram::Clear() noexcept {
  if (m_count != 0) std::fill(m_counts + m_lo, m_counts + m_hi + 1, uint64_t{0});
  m_count = 0;
  m_sum = 0;
  m_sumSq = 0;
  m_min = INT64_MAX;
  m_max = 0;
  m_lo = kBuckets;
  m_hi = -1;
}

int64_t RttHistogram::PercentileNs(double q) const noexcept {
  if (m_count == 0) return 0;
  q = std::clamp(q, 0.0, 1.0);
  // The rank of the value asked for, 1..count.
  auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(m_count)));
  rank = std::clamp<uint64_t>(rank, 1, m_count);
  // The smallest and the largest are known exactly.
  if (rank == 1) return m_min;
  if (rank == m_count) return m_max;
  uint64_t seen = 0;
  for (int i = m_lo; i <= m_hi; ++i) {
    seen += m_counts[i];
    if (seen >= rank) {
      const int64_t mid = BucketLow(i) + (BucketWidth(i) - 1) / 2;
      return std::clamp(mid, m_min, m_max);
    }
  }
  return m_max;
}

double RttHistogram::TrimmedMeanNs(double drop) const noexcept {
  if (m_count == 0) return 0;
  drop = std::clamp(drop, 0.0, 1.0);
  const auto dropped = static_cast<uint64_t>(std::floor(drop * static_cast<double>(m_count)));
  if (dropped == 0) return static_cast<double>(m_sum) / static_cast<double>(m_count);
  const uint64_t kept = m_count - dropped;
  if (kept == 0) return 0;
  double sum = 0;
  uint64_t left = kept;
  for (int i = m_lo; i <= m_hi && left > 0; ++i) {
    const uint64_t take = std::min(left, m_counts[i]);
    if (take == 0) continue;
    const int64_t mid = std::clamp(BucketLow(i) + (BucketWidth(i) - 1) / 2, m_min, m_max);
    sum += static_cast<double>(mid) * static_cast<double>(take);
    left -= take;
  }
  return sum / static_cast<double>(kept);
}

double RoundTripsPerMinute(const RttHistogram& rtt) noexcept {
  const double ns = rtt.TrimmedMeanNs(0.05);
  return ns > 0 ? 60e9 / ns : 0;
}

RttSummary RttHistogram::Summary() const noexcept {
  RttSummary s;
  if (m_count == 0) return s;
  constexpr double kUs = 1e-3;
  const double n = static_cast<double>(m_count);
  const double mean = static_cast<double>(m_sum) / n;
  const double variance = std::max(0.0, m_sumSq / n - mean * mean);
  s.count = m_count;
  s.min = static_cast<double>(m_min) * kUs;
  s.max = static_cast<double>(m_max) * kUs;
  s.mean = mean * kUs;
  s.stddev = std::sqrt(variance) * kUs;
  s.p50 = static_cast<double>(PercentileNs(0.50)) * kUs;
  s.p90 = static_cast<double>(PercentileNs(0.90)) * kUs;
  s.p99 = static_cast<double>(PercentileNs(0.99)) * kUs;
  s.p999 = static_cast<double>(PercentileNs(0.999)) * kUs;
  return s;
}

}  // namespace quarvent
