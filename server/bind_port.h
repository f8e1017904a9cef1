// Binding a service socket to the owner's port, on every interface or on one
// address, of either family.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "common/endpoint.h"

namespace quarvent {

// The port is the low 16 bits of the owner's int, as the port field allows
// any integer. An IPv6 socket takes IPv4 clients only when dualStack is set.
// Returns the result of bind.
inline int BindPort(int sock, const Endpoint& address, bool dualStack, int port) {
  Endpoint addr = address;
  addr.SetPort(static_cast<uint16_t>(static_cast<unsigned>(port) & 0xFFFFu));
  if (addr.IsIpv6()) {
    const int v6only = dualStack ? 0 : 1;
    ::setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  }
  return ::bind(sock, addr.Addr(), addr.Length());
}

}  // namespace quarvent
