// Hands a session the datagram that opened it. The concurrent server takes a
// new source's first datagram on its listening socket and then gives the
// source a socket of its own; while this object lives, the first receive on
// that socket on the calling thread returns the datagram taken, as if it had
// arrived there, and every later call goes to the system.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <vector>

#include "common/sys_ops.h"

namespace quarvent {

class FirstDatagram {
 public:
  // Installs itself on the calling thread for as long as it lives.
  FirstDatagram(int fd, std::vector<char> datagram, const sockaddr_in& from);
  ~FirstDatagram();
  FirstDatagram(const FirstDatagram&) = delete;
  FirstDatagram& operator=(const FirstDatagram&) = delete;

 private:
  friend struct FirstDatagramCalls;
  ssize_t Take(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen);

  const int m_fd;
  std::vector<char> m_datagram;
  const sockaddr_in m_from;
  bool m_bTaken = false;
  const sys::Ops& m_next;
  FirstDatagram* m_prev;
  std::optional<sys::ScopedOps> m_scope;
};

}  // namespace quarvent
