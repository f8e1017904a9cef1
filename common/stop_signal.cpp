#include "common/stop_signal.h"

#include <sys/socket.h>

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
    for (int fd : m_fds)
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  m_cv.notify_all();
}

void StopSignal::Wake() {
  { std::lock_guard lock(m_mutex); }
  m_cv.notify_all();
}

}  // namespace quarvent
