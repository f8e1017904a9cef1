// Delays and durations of the client, injectable so that tests of 15-second
// runs and sweeps take about a second. The defaults are the product's values.
#pragma once

#include <cstdint>

namespace quarvent {

struct ClientTiming {
  int sweepNextDelayMs = 3000;    // pause before the next pattern of a sweep
  int forcedStopDelayMs = 2000;   // abort grace period
  int sweepRestoreDelayMs = 250;  // reselect the sweep's first pattern
  int watchdogPeriodMs = 2000;    // watchdog sampling period
  // UDP with a receive timeout: a run in which no request is answered for
  // this long ends with its report.
  int noAnswerEndMs = 4000;
  // The longest wait for the server's part of the negotiation (each send and
  // receive); 0 waits as long as the system does (the dialog, where 測定中断
  // ends the wait).
  int negotiationLimitMs = 0;
  // Data phase length per duration mode (sweep, 15 s, 30 s, continuous); < 0 never ends.
  int64_t durationMs[4] = {10000, 15000, 30000, -1};
};

}  // namespace quarvent
