// What the chart window draws: the intervals of the current measurement as
// rates, per run, with a bound. The runs of an automatic sweep follow one
// another on one time line (each run placed after the one before), so that
// every pattern of the sweep stays visible next to the others.
//
// Bound: a run keeps the intervals of its last hour at full resolution, and
// all runs together keep at most kMaxPoints (the oldest go first). Fed by
// the dialog's hand-overs on its own thread; no toolkit needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "client/measure_data.h"

namespace quarvent {

struct ChartPoint {
  double startS = 0;  // on the chart's time line: the run's offset plus its own seconds
  double endS = 0;
  int64_t bytesReceived = 0;
  int64_t bytesSent = 0;
  double receivedRate = 0;  // bytes per second over the interval
  double sentRate = 0;
  bool hasRtt = false;  // a round trip completed in the interval
  double rttP50Ms = 0;
  double rttP99Ms = 0;
};

struct ChartRun {
  int run = 0;
  int pattern = 0;
  int protocol = 0;
  double offsetS = 0;  // where its second 0 lies on the time line
  double lengthS = 0;  // its data phase so far
  bool ended = false;
  std::string failure;     // how it failed (RunEndData::failure), "" when it did not
  uint64_t intervals = 0;  // handed over, kept or not
  std::deque<ChartPoint> points;
};

class ChartHistory {
 public:
  static constexpr double kKeepSeconds = 3600;  // per run, at full resolution
  static constexpr size_t kMaxPoints = 20000;   // all runs together

  // A new measurement: nothing to draw.
  void Clear();
  void AddInterval(const IntervalData& interval);
  void AddRunEnd(const RunEndData& end);

  const std::vector<ChartRun>& Runs() const noexcept { return m_runs; }
  size_t PointCount() const noexcept { return m_nPoints; }
  // Advances with every change; a view redraws when it differs.
  uint64_t Revision() const noexcept { return m_nRevision; }
  // The time line's extent so far: the end of the last run.
  double EndS() const noexcept;

 private:
  ChartRun& RunOf(int run, int pattern, int protocol);
  void Trim(ChartRun& run);

  std::vector<ChartRun> m_runs;  // in the order they came
  size_t m_nPoints = 0;
  uint64_t m_nRevision = 0;
};

}  // namespace quarvent
