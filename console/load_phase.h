// Latency under load: the probe session's intervals split into the idle
// phase (before the load starts) and the loaded phase (once the load has run
// for its settling time), each with its round trips, RPM and losses. The
// probe's intervals are short (0.1 s), so a phase starts and ends within a
// tenth of a second of where it should; an interval that straddles the
// load's start or the end of the settling time counts for neither phase.
#pragma once

#include <cstdint>
#include <memory>

#include "client/measure_data.h"
#include "client/rtt_histogram.h"

namespace quarvent::console {

// The interval length of a probe.
inline constexpr int kProbeIntervalMs = 100;

struct Phase {
  int64_t fromMs = -1;  // start of its first interval (probe's data phase clock); -1 none
  int64_t toMs = -1;    // end of its last interval
  uint64_t requests = 0;
  uint64_t chunks = 0;
  uint64_t lost = 0;
  bool countsLoss = false;
  RttHistogram rtt;  // its round trips
  // 60,000 / trimmed-mean round trip in ms; 0 without round trips.
  double Rpm() const noexcept { return RoundTripsPerMinute(rtt); }
};

class PhaseSplit {
 public:
  PhaseSplit();
  // The probe's next interval (in order).
  void Add(const IntervalData& interval);
  // The round trips of the interval added last.
  void AddRtt(const RttHistogram& rtt);
  // The load started at atMs of the probe's clock; the loaded phase begins
  // with the first interval that starts settleMs later or after.
  void StartLoad(int64_t atMs, int64_t settleMs);

  bool LoadStarted() const noexcept { return m_nLoadAtMs >= 0; }
  int64_t LoadStartMs() const noexcept { return m_nLoadAtMs; }
  const Phase& Idle() const noexcept { return *m_pIdle; }
  const Phase& Loaded() const noexcept { return *m_pLoaded; }

 private:
  std::unique_ptr<Phase> m_pIdle;
  std::unique_ptr<Phase> m_pLoaded;
  Phase* m_pLast = nullptr;  // the phase of the interval added last; none
  int64_t m_nLoadAtMs = -1;
  int64_t m_nLoadedFromMs = -1;
};

}  // namespace quarvent::console
