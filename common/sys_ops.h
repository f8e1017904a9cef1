// The socket system calls that the transfer routines make, behind one table so
// that a test can inject a short read, EINTR or a reset without a failing network.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

namespace quarvent::sys {

struct Ops {
  ssize_t (*send)(int fd, const void* buf, size_t len, int flags);
  ssize_t (*sendto)(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                    socklen_t addrLen);
  ssize_t (*recv)(int fd, void* buf, size_t len, int flags);
  ssize_t (*recvfrom)(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen);
  // May be left empty by a table of a test: a scattered receive then takes
  // its first non-empty piece through recv.
  ssize_t (*recvmsg)(int fd, msghdr* msg, int flags) = nullptr;
  // May be left empty too: a send from a given address then goes through
  // sendto, from the address the system picks.
  ssize_t (*sendmsg)(int fd, const msghdr* msg, int flags) = nullptr;
};

// The real calls.
const Ops& RealOps();

// The table used by the calling thread (RealOps unless a test installed another).
const Ops& Current();

// Installs a table for the calling thread while it lives.
class ScopedOps {
 public:
  explicit ScopedOps(const Ops& ops);
  ~ScopedOps();
  ScopedOps(const ScopedOps&) = delete;
  ScopedOps& operator=(const ScopedOps&) = delete;

 private:
  const Ops* m_prev;
};

// Each retries on EINTR, sends with MSG_NOSIGNAL, and returns the call's result
// (-1 with errno on failure).
ssize_t Send(int fd, const void* buf, size_t len);
ssize_t SendTo(int fd, const void* buf, size_t len, const sockaddr* addr, socklen_t addrLen);
ssize_t Recv(int fd, void* buf, size_t len);
// One receive into two places: first len1 bytes at buf1, then up to len2 at
// buf2 (a length word and the body after it, without a copy).
ssize_t RecvTwo(int fd, void* buf1, size_t len1, void* buf2, size_t len2);
// A scattered receive through ops (its recvmsg, or recv when it has none).
ssize_t RecvMsgThrough(const Ops& ops, int fd, msghdr* msg, int flags);

// One sendto of len bytes to addr, from the local address `from` (one of this
// host's, with the socket's family: v4-mapped on an IPv6 socket for an IPv4
// peer) rather than the one the system would pick.
ssize_t SendToFrom(int fd, const void* buf, size_t len, const sockaddr* addr, socklen_t addrLen,
                   const sockaddr_storage& from);

// One datagram into buf. A datagram longer than len is a receive error: -1 with
// errno EMSGSIZE (Linux would silently cut it). *from receives the sender.
ssize_t RecvDatagram(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen);

}  // namespace quarvent::sys
