#include "client/event_loop.h"

namespace quarvent {

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(m_mutex);
    m_tasks.push_back(std::move(task));
  }
  m_cv.notify_one();
}

void EventLoop::ArmTimer(unsigned id, int delayMs) {
  std::lock_guard lock(m_mutex);
  m_timers[id] = Clock::now() + std::chrono::milliseconds(delayMs);
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                         const std::function<void(unsigned)>& onTimer) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    std::function<void()> task;
    unsigned timerId = 0;
    bool haveTimer = false;
    {
      std::unique_lock lock(m_mutex);
      for (;;) {
        const auto now = Clock::now();
        if (!m_tasks.empty()) {
          task = std::move(m_tasks.front());
          m_tasks.pop_front();
          break;
        }
        // The earliest due timer fires (each only once).
        auto first = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
          if (first == m_timers.end() || it->second < first->second) first = it;
        if (first != m_timers.end() && first->second <= now) {
          timerId = first->first;
          haveTimer = true;
          m_timers.erase(first);
          break;
        }
        if (now >= end) return done();
        auto wake = end;
        if (first != m_timers.end() && first->second < wake) wake = first->second;
        m_cv.wait_until(lock, wake);
      }
    }
    if (task) task();
    if (haveTimer) onTimer(timerId);
  }
  return true;
}

void EventLoop::Clear() {
  std::lock_guard lock(m_mutex);
  m_tasks.clear();
  m_timers.clear();
}

bool EventLoop::Empty() const {
  std::lock_guard lock(m_mutex);
  return m_tasks.empty() && m_timers.empty();
}

}  // namespace quarvent
