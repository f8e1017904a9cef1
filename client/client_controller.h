// The client dialog's toolkit-free logic: start, abort, clear, the one-shot
// timers and the automatic sweep. The dialog and the console both drive it on
// their owner thread; it drives the measurement runs and their watchdogs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/client_host.h"
#include "client/measure_data.h"
#include "client/measure_run.h"
#include "client/measure_settings.h"
#include "client/timing.h"
#include "common/socket.h"

namespace quarvent {

// The pattern list entry text of a TrafficPattern (UTF-8), as the dialog's
// combo box shows it; "" outside 0..10.
std::string_view PatternEntryText(int pattern);

class ClientController {
 public:
  explicit ClientController(ClientHost& host, const ClientTiming& timing = {});
  // Stops every run and watchdog (their sockets are shut down), joins them,
  // and has the host drop the tasks and timers still queued for them.
  ~ClientController();
  ClientController(const ClientController&) = delete;
  ClientController& operator=(const ClientController&) = delete;

  // 測定開始 with settings: creates the socket, appends the header line and
  // starts the run, which connects on its own thread. A sweep begun here ends by
  // selecting this start's pattern again.
  void Start(const MeasureSettings& settings);
  // 測定中断: sets the abort flag, shows "割込受付中", disables abort and arms the
  // forced stop; asked again while that is pending, it stops the run at once. In the pause between
  // two runs of a sweep it ends the sweep at once and reselects the pattern at which it began.
  void OnAbort();
  // ｸﾘｱ: empties the report and the elapsed text.
  void OnClear();
  // The report so far: UTF-8, every line ending in "\r\n".
  const std::string& ReportText() const noexcept { return m_strReport; }
  // Adds text to the report (shown with the next change).
  void AppendReport(std::string_view text) { m_strReport += text; }
  // The pattern a running sweep selects again at its end; -1 when there is none.
  int SweepStartPattern() const noexcept { return m_nSweepStart; }
  // A timer armed through ClientHost::ArmTimer has fired (each fires once).
  void OnTimer(unsigned id);
  // Teardown when the owner goes away: stops the watchdog and the run and
  // releases the run's socket. The threads are joined by the destructor.
  void Shutdown();

  // True from OnStart until the owner is idle again (through the sweep pauses).
  bool Measuring() const noexcept { return m_eState != State::kIdle; }
  // In the pause of a sweep, before its next run.
  bool InSweepPause() const noexcept { return m_eState == State::kSweepPause; }
  // An abort waits for the run; the forced stop is still to come.
  bool ForcedStopArmed() const noexcept { return m_bForcedStopArmed; }
  // Idle, and nothing of the last measurement is still to come (the
  // reselection of a sweep, the end of a run that was stopped).
  bool Settled() const noexcept {
    return m_eState == State::kIdle && m_nRestorePattern < 0 && m_runs.empty();
  }
  // Whether what a run of generation posted still applies: it is the run
  // that holds the owner now.
  bool IsCurrent(unsigned generation) const noexcept {
    return m_pWorker != nullptr && generation == m_nGeneration;
  }

  // Test seam: creates the socket for a protocol. The default
  // makes a real one.
  using SocketFactory = Socket (*)(int protocol, int family);
  void SetSocketFactory(SocketFactory factory) noexcept { m_pfnSocket = factory; }
  // Test seam: connects a run's socket; 0 or the errno of the failure. Called
  // on the run's thread. By default (nullptr) the run calls the system's
  // connect() in a wait that its stop ends.
  using ConnectFunction = int (*)(int fd, const Endpoint& addr);
  void SetConnectFunction(ConnectFunction connect) noexcept { m_pfnConnect = connect; }
  // Test seam: starts a run's thread on body; false when the thread cannot be
  // created. The default makes a std::thread.
  using ThreadFactory = bool (*)(std::thread* thread, std::function<void()> body);
  void SetThreadFactory(ThreadFactory factory) noexcept { m_pfnThread = factory; }

 private:
  friend class MeasureRun;
  // Where the measurement stands: idle, a run going, or the pause of a
  // sweep before its next pattern.
  enum class State { kIdle, kRunning, kSweepPause };
  // What the owner has of the run it holds: its index within the start, its
  // report text from the header line, the sums of the intervals handed over
  // and their round trips (allocated with the first that has any), and the
  // whole seconds last shown.
  struct RunRecord {
    int index = 0;
    std::string text;
    IntervalData sums;
    std::unique_ptr<RttHistogram> rtt;
    int64_t shownSeconds = -1;
    bool byUser = false;  // started by the user, not by a sweep
  };

  // Called on the owner's thread through posted tasks of the current run.
  void OnRunDisplay(MeasureRun& run);
  void OnRunInterval(IntervalData& data, const RttHistogram* rtt);
  void OnWatchdogFired();
  // The header line of the run (with the settings in force), naming the
  // server it connects to.
  void OnRunHeader(const Endpoint& server);
  // A run's last post, current or not: joins and drops the run, and ends the
  // current one with its report.
  void OnRunFinished(MeasureRun& run, std::string_view report, RunOutcome outcome,
                     RunEndData&& end);

  // The start of a run: by the user (OnStart) or by the next step of a sweep.
  void StartRun(bool byUser);
  // A run has ended with its report: the owner is idle, or a sweep goes on.
  void HandOver(RunOutcome outcome);
  // A start that ended before its run began (no socket, connection or
  // thread) with failure, its last report line: the owner is idle again,
  // and a sweep is over.
  void FailStart(RunEndKind kind, std::string_view failure, RunOutcome outcome);
  // The forced stop: the run held is stopped and the owner is idle again.
  void ForceStop();
  // Stops the current run and lets go of it: what it posts from now on is
  // dropped, but for its last post, on which it is joined.
  void StopCurrent();
  // Tells the end of the run held from what the owner has of it: the
  // intervals handed over, and its report text.
  void EndRun(RunEndKind kind, std::string_view failure);
  // Arms the reselection of m_nSweepStart that ends a sweep.
  void ArmRestore();
  void FinishIdle();
  void EndSweepPause();
  void SetMeasuring(int state);

  void ShowReport() { m_host.OnReportText(m_strReport); }
  // Starts the run that connects sock to server.
  void LaunchRun(Socket sock, const Endpoint& server);

  ClientHost& m_host;
  ClientTiming m_timing;
  SocketFactory m_pfnSocket;
  ConnectFunction m_pfnConnect = nullptr;
  ThreadFactory m_pfnThread;
  std::vector<std::unique_ptr<MeasureRun>> m_runs;  // started, their last post still to come
  MeasureRun* m_pWorker = nullptr;                  // the running run that holds the owner, if any
  unsigned m_nGeneration = 0;  // of the current run; a stopped run's is left behind
  RunRecord m_run;             // the owner's record of the current or last run
  State m_eState = State::kIdle;
  int m_nNextRunIndex = 0;          // index of the next run within the user's start
  MeasureSettings m_settings{};     // the run being started: the user's, the sweep's pattern
  std::string m_strReport;          // the report text the owner shows
  int m_nSweepStart = -1;           // the pattern at which the sweep began, -1 none
  int m_nNextPattern = -1;          // in a sweep's pause: the pattern its next run takes
  int m_nRestorePattern = -1;       // the pattern a sweep's end selects again, -1 none pending
  bool m_bForcedStopArmed = false;  // the forced stop is for the run now held
  // Shared with the runs' threads, on a line of their own.
  alignas(64) std::atomic<int> m_bAbort{0};  // the user asked to abort; read every pass
  std::atomic<int> m_nAlive{0};  // liveness: advanced by the run, sampled by its watchdog
};

}  // namespace quarvent
