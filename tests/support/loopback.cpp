#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>

#include "common/socket.h"

namespace quarvent::test {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

void SetTimeouts(int fd, int ms) {
  const timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int FindFreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    Socket tcp = Socket::Tcp();
    sockaddr_in addr = Loopback(0);
    if (::bind(tcp.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) continue;
    socklen_t len = sizeof addr;
    ::getsockname(tcp.Fd(), reinterpret_cast<sockaddr*>(&addr), &len);
    // The UDP service binds the same port on any address.
    Socket udp = Socket::Udp();
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = addr.sin_port;
    if (::bind(udp.Fd(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0)
      return ntohs(addr.sin_port);
  }
  return 0;
}

}  // namespace quarvent::test
