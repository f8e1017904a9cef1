// An address and port of either family, read and written in one place: a
// dotted quad for IPv4, RFC 5952 text (with "%interface" for a scoped
// link-local address) for IPv6, and an IPv4 address that reached an IPv6
// socket as ::ffff:a.b.c.d shown and counted as the IPv4 address it is.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvent {

// The length of the address held in addr, by its family (0 for another).
inline socklen_t SockaddrLength(const sockaddr_storage& addr) noexcept {
  return addr.ss_family == AF_INET    ? sizeof(sockaddr_in)
         : addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6)
                                      : 0;
}

// Which families a name or a listener may use (-4, -6, or both).
enum class FamilyFilter { kAny, kIpv4, kIpv6 };

class Endpoint {
 public:
  Endpoint() noexcept = default;  // empty: no family, Valid() false

  // An IPv4 address, first field in the high byte.
  static Endpoint Ipv4(uint32_t address, uint16_t port = 0) noexcept;
  // The wildcard address of family (AF_INET or AF_INET6).
  static Endpoint Any(int family, uint16_t port = 0) noexcept;
  // What a system call filled in; a v4-mapped IPv6 address becomes the IPv4
  // one. Empty for a length that does not fit its family or another family.
  static Endpoint FromSockaddr(const sockaddr* addr, socklen_t length) noexcept;
  // A numeric address: IPv4 "a.b.c.d", or IPv6 with or without brackets and
  // with an optional "%interface" (a name or an index) for its scope. No
  // name lookup: empty for anything else, an unknown interface included.
  static Endpoint ParseLiteral(std::string_view text);

  bool Valid() const noexcept { return m_length != 0; }
  int Family() const noexcept { return m_addr.ss_family; }
  bool IsIpv4() const noexcept { return Family() == AF_INET; }
  bool IsIpv6() const noexcept { return Family() == AF_INET6; }
  bool IsWildcard() const noexcept;
  uint16_t Port() const noexcept;
  void SetPort(uint16_t port) noexcept;

  const sockaddr* Addr() const noexcept { return reinterpret_cast<const sockaddr*>(&m_addr); }
  socklen_t Length() const noexcept { return m_length; }

  // "127.0.0.1", "2001:2::1", "fe80::1%veth0".
  std::string AddressText() const;
  // "127.0.0.1:41118", "[2001:2::1]:41118".
  std::string Text() const;
  // "ipv4" or "ipv6" ("" when empty).
  const char* FamilyName() const noexcept;
  // The address without its port, as a key: sessions from one host share it.
  std::string AddressKey() const;
  // Address and port, as a key for one source.
  std::string SourceKey() const;

 private:
  sockaddr_storage m_addr{};
  socklen_t m_length = 0;
};

// The addresses of host for port: a literal as ParseLiteral reads it, a name
// through the resolver in its order, both restricted by filter and without
// repeats. Returns "" with at least one address in *out, or why not.
std::string ResolveHost(const std::string& host, FamilyFilter filter, uint16_t port,
                        std::vector<Endpoint>* out);

}  // namespace quarvent
