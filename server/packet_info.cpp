#include "server/packet_info.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/endpoint.h"
#include "common/socket.h"

namespace quarvent {
namespace {

bool UsableIpv4(in_addr a) {
  const uint32_t host = ntohl(a.s_addr);
  return host != 0 && host != INADDR_BROADCAST && !IN_MULTICAST(host);
}

}  // namespace

void EnablePacketInfo(int sock, int family) {
  const int on = 1;
  if (family == AF_INET6)
    ::setsockopt(sock, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  else
    ::setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

bool DestinationOf(msghdr& msg, int port, sockaddr_storage* to) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      if (IN6_IS_ADDR_MULTICAST(&info.ipi6_addr)) return false;
      if (IN6_IS_ADDR_V4MAPPED(&info.ipi6_addr)) {
        in_addr v4;
        std::memcpy(&v4, &info.ipi6_addr.s6_addr[12], sizeof v4);
        if (!UsableIpv4(v4)) return false;
      }
      sockaddr_in6 a6{};
      a6.sin6_family = AF_INET6;
      a6.sin6_addr = info.ipi6_addr;
      a6.sin6_port = htons(static_cast<uint16_t>(port));
      if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) a6.sin6_scope_id = info.ipi6_ifindex;
      *to = {};
      std::memcpy(to, &a6, sizeof a6);
      return true;
    }
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      // The local address of the packet: the destination itself for one sent
      // to this host's address.
      if (!UsableIpv4(info.ipi_addr) || !UsableIpv4(info.ipi_spec_dst)) return false;
      sockaddr_in a4{};
      a4.sin_family = AF_INET;
      a4.sin_addr = info.ipi_spec_dst;
      a4.sin_port = htons(static_cast<uint16_t>(port));
      *to = {};
      std::memcpy(to, &a4, sizeof a4);
      return true;
    }
  }
  return false;
}

bool PeekDestination(int sock, int port, sockaddr_storage* to) {
  char byte;
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do n = ::recvmsg(sock, &msg, MSG_PEEK);
  while (n < 0 && errno == EINTR);
  // An empty datagram (n == 0) still has its destination; a shut-down
  // socket gives no control data.
  if (n < 0 || msg.msg_controllen == 0) return false;
  return DestinationOf(msg, port, to);
}

bool RoutedFrom(const sockaddr_storage& peer, const sockaddr_storage& local) {
  const Endpoint to = Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  const Endpoint from =
      Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&local), sizeof local);
  if (!to.Valid() || !from.Valid() || to.Family() != from.Family()) return false;
  const Socket probe = Socket::Udp(to.Family());
  if (!probe || ::connect(probe.Fd(), to.Addr(), to.Length()) != 0) return false;
  sockaddr_storage chosen{};
  socklen_t length = sizeof chosen;
  if (::getsockname(probe.Fd(), reinterpret_cast<sockaddr*>(&chosen), &length) != 0) return false;
  const Endpoint picked =
      Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&chosen), length);
  return picked.Valid() && picked.AddressKey() == from.AddressKey();
}

}  // namespace quarvent
