// What the client's measurement logic needs of its owner: the settings, the
// shared flags, the report text and the display operations. The dialog
// implements it with Qt, the console on stdout/stderr, the tests with a
// recording fake. Every operation below is called on the owner's thread only;
// the worker threads reach the owner through Post().
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/measure_data.h"
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

class ClientHost {
 public:
  // Settings, read by the controller when a run starts (after ReadSettings).
  int m_nPattern = 0;          // TrafficPattern 0..10 (the pattern list index)
  int m_nProtocol = kTcp;      // 0 TCP, 1 UDP
  int m_nDuration = 0;         // 0 automatic sweep, 1 15 s, 2 30 s, 3 continuous
  int m_nSweepStart = -1;      // pattern at which the sweep began, -1 none
  int m_nPort = kDefaultPort;  // as typed; its low 16 bits are used
  // The server's addresses: over TCP tried in order until one connects, over
  // UDP the first. Their ports are set from m_nPort.
  std::vector<Endpoint> m_addresses{Endpoint::Ipv4(0x7F000001)};
  int m_nUdpTimeoutMs = 0;   // UDP: a chunk not in this long after its request is lost; 0 waits
  int m_nIntervalMs = 1000;  // interval length, kMinIntervalMs..kMaxIntervalMs

  // Shared with the worker threads.
  std::atomic<int> m_bAbort{0};  // the user asked to abort; read at the top of every pass
  std::atomic<int> m_nAlive{0};  // liveness counter: advanced by the run, sampled by the watchdog

  // The report: UTF-8, every line ending in "\r\n". Only the owner's thread
  // touches it.
  std::string m_strResult;

  // Reads the controls into the settings (a no-op where there are none).
  virtual void ReadSettings() {}
  // Copies the settings and m_strResult into the controls and scrolls the
  // report to its last line.
  virtual void ShowResult() = 0;
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
  // A run has ended: once per start, after its report text is in m_strResult
  // (ShowResult has been called) and before NoteOutcome.
  virtual void OnRunEnd(const RunEndData&) {}
  // The user ended a sweep in the pause before its next run: runs is the
  // number of runs it made, nextPattern the pattern that would have come.
  virtual void OnSweepAborted(int /*runs*/, int /*nextPattern*/) {}
  // Connects the run's socket to addr; 0 or the errno of the failure. The
  // default blocks the owner's thread until the system answers; a window may
  // wait in a way that keeps it painted, with the same outcome.
  virtual int Connect(int fd, const Endpoint& addr) {
    return ::connect(fd, addr.Addr(), addr.Length()) == 0 ? 0 : errno;
  }

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
