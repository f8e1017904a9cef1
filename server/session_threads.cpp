#include "server/session_threads.h"

#include <system_error>

namespace quarvent {

SessionThreads::SessionThreads() : m_reaper([this] { Reap(); }) {}

SessionThreads::~SessionThreads() {
  StopAll();
  {
    std::lock_guard lock(m_mutex);
    m_bClosing = true;
  }
  m_cv.notify_all();
  m_reaper.join();
}

bool SessionThreads::Launch(std::function<void(StopSignal& stop)> body) {
  std::unique_lock lock(m_mutex);
  if (m_bClosing) return false;
  auto session = std::make_unique<Session>();
  Session* const raw = session.get();
  const auto at = m_running.insert(m_running.end(), std::move(session));
  try {
    // The thread starts under the lock, so its last step (moving itself to the
    // finished list) waits until its handle is stored.
    raw->thread = std::thread([this, raw, at, body = std::move(body)] {
      body(raw->stop);
      {
        std::lock_guard done(m_mutex);
        m_finished.splice(m_finished.end(), m_running, at);
      }
      m_cv.notify_all();
    });
  } catch (const std::system_error&) {
    m_running.erase(at);
    return false;
  }
  return true;
}

void SessionThreads::StopAll() {
  std::unique_lock lock(m_mutex);
  m_bClosing = true;
  for (auto& session : m_running) session->stop.Stop();
  m_cv.wait(lock, [&] { return m_running.empty() && m_finished.empty() && m_nJoining == 0; });
}

int SessionThreads::Live() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_running.size() + m_finished.size()) + m_nJoining;
}

void SessionThreads::Reap() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_cv.wait(lock, [&] { return !m_finished.empty() || (m_bClosing && m_running.empty()); });
    if (m_finished.empty()) return;
    std::list<std::unique_ptr<Session>> done;
    done.swap(m_finished);
    m_nJoining = static_cast<int>(done.size());
    lock.unlock();
    for (auto& session : done) session->thread.join();
    done.clear();
    lock.lock();
    m_nJoining = 0;
    m_cv.notify_all();
  }
}

}  // namespace quarvent
