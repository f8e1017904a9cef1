// The round-trip histogram against samples whose statistics are known exactly.
#include "client/rtt_histogram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace quarvent {
namespace {

constexpr int64_t kUs = 1000;
constexpr int64_t kMs = 1000 * kUs;

// Heap-allocated: a histogram is some 30 KB.
std::unique_ptr<RttHistogram> Make() {
  return std::make_unique<RttHistogram>();
}

TEST(RttHistogram, EmptyGivesZeros) {
  auto h = Make();
  const RttSummary s = h->Summary();
  EXPECT_EQ(s.count, 0u);
  for (double v : {s.min, s.mean, s.stddev, s.p50, s.p90, s.p99, s.p999, s.max}) EXPECT_EQ(v, 0.0);
  EXPECT_EQ(h->PercentileNs(0.5), 0);
}

// Ranks: the q-percentile is the ceil(q * n)-th smallest value, so of ten
// values p90 is the ninth, not the tenth, and p50 the fifth.
TEST(RttHistogram, PercentilesTakeTheRankAtTheirBoundary) {
  auto h = Make();
  for (int i = 1; i <= 10; ++i) h->Record(i * kMs);
  const RttSummary s = h->Summary();
  EXPECT_EQ(s.count, 10u);
  EXPECT_NEAR(s.p50, 5000, 5000 * 0.01);
  EXPECT_NEAR(s.p90, 9000, 9000 * 0.01);
  EXPECT_NEAR(s.p99, 10000, 10000 * 0.01);
  EXPECT_EQ(s.min, 1000);
  EXPECT_EQ(s.max, 10000);
  EXPECT_DOUBLE_EQ(s.mean, 5500);
  EXPECT_NEAR(s.stddev, std::sqrt(8.25e6), 1e-6);  // population deviation of 1..10 ms

  // 1..1000 µs: p50 500, p90 900, p99 990, p99.9 999.
  auto k = Make();
  for (int i = 1; i <= 1000; ++i) k->Record(i * kUs);
  const RttSummary t = k->Summary();
  EXPECT_NEAR(t.p50, 500, 5);
  EXPECT_NEAR(t.p90, 900, 9);
  EXPECT_NEAR(t.p99, 990, 9.9);
  EXPECT_NEAR(t.p999, 999, 9.99);
  // Below 128 ns every value has a bucket of its own: exact.
  auto n = Make();
  for (int i = 1; i <= 100; ++i) n->Record(i);
  EXPECT_EQ(n->PercentileNs(0.5), 50);
  EXPECT_EQ(n->PercentileNs(0.99), 99);
}

// From 1 µs to 60 s every value comes back within 1 % (a second, larger value
// keeps the clamp to the exact maximum from hiding the bucket's error), the
// ends are exact, and what lies beyond 60 s counts as 60 s.
TEST(RttHistogram, OnePercentFromOneMicrosecondToSixtySeconds) {
  auto h = Make();
  double worst = 0;
  for (double v = 1000; v <= 60e9; v *= 1.0137) {
    h->Clear();
    const auto ns = static_cast<int64_t>(v);
    h->Record(ns);
    h->Record(RttHistogram::kMaxNs);
    const double got = static_cast<double>(h->PercentileNs(0.5));
    worst = std::max(worst, std::abs(got - static_cast<double>(ns)) / static_cast<double>(ns));
  }
  EXPECT_LE(worst, 0.01);

  h->Clear();
  h->Record(kUs);
  h->Record(RttHistogram::kMaxNs);
  h->Record(RttHistogram::kMaxNs + 5'000'000'000);  // 65 s
  RttSummary s = h->Summary();
  EXPECT_EQ(s.min, 1.0);
  EXPECT_EQ(s.max, 60e6);
  EXPECT_EQ(s.p99, 60e6);
  EXPECT_EQ(h->PercentileNs(0.0), kUs);
  // Every bucket up to the top one holds values in order and without gaps.
  for (int i = 1; i < RttHistogram::kBuckets; ++i)
    ASSERT_EQ(RttHistogram::BucketLow(i),
              RttHistogram::BucketLow(i - 1) + RttHistogram::BucketWidth(i - 1))
        << i;
  EXPECT_LT(RttHistogram::BucketOf(RttHistogram::kMaxNs), RttHistogram::kBuckets);
}

// A run's histogram is the merge of its intervals': the same as recording all.
TEST(RttHistogram, MergeEqualsRecordingAllAndClearEmpties) {
  auto a = Make(), b = Make(), all = Make();
  for (int i = 0; i < 500; ++i) {
    const int64_t v = (i * 7919 % 5000 + 1) * kUs;
    (i % 3 == 0 ? a : b)->Record(v);
    all->Record(v);
  }
  a->Merge(*b);
  const RttSummary m = a->Summary(), e = all->Summary();
  EXPECT_EQ(m.count, e.count);
  EXPECT_EQ(m.min, e.min);
  EXPECT_EQ(m.max, e.max);
  EXPECT_DOUBLE_EQ(m.mean, e.mean);
  EXPECT_NEAR(m.stddev, e.stddev, 1e-6);
  EXPECT_EQ(m.p50, e.p50);
  EXPECT_EQ(m.p999, e.p999);
  a->Clear();
  EXPECT_EQ(a->Summary().count, 0u);
  a->Record(3 * kUs);
  EXPECT_EQ(a->Summary().p50, 3.0);  // nothing left of before
}

// The responsiveness figure leaves out the slowest 5 %: of 100 round trips,
// 95 of 10 ms and 5 stalls of 2 s, RPM is that of 10 ms (6,000); the exact
// mean (about 109.5 ms) would give 548. Of 19 values none is left out.
TEST(RttHistogram, TrimmedMeanLeavesOutTheSlowestFivePercent) {
  auto h = Make();
  EXPECT_EQ(h->TrimmedMeanNs(0.05), 0);
  EXPECT_EQ(RoundTripsPerMinute(*h), 0);
  for (int i = 0; i < 95; ++i) h->Record(10 * kMs);
  for (int i = 0; i < 5; ++i) h->Record(2000 * kMs);
  EXPECT_NEAR(h->TrimmedMeanNs(0.05), 10 * kMs, 10 * kMs * 0.01);
  EXPECT_NEAR(RoundTripsPerMinute(*h), 6000, 60);
  EXPECT_DOUBLE_EQ(h->TrimmedMeanNs(0), (95.0 * 10 + 5 * 2000) * kMs / 100);

  auto few = Make();
  for (int i = 1; i <= 19; ++i) few->Record(i * kMs);
  EXPECT_DOUBLE_EQ(few->TrimmedMeanNs(0.05), 10.0 * kMs);
}

}  // namespace
}  // namespace quarvent
