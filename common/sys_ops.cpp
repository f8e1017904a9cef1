#include "common/sys_ops.h"

#include <cerrno>
#include <cstring>

namespace quarvent::sys {
namespace {

const Ops kReal = {::send, ::sendto, ::recv, ::recvmsg};
thread_local const Ops* t_ops = &kReal;

}  // namespace

const Ops& RealOps() {
  return kReal;
}
const Ops& Current() {
  return *t_ops;
}

ScopedOps::ScopedOps(const Ops& ops) : m_prev(t_ops) {
  t_ops = &ops;
}
ScopedOps::~ScopedOps() {
  t_ops = m_prev;
}

ssize_t Send(int fd, const void* buf, size_t len) {
  ssize_t n;
  do n = t_ops->send(fd, buf, len, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t SendTo(int fd, const void* buf, size_t len, const sockaddr* addr, socklen_t addrLen) {
  ssize_t n;
  do n = t_ops->sendto(fd, buf, len, MSG_NOSIGNAL, addr, addrLen);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t Recv(int fd, void* buf, size_t len) {
  ssize_t n;
  do n = t_ops->recv(fd, buf, len, 0);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RecvDatagram(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen) {
  iovec iov{buf, len};
  msghdr msg{};
  msg.msg_name = from;
  msg.msg_namelen = fromLen ? *fromLen : 0;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n;
  do n = t_ops->recvmsg(fd, &msg, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) return n;
  if (fromLen) *fromLen = msg.msg_namelen;
  if (msg.msg_flags & MSG_TRUNC) {
    errno = EMSGSIZE;
    return -1;
  }
  return n;
}

}  // namespace quarvent::sys
