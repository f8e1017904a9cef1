#include "client/measure_log.h"

#include "client/csv_report.h"

namespace quarvent {

void MeasureLog::Begin(const MeasureStart& start) {
  m_bBegun = true;
  m_start = start;
  m_intervals.clear();
  m_ends.clear();
  m_nAbortedAfter = -1;
  m_bFailed = false;
  m_strError.clear();
}

void MeasureLog::SetSweepAborted(int afterRun, int nextPattern) {
  m_nAbortedAfter = afterRun;
  m_nAbortedNext = nextPattern;
}

void MeasureLog::SetError(std::string_view message) {
  m_bFailed = true;
  m_strError = message;
}

void MeasureLog::AddInterval(const IntervalData& interval) {
  m_intervals.push_back(interval);
}

void MeasureLog::AddRunEnd(const RunEndData& end) {
  m_ends.push_back(end);
}

std::string MeasureLog::CsvDocument() const {
  std::string out = CsvHeader();
  for (const IntervalData& interval : m_intervals) out += CsvRow(interval);
  return out;
}

}  // namespace quarvent
