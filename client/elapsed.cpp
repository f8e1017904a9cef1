#include "client/elapsed.h"

#include <ctime>

namespace quarvent {

ElapsedSplit SplitSeconds(int64_t totalSeconds) noexcept {
  ElapsedSplit e{};
  e.totalSeconds = totalSeconds;
  e.days = static_cast<int>(totalSeconds / 86400);
  e.hours = static_cast<int>(totalSeconds % 86400 / 3600);
  e.minutes = static_cast<int>(totalSeconds % 3600 / 60);
  e.seconds = static_cast<int>(totalSeconds % 60);
  return e;
}

ElapsedSplit SplitElapsed(const ClockReading& start, const ClockReading& reading) noexcept {
  int64_t s = reading.seconds - start.seconds;
  int m = reading.milliseconds - start.milliseconds;
  if (m < 0) {
    m += 1000;
    s -= 1;
  }
  ElapsedSplit e = SplitSeconds(s);
  e.milliseconds = m;
  return e;
}

}  // namespace quarvent
