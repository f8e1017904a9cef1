// How one worker thread is ended from outside. Linux has no safe way to kill a
// thread, so a stop marks the worker as abandoned and shuts down the sockets it
// has attached: every blocking call on them returns, and the worker finishes on
// its own without touching its owner again.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/socket.h"

namespace quarvent {

class StopSignal {
 public:
  // Attaches a socket that Stop() shuts down. Returns false, attaching
  // nothing, when the stop has already happened.
  bool Attach(int fd);
  // Detaches a socket; call before closing it so that a later stop cannot
  // shut down a descriptor number that has been reused.
  void Detach(int fd);

  // Marks the worker stopped, shuts its attached sockets down, forgets them,
  // and wakes its waits. Safe to call any number of times from any thread.
  void Stop();
  bool Stopped() const noexcept { return m_stopped.load(std::memory_order_acquire); }

  // Runs f() only while not stopped, under the same lock that Stop() takes:
  // once Stop() has returned, no such call can begin. f must not block on the
  // thread that calls Stop(). Returns whether f ran.
  template <class F>
  bool IfRunning(F&& f) {
    std::lock_guard lock(m_mutex);
    if (Stopped()) return false;
    f();
    return true;
  }

  // Waits up to timeout for the stop or for done() (checked under the lock,
  // re-checked after every Wake()). Returns true when stopped.
  template <class Pred>
  bool WaitFor(std::chrono::milliseconds timeout, Pred done) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, timeout, [&] { return Stopped() || done(); });
    return Stopped();
  }
  bool WaitFor(std::chrono::milliseconds timeout) {
    return WaitFor(timeout, [] { return false; });
  }
  // Wakes WaitFor so that it checks its predicate again.
  void Wake();

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::atomic<bool> m_stopped{false};
  std::array<int, 4> m_fds{-1, -1, -1, -1};
};

// A socket attached to a stop signal for as long as this guard owns it. The
// guard detaches the socket before it closes it, on every way out of its
// scope, so that no later Stop() can shut down a descriptor number that the
// system has handed out again since.
class AttachedSocket {
 public:
  // Takes sock and attaches it. When the stop has already happened nothing is
  // attached (Attached() is false); the socket is still the guard's to close.
  AttachedSocket(StopSignal& stop, Socket sock);
  ~AttachedSocket() { Close(); }
  AttachedSocket(const AttachedSocket&) = delete;
  AttachedSocket& operator=(const AttachedSocket&) = delete;

  bool Attached() const noexcept { return m_bAttached; }
  int Fd() const noexcept { return m_sock.Fd(); }
  // shutdown(SHUT_RDWR); the socket stays attached and open.
  int Shutdown() const noexcept { return m_sock.Shutdown(); }
  // Detaches, then closes. Later calls do nothing.
  void Close() noexcept;

 private:
  StopSignal& m_stop;
  Socket m_sock;
  bool m_bAttached;
};

}  // namespace quarvent
