#include "common/sys_ops.h"

#include <netinet/in.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarvent::sys {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUARVENT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUARVENT_SANITIZED 1
#endif
#endif

#ifdef QUARVENT_SANITIZED
// The sanitizers check the buffers and follow the sockets through the C
// library's functions, so a sanitized build keeps them.
const Ops kReal = {::send, ::sendto, ::recv, ::recvfrom, ::recvmsg, ::sendmsg};
#else
// Straight to the kernel. In a process with more than one thread the C
// library makes every send and receive a cancellation point, which costs two
// atomic operations per call; no thread here is ever cancelled, and at a
// million small chunks a second that bookkeeping was a tenth of the client's
// time.
ssize_t RawSend(int fd, const void* buf, size_t len, int flags) {
  return ::syscall(SYS_sendto, fd, buf, len, flags, nullptr, 0);
}
ssize_t RawSendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                  socklen_t addrLen) {
  return ::syscall(SYS_sendto, fd, buf, len, flags, addr, addrLen);
}
ssize_t RawRecv(int fd, void* buf, size_t len, int flags) {
  return ::syscall(SYS_recvfrom, fd, buf, len, flags, nullptr, nullptr);
}
ssize_t RawRecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen) {
  return ::syscall(SYS_recvfrom, fd, buf, len, flags, from, fromLen);
}
ssize_t RawRecvMsg(int fd, msghdr* msg, int flags) {
  return ::syscall(SYS_recvmsg, fd, msg, flags);
}
ssize_t RawSendMsg(int fd, const msghdr* msg, int flags) {
  return ::syscall(SYS_sendmsg, fd, msg, flags);
}
const Ops kReal = {RawSend, RawSendTo, RawRecv, RawRecvFrom, RawRecvMsg, RawSendMsg};
#endif
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

ssize_t SendToFrom(int fd, const void* buf, size_t len, const sockaddr* addr, socklen_t addrLen,
                   const sockaddr_storage& from) {
  if (!t_ops->sendmsg) return SendTo(fd, buf, len, addr, addrLen);
  iovec iov{const_cast<void*>(buf), len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr*>(addr);
  msg.msg_namelen = addrLen;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
  if (from.ss_family == AF_INET6) {
    const auto& local = reinterpret_cast<const sockaddr_in6&>(from);
    in6_pktinfo info{};
    info.ipi6_addr = local.sin6_addr;
    info.ipi6_ifindex = local.sin6_scope_id;
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    msg.msg_controllen = CMSG_SPACE(sizeof info);
  } else {
    in_pktinfo info{};
    info.ipi_spec_dst = reinterpret_cast<const sockaddr_in&>(from).sin_addr;
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    msg.msg_controllen = CMSG_SPACE(sizeof info);
  }
  ssize_t n;
  do n = t_ops->sendmsg(fd, &msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t Recv(int fd, void* buf, size_t len) {
  ssize_t n;
  do n = t_ops->recv(fd, buf, len, 0);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RecvMsgThrough(const Ops& ops, int fd, msghdr* msg, int flags) {
  if (ops.recvmsg) return ops.recvmsg(fd, msg, flags);
  for (size_t i = 0; i < msg->msg_iovlen; ++i)
    if (msg->msg_iov[i].iov_len > 0)
      return ops.recv(fd, msg->msg_iov[i].iov_base, msg->msg_iov[i].iov_len, flags);
  return ops.recv(fd, nullptr, 0, flags);
}

ssize_t RecvTwo(int fd, void* buf1, size_t len1, void* buf2, size_t len2) {
  iovec iov[2] = {{buf1, len1}, {buf2, len2}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  ssize_t n;
  do n = RecvMsgThrough(*t_ops, fd, &msg, 0);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RecvDatagram(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen) {
  // With MSG_TRUNC the kernel answers the datagram's real size, so a datagram
  // that did not fit shows as a count beyond len.
  ssize_t n;
  do n = t_ops->recvfrom(fd, buf, len, MSG_TRUNC, from, fromLen);
  while (n < 0 && errno == EINTR);
  if (n > static_cast<ssize_t>(len)) {
    errno = EMSGSIZE;
    return -1;
  }
  return n;
}

}  // namespace quarvent::sys
