// The sums of many sessions: per class of a mix and for the whole, as report
// blocks in the report's own line formats, and interval by interval.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "client/measure_data.h"
#include "client/rtt_histogram.h"

namespace quarvent::console {

// What a group of sessions (a class, or the whole) added up to.
struct Totals {
  int sessions = 0;    // in the group
  int full = 0;        // ended with a full report
  int failed = 0;      // refused, negotiation, transfer, watchdog, no answer
  int notStarted = 0;  // never started (interrupted before their turn)
  // Sums of the sessions' counters; elapsedMs is the longest session's, the
  // minimum and maximum sizes are over the sessions that had any, and the
  // round-trip summary is that of all their round trips together.
  RunEndData sum;
  std::unique_ptr<RttHistogram> rtt;  // all round trips of the group; none yet
  std::vector<std::string> failures;  // "session K: <failure text>"
};

// Adds one session's end to totals; failed tells how its start ended.
void AddEnd(Totals* totals, int session, const RunEndData& end, bool failed);
// Adds round trips of one of the group's sessions.
void AddRtt(Totals* totals, const RttHistogram& rtt);
// The sums as one run's end (outcome completed when no session failed, else
// failed; report: the block), for the JSON writer.
RunEndData TotalsEnd(const Totals& totals, const std::string& block);

// The group's report block: header (one line, given without its line end),
// "セッション : F 完了 / X 失敗" (and " / N 未開始"), one line per failed
// session, then the elapsed-time, throughput, size and minimum/maximum lines
// of a single run's report made from the sums. "\r\n" line ends; no CPU time
// line (the process has one, written once).
std::string TotalsBlock(const std::string& header, const Totals& totals);

// The intervals of a group of sessions added up by their index: the k-th
// interval of the group is the sum of its sessions' k-th intervals, from the
// earliest start to the latest end, and it is complete once every session of
// the group has handed over its k-th interval or ended before it.
class IntervalSums {
 public:
  explicit IntervalSums(std::vector<int> sessions);
  void Add(int session, const IntervalData& interval);
  // The round trips of the session's last interval.
  void AddRtt(int session, const RttHistogram& rtt);
  void End(int session);
  // The next complete interval into *out (its round-trip summary from the
  // merged histograms); false when there is none yet.
  bool Next(IntervalData* out);

 private:
  struct Slot {
    IntervalData sum;
    int contributors = 0;
    std::unique_ptr<RttHistogram> rtt;
  };
  bool Complete(size_t k) const;

  std::vector<int> m_sessions;  // the group's sessions, ascending
  std::vector<size_t> m_seen;   // per member: intervals handed over
  std::vector<bool> m_ended;    // per member
  std::deque<Slot> m_slots;     // from interval m_nFirst on
  size_t m_nFirst = 0;          // index of m_slots.front()
};

}  // namespace quarvent::console
