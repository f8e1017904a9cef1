// Move-only owner of one socket descriptor.
#pragma once

#include <sys/socket.h>

#include <utility>

namespace quarvent {

class Socket {
 public:
  Socket() noexcept = default;
  explicit Socket(int fd) noexcept : m_fd(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  ~Socket() { Reset(); }

  // A stream or datagram socket of family (AF_INET or AF_INET6); invalid
  // (check Valid(), errno set) on failure.
  static Socket Tcp(int family = AF_INET);
  static Socket Udp(int family = AF_INET);

  int Fd() const noexcept { return m_fd; }
  bool Valid() const noexcept { return m_fd >= 0; }
  explicit operator bool() const noexcept { return Valid(); }

  // Closes the held descriptor once (close is never retried: on Linux the
  // descriptor is gone even when close reports EINTR) and takes fd instead.
  void Reset(int fd = -1) noexcept;
  int Release() noexcept { return std::exchange(m_fd, -1); }

  // shutdown(SHUT_RDWR); the result is the system call's.
  int Shutdown() const noexcept;

 private:
  int m_fd = -1;
};

}  // namespace quarvent
