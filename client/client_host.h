// What the client's measurement logic tells its owner, and the two services
// it needs of it (posted tasks and one-shot timers). The dialog implements it
// with Qt, the console on stdout/stderr, the tests with a recording fake.
// Every operation below is called on the owner's thread only; the worker
// threads reach the owner through Post().
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/measure_data.h"
#include "client/measure_settings.h"
#include "common/endpoint.h"
#include "common/protocol.h"

namespace quarvent {

// How one start of a run ended, told to the owner once per start (the console
// turns it into its exit code).
enum class RunOutcome {
  kFullReport,         // duration reached, user abort or counting limit
  kShortReport,        // header, length or body failure in the data phase
  kNegotiationFailed,  // line not sent, reply error or mismatch
  kConnectFailed,      // connect() failed
  kSocketFailed,       // socket() failed
  kNoWorker,           // the worker thread could not be created
  kWatchdogTimeout,    // no progress for 2 to 4 seconds
  kForcedStop,         // the run did not react to the abort in time
  kNoAnswer,           // a full report, but the server stopped answering (UDP with a timeout)
};

// Where a run stands, as its own thread moves it on: it connects, agrees on
// the pattern with the server, measures, writes its report and closes its socket.
enum class SessionPhase { kConnecting, kNegotiating, kRunning, kReporting, kClosing };

class ClientHost {
 public:
  // A measurement begins (a user's start, not the later runs of its sweep)
  // with these settings, before its first header line.
  virtual void OnMeasureStart(const MeasureSettings&) {}
  // The report has changed: report is all of it (UTF-8, every line ending in
  // "\r\n"); show it and scroll to its last line.
  virtual void OnReportText(const std::string& report) = 0;
  // The pattern list shows pattern: a sweep's next run, or the pattern at
  // which it began once it is over.
  virtual void SelectPattern(int /*pattern*/) {}
  virtual void SetElapsedText(std::string_view text) = 0;
  // 0 to 1000.
  virtual void SetProgress(int position) = 0;
  // Redraws at once.
  virtual void Repaint() {}
  // 0 idle (settings, start and clear enabled; abort disabled), 1 measuring.
  virtual void SetMeasuringState(int state) = 0;
  // Disables the abort button while an abort is pending.
  virtual void DisableAbort() {}
  // A socket receive failed ("recv() Error : %d" or "recvfrom() Error : %d"):
  // a modal box in the dialog, a stderr line in the console. The worker waits
  // until this returns.
  virtual void ShowRecvError(std::string_view text) = 0;
  // Tells how a start ended; once per start.
  virtual void NoteOutcome(RunOutcome) {}
  // One interval of the running run's data phase, as it ends: every interval,
  // in order, after the run's header line and before its report text.
  virtual void OnInterval(const IntervalData&) {}
  // The round trips of the interval just handed to OnInterval, for an owner
  // that merges them over several intervals or sessions (percentiles do not
  // add up); called right after it, only when round trips completed in it.
  virtual void OnIntervalRtt(const RttHistogram&) {}
  // A run has ended: once per start, after its report text has been shown
  // (OnReportText) and before NoteOutcome.
  virtual void OnRunEnd(const RunEndData&) {}
  // The running run has entered phase (every change, in order).
  virtual void OnPhase(SessionPhase) {}
  // The user ended a sweep in the pause before its next run: runs is the
  // number of runs it made, nextPattern the pattern that would have come.
  virtual void OnSweepAborted(int /*runs*/, int /*nextPattern*/) {}
  // Runs task on the owner's thread, later, in the order of Post calls from
  // all threads. Callable from any thread; never waits. Tasks still queued
  // when the controller is destroyed must be dropped, not run.
  virtual void Post(std::function<void()> task) = 0;
  // Arms a one-shot timer: after delayMs the owner calls the controller's
  // OnTimer(id) on its own thread. Arming an id that is pending re-arms it.
  virtual void ArmTimer(unsigned id, int delayMs) = 0;
  // Called by the controller's destructor once its threads are joined (none
  // posts any more): drops every task and timer still queued; none may run,
  // as what they would call is gone.
  virtual void DropQueued() = 0;

 protected:
  ~ClientHost() = default;
};

}  // namespace quarvent
