#include "client/client_controller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "client/elapsed.h"
#include "client/format.h"
#include "client/measure_run.h"
#include "client/texts.h"
#include "common/transfer.h"

namespace quarvent {
namespace {

constexpr std::string_view kPatternEntries[kPatternCount] = {
    "ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)",           "ﾀﾞｳﾝﾛｰﾄﾞ想定2 (2048バイト連続)",
    "ﾀﾞｳﾝﾛｰﾄﾞ想定3 (1024バイト連続)",           "ﾌﾞﾗｳｼﾞﾝｸﾞ想定1 (2048バイト近傍の乱数）",
    "ﾌﾞﾗｳｼﾞﾝｸﾞ想定2 (1024バイト近傍の乱数）",   "チャット想定　　　(4～64バイトの乱数)",
    "ﾗﾝﾀﾞﾑ　　　　　  (64～4096バイトの乱数）", "限界調査1      ( 8KB 連続送受信)",
    "限界調査2      (16KB 連続送受信)",         "限界調査3      (32KB 連続送受信)",
    "限界調査4      (64KB 連続送受信)",
};

// The ids of the one-shot timers the controller arms through its host; the
// host hands them back to OnTimer and knows nothing else of them. 1 to 10:
// the next pattern of a sweep.
constexpr unsigned kTimerCleanup = 10000;
constexpr unsigned kTimerForcedStop = 10001;
constexpr unsigned kTimerRestoreBase = 1000;  // 1000 + p: reselect p, end the sweep

Socket MakeSocket(int protocol, int family) {
  return protocol == kUdp ? Socket::Udp(family) : Socket::Tcp(family);
}

}  // namespace

std::string_view PatternEntryText(int pattern) {
  return pattern >= 0 && pattern < kPatternCount ? kPatternEntries[pattern] : std::string_view();
}

ClientController::ClientController(ClientHost& host, const ClientTiming& timing)
    : m_host(host), m_timing(timing), m_pfnSocket(&MakeSocket), m_pfnThread(&StartThread) {}

ClientController::~ClientController() {
  for (auto& run : m_runs) run->Abandon();
  for (auto& run : m_runs) run->Join();
  m_host.DropQueued();
}

void ClientController::SetMeasuring(int state) {
  m_bMeasuring = state != 0;
  m_host.SetMeasuringState(state);
}

void ClientController::Reap() {
  for (auto it = m_runs.begin(); it != m_runs.end();) {
    MeasureRun* run = it->get();
    if (run != m_pWorker && run->Reapable()) {
      run->Join();
      it = m_runs.erase(it);
    } else {
      ++it;
    }
  }
}

void ClientController::Start(const MeasureSettings& settings) {
  // The user's start begins afresh: a sweep it begins returns to this
  // pattern, whatever an earlier run left in m_nSweepStart, and a reselection
  // still pending from an earlier sweep no longer applies.
  m_nPendingRestore = 0;
  m_bForcedStopArmed = false;  // it was for a run that has ended
  m_nNextRunIndex = 0;
  m_settings = settings;
  m_settings.intervalMs = std::clamp(settings.intervalMs, kMinIntervalMs, kMaxIntervalMs);
  if (m_settings.protocol != kUdp) m_settings.udpTimeoutMs = 0;
  Reap();
  m_host.OnMeasureStart(m_settings);
  StartRun(true);
}

void ClientController::ArmRestore() {
  m_nPendingRestore = static_cast<unsigned>(static_cast<int>(kTimerRestoreBase) + m_nSweepStart);
  m_host.ArmTimer(m_nPendingRestore, m_timing.sweepRestoreDelayMs);
}

std::string ClientController::HeaderLine(const Endpoint& server) const {
  char header[256];
  std::snprintf(header, sizeof header, text::kHeaderLine,
                m_settings.protocol == kUdp ? "UDP" : "TCP", server.AddressText().c_str(),
                std::string(PatternEntryText(m_settings.pattern)).c_str());
  return header;
}

void ClientController::StartRun(bool byUser) {
  Reap();
  m_host.SetProgress(0);
  SetMeasuring(1);
  const int runIndex = m_nNextRunIndex++;

  Endpoint server;
  Socket sock = ConnectEarlier(&server);
  const bool connected = sock.Valid();
  if (!connected) sock = m_pfnSocket(m_settings.protocol, server.Family());
  if (!sock) {
    char line[80];
    std::snprintf(line, sizeof line, text::kSocketFailed, errno);
    m_strReport = line;  // replaces the whole report
    FailStart(byUser, runIndex, RunEndKind::kFailed, line, line, RunOutcome::kSocketFailed);
    return;
  }
  if (m_settings.protocol == kTcp && !connected) SetSocketOption(sock.Fd(), SO_KEEPALIVE, 1);

  std::string runText = HeaderLine(server);
  m_strReport += runText;
  ShowReport();
  m_host.Repaint();
  if (byUser || m_nSweepStart == -1) m_nSweepStart = m_settings.pattern;
  if (!connected && !ConnectOrFail(byUser, runIndex, sock, server, runText)) return;
  LaunchRun(byUser, runIndex, std::move(sock), std::move(runText));
}

bool ClientController::ConnectOrFail(bool byUser, int runIndex, Socket& sock,
                                     const Endpoint& server, const std::string& runText) {
  // The owner's thread waits here until the system answers.
  const int err = m_host.Connect(sock.Fd(), server);
  if (err == 0) return true;
  char line[160];
  if (err == ETIMEDOUT) {
    std::snprintf(line, sizeof line, "%s", text::kTimeout);
  } else if (err == ECONNREFUSED) {
    std::snprintf(line, sizeof line, "%s", text::kRefused);
  } else {
    std::snprintf(line, sizeof line, text::kConnectFailed, err);
  }
  m_strReport += line;
  sock.Shutdown();
  sock.Reset();
  FailStart(byUser, runIndex, RunEndKind::kConnectFailed, line, runText + line,
            RunOutcome::kConnectFailed);
  return false;
}

void ClientController::LaunchRun(bool byUser, int runIndex, Socket sock, std::string runText) {
  m_nAlive.store(0);
  for (auto& run : m_runs) run->StopWatchdog();
  if (m_pWorker && m_pWorker->m_eState == RunState::kPaused) m_pWorker->m_eState = RunState::kEnded;
  auto run = std::make_unique<MeasureRun>(*this, m_host, std::move(sock), m_settings, m_timing);
  run->m_nRunIndex = runIndex;
  run->m_strRunText = std::move(runText);
  run->m_sums.pattern = m_settings.pattern;
  run->m_sums.protocol = m_settings.protocol;
  if (!run->Start(m_pfnThread)) {
    // No thread, no run: the socket closes with the run object, the report
    // says why, and the owner is idle again.
    m_pWorker = nullptr;
    m_strReport += text::kNoWorker;
    FailStart(byUser, runIndex, RunEndKind::kFailed, text::kNoWorker,
              run->m_strRunText + text::kNoWorker, RunOutcome::kNoWorker);
    return;
  }
  m_pWorker = run.get();
  m_runs.push_back(std::move(run));
}

Socket ClientController::ConnectEarlier(Endpoint* server) {
  const std::vector<Endpoint>& addresses = m_settings.servers;
  if (addresses.empty()) {
    *server = Endpoint::Ipv4(0x7F000001, kDefaultPort);
    return {};
  }
  const bool tcp = m_settings.protocol == kTcp;
  *server = tcp ? addresses.back() : addresses.front();
  if (!tcp) return {};
  for (size_t i = 0; i + 1 < addresses.size(); ++i) {
    Socket sock = m_pfnSocket(kTcp, addresses[i].Family());
    if (!sock) continue;
    SetSocketOption(sock.Fd(), SO_KEEPALIVE, 1);
    if (m_host.Connect(sock.Fd(), addresses[i]) == 0) {
      *server = addresses[i];
      return sock;
    }
  }
  return {};
}

void ClientController::FailStart(bool byUser, int runIndex, RunEndKind kind,
                                 std::string_view failure, std::string text, RunOutcome outcome) {
  ShowReport();
  SetMeasuring(0);
  // A sweep step that could not start ends the sweep: the run held through
  // the pause is let go, and the pattern at which the sweep began is
  // selected again, as after its last run.
  if (m_pWorker && m_pWorker->m_eState == RunState::kPaused) m_pWorker->m_eState = RunState::kEnded;
  m_pWorker = nullptr;
  if (!byUser && m_nSweepStart >= 0) ArmRestore();
  EndRunWithoutData(runIndex, kind, failure, std::move(text));
  m_host.NoteOutcome(outcome);
}

void ClientController::OnAbort() {
  if (!m_bMeasuring) return;  // nothing to abort; a stale flag would stop the next run
  m_bAbort.store(1);
  m_host.SetElapsedText(text::kAborting);
  m_host.DisableAbort();
  if (m_pWorker && m_pWorker->m_eState == RunState::kPaused) {
    // Between two runs of a sweep there is nothing to wait for: end the sweep now.
    EndSweepPause();
    return;
  }
  if (m_bForcedStopArmed) {
    // Asked again while the first request is pending: no more waiting.
    ForceStop();
    return;
  }
  m_bForcedStopArmed = true;
  m_host.ArmTimer(kTimerForcedStop, m_timing.forcedStopDelayMs);
}

void ClientController::ForceStop() {
  m_bForcedStopArmed = false;
  if (!m_pWorker || m_pWorker->m_eState != RunState::kRunning) return;
  m_pWorker->Abandon();
  MeasureRun& run = *m_pWorker;
  m_pWorker = nullptr;
  SetMeasuring(0);
  m_host.SetElapsedText("");
  m_host.SetProgress(0);
  m_bAbort.store(0);
  m_host.Repaint();
  EndRunFromIntervals(run, RunEndKind::kAborted, {});
  m_host.NoteOutcome(RunOutcome::kForcedStop);
  ArmCleanup();
}

void ClientController::OnClear() {
  m_strReport.clear();
  m_host.SetElapsedText("");
  ShowReport();
}

void ClientController::OnTimer(unsigned id) {
  if (id <= 10) {
    if (id == 0 || id != m_nPendingStep) return;  // a step that was cancelled
    m_nPendingStep = 0;
    m_settings.pattern = static_cast<int>(id);
    m_host.SelectPattern(m_settings.pattern);
    ShowReport();
    StartRun(false);
  } else if (id == kTimerCleanup) {
    m_bCleanupArmed = false;
    for (auto& run : m_runs)
      if (run->m_eState != RunState::kRunning) run->StopWatchdog();
    if (m_pWorker &&
        (m_pWorker->m_eState == RunState::kEnded || m_pWorker->m_eState == RunState::kAbandoned))
      m_pWorker = nullptr;
    Reap();
  } else if (id == kTimerForcedStop) {
    if (m_bForcedStopArmed) ForceStop();
  } else if (id >= kTimerRestoreBase) {
    if (id != m_nPendingRestore) return;  // its sweep was followed by a new start
    m_nPendingRestore = 0;
    m_host.SelectPattern(static_cast<int>(id - kTimerRestoreBase));
    ShowReport();
    m_nSweepStart = -1;
  }
}

void ClientController::ArmCleanup() {
  m_bCleanupArmed = true;
  m_host.ArmTimer(kTimerCleanup, m_timing.cleanupDelayMs);
}

void ClientController::Shutdown() {
  for (auto& run : m_runs) run->Abandon();
  m_pWorker = nullptr;
  m_nPendingStep = 0;
  m_nPendingRestore = 0;
  m_bForcedStopArmed = false;
}

void ClientController::FinishIdle() {
  SetMeasuring(0);
  m_host.SetElapsedText("");
  m_host.SetProgress(0);
  m_bAbort.store(0);
  m_host.Repaint();
  ArmCleanup();
  if (m_pWorker && m_pWorker->m_eState != RunState::kRunning) m_pWorker = nullptr;
}

void ClientController::EndSweepPause() {
  m_host.OnSweepAborted(m_nNextRunIndex, static_cast<int>(m_nPendingStep));
  m_nPendingStep = 0;
  m_pWorker->m_eState = RunState::kEnded;
  if (m_nSweepStart >= 0) m_host.SelectPattern(m_nSweepStart);
  m_nSweepStart = -1;
  ShowReport();
  FinishIdle();
}

void ClientController::OnRunDisplay(MeasureRun& run) {
  int progress = 0;
  const int64_t seconds = run.TakeDisplay(&progress);
  if (run.m_eState != RunState::kRunning) return;
  if (seconds != run.m_nShownSeconds) {
    run.m_nShownSeconds = seconds;
    const ElapsedSplit e = SplitSeconds(seconds);
    char text[64];
    FormatElapsed(text, sizeof text, e.days, e.hours, e.minutes, e.seconds);
    m_host.SetElapsedText(text);
  }
  m_host.SetProgress(progress);
}

void ClientController::OnRunRecvError(MeasureRun& run, std::string_view text) {
  if (run.m_eState == RunState::kRunning) m_host.ShowRecvError(text);
}

void ClientController::OnWatchdogFired(MeasureRun& run) {
  if (run.m_eState != RunState::kRunning) return;
  run.Abandon();  // the run may stay blocked no longer, and says nothing more
  SetMeasuring(0);
  m_host.SetElapsedText("");
  m_host.SetProgress(0);
  m_bAbort.store(0);
  m_strReport += text::kWatchdog;
  run.m_strRunText += text::kWatchdog;
  ShowReport();
  m_host.Repaint();
  ArmCleanup();
  EndRunFromIntervals(run, RunEndKind::kWatchdog, text::kWatchdog);
  m_host.NoteOutcome(RunOutcome::kWatchdogTimeout);
}

void ClientController::OnRunInterval(MeasureRun& run, IntervalData& data, const RttHistogram* rtt) {
  if (run.m_eState != RunState::kRunning) return;
  data.run = run.m_nRunIndex;
  IntervalData& sums = run.m_sums;
  sums.endMs = data.endMs;
  sums.bytesReceived += data.bytesReceived;
  sums.bytesSent += data.bytesSent;
  sums.chunks += data.chunks;
  sums.requests += data.requests;
  sums.lost += data.lost;
  sums.late += data.late;
  if (rtt) {
    if (!run.m_pRunRtt) run.m_pRunRtt = std::make_unique<RttHistogram>();
    run.m_pRunRtt->Merge(*rtt);
    data.rtt = rtt->Summary();
  }
  m_host.OnInterval(data);
  if (rtt) m_host.OnIntervalRtt(*rtt);
}

void ClientController::OnRunFinished(MeasureRun& run, std::string_view report, RunOutcome outcome,
                                     RunEndData&& end) {
  if (run.m_eState != RunState::kRunning) return;
  // The run has shut its socket down and detached it from its stop signal
  // before it posted this.
  run.ReleaseSharedSocket();
  m_strReport += report;
  run.m_strRunText += report;
  ShowReport();
  end.run = run.m_nRunIndex;
  end.pattern = run.Config().pattern;
  end.protocol = run.Config().protocol;
  if (run.m_pRunRtt) end.rtt = run.m_pRunRtt->Summary();
  end.report = std::move(run.m_strRunText);
  m_host.OnRunEnd(end);
  m_host.NoteOutcome(outcome);
  HandOver(run, outcome);
}

void ClientController::EndRunWithoutData(int index, RunEndKind kind, std::string_view failure,
                                         std::string text) {
  RunEndData end;
  end.run = index;
  end.pattern = m_settings.pattern;
  end.protocol = m_settings.protocol;
  end.outcome = kind;
  end.failure = FailureText(failure);
  end.report = std::move(text);
  m_host.OnRunEnd(end);
}

void ClientController::EndRunFromIntervals(MeasureRun& run, RunEndKind kind,
                                           std::string_view failure) {
  const IntervalData& sums = run.m_sums;
  RunEndData end;
  end.run = run.m_nRunIndex;
  end.pattern = run.Config().pattern;
  end.protocol = run.Config().protocol;
  end.outcome = kind;
  end.failure = FailureText(failure);
  end.dataPhase = sums.endMs > 0 || sums.chunks > 0 || kind == RunEndKind::kWatchdog;
  end.elapsedMs = sums.endMs;
  end.bytesReceived = sums.bytesReceived;
  end.bytesSent = sums.bytesSent;
  end.chunksReceived = sums.chunks;
  end.requestsSent = sums.requests;
  end.countsLoss = run.Config().udpTimeoutMs > 0;
  end.lost = sums.lost;
  end.late = sums.late;
  if (run.m_pRunRtt) end.rtt = run.m_pRunRtt->Summary();
  end.report = std::move(run.m_strRunText);
  m_host.OnRunEnd(end);
}

void ClientController::HandOver(MeasureRun& run, RunOutcome outcome) {
  const MeasureSettings& config = run.Config();
  run.m_eState = RunState::kEnded;
  if (outcome == RunOutcome::kNegotiationFailed || config.duration != Duration::kSweep) {
    FinishIdle();
  } else if (m_bAbort.load()) {
    if (m_nSweepStart >= 0) ArmRestore();
    FinishIdle();
  } else if (config.pattern < 10) {
    run.m_eState = RunState::kPaused;
    m_host.SetElapsedText(text::kWaitNext);
    m_nPendingStep = static_cast<unsigned>(config.pattern + 1);
    m_host.ArmTimer(m_nPendingStep, m_timing.sweepNextDelayMs);
    m_host.SetProgress(0);
    m_host.Repaint();
  } else {
    ArmRestore();
    FinishIdle();
  }
}

}  // namespace quarvent
