// A small single-threaded event loop for owners without a toolkit (the
// console and the tests): tasks posted from any thread run in order on the
// thread that pumps the loop, and one-shot timers fire there too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace quarvent {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // Any thread; never waits for the loop.
  void Post(std::function<void()> task);
  // Loop thread: arms (or re-arms) timer id to fire once after delayMs.
  void ArmTimer(unsigned id, int delayMs);

  // Pumps tasks and due timers (onTimer(id)) until done() holds or timeout
  // has passed. Returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                const std::function<void(unsigned)>& onTimer);
  // Drops every queued task and timer.
  void Clear();
  // No task queued and no timer armed.
  bool Empty() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_tasks;
  std::map<unsigned, Clock::time_point> m_timers;  // id -> due time (loop thread only)
};

}  // namespace quarvent
