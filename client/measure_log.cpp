#include "client/measure_log.h"

#include "client/csv_report.h"

namespace quarvent {

void MeasureLog::Begin(const MeasureStart& start) {
  m_bBegun = true;
  m_start = start;
  m_intervals.clear();
  m_ends.clear();
  m_nAbortedAfter = -1;
}

void MeasureLog::SetSweepAborted(int afterRun, int nextPattern) {
  m_nAbortedAfter = afterRun;
  m_nAbortedNext = nextPattern;
}

void MeasureLog::AddInterval(const IntervalData& interval) {
  m_intervals.push_back(interval);
}

void MeasureLog::AddRunEnd(const RunEndData& end) {
  m_ends.push_back(end);
}

std::string MeasureLog::JsonDocument() const {
  // The writer opens a run at its first interval or its end, whichever comes
  // first, so they are handed to it in the order they came: a run's
  // intervals, then its end (a run without a data phase has only its end).
  // The runs of one measurement follow one another, so the intervals before
  // an end are those of its run and of none after it.
  JsonReport report;
  report.SetStart(m_start);
  auto interval = m_intervals.begin();
  for (const RunEndData& end : m_ends) {
    for (; interval != m_intervals.end() && interval->run <= end.run; ++interval)
      report.AddInterval(*interval);
    report.AddRunEnd(end);
  }
  for (; interval != m_intervals.end(); ++interval) report.AddInterval(*interval);
  if (m_nAbortedAfter >= 0) report.SetSweepAborted(m_nAbortedAfter, m_nAbortedNext);
  return report.Document();
}

std::string MeasureLog::CsvDocument() const {
  std::string out = CsvHeader();
  for (const IntervalData& interval : m_intervals) out += CsvRow(interval);
  return out;
}

}  // namespace quarvent
