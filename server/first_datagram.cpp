#include "server/first_datagram.h"

#include <algorithm>
#include <cstring>

#include "common/endpoint.h"

namespace quarvent {
namespace {

thread_local FirstDatagram* t_first = nullptr;

}  // namespace

struct FirstDatagramCalls {
  static ssize_t Send(int fd, const void* buf, size_t len, int flags) {
    return t_first->m_next.send(fd, buf, len, flags);
  }
  static ssize_t SendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                        socklen_t addrLen) {
    return t_first->m_next.sendto(fd, buf, len, flags, addr, addrLen);
  }
  static ssize_t Recv(int fd, void* buf, size_t len, int flags) {
    if (fd == t_first->m_fd && !t_first->m_datagrams.empty())
      return t_first->Take(buf, len, flags, nullptr, nullptr);
    return t_first->m_next.recv(fd, buf, len, flags);
  }
  static ssize_t RecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from,
                          socklen_t* fromLen) {
    if (fd == t_first->m_fd && !t_first->m_datagrams.empty())
      return t_first->Take(buf, len, flags, from, fromLen);
    return t_first->m_next.recvfrom(fd, buf, len, flags, from, fromLen);
  }
  static constexpr sys::Ops kTable = {Send, SendTo, Recv, RecvFrom};
};

FirstDatagram::FirstDatagram(int fd, std::deque<std::vector<char>> datagrams,
                             const sockaddr_storage& from)
    : m_fd(fd),
      m_datagrams(std::move(datagrams)),
      m_from(from),
      m_next(sys::Current()),
      m_prev(t_first) {
  t_first = this;
  m_scope.emplace(FirstDatagramCalls::kTable);
}

FirstDatagram::~FirstDatagram() {
  m_scope.reset();
  t_first = m_prev;
}

// As recvfrom takes a datagram: cut to len, with MSG_TRUNC its whole size
// answered; MSG_PEEK leaves it for the next call.
ssize_t FirstDatagram::Take(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen) {
  const std::vector<char>& datagram = m_datagrams.front();
  const size_t size = datagram.size();
  const size_t copied = std::min(len, size);
  if (copied > 0) std::memcpy(buf, datagram.data(), copied);
  if (from && fromLen) {
    const socklen_t length = SockaddrLength(m_from);
    std::memcpy(from, &m_from, std::min<size_t>(*fromLen, length));
    *fromLen = length;
  }
  if (!(flags & MSG_PEEK)) m_datagrams.pop_front();
  return static_cast<ssize_t>((flags & MSG_TRUNC) ? size : copied);
}

}  // namespace quarvent
