// The probe's intervals split into the idle and the loaded phase.
#include "console/load_phase.h"

#include <gtest/gtest.h>

namespace quarvent::console {
namespace {

IntervalData Interval(int64_t startMs, int64_t endMs, uint64_t requests, uint64_t lost) {
  IntervalData interval;
  interval.startMs = startMs;
  interval.endMs = endMs;
  interval.requests = requests;
  interval.chunks = requests - lost;
  interval.lost = lost;
  interval.countsLoss = true;
  return interval;
}

// Intervals up to the load's start are idle, those that begin once the
// settling time is over are loaded, and those between (or straddling a
// boundary) are neither; each phase keeps its own round trips and losses.
TEST(PhaseSplit, IntervalsFallIntoTheirPhaseByTime) {
  const struct {
    int64_t startMs, endMs;
    int64_t rttUs;
    char phase;  // 'i' idle, 'l' loaded, '-' neither
  } cases[] = {
      {0, 100, 50, 'i'},     {100, 200, 60, 'i'},   {200, 305, 70, 'i'},   // load at 305
      {305, 400, 900, '-'},  {400, 450, 900, '-'},  {450, 505, 900, '-'},  // settling to 505
      {505, 600, 9000, 'l'}, {600, 700, 8000, 'l'}, {700, 800, 7000, 'l'},
  };
  PhaseSplit split;
  uint64_t idle = 0, loaded = 0;
  for (const auto& c : cases) {
    if (c.startMs == 305) split.StartLoad(305, 200);
    split.Add(Interval(c.startMs, c.endMs, 10, c.phase == 'l' ? 1 : 0));
    RttHistogram rtt;
    rtt.Record(c.rttUs * 1000);
    split.AddRtt(rtt);
    idle += c.phase == 'i';
    loaded += c.phase == 'l';
  }
  EXPECT_EQ(split.LoadStartMs(), 305);
  EXPECT_EQ(split.Idle().rtt.Count(), idle);
  EXPECT_EQ(split.Loaded().rtt.Count(), loaded);
  EXPECT_EQ(split.Idle().fromMs, 0);
  EXPECT_EQ(split.Idle().toMs, 305);
  EXPECT_EQ(split.Loaded().fromMs, 505);
  EXPECT_EQ(split.Loaded().toMs, 800);
  EXPECT_EQ(split.Idle().requests, 30u);
  EXPECT_EQ(split.Idle().lost, 0u);
  EXPECT_EQ(split.Loaded().lost, 3u);
  EXPECT_EQ(split.Idle().rtt.PercentileNs(1.0), 70'000);
  // RPM: 60,000 / mean ms of the fastest 95 % (here all three of 7, 8, 9 ms).
  EXPECT_NEAR(split.Loaded().Rpm(), 60000.0 / 8.0, 60000.0 / 8.0 * 0.01);
}

// No load yet: everything is idle, nothing loaded.
TEST(PhaseSplit, BeforeTheLoadEverythingIsIdle) {
  PhaseSplit split;
  split.Add(Interval(0, 100, 5, 0));
  split.Add(Interval(100, 200, 5, 0));
  EXPECT_FALSE(split.LoadStarted());
  EXPECT_EQ(split.Idle().requests, 10u);
  EXPECT_EQ(split.Loaded().fromMs, -1);
  EXPECT_EQ(split.Loaded().Rpm(), 0);
}

}  // namespace
}  // namespace quarvent::console
