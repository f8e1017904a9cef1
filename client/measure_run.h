// One measurement run (a session): negotiation, data phase, report and
// closing on the run's own thread (MeasureThread), with its watchdog beside the
// data phase (WatchdogThread). The run never touches its owner directly:
// everything it has to say is posted to the owner's thread with the run's
// generation, and the controller drops what is not from its current run. The
// run's last post says that it has finished; the owner joins it then.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "client/chunk_receive.h"
#include "client/client_host.h"
#include "client/measure_data.h"
#include "client/measure_settings.h"
#include "client/rtt_histogram.h"
#include "client/run_report.h"
#include "client/timing.h"
#include "common/protocol.h"
#include "common/rng.h"
#include "common/socket.h"
#include "common/stop_signal.h"
#include "common/transfer.h"

namespace quarvent {

class ClientController;

// Starts a std::thread on body into *thread; false when the system refuses.
bool StartThread(std::thread* thread, std::function<void()> body);

// How a run connects: its controller's socket factory and connect call
// (test seams; without a connect call the system's, in a wait that the run's
// stop ends), and the server that its socket is for.
struct RunConnector {
  bool connected = true;  // the socket is connected already
  Socket (*makeSocket)(int protocol, int family) = nullptr;
  int (*connect)(int fd, const Endpoint& addr) = nullptr;
  Endpoint server;
};

class MeasureRun final : private RecvErrorSink {
 public:
  // The run connects sock (over TCP after trying the other addresses of
  // config), then shuts it down and closes it. config is the run's own (its
  // pattern, the interval length clamped, and no receive timeout but for
  // UDP). generation marks everything the run posts.
  MeasureRun(ClientController& owner, ClientHost& host, Socket sock, const MeasureSettings& config,
             const ClientTiming& timing, unsigned generation, const RunConnector& connector = {});
  // Stops the run if it still goes and joins its thread.
  ~MeasureRun();
  MeasureRun(const MeasureRun&) = delete;
  MeasureRun& operator=(const MeasureRun&) = delete;

  // Starts MeasureThread through makeThread; false when the thread cannot be created.
  bool Start(bool (*makeThread)(std::thread*, std::function<void()>) = &StartThread);

  // Any thread: stops the run's watchdog and shuts its socket down, so that
  // every blocking call of the run returns and the run ends by itself.
  void Stop();
  void Join();

  unsigned Generation() const noexcept { return m_nGeneration; }

  // Owner's thread: takes the latest display values (whole elapsed seconds and
  // progress) and allows the next coalesced update to be posted.
  int64_t TakeDisplay(int* progress) noexcept;

 private:
  void MeasureThread();
  void WatchdogThread();
  // Connects the run's socket, or one to an earlier address of a TCP server
  // that answers, and has the header line shown; "" on success, else the
  // report text of the failure.
  std::string Connect();
  // Connects fd to addr: 0 or the errno of the failure.
  int ConnectTo(int fd, const Endpoint& addr);
  // Has the owner show the header line of the run to server.
  void PostHeader(const Endpoint& server);
  // Sends the line and judges the reply; "" on success, else the report text.
  std::string Negotiate();
  // UDP with a receive timeout: the chunk that answers the request tagged
  // tag (-1: untagged, the next chunk answers it); late chunks on the way
  // are counted in stats and waited past.
  const char* ReceiveAnswer(int fd, int64_t tag, int32_t* length, RunStats* stats, bool* timedOut);
  // What the data phase came to: its clock readings (ms) and why it ended.
  struct PhaseEnd {
    int64_t startMs = 0;
    int64_t lastMs = 0;
    const char* stopLine = nullptr;  // abort, limit or no-answer line before a full report
    const char* failText = nullptr;  // a short report
  };
  // Where the data phase stands with its hand-overs (elapsed milliseconds).
  struct IntervalClock {
    int64_t lengthMs = 0;  // the interval length
    int64_t nextIntervalMs = 0;
    int64_t startMs = 0;        // at which the current interval began
    int64_t nextDisplayMs = 0;  // of the next display hand-over
    bool handedOver = false;    // an interval has been handed over
    RunStats base;              // the totals at the start of the current interval
  };
  // The one place where the phase changes; tells the owner.
  void SetPhase(SessionPhase phase);
  // The data phase, the report and the closing; returns the report text and
  // fills end with the run's totals.
  std::string MeasureAndReport(RunOutcome* outcome, RunEndData* end);
  // The passes of the data phase, counted in stats, and the last interval.
  PhaseEnd RunDataPhase(RunStats* stats);
  // Before each pass: true when the run has been stopped from outside, or
  // the user has asked to abort (phase says so then); beats the liveness.
  bool EndRequested(PhaseEnd* phase);
  // The chunk of one pass: with a receive timeout (UDP) the answer to the
  // request tagged tag, else the next chunk.
  const char* ReceivePass(int fd, int64_t tag, StreamRest* rest, int32_t* length, RunStats* stats,
                          bool* timedOut);
  // Sends a request of size bytes (tagged when asked and it has room, its
  // tag in *tag); returns its send time.
  int64_t SendRequest(int fd, int size, bool tagged, RunStats* stats, int64_t* tag);
  // A request's answer did not come in time; true when the server has
  // answered nothing for silentNs, longer than the run waits.
  bool CountLoss(int fd, int64_t tag, int64_t silentNs, RunStats* stats);
  // The display and interval hand-overs due at elapsedMs.
  void PublishProgress(int64_t elapsedMs, IntervalClock* clock);
  void Tick(int64_t elapsedMs, const RunStats& stats, IntervalClock* clock);
  void EndLastInterval(int64_t endMs, const RunStats& stats, IntervalClock* clock);
  // The report's lines up to the closing ones, and how the run ended.
  std::string ReportLines(const PhaseEnd& phase, const RunStats& stats, RunOutcome* outcome,
                          RunEndData* end) const;
  static void FillRunEnd(const PhaseEnd& phase, const RunStats& stats, RunEndData* end);
  // Hands the interval [fromMs, toMs) over to the owner with the counters
  // gathered since the previous hand-over (the totals in stats minus base),
  // and the interval's round trips, if any; then base takes the totals.
  void HandOverInterval(int64_t fromMs, int64_t toMs, const RunStats& stats, RunStats* base);
  // UDP's receive timeout, 0 when chunks are waited for as long as they take.
  int UdpTimeoutMs() const noexcept {
    return m_config.protocol == kUdp && m_config.udpTimeoutMs > 0 ? m_config.udpTimeoutMs : 0;
  }
  // How long the data phase lasts; -1: until it is stopped.
  int64_t DurationLimitMs() const noexcept {
    const int index = static_cast<int>(m_config.duration);
    return index >= 0 && index < 4 ? m_timing.durationMs[index] : -1;
  }
  int WatchdogPeriodMs() const noexcept;
  int NoAnswerLimitMs() const noexcept;
  void PublishDisplay(int64_t seconds, int progress) noexcept;
  void CloseSocket(bool sendEndMarker) noexcept;

  // Posts task to the owner's thread, where it runs only while this run is
  // the owner's current one.
  template <class F>
  void PostToOwner(F&& task);
  void NotifyRecvError(std::string_view text) override;

  ClientController& m_owner;
  ClientHost& m_host;
  Socket m_sock;
  // The socket's descriptor in the table the other threads share, once the
  // run's thread has a table of its own (m_sock is then the run's descriptor).
  // Set by the run's thread, closed by the destructor after the join.
  Socket m_sharedCopy;
  const MeasureSettings m_config;
  const ClientTiming m_timing;
  const unsigned m_nGeneration;
  const RunConnector m_connector;
  SessionPhase m_ePhase = SessionPhase::kConnecting;  // the run's own thread only
  StopSignal m_stop;          // the one way to stop the run: shuts its socket down
  StopSignal m_watchdogStop;  // ends the watchdog's sleep
  std::thread m_thread;
  std::thread m_watchdog;  // created and joined by the run's own thread
  std::atomic<bool> m_bRecvErrorAcked{false};
  bool m_bNegotiationLimited = false;  // the run's thread: a time limit bounds the negotiation

  // Coalesced display: the latest values and whether an update is queued.
  std::atomic<bool> m_bDisplayPending{false};
  std::atomic<int64_t> m_nDisplaySeconds{0};
  std::atomic<int> m_nDisplayProgress{0};

  // Round trips of the current interval; handed over with it.
  std::shared_ptr<RttHistogram> m_pIntervalRtt;
  Rand15 m_rng;
  LostTags m_lostTags;
  char m_line[kLineBufferSize];  // negotiation line, then the reply
  // Requests are sent from m_buf and chunks received into it, a TCP chunk's
  // length word right before it. Cache-line aligned, away from the fields
  // other threads touch, as the kernel copies fastest there.
  TransferSpace m_space;
  char* const m_buf = m_space.Buffer();
};

}  // namespace quarvent
