// Many measurement sessions at once on one owner thread: each session is its
// own ClientController (its own connection, negotiation, run thread and
// watchdog) with a small host that forwards its tasks and timers to one
// shared event loop and its data to one listener. Sessions are started a few
// milliseconds apart so that their connections do not arrive as one burst.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "client/client_controller.h"
#include "client/client_host.h"
#include "client/event_loop.h"

namespace quarvent::console {

// What the sessions tell their owner, on the owner's thread.
class SessionListener {
 public:
  virtual void OnSessionInterval(int session, const IntervalData& interval) = 0;
  virtual void OnSessionRtt(int session, const RttHistogram& rtt) = 0;
  virtual void OnSessionEnd(int session, const RunEndData& end) = 0;
  virtual void OnSessionOutcome(int session, RunOutcome outcome) = 0;

 protected:
  ~SessionListener() = default;
};

class SessionSet {
 public:
  // staggerMs: the pause between two session starts.
  SessionSet(SessionListener& listener, int staggerMs);
  // Stops every session, joins their threads and drops what is still queued.
  ~SessionSet();
  SessionSet(const SessionSet&) = delete;
  SessionSet& operator=(const SessionSet&) = delete;

  // A session to be started later (Launch); returns its index (0, 1, ...).
  int Add(const MeasureSettings& settings, const ClientTiming& timing);
  // Starts sessions first..first+count-1, one every staggerMs from now.
  void Launch(int first, int count);
  // Sessions that were never started (and never will be, once Interrupt came).
  bool Started(int session) const { return m_sessions[session]->started; }
  int Size() const { return static_cast<int>(m_sessions.size()); }

  // One turn: runs the tasks and due timers for up to 50 ms or until
  // interrupted() returns a number above 0, each taken as 測定中断 of every
  // running session (the second stops them at once; starts still to come are
  // cancelled). Returns false once no session runs and none is to start and
  // waiting() (the owner's own reason to go on) is false.
  bool Turn(const std::function<int()>& interrupted, const std::function<bool()>& waiting);
  // The starts still to come are not made.
  void CancelStarts() { m_nNextPending = m_pending.size(); }
  // 測定中断 of one session (a load that outlasts its probe).
  void Abort(int session);
  bool Measuring(int session) const { return m_sessions[session]->controller->Measuring(); }

 private:
  class Host;
  struct Session {
    MeasureSettings settings;
    std::unique_ptr<Host> host;
    std::unique_ptr<ClientController> controller;
    bool started = false;
  };
  void OnTimer(unsigned id);
  // Starts the next session when its time has come (one at a time).
  void StartDue();
  void Interrupt(int count);

  SessionListener& m_listener;
  const int m_nStaggerMs;
  EventLoop m_loop;
  std::vector<std::unique_ptr<Session>> m_sessions;
  std::vector<int> m_pending;  // sessions still to start, in order
  size_t m_nNextPending = 0;
  EventLoop::Clock::time_point m_nextStart;  // no start before this
  bool m_bInterrupted = false;
};

}  // namespace quarvent::console
