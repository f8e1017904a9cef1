#include "console/session_set.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

namespace quarvent::console {
namespace {

// Timer ids on the shared loop: a session's own ids (below 65,536) move up
// by (session + 1) << 16; the ids below 65,536 are the set's own.
constexpr unsigned kSessionShift = 16;
constexpr unsigned kOwnIdMask = (1u << kSessionShift) - 1;
constexpr unsigned kTimerNextStart = 1;

// How much nicer than the owner a session's run thread is. Hundreds of runs
// that never wait (lock-step patterns on a fast path) would otherwise share
// the processors equally with the one owner thread, which then falls behind:
// starts come seconds late and the hand-overs of their intervals pile up in
// its queue. The runs stay equal among themselves.
constexpr int kRunNice = 10;

bool StartRunThread(std::thread* thread, std::function<void()> body) {
  try {
    *thread = std::thread([body = std::move(body)] {
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kRunNice);
      body();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace

// The host of one session: no display, data to the listener, tasks and
// timers on the shared loop.
class SessionSet::Host final : public ClientHost {
 public:
  Host(SessionSet& set, int index) : m_set(set), m_nIndex(index) {}
  void OnReportText(const std::string&) override {}
  void SetElapsedText(std::string_view) override {}
  void SetProgress(int) override {}
  void SetMeasuringState(int) override {}
  void ShowRecvError(std::string_view text) override {
    std::fprintf(stderr, "session %d: %.*s\n", m_nIndex, static_cast<int>(text.size()),
                 text.data());
  }
  void NoteOutcome(RunOutcome outcome) override {
    m_set.m_listener.OnSessionOutcome(m_nIndex, outcome);
  }
  void OnInterval(const IntervalData& interval) override {
    m_set.m_listener.OnSessionInterval(m_nIndex, interval);
  }
  void OnIntervalRtt(const RttHistogram& rtt) override {
    m_set.m_listener.OnSessionRtt(m_nIndex, rtt);
  }
  void OnRunEnd(const RunEndData& end) override { m_set.m_listener.OnSessionEnd(m_nIndex, end); }
  void Post(std::function<void()> task) override { m_set.m_loop.Post(std::move(task)); }
  void ArmTimer(unsigned id, int delayMs) override {
    m_set.m_loop.ArmTimer((static_cast<unsigned>(m_nIndex) + 1) << kSessionShift | id, delayMs);
  }
  // Only called as a controller is destroyed, and the set destroys them all
  // together without running the loop again: dropping every session's
  // queued tasks then is what each of them asks for.
  void DropQueued() override { m_set.m_loop.Clear(); }

 private:
  SessionSet& m_set;
  const int m_nIndex;
};

SessionSet::SessionSet(SessionListener& listener, int staggerMs)
    : m_listener(listener), m_nStaggerMs(staggerMs) {}

SessionSet::~SessionSet() {
  for (auto& session : m_sessions) session->controller->Shutdown();
  // Each destructor joins its session's threads; none posts afterwards.
  m_sessions.clear();
  m_loop.Clear();
}

int SessionSet::Add(const MeasureSettings& settings, const ClientTiming& timing) {
  auto session = std::make_unique<Session>();
  const int index = static_cast<int>(m_sessions.size());
  session->settings = settings;
  session->host = std::make_unique<Host>(*this, index);
  session->controller = std::make_unique<ClientController>(*session->host, timing);
  session->controller->SetThreadFactory(&StartRunThread);
  m_sessions.push_back(std::move(session));
  return index;
}

void SessionSet::Launch(int first, int count) {
  if (m_bInterrupted) return;
  const bool idle = m_nNextPending == m_pending.size();
  for (int i = first; i < first + count; ++i) m_pending.push_back(i);
  if (idle) {
    m_nextStart = EventLoop::Clock::now();
    m_loop.ArmTimer(kTimerNextStart, 0);
  }
}

void SessionSet::StartDue() {
  if (m_nNextPending == m_pending.size()) return;
  const auto now = EventLoop::Clock::now();
  if (now < m_nextStart) return;
  Session& session = *m_sessions[m_pending[m_nNextPending++]];
  session.started = true;
  session.controller->Start(session.settings);
  m_nextStart = EventLoop::Clock::now() + std::chrono::milliseconds(m_nStaggerMs);
  if (m_nNextPending < m_pending.size()) m_loop.ArmTimer(kTimerNextStart, m_nStaggerMs);
}

void SessionSet::OnTimer(unsigned id) {
  const unsigned owner = id >> kSessionShift;
  if (owner > 0) {
    if (owner <= m_sessions.size()) m_sessions[owner - 1]->controller->OnTimer(id & kOwnIdMask);
    return;
  }
  if (id == kTimerNextStart) StartDue();
}

void SessionSet::Interrupt(int count) {
  m_bInterrupted = true;
  m_nNextPending = m_pending.size();  // what has not started stays so
  for (int i = 0; i < count && i < 2; ++i)
    for (auto& session : m_sessions)
      if (session->controller->Measuring()) session->controller->OnAbort();
}

void SessionSet::Abort(int session) {
  // Asked once only: a second 測定中断 would stop the run outright.
  ClientController& controller = *m_sessions[session]->controller;
  if (controller.Measuring() && !controller.ForcedStopArmed()) controller.OnAbort();
}

bool SessionSet::Turn(const std::function<int()>& interrupted,
                      const std::function<bool()>& waiting) {
  int interrupts = 0;
  // The loop runs timers only when no task waits, and many running sessions
  // keep tasks coming: the next start is also looked at between two tasks.
  m_loop.RunUntil(
      [&] {
        StartDue();
        return (interrupts = interrupted()) > 0;
      },
      std::chrono::milliseconds(50), [this](unsigned id) { OnTimer(id); });
  if (interrupts > 0) Interrupt(interrupts);
  if (m_nNextPending < m_pending.size()) return true;
  for (auto& session : m_sessions)
    if (session->controller->Measuring()) return true;
  return !m_bInterrupted && waiting();
}

}  // namespace quarvent::console
