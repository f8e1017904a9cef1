#include "common/socket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quarvent {

Socket Socket::Tcp(int family) {
  return Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

Socket Socket::Udp(int family) {
  return Socket(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

void Socket::Reset(int fd) noexcept {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

int Socket::Shutdown() const noexcept {
  return ::shutdown(m_fd, SHUT_RDWR);
}

}  // namespace quarvent
