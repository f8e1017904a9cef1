#include "client/ui/chart_history.h"

#include <algorithm>

namespace quarvent {

void ChartHistory::Clear() {
  m_runs.clear();
  m_nPoints = 0;
  ++m_nRevision;
}

double ChartHistory::EndS() const noexcept {
  return m_runs.empty() ? 0.0 : m_runs.back().offsetS + m_runs.back().lengthS;
}

ChartRun& ChartHistory::RunOf(int run, int pattern, int protocol) {
  if (!m_runs.empty() && m_runs.back().run == run) return m_runs.back();
  ChartRun next;
  next.run = run;
  next.pattern = pattern;
  next.protocol = protocol;
  next.offsetS = EndS();
  m_runs.push_back(std::move(next));
  return m_runs.back();
}

void ChartHistory::AddInterval(const IntervalData& interval) {
  ChartRun& run = RunOf(interval.run, interval.pattern, interval.protocol);
  ++run.intervals;
  ChartPoint point;
  point.startS = run.offsetS + static_cast<double>(interval.startMs) / 1000.0;
  point.endS = run.offsetS + static_cast<double>(interval.endMs) / 1000.0;
  point.bytesReceived = interval.bytesReceived;
  point.bytesSent = interval.bytesSent;
  const int64_t lengthMs = interval.endMs - interval.startMs;
  if (lengthMs > 0) {
    const double seconds = static_cast<double>(lengthMs) / 1000.0;
    point.receivedRate = static_cast<double>(interval.bytesReceived) / seconds;
    point.sentRate = static_cast<double>(interval.bytesSent) / seconds;
  }
  if (interval.rtt.count > 0) {
    point.hasRtt = true;
    point.rttP50Ms = interval.rtt.p50 / 1000.0;
    point.rttP99Ms = interval.rtt.p99 / 1000.0;
  }
  run.lengthS = std::max(run.lengthS, static_cast<double>(interval.endMs) / 1000.0);
  run.points.push_back(point);
  ++m_nPoints;
  Trim(run);
  ++m_nRevision;
}

void ChartHistory::AddRunEnd(const RunEndData& end) {
  ChartRun& run = RunOf(end.run, end.pattern, end.protocol);
  run.ended = true;
  run.failure = end.failure;
  run.lengthS = std::max(run.lengthS, static_cast<double>(end.elapsedMs) / 1000.0);
  ++m_nRevision;
}

void ChartHistory::Trim(ChartRun& run) {
  const double from = run.offsetS + run.lengthS - kKeepSeconds;
  while (!run.points.empty() && run.points.front().endS <= from) {
    run.points.pop_front();
    --m_nPoints;
  }
  // Over the total: the oldest points of the earliest runs go first.
  for (ChartRun& oldest : m_runs) {
    while (m_nPoints > kMaxPoints && !oldest.points.empty()) {
      oldest.points.pop_front();
      --m_nPoints;
    }
    if (m_nPoints <= kMaxPoints) break;
  }
}

}  // namespace quarvent
