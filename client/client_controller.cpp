#include "client/client_controller.h"

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
// host hands them back to OnTimer and knows nothing else of them. What a
// timer is for is the measurement's named state, not its id.
constexpr unsigned kTimerSweepStep = 1;   // the next run of a sweep
constexpr unsigned kTimerRestore = 2;     // reselect the sweep's first pattern
constexpr unsigned kTimerForcedStop = 3;  // stop a run that ignores the abort

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
  for (auto& run : m_runs) run->Stop();
  for (auto& run : m_runs) run->Join();
  m_host.DropQueued();
}

void ClientController::SetMeasuring(int state) {
  if (state == 0) m_eState = State::kIdle;
  if (state == 1) m_eState = State::kRunning;
  m_host.SetMeasuringState(state);
}

void ClientController::Start(const MeasureSettings& settings) {
  // The user's start begins afresh: a sweep it begins returns to this
  // pattern, whatever an earlier run left in m_nSweepStart, and a reselection
  // still pending from an earlier sweep no longer applies.
  m_nRestorePattern = -1;
  m_bForcedStopArmed = false;  // it was for a run that has ended
  m_nNextRunIndex = 0;
  m_settings = settings;
  m_settings.intervalMs = std::clamp(settings.intervalMs, kMinIntervalMs, kMaxIntervalMs);
  if (m_settings.protocol != kUdp) m_settings.udpTimeoutMs = 0;
  m_host.OnMeasureStart(m_settings);
  StartRun(true);
}

void ClientController::ArmRestore() {
  m_nRestorePattern = m_nSweepStart;
  m_host.ArmTimer(kTimerRestore, m_timing.sweepRestoreDelayMs);
}

void ClientController::StartRun(bool byUser) {
  m_host.SetProgress(0);
  SetMeasuring(1);
  m_run = RunRecord{};
  m_run.index = m_nNextRunIndex++;
  m_run.byUser = byUser;
  m_run.sums.pattern = m_settings.pattern;
  m_run.sums.protocol = m_settings.protocol;

  // The address tried as a single address is: over TCP the last (the run
  // tries the others before it without a word), over UDP the first.
  const std::vector<Endpoint>& addresses = m_settings.servers;
  const bool tcp = m_settings.protocol == kTcp;
  const Endpoint server = addresses.empty() ? Endpoint::Ipv4(0x7F000001, kDefaultPort)
                          : tcp             ? addresses.back()
                                            : addresses.front();
  Socket sock = m_pfnSocket(m_settings.protocol, server.Family());
  if (!sock) {
    char line[80];
    std::snprintf(line, sizeof line, text::kSocketFailed, errno);
    m_strReport = line;  // replaces the whole report
    FailStart(RunEndKind::kFailed, line, RunOutcome::kSocketFailed);
    return;
  }
  if (tcp) SetSocketOption(sock.Fd(), SO_KEEPALIVE, 1);
  if (byUser || m_nSweepStart == -1) m_nSweepStart = m_settings.pattern;
  // With several addresses the header names the one that connects, which
  // the run tells once it knows.
  if (!tcp || addresses.size() <= 1) OnRunHeader(server);
  LaunchRun(std::move(sock), server);
}

void ClientController::OnRunHeader(const Endpoint& server) {
  char header[256];
  std::snprintf(header, sizeof header, text::kHeaderLine,
                m_settings.protocol == kUdp ? "UDP" : "TCP", server.AddressText().c_str(),
                std::string(PatternEntryText(m_settings.pattern)).c_str());
  m_strReport += header;
  m_run.text += header;
  ShowReport();
  m_host.Repaint();
}

void ClientController::LaunchRun(Socket sock, const Endpoint& server) {
  m_nAlive.store(0);
  const RunConnector connector{false, m_pfnSocket, m_pfnConnect, server};
  auto run = std::make_unique<MeasureRun>(*this, m_host, std::move(sock), m_settings, m_timing,
                                          ++m_nGeneration, connector);
  // Current before its thread starts: its first posts apply.
  m_pWorker = run.get();
  if (!run->Start(m_pfnThread)) {
    // No thread, no run: the socket closes with the run object, the report
    // says why, and the owner is idle again.
    m_pWorker = nullptr;
    m_strReport += text::kNoWorker;
    FailStart(RunEndKind::kFailed, text::kNoWorker, RunOutcome::kNoWorker);
    return;
  }
  m_runs.push_back(std::move(run));
}

void ClientController::FailStart(RunEndKind kind, std::string_view failure, RunOutcome outcome) {
  m_run.text += failure;
  ShowReport();
  SetMeasuring(0);
  // An abort while the run was connecting finds nothing more to stop.
  m_bForcedStopArmed = false;
  if (m_bAbort.exchange(0) != 0) m_host.SetElapsedText("");
  // A sweep step that could not start ends the sweep: the run held through
  // the pause is let go, and the pattern at which the sweep began is
  // selected again, as after its last run.
  m_pWorker = nullptr;
  if (!m_run.byUser && m_nSweepStart >= 0) ArmRestore();
  EndRun(kind, failure);
  m_host.NoteOutcome(outcome);
}

void ClientController::OnAbort() {
  if (!Measuring()) return;  // nothing to abort; a stale flag would stop the next run
  m_bAbort.store(1);
  m_host.SetElapsedText(text::kAborting);
  m_host.DisableAbort();
  if (m_eState == State::kSweepPause) {
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

void ClientController::StopCurrent() {
  m_pWorker->Stop();
  m_pWorker = nullptr;
  ++m_nGeneration;
}

void ClientController::ForceStop() {
  m_bForcedStopArmed = false;
  if (!m_pWorker) return;
  StopCurrent();
  FinishIdle();
  EndRun(RunEndKind::kAborted, {});
  m_host.NoteOutcome(RunOutcome::kForcedStop);
}

void ClientController::OnClear() {
  m_strReport.clear();
  m_host.SetElapsedText("");
  ShowReport();
}

void ClientController::OnTimer(unsigned id) {
  if (id == kTimerSweepStep) {
    if (m_eState != State::kSweepPause) return;  // the sweep was ended in its pause
    m_settings.pattern = m_nNextPattern;
    m_nNextPattern = -1;
    m_host.SelectPattern(m_settings.pattern);
    ShowReport();
    StartRun(false);
  } else if (id == kTimerForcedStop) {
    if (m_bForcedStopArmed) ForceStop();
  } else if (id == kTimerRestore) {
    if (m_nRestorePattern < 0) return;  // its sweep was followed by a new start
    m_host.SelectPattern(m_nRestorePattern);
    m_nRestorePattern = -1;
    ShowReport();
    m_nSweepStart = -1;
  }
}

void ClientController::Shutdown() {
  for (auto& run : m_runs) run->Stop();
  m_pWorker = nullptr;
  ++m_nGeneration;
  m_eState = State::kIdle;
  m_nNextPattern = -1;
  m_nRestorePattern = -1;
  m_bForcedStopArmed = false;
}

void ClientController::FinishIdle() {
  SetMeasuring(0);
  m_host.SetElapsedText("");
  m_host.SetProgress(0);
  m_bAbort.store(0);
  m_host.Repaint();
}

void ClientController::EndSweepPause() {
  m_host.OnSweepAborted(m_nNextRunIndex, m_nNextPattern);
  m_nNextPattern = -1;
  if (m_nSweepStart >= 0) m_host.SelectPattern(m_nSweepStart);
  m_nSweepStart = -1;
  ShowReport();
  FinishIdle();
}

void ClientController::OnRunDisplay(MeasureRun& run) {
  int progress = 0;
  const int64_t seconds = run.TakeDisplay(&progress);
  if (seconds != m_run.shownSeconds) {
    m_run.shownSeconds = seconds;
    const ElapsedSplit e = SplitSeconds(seconds);
    char text[64];
    FormatElapsed(text, sizeof text, e.days, e.hours, e.minutes, e.seconds);
    m_host.SetElapsedText(text);
  }
  m_host.SetProgress(progress);
}

void ClientController::OnWatchdogFired() {
  StopCurrent();  // the run may stay blocked no longer, and says nothing more
  FinishIdle();
  m_strReport += text::kWatchdog;
  m_run.text += text::kWatchdog;
  ShowReport();
  EndRun(RunEndKind::kWatchdog, text::kWatchdog);
  m_host.NoteOutcome(RunOutcome::kWatchdogTimeout);
}

void ClientController::OnRunInterval(IntervalData& data, const RttHistogram* rtt) {
  data.run = m_run.index;
  IntervalData& sums = m_run.sums;
  sums.endMs = data.endMs;
  sums.bytesReceived += data.bytesReceived;
  sums.bytesSent += data.bytesSent;
  sums.chunks += data.chunks;
  sums.requests += data.requests;
  sums.lost += data.lost;
  sums.late += data.late;
  if (rtt) {
    if (!m_run.rtt) m_run.rtt = std::make_unique<RttHistogram>();
    m_run.rtt->Merge(*rtt);
    data.rtt = rtt->Summary();
  }
  m_host.OnInterval(data);
  if (rtt) m_host.OnIntervalRtt(*rtt);
}

void ClientController::OnRunFinished(MeasureRun& run, std::string_view report, RunOutcome outcome,
                                     RunEndData&& end) {
  const bool current = IsCurrent(run.Generation());
  // Nothing of the run is still queued: its thread is returning, and its
  // socket closes with it.
  if (current) m_pWorker = nullptr;
  run.Join();
  std::erase_if(m_runs, [&](const std::unique_ptr<MeasureRun>& r) { return r.get() == &run; });
  if (!current) return;  // stopped before: it has said all it had to say
  m_strReport += report;
  if (outcome == RunOutcome::kConnectFailed) {
    FailStart(RunEndKind::kConnectFailed, report, outcome);
    return;
  }
  m_run.text += report;
  ShowReport();
  end.run = m_run.index;
  end.pattern = m_settings.pattern;
  end.protocol = m_settings.protocol;
  if (m_run.rtt) end.rtt = m_run.rtt->Summary();
  end.report = std::move(m_run.text);
  m_host.OnRunEnd(end);
  m_host.NoteOutcome(outcome);
  HandOver(outcome);
}

void ClientController::EndRun(RunEndKind kind, std::string_view failure) {
  const IntervalData& sums = m_run.sums;
  RunEndData end;
  end.run = m_run.index;
  end.pattern = m_settings.pattern;
  end.protocol = m_settings.protocol;
  end.outcome = kind;
  end.failure = FailureText(failure);
  end.dataPhase = sums.endMs > 0 || sums.chunks > 0 || kind == RunEndKind::kWatchdog;
  end.elapsedMs = sums.endMs;
  end.bytesReceived = sums.bytesReceived;
  end.bytesSent = sums.bytesSent;
  end.chunksReceived = sums.chunks;
  end.requestsSent = sums.requests;
  end.countsLoss = m_settings.udpTimeoutMs > 0 &&
                   (kind == RunEndKind::kAborted || kind == RunEndKind::kWatchdog);
  end.lost = sums.lost;
  end.late = sums.late;
  if (m_run.rtt) end.rtt = m_run.rtt->Summary();
  end.report = std::move(m_run.text);
  m_host.OnRunEnd(end);
}

void ClientController::HandOver(RunOutcome outcome) {
  const MeasureSettings& config = m_settings;
  if (outcome == RunOutcome::kNegotiationFailed || config.duration != Duration::kSweep) {
    FinishIdle();
  } else if (m_bAbort.load()) {
    if (m_nSweepStart >= 0) ArmRestore();
    FinishIdle();
  } else if (config.pattern < 10) {
    m_eState = State::kSweepPause;
    m_host.SetElapsedText(text::kWaitNext);
    m_nNextPattern = config.pattern + 1;
    m_host.ArmTimer(kTimerSweepStep, m_timing.sweepNextDelayMs);
    m_host.SetProgress(0);
    m_host.Repaint();
  } else {
    ArmRestore();
    FinishIdle();
  }
}

}  // namespace quarvent
