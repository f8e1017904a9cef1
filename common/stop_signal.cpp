#include "common/stop_signal.h"

#include <sys/socket.h>

#include <utility>

namespace quarvent {

bool StopSignal::Attach(int fd) {
  std::lock_guard lock(m_mutex);
  if (Stopped()) return false;
  for (int& slot : m_fds) {
    if (slot < 0) {
      slot = fd;
      return true;
    }
  }
  return false;  // never more sockets than slots in this program
}

void StopSignal::Detach(int fd) {
  std::lock_guard lock(m_mutex);
  for (int& slot : m_fds)
    if (slot == fd) slot = -1;
}

void StopSignal::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopped.store(true, std::memory_order_release);
    // A socket is shut down once; Attach refuses after the stop, so the
    // numbers are of no further use, and keeping them would let a later call
    // reach a socket that has been given one of them since.
    for (int& fd : m_fds) {
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
      fd = -1;
    }
  }
  m_cv.notify_all();
}

AttachedSocket::AttachedSocket(StopSignal& stop, Socket sock)
    : m_stop(stop), m_sock(std::move(sock)), m_bAttached(m_sock && m_stop.Attach(m_sock.Fd())) {}

void AttachedSocket::Close() noexcept {
  if (m_bAttached) m_stop.Detach(m_sock.Fd());
  m_bAttached = false;
  m_sock.Reset();
}

void StopSignal::Wake() {
  { std::lock_guard lock(m_mutex); }
  m_cv.notify_all();
}

}  // namespace quarvent
