// The threads of concurrent client sessions: one per session, each with its
// own stop signal, joined by a reaper thread as soon as it has finished, so
// that the threads and descriptors held go back to what they were once the
// sessions are over.
#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "common/stop_signal.h"

namespace quarvent {

class SessionThreads {
 public:
  SessionThreads();
  // StopAll(), then the reaper ends.
  ~SessionThreads();
  SessionThreads(const SessionThreads&) = delete;
  SessionThreads& operator=(const SessionThreads&) = delete;

  // Runs body(stop) on a new thread. False when no thread could be created or
  // StopAll() has begun; body then never runs.
  bool Launch(std::function<void(StopSignal& stop)> body);
  // Stops every session and waits until all their threads are joined. No
  // session starts afterwards.
  void StopAll();
  // Sessions whose threads have not been joined yet.
  int Live() const;

 private:
  struct Session {
    StopSignal stop;
    std::thread thread;
  };
  void Reap();

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::list<std::unique_ptr<Session>> m_running;
  std::list<std::unique_ptr<Session>> m_finished;  // to be joined by the reaper
  int m_nJoining = 0;  // taken from m_finished, being joined by the reaper
  bool m_bClosing = false;
  std::thread m_reaper;
};

}  // namespace quarvent
