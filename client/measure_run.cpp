#include "client/measure_run.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "client/chunk_receive.h"
#include "client/client_controller.h"
#include "client/cpu_times.h"
#include "client/elapsed.h"
#include "client/run_report.h"
#include "client/texts.h"
#include "common/fd_table.h"
#include "common/sys_ops.h"

namespace quarvent {
namespace {

constexpr uint32_t kPassLimit = 0xFFFFFFFFu;
constexpr int64_t kByteLimit = 0x7FFFFFFFFFFEFFFFLL;  // 2^63 - 65,537
// The progress bar is handed to the owner once per this many milliseconds (and
// whenever the whole seconds change): ten moves a second look smooth, and
// every hand-over wakes the owner's thread, which shares the run's core (two
// context switches each) when the run is pinned or the machine busy.
constexpr int kProgressStepMs = 100;

// Liveness: 1, 2, ..., 2^31, 1, ... never 0 once the loop has begun.
inline void Beat(std::atomic<int>& alive) {
  uint32_t now = static_cast<uint32_t>(alive.load(std::memory_order_relaxed));
  if (now > 0x7FFFFFFFu) now = 0;
  alive.store(static_cast<int>(now + 1), std::memory_order_relaxed);
}

// A chunk of length bytes has come; true when the run has reached a counting limit.
inline bool CountChunk(int32_t length, RunStats* stats) {
  if (length < stats->recvMin) stats->recvMin = length;
  if (length > stats->recvMax) stats->recvMax = length;
  return ++stats->passes == kPassLimit || stats->received >= kByteLimit;
}

}  // namespace

bool StartThread(std::thread* thread, std::function<void()> body) {
  try {
    *thread = std::thread(std::move(body));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

MeasureRun::MeasureRun(ClientController& owner, ClientHost& host, Socket sock,
                       const MeasureSettings& config, const ClientTiming& timing,
                       unsigned generation, const RunConnector& connector)
    : m_owner(owner),
      m_host(host),
      m_sock(std::move(sock)),
      m_config(config),
      m_timing(timing),
      m_nGeneration(generation),
      m_connector(connector) {
  m_stop.Attach(m_sock.Fd());
}

MeasureRun::~MeasureRun() {
  Stop();
  Join();
}

bool MeasureRun::Start(bool (*makeThread)(std::thread*, std::function<void()>)) {
  return makeThread(&m_thread, [this] { MeasureThread(); });
}

void MeasureRun::Stop() {
  m_watchdogStop.Stop();
  m_stop.Stop();
}

void MeasureRun::Join() {
  if (m_thread.joinable()) m_thread.join();
}

int64_t MeasureRun::TakeDisplay(int* progress) noexcept {
  m_bDisplayPending.exchange(false, std::memory_order_acq_rel);
  *progress = m_nDisplayProgress.load(std::memory_order_relaxed);
  return m_nDisplaySeconds.load(std::memory_order_relaxed);
}

template <class F>
void MeasureRun::PostToOwner(F&& task) {
  // The run object outlives the task: the owner destroys it only on the
  // run's last post, which comes after this one.
  m_host.Post([this, fn = std::forward<F>(task)]() mutable {
    if (m_owner.IsCurrent(m_nGeneration)) fn();
  });
}

void MeasureRun::SetPhase(SessionPhase phase) {
  m_ePhase = phase;
  PostToOwner([this, phase] { m_host.OnPhase(phase); });
}

void MeasureRun::PostHeader(const Endpoint& server) {
  PostToOwner([this, server] { m_owner.OnRunHeader(server); });
}

void MeasureRun::NotifyRecvError(std::string_view text) {
  // A wait that the negotiation's time limit ended is told as the
  // negotiation's failure, not as a receive error.
  if (m_bNegotiationLimited && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  m_bRecvErrorAcked.store(false, std::memory_order_relaxed);
  PostToOwner([this, notice = std::string(text)] {
    m_host.ShowRecvError(notice);
    m_bRecvErrorAcked.store(true, std::memory_order_release);
    m_stop.Wake();
  });
  // Like a modal box: the run goes on once the notice has been acknowledged,
  // or at once when it is being stopped (a run that is no longer the owner's
  // current one has been stopped).
  const auto acked = [this] { return m_bRecvErrorAcked.load(std::memory_order_acquire); };
  while (!m_stop.WaitFor(std::chrono::seconds(1), acked) && !acked()) {
  }
}

void MeasureRun::PublishDisplay(int64_t seconds, int progress) noexcept {
  m_nDisplaySeconds.store(seconds, std::memory_order_relaxed);
  m_nDisplayProgress.store(progress, std::memory_order_relaxed);
  if (!m_bDisplayPending.exchange(true, std::memory_order_acq_rel))
    PostToOwner([this] { m_owner.OnRunDisplay(*this); });
}

void MeasureRun::CloseSocket(bool sendEndMarker) noexcept {
  const int fd = m_sock.Fd();
  if (sendEndMarker) {
    PutLengthWord(m_buf, kEndMarker);
    sys::Send(fd, m_buf, 4);
  }
  SetPhase(SessionPhase::kClosing);
  m_sock.Shutdown();
  m_stop.Detach(fd);
  m_sock.Reset();
}

void MeasureRun::MeasureThread() {
  ScopedRecvErrorSink sink(this);
  std::string report = Connect();
  RunOutcome outcome = RunOutcome::kConnectFailed;
  RunEndData end;
  if (report.empty()) {
    SetPhase(SessionPhase::kNegotiating);
    report = Negotiate();
    outcome = RunOutcome::kNegotiationFailed;
  }
  if (outcome == RunOutcome::kConnectFailed) {
    CloseSocket(false);
  } else if (report.empty()) {
    report = MeasureAndReport(&outcome, &end);
  } else {
    CloseSocket(false);
    end.outcome = RunEndKind::kNegotiationFailed;
    end.failure = FailureText(report);
  }
  // The last post, whether or not the run is still the current one: the
  // owner joins the run on it.
  m_host.Post([this, text = std::move(report), outcome, data = std::move(end)]() mutable {
    m_owner.OnRunFinished(*this, text, outcome, std::move(data));
  });
}

void MeasureRun::HandOverInterval(int64_t fromMs, int64_t toMs, const RunStats& stats,
                                  RunStats* base) {
  IntervalData data;
  data.pattern = m_config.pattern;
  data.protocol = m_config.protocol;
  data.startMs = fromMs;
  data.endMs = toMs;
  data.bytesReceived = stats.received - base->received;
  data.bytesSent = stats.sent - base->sent;
  data.chunks = stats.passes - base->passes;
  data.requests = stats.requests - base->requests;
  data.lost = stats.lost - base->lost;
  data.late = stats.late - base->late;
  data.countsLoss = stats.countsLoss;
  *base = stats;
  // The interval's round trips go with it, and the next interval gets a fresh
  // histogram: one allocation per interval that had round trips, none per pass.
  std::shared_ptr<RttHistogram> rtt;
  if (m_pIntervalRtt->Count() != 0) {
    rtt = std::move(m_pIntervalRtt);
    m_pIntervalRtt = std::make_shared<RttHistogram>();
  }
  PostToOwner(
      [this, data, rtt = std::move(rtt)]() mutable { m_owner.OnRunInterval(data, rtt.get()); });
}

const char* MeasureRun::ReceiveAnswer(int fd, int64_t tag, int32_t* length, RunStats* stats,
                                      bool* timedOut) {
  // Bounded: each late chunk takes its tag out of the lost ones.
  for (;;) {
    int64_t bytes = 0, got = -1;
    const char* fail = ReceiveUdpChunkTimed(fd, m_buf, length, &bytes, timedOut, &got);
    if (fail || *timedOut) return fail;
    // A tag that no request sent so far carried: a server that does not
    // answer from the request's bytes; pair by order then.
    if (tag < 0 || got < 0 || got == tag || got > tag) {
      stats->received += bytes;
      return nullptr;
    }
    // An earlier request's chunk: late if that request was counted lost,
    // else a second answer to it; neither answers this request.
    if (m_lostTags.Take(static_cast<uint32_t>(got))) ++stats->late;
    stats->lateBytes += bytes;
  }
}

std::string MeasureRun::MeasureAndReport(RunOutcome* outcome, RunEndData* end) {
  // Preparation of the data phase.
  m_rng.SeedFromTime();
  m_pIntervalRtt = std::make_shared<RttHistogram>();
  FillTransferBuffer(m_buf);
  m_owner.m_nAlive.store(0, std::memory_order_relaxed);
  try {
    m_watchdog = std::thread([this] { WatchdogThread(); });
  } catch (const std::system_error&) {
    // Without a watchdog the run still measures; only a stall goes unnoticed.
  }
  // The data phase in a descriptor table of the run's own: on a stream of
  // 1 KiB chunks the shared table cost 5 to 8 % of the throughput. The
  // watchdog, started before, stays in the shared table.
  if (TakeOwnDescriptorTable(m_sock.Fd())) m_sharedCopy = Socket(m_sock.Fd());
  RunStats stats;
  // UDP with a receive timeout: a chunk that does not come in time is lost,
  // and a server that answers nothing for a while ends the run.
  stats.countsLoss = m_config.protocol == kUdp && m_config.udpTimeoutMs > 0;
  if (stats.countsLoss) {
    timeval tv{m_config.udpTimeoutMs / 1000, (m_config.udpTimeoutMs % 1000) * 1000};
    ::setsockopt(m_sock.Fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  CpuTimes cpuBase{};
  const bool cpu = GetOsFamily() == 3 && ReadProcessCpuTimes(&cpuBase);
  SetPhase(SessionPhase::kRunning);
  const PhaseEnd phase = RunDataPhase(&stats);
  SetPhase(SessionPhase::kReporting);
  std::string report = ReportLines(phase, stats, outcome, end);
  FillRunEnd(phase, stats, end);
  // Closing.
  m_watchdogStop.Stop();
  if (m_watchdog.joinable()) m_watchdog.join();
  CloseSocket(!m_stop.Stopped());
  CpuTimes cpuNow{};
  const bool cpuRead = cpu && ReadProcessCpuTimes(&cpuNow);
  AppendClosingLines(&report, stats, cpuRead ? &cpuBase : nullptr, cpuRead ? &cpuNow : nullptr);
  if (cpuRead) {
    end->cpuValid = true;
    end->cpuKernelS = static_cast<double>(cpuNow.kernel - cpuBase.kernel) * 1e-7;
    end->cpuUserS = static_cast<double>(cpuNow.user - cpuBase.user) * 1e-7;
  }
  return report;
}

bool MeasureRun::EndRequested(PhaseEnd* phase) {
  if (m_stop.Stopped()) return true;  // stopped from outside: end quietly
  Beat(m_owner.m_nAlive);
  if (!m_owner.m_bAbort.load(std::memory_order_relaxed)) return false;
  phase->stopLine = text::kUserAbort;
  phase->lastMs = ReadClockNs() / kNsPerMs;
  return true;
}

const char* MeasureRun::ReceivePass(int fd, int64_t tag, StreamRest* rest, int32_t* length,
                                    RunStats* stats, bool* timedOut) {
  if (stats->countsLoss) [[unlikely]]
    return ReceiveAnswer(fd, tag, length, stats, timedOut);
  return ReceiveChunk(fd, m_config.protocol, m_buf, rest, length, &stats->received,
                      m_space.WordRoom());
}

MeasureRun::PhaseEnd MeasureRun::RunDataPhase(RunStats* statsOut) {
  RunStats& stats = *statsOut;
  const int fd = m_sock.Fd();
  const ClientPattern& pattern = ClientPatternFor(m_config.pattern, m_config.protocol);
  StreamRest rest(ChunkReadLimit(m_config.pattern));  // TCP: what a receive took beyond its chunk
  int requestSize = pattern.request.base;
  const int64_t limitMs = DurationLimitMs();
  IntervalClock clock;
  clock.lengthMs = clock.nextIntervalMs = m_config.intervalMs;
  PhaseEnd phase;
  const int64_t startNs = ReadClockNs();
  phase.startMs = phase.lastMs = startNs / kNsPerMs;
  int64_t lastAnswerNs = startNs;
  int untilRequest = 0;  // passes before the next request is sent
  while (!EndRequested(&phase)) {
    if (pattern.request.Random()) requestSize = pattern.request.Draw(m_rng);
    // A request on every interval-th pass, the first included. The round
    // trip of a request runs from its send to the complete receipt of the
    // chunk of the same pass.
    int64_t sentNs = -1;
    int64_t tag = -1;  // the request's tag, -1 untagged
    if (pattern.interval > 0 && --untilRequest < 0) {
      untilRequest = pattern.interval - 1;
      sentNs = SendRequest(fd, requestSize, stats.countsLoss, &stats, &tag);
    }
    int32_t length = 0;
    bool timedOut = false;
    phase.failText = ReceivePass(fd, tag, &rest, &length, &stats, &timedOut);
    if (phase.failText) break;
    const int64_t nowNs = ReadClockNs();
    phase.lastMs = nowNs / kNsPerMs;
    if (timedOut) [[unlikely]] {
      if (CountLoss(fd, tag, nowNs - lastAnswerNs, &stats)) {
        phase.stopLine = text::kNoAnswer;
        break;
      }
    } else {
      lastAnswerNs = nowNs;
      if (sentNs >= 0) m_pIntervalRtt->Record(nowNs - sentNs);
      if (CountChunk(length, &stats)) {
        phase.stopLine = text::kLimit;
        break;
      }
    }
    const int64_t elapsedMs = phase.lastMs - phase.startMs;
    if (limitMs >= 0 && elapsedMs >= limitMs) {
      PublishProgress(elapsedMs, &clock);
      break;  // the last interval ends after the loop
    }
    Tick(elapsedMs, stats, &clock);
  }
  EndLastInterval(phase.lastMs - phase.startMs, stats, &clock);
  return phase;
}

int64_t MeasureRun::SendRequest(int fd, int size, bool tagged, RunStats* stats, int64_t* tag) {
  PutLengthWord(m_buf, size);
  if (tagged && size >= kTagEnd) [[unlikely]] {
    *tag = static_cast<uint32_t>(stats->requests);
    PutTag(m_buf, static_cast<uint32_t>(*tag));
  }
  const int64_t sentNs = ReadClockNs();
  sys::Send(fd, m_buf, static_cast<size_t>(size));  // a failure shows in the receive
  stats->sent += size;
  ++stats->requests;
  if (size < stats->sendMin) stats->sendMin = size;
  if (size > stats->sendMax) stats->sendMax = size;
  return sentNs;
}

bool MeasureRun::CountLoss(int fd, int64_t tag, int64_t silentNs, RunStats* stats) {
  // Lost. What has come too late by now is taken away, so that it cannot
  // pass for the answer to the next request; what comes later still is told
  // apart by its tag.
  ++stats->lost;
  if (tag >= 0) m_lostTags.Add(static_cast<uint32_t>(tag));
  DrainLateDatagrams(fd, m_buf, &stats->late, &stats->lateBytes);
  return silentNs >= int64_t{NoAnswerLimitMs()} * kNsPerMs;
}

void MeasureRun::PublishProgress(int64_t elapsedMs, IntervalClock* clock) {
  // Every whole second is a multiple of the step, so each change of the
  // seconds is handed over too.
  if (elapsedMs < clock->nextDisplayMs) return;
  clock->nextDisplayMs = (elapsedMs / kProgressStepMs + 1) * kProgressStepMs;
  PublishDisplay(elapsedMs / 1000, static_cast<int>(elapsedMs % 1000));
}

void MeasureRun::Tick(int64_t elapsedMs, const RunStats& stats, IntervalClock* clock) {
  PublishProgress(elapsedMs, clock);
  if (elapsedMs < clock->nextIntervalMs) return;
  HandOverInterval(clock->startMs, elapsedMs, stats, &clock->base);
  clock->handedOver = true;
  clock->startMs = elapsedMs;
  // A pass that stalled over several lengths made one long interval.
  clock->nextIntervalMs = (elapsedMs / clock->lengthMs + 1) * clock->lengthMs;
}

void MeasureRun::EndLastInterval(int64_t endMs, const RunStats& stats, IntervalClock* clock) {
  // The last interval ends where the run ends; it is left out only when it
  // would be empty and another came before it.
  const RunStats& base = clock->base;
  if (!clock->handedOver || endMs > clock->startMs || stats.received != base.received ||
      stats.sent != base.sent || stats.passes != base.passes || stats.requests != base.requests ||
      m_pIntervalRtt->Count() != 0)
    HandOverInterval(clock->startMs, endMs, stats, &clock->base);
}

std::string MeasureRun::ReportLines(const PhaseEnd& phase, const RunStats& stats,
                                    RunOutcome* outcome, RunEndData* end) const {
  std::string report;
  report.reserve(1024);
  if (phase.failText) {
    report += phase.failText;
    *outcome = RunOutcome::kShortReport;
    end->outcome = RunEndKind::kFailed;
    end->failure = FailureText(phase.failText);
    return report;
  }
  const char* stopLine = phase.stopLine;
  if (stopLine) report += stopLine;
  AppendFullReport(&report, stats,
                   SplitElapsed(ToClockReading(phase.startMs), ToClockReading(phase.lastMs)));
  *outcome = stopLine == text::kNoAnswer ? RunOutcome::kNoAnswer : RunOutcome::kFullReport;
  end->outcome = stopLine == text::kUserAbort  ? RunEndKind::kAborted
                 : stopLine == text::kLimit    ? RunEndKind::kLimit
                 : stopLine == text::kNoAnswer ? RunEndKind::kNoAnswer
                                               : RunEndKind::kCompleted;
  return report;
}

void MeasureRun::FillRunEnd(const PhaseEnd& phase, const RunStats& stats, RunEndData* end) {
  end->dataPhase = true;
  end->elapsedMs = phase.lastMs - phase.startMs;
  end->bytesReceived = stats.received;
  end->bytesSent = stats.sent;
  end->chunksReceived = stats.passes;
  end->requestsSent = stats.requests;
  end->countsLoss = stats.countsLoss;
  end->lost = stats.lost;
  end->late = stats.late;
  if (stats.passes > 0) {
    end->receivedMin = stats.recvMin;
    end->receivedMax = stats.recvMax;
  }
  if (stats.requests > 0) {
    end->sentMin = stats.sendMin;
    end->sentMax = stats.sendMax;
  }
}

// With a receive timeout, one pass may wait that long for a chunk that never
// comes, and two passes in a row may lose theirs: the watchdog's period and
// the no-answer limit are at least twice the timeout, so that neither ends a
// run that only loses.
int MeasureRun::WatchdogPeriodMs() const noexcept {
  return std::max(m_timing.watchdogPeriodMs, 2 * UdpTimeoutMs());
}

int MeasureRun::NoAnswerLimitMs() const noexcept {
  return std::max(m_timing.noAnswerEndMs, 2 * UdpTimeoutMs());
}

void MeasureRun::WatchdogThread() {
  int lastSample = 0;
  while (!m_watchdogStop.WaitFor(std::chrono::milliseconds(WatchdogPeriodMs()))) {
    const int alive = m_owner.m_nAlive.load(std::memory_order_relaxed);
    if (lastSample != 0 && alive == lastSample) {
      // Not once the run has stopped its watchdog: its data phase is over.
      m_watchdogStop.IfRunning([this] { PostToOwner([this] { m_owner.OnWatchdogFired(); }); });
      return;
    }
    lastSample = alive;
  }
}

}  // namespace quarvent
