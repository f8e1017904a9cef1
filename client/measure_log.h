// One measurement as the client keeps it: what was asked for at 測定開始,
// every interval and every run end handed over since, in order. The dialog
// saves it, the console writes its JSON document from it; both as JSON
// (written by client/json_report.cpp) or as CSV (client/csv_report.h).
//
// Nothing is thrown away while the measurement lasts: the intervals are what
// the run's totals are the sums of. An interval costs 160 bytes here
// (some 14 MB for a day of continuous 1-second intervals); the document is
// only built when the user saves.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "client/json_report.h"
#include "client/measure_data.h"

namespace quarvent {

class MeasureLog {
 public:
  // Forgets the last measurement and starts the next.
  void Begin(const MeasureStart& start);
  void AddInterval(const IntervalData& interval);
  void AddRunEnd(const RunEndData& end);
  // The user ended a sweep in the pause after run afterRun, before the run of
  // nextPattern.
  void SetSweepAborted(int afterRun, int nextPattern);
  // The command failed before any run could begin.
  void SetError(std::string_view message);

  bool Begun() const noexcept { return m_bBegun; }
  const MeasureStart& Start() const noexcept { return m_start; }
  const std::deque<IntervalData>& Intervals() const noexcept { return m_intervals; }
  const std::vector<RunEndData>& RunEnds() const noexcept { return m_ends; }

  // The measurement as docs/json.md describes it; a run that is still going
  // on has its intervals so far and a null end.
  std::string JsonDocument() const;
  // The header row and one row per interval.
  std::string CsvDocument() const;

 private:
  bool m_bBegun = false;
  MeasureStart m_start;
  std::deque<IntervalData> m_intervals;  // in order; the runs one after the other
  std::vector<RunEndData> m_ends;        // in order
  int m_nAbortedAfter = -1;              // the sweep's abort, -1 none
  int m_nAbortedNext = 0;
  bool m_bFailed = false;
  std::string m_strError;
};

}  // namespace quarvent
