// Binding a service socket to the owner's port, on every IPv4 interface or on one.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace quarvent {

// The port is the low 16 bits of the owner's int, as the port field allows
// any integer. address is in host byte order (INADDR_ANY: every interface).
// Returns the result of bind.
inline int BindPort(int sock, uint32_t address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<uint16_t>(static_cast<unsigned>(port) & 0xFFFFu));
  return ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

}  // namespace quarvent
