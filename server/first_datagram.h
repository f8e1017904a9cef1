// Hands a session the datagrams that opened it. The concurrent server takes a
// new source's first datagram on its listening socket and then gives the
// source a socket of its own; datagrams of the source that reached the
// listener before that socket was connected are taken there too. While this
// object lives, the first receives on that socket on the calling thread
// return those datagrams in order, as if they had arrived there, and every
// later call goes to the system.
#pragma once

#include <netinet/in.h>

#include <deque>
#include <optional>
#include <vector>

#include "common/sys_ops.h"

namespace quarvent {

class FirstDatagram {
 public:
  // Installs itself on the calling thread for as long as it lives.
  FirstDatagram(int fd, std::deque<std::vector<char>> datagrams, const sockaddr_storage& from);
  ~FirstDatagram();
  FirstDatagram(const FirstDatagram&) = delete;
  FirstDatagram& operator=(const FirstDatagram&) = delete;

 private:
  friend struct FirstDatagramCalls;
  ssize_t Take(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen);

  const int m_fd;
  std::deque<std::vector<char>> m_datagrams;  // those not yet taken
  const sockaddr_storage m_from;
  const sys::Ops& m_next;
  FirstDatagram* m_prev;
  std::optional<sys::ScopedOps> m_scope;
};

}  // namespace quarvent
