// The data a measurement run gathers beside its report: consecutive intervals
// of the data phase and, once it has ended, the run's totals. The controller
// hands them to its owner (ClientHost::OnInterval, ClientHost::OnRunEnd) in
// order with the report text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/rtt_histogram.h"

namespace quarvent {

// Interval lengths a host may set (ClientHost::m_nIntervalMs).
inline constexpr int kMinIntervalMs = 100;
inline constexpr int kMaxIntervalMs = 60000;

// One interval of a run's data phase. Times are milliseconds from the start
// of the data phase on the run's monotonic clock, the same clock as the
// report's elapsed time; an interval is never cut inside a pass, so it may
// be a little longer than the length asked for (much longer when one pass
// stalled), and the last one ends where the run ends.
struct IntervalData {
  int run = 0;       // index of the run within its start (a sweep counts up)
  int pattern = 0;   // TrafficPattern 0..10
  int protocol = 0;  // 0 TCP, 1 UDP
  int64_t startMs = 0;
  int64_t endMs = 0;
  int64_t bytesReceived = 0;
  int64_t bytesSent = 0;
  uint64_t chunks = 0;      // chunks received
  uint64_t requests = 0;    // requests sent
  bool countsLoss = false;  // UDP with a receive timeout: lost chunks are counted
  uint64_t lost = 0;        // requests whose chunk did not come in time
  uint64_t late = 0;        // chunks of lost requests that came after all
  RttSummary rtt;           // round trips completed in the interval
};

// How a run ended, as data.
enum class RunEndKind {
  kCompleted,          // the duration was reached
  kAborted,            // 測定中断 (also when the run had to be stopped outright)
  kLimit,              // the counting limit ended it
  kFailed,             // a transfer failure, or no socket or thread for it
  kWatchdog,           // the watchdog ended it
  kNegotiationFailed,  // no negotiation or a mismatching reply
  kConnectFailed,      // the connection was refused or failed
  kNoAnswer,           // UDP with a receive timeout: the server stopped answering
};

// A failure's report text as data: "\n" between its lines, no line end after
// the last.
std::string FailureText(std::string_view reportText);

// "completed", "aborted", "limit", "failed", "watchdog",
// "negotiation_failed", "connect_failed" or "no_answer".
std::string_view RunEndKindName(RunEndKind kind) noexcept;

// A run's totals. For a run that ended with its report (completed, aborted,
// limit, failed in the data phase) they are the report's own counters; for a
// run the watchdog or a forced stop ended they are the sums of the intervals
// handed over before it. They always equal the sums over its intervals.
struct RunEndData {
  int run = 0;
  int pattern = 0;
  int protocol = 0;
  RunEndKind outcome = RunEndKind::kCompleted;
  std::string failure;     // the failure's report text (FailureText); "" none
  bool dataPhase = false;  // the negotiation succeeded and chunks were awaited
  int64_t elapsedMs = 0;   // the report's elapsed time; 0 without a data phase
  int64_t bytesReceived = 0;
  int64_t bytesSent = 0;
  uint64_t chunksReceived = 0;
  uint64_t requestsSent = 0;
  bool countsLoss = false;  // UDP with a receive timeout: lost chunks were counted
  uint64_t lost = 0;        // requests whose chunk did not come in time
  uint64_t late = 0;        // of those, the chunks that came after all
  // Smallest and largest length word of the chunks and size of the requests;
  // -1 when there were none, or the run ended without its report.
  int32_t receivedMin = -1;
  int32_t receivedMax = -1;
  int32_t sentMin = -1;
  int32_t sentMax = -1;
  bool cpuValid = false;  // the CPU time line was written
  double cpuKernelS = 0;
  double cpuUserS = 0;
  RttSummary rtt;      // the whole run
  std::string report;  // the run's report text from its header line, "\r\n" line ends

  // Bytes per second as the report computes them (an elapsed time of 0
  // counts as 1 second); 0 without a data phase.
  double ThroughputReceived() const noexcept;
  double ThroughputSent() const noexcept;
  double ThroughputTotal() const noexcept;
};

}  // namespace quarvent
