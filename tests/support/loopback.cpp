#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "common/socket.h"

namespace quarvent::test {
namespace {

// Ports below this are left to the system and to well-known services.
constexpr int kLowestPort = 10000;
constexpr char kLockDir[] = "/tmp/quarvent-test-ports";

// The ephemeral range [first, last]; the Linux default when it cannot be read.
void EphemeralRange(int* first, int* last) {
  *first = 32768;
  *last = 60999;
  if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    int a = 0, b = 0;
    if (std::fscanf(f, "%d %d", &a, &b) == 2 && a > 0 && a <= b) {
      *first = a;
      *last = b;
    }
    std::fclose(f);
  }
}

// Locks the port's file; the lock lasts while the returned descriptor is open.
// -1 when another test process holds it, or this one does already.
int LockPort(int port) {
  // One directory for the lock files, open to every user's tests.
  if (::mkdir(kLockDir, 01777) == 0) ::chmod(kLockDir, 01777);
  char path[64];
  std::snprintf(path, sizeof path, "%s/%d.lock", kLockDir, port);
  // Opening an existing file without O_CREAT also works when another user made it.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = ::open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// No TCP or UDP socket is bound to the port on any address right now. The
// services bind it on INADDR_ANY without SO_REUSEADDR, so test the same way.
bool Bindable(int port) {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = htons(static_cast<uint16_t>(port));
  Socket tcp = Socket::Tcp();
  Socket udp = Socket::Udp();
  return tcp && udp && ::bind(tcp.Fd(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
         ::bind(udp.Fd(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
}

}  // namespace

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

int ReservePort() {
  static std::mutex mutex;
  static int next = 0;  // offset of the next candidate within the range
  std::lock_guard lock(mutex);
  int first = 0, last = 0;
  EphemeralRange(&first, &last);
  // The larger stretch outside the ephemeral range.
  int low = kLowestPort, high = first - 1;
  if (65535 - last > high - low) {
    low = last + 1 > kLowestPort ? last + 1 : kLowestPort;
    high = 65535;
  }
  const int count = high - low + 1;
  if (count <= 0) return 0;
  // Parallel test processes start at different places, so they seldom meet
  // on the same lock file.
  if (next == 0) next = static_cast<int>(::getpid() * 7919 % count) + 1;
  for (int tried = 0; tried < count; ++tried) {
    const int port = low + (next++ % count);
    const int lockFd = LockPort(port);
    if (lockFd < 0) continue;
    // The descriptor is never closed: the lock goes with the process.
    if (Bindable(port)) return port;
    ::close(lockFd);
  }
  return 0;
}

bool HasIpv6Loopback() {
  const Socket sock = Socket::Udp(AF_INET6);
  if (!sock) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  return ::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace quarvent::test
