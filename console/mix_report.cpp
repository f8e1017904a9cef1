#include "console/mix_report.h"

#include <algorithm>
#include <cstdio>

#include "client/elapsed.h"
#include "client/run_report.h"

namespace quarvent::console {

void AddEnd(Totals* totals, int session, const RunEndData& end, bool failed) {
  RunEndData& sum = totals->sum;
  sum.pattern = end.pattern;
  sum.protocol = end.protocol;
  if (failed) {
    ++totals->failed;
    std::string text = end.failure.empty() ? std::string(RunEndKindName(end.outcome)) : end.failure;
    std::replace(text.begin(), text.end(), '\n', ' ');
    totals->failures.push_back("session " + std::to_string(session) + ": " + text);
  } else {
    ++totals->full;
  }
  sum.dataPhase = sum.dataPhase || end.dataPhase;
  sum.elapsedMs = std::max(sum.elapsedMs, end.elapsedMs);
  sum.bytesReceived += end.bytesReceived;
  sum.bytesSent += end.bytesSent;
  sum.chunksReceived += end.chunksReceived;
  sum.requestsSent += end.requestsSent;
  sum.countsLoss = sum.countsLoss || end.countsLoss;
  sum.lost += end.lost;
  sum.late += end.late;
  const auto lower = [](int32_t* into, int32_t value) {
    if (value >= 0 && (*into < 0 || value < *into)) *into = value;
  };
  const auto higher = [](int32_t* into, int32_t value) {
    if (value >= 0 && value > *into) *into = value;
  };
  lower(&sum.receivedMin, end.receivedMin);
  higher(&sum.receivedMax, end.receivedMax);
  lower(&sum.sentMin, end.sentMin);
  higher(&sum.sentMax, end.sentMax);
}

void AddRtt(Totals* totals, const RttHistogram& rtt) {
  if (!totals->rtt) totals->rtt = std::make_unique<RttHistogram>();
  totals->rtt->Merge(rtt);
}

RunEndData TotalsEnd(const Totals& totals, const std::string& block) {
  RunEndData end = totals.sum;
  end.outcome = totals.failed > 0 ? RunEndKind::kFailed : RunEndKind::kCompleted;
  if (totals.rtt) end.rtt = totals.rtt->Summary();
  end.report = block;
  return end;
}

std::string TotalsBlock(const std::string& header, const Totals& totals) {
  std::string out = header + "\r\n";
  char line[160];
  std::snprintf(line, sizeof line, "セッション : %d 完了 / %d 失敗", totals.full, totals.failed);
  out += line;
  if (totals.notStarted > 0) out += " / " + std::to_string(totals.notStarted) + " 未開始";
  out += "\r\n";
  for (const std::string& failure : totals.failures) out += failure + "\r\n";
  const RunEndData& sum = totals.sum;
  if (!sum.dataPhase) return out;
  // The sums in the counters of one run, so that its own lines write them.
  RunStats stats;
  stats.received = sum.bytesReceived;
  stats.sent = sum.bytesSent;
  if (sum.receivedMin >= 0) stats.recvMin = sum.receivedMin;
  if (sum.receivedMax >= 0) stats.recvMax = sum.receivedMax;
  if (sum.sentMin >= 0) stats.sendMin = sum.sentMin;
  if (sum.sentMax >= 0) stats.sendMax = sum.sentMax;
  stats.requests = sum.requestsSent;
  stats.lost = sum.lost;
  stats.countsLoss = sum.countsLoss;
  const ElapsedSplit elapsed = SplitElapsed({0, 0}, ToClockReading(sum.elapsedMs));
  AppendFullReport(&out, stats, elapsed);
  AppendClosingLines(&out, stats, nullptr, nullptr);
  return out;
}

IntervalSums::IntervalSums(std::vector<int> sessions)
    : m_sessions(std::move(sessions)),
      m_seen(m_sessions.size(), 0),
      m_ended(m_sessions.size(), false) {}

namespace {

size_t Member(const std::vector<int>& sessions, int session) {
  return static_cast<size_t>(std::lower_bound(sessions.begin(), sessions.end(), session) -
                             sessions.begin());
}

}  // namespace

void IntervalSums::Add(int session, const IntervalData& interval) {
  const size_t m = Member(m_sessions, session);
  const size_t k = m_seen[m]++;
  if (k < m_nFirst) return;  // cannot happen: a complete interval had it
  while (m_slots.size() <= k - m_nFirst) m_slots.emplace_back();
  Slot& slot = m_slots[k - m_nFirst];
  IntervalData& sum = slot.sum;
  if (slot.contributors++ == 0) {
    sum = interval;
    sum.rtt = {};
    return;
  }
  sum.startMs = std::min(sum.startMs, interval.startMs);
  sum.endMs = std::max(sum.endMs, interval.endMs);
  sum.bytesReceived += interval.bytesReceived;
  sum.bytesSent += interval.bytesSent;
  sum.chunks += interval.chunks;
  sum.requests += interval.requests;
  sum.countsLoss = sum.countsLoss || interval.countsLoss;
  sum.lost += interval.lost;
  sum.late += interval.late;
}

void IntervalSums::AddRtt(int session, const RttHistogram& rtt) {
  const size_t m = Member(m_sessions, session);
  if (m_seen[m] == 0 || m_seen[m] - 1 < m_nFirst) return;
  Slot& slot = m_slots[m_seen[m] - 1 - m_nFirst];
  if (!slot.rtt) slot.rtt = std::make_unique<RttHistogram>();
  slot.rtt->Merge(rtt);
}

void IntervalSums::End(int session) {
  m_ended[Member(m_sessions, session)] = true;
}

bool IntervalSums::Complete(size_t k) const {
  for (size_t m = 0; m < m_sessions.size(); ++m)
    if (m_seen[m] <= k && !m_ended[m]) return false;
  return true;
}

bool IntervalSums::Next(IntervalData* out) {
  if (m_slots.empty() || m_slots.front().contributors == 0 || !Complete(m_nFirst)) return false;
  Slot& slot = m_slots.front();
  *out = slot.sum;
  if (slot.rtt) out->rtt = slot.rtt->Summary();
  out->run = 0;  // each session makes one run
  m_slots.pop_front();
  ++m_nFirst;
  return true;
}

}  // namespace quarvent::console
