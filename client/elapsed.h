// Clock readings of a run and the split of an elapsed time into the fields
// that the display and the report show. The clock is monotonic, so a change
// of the wall clock cannot corrupt a run.
#pragma once

#include <time.h>

#include <cstdint>

namespace quarvent {

// Whole seconds and milliseconds 0..999 of the monotonic clock.
struct ClockReading {
  int64_t seconds;
  int milliseconds;
};

inline constexpr int64_t kNsPerMs = 1'000'000;

// Nanoseconds of the monotonic clock, read once per pass of a run (and
// before each request that starts a round trip).
inline int64_t ReadClockNs() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
// The same count as whole seconds and milliseconds.
constexpr ClockReading ToClockReading(int64_t ms) noexcept {
  return {ms / 1000, static_cast<int>(ms % 1000)};
}

struct ElapsedSplit {
  int64_t totalSeconds;  // S: whole seconds between the readings
  int days, hours, minutes, seconds;
  int milliseconds;  // M: 0..999
  int64_t TotalMilliseconds() const noexcept { return totalSeconds * 1000 + milliseconds; }
  double Seconds() const noexcept {
    return static_cast<double>(totalSeconds) + milliseconds / 1000.0;
  }
};

// S = seconds difference, M = milliseconds difference (borrowing one second
// when negative), then days, hours, minutes and seconds from S.
ElapsedSplit SplitElapsed(const ClockReading& start, const ClockReading& reading) noexcept;
// The same fields from a count of whole seconds (M = 0).
ElapsedSplit SplitSeconds(int64_t totalSeconds) noexcept;

}  // namespace quarvent
