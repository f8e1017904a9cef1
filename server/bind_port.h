// Binding a service socket to every IPv4 interface on the owner's port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace quarvent {

// The port is the low 16 bits of the owner's int, as the port field allows
// any integer. Returns the result of bind.
inline int BindAnyPort(int sock, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(static_cast<unsigned>(port) & 0xFFFFu));
  return ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

}  // namespace quarvent
