// The counters of one run's data phase and the report lines made from them.
#pragma once

#include <cstdint>
#include <string>

#include "client/cpu_times.h"
#include "client/elapsed.h"

namespace quarvent {

struct RunStats {
  int64_t received = 0;     // bytes received: sum of the accepted chunks' length words
  int64_t sent = 0;         // bytes sent: sum of the sizes of the requests sent
  int32_t recvMin = 65536;  // smallest length word of a completed chunk
  int32_t recvMax = 0;      // largest length word of a completed chunk
  int32_t sendMin = 65536;  // smallest request size sent
  int32_t sendMax = 0;      // largest request size sent
  uint32_t passes = 0;      // chunks completed
  uint64_t requests = 0;    // requests sent
  uint64_t lost = 0;        // UDP with a receive timeout: requests whose chunk did not come in time
  uint64_t late = 0;        // of those, the chunks that came after all (not in received)
  int64_t lateBytes = 0;    // their length words (datagram sizes where no tag told them apart)
  bool countsLoss = false;  // the run counts lost chunks (and the report says how many)
};

// The elapsed-time line and the throughput lines (total and send only when
// something was sent). An elapsed time of 0 or less counts as 1 second.
void AppendFullReport(std::string* out, const RunStats& stats, const ElapsedSplit& elapsed);

// The size and minimum/maximum lines, and the CPU time line when both
// readings are given.
void AppendClosingLines(std::string* out, const RunStats& stats, const CpuTimes* baseline,
                        const CpuTimes* now);

}  // namespace quarvent
