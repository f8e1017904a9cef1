#include "common/endpoint.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarvent {
namespace {

bool IsMapped(const sockaddr_in6& a) {
  return IN6_IS_ADDR_V4MAPPED(&a.sin6_addr);
}

bool FamilyAllowed(int family, FamilyFilter filter) {
  if (filter == FamilyFilter::kIpv4) return family == AF_INET;
  if (filter == FamilyFilter::kIpv6) return family == AF_INET6;
  return family == AF_INET || family == AF_INET6;
}

}  // namespace

Endpoint Endpoint::Ipv4(uint32_t address, uint16_t port) noexcept {
  Endpoint e;
  auto* a = reinterpret_cast<sockaddr_in*>(&e.m_addr);
  a->sin_family = AF_INET;
  a->sin_addr.s_addr = htonl(address);
  a->sin_port = htons(port);
  e.m_length = sizeof(sockaddr_in);
  return e;
}

Endpoint Endpoint::Any(int family, uint16_t port) noexcept {
  if (family == AF_INET) return Ipv4(INADDR_ANY, port);
  Endpoint e;
  auto* a = reinterpret_cast<sockaddr_in6*>(&e.m_addr);
  a->sin6_family = AF_INET6;
  a->sin6_addr = in6addr_any;
  a->sin6_port = htons(port);
  e.m_length = sizeof(sockaddr_in6);
  return e;
}

Endpoint Endpoint::FromSockaddr(const sockaddr* addr, socklen_t length) noexcept {
  Endpoint e;
  if (!addr) return e;
  if (addr->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    std::memcpy(&e.m_addr, addr, sizeof(sockaddr_in));
    e.m_length = sizeof(sockaddr_in);
  } else if (addr->sa_family == AF_INET6 &&
             length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 a6;
    std::memcpy(&a6, addr, sizeof a6);
    if (IsMapped(a6)) {
      uint32_t v4;
      std::memcpy(&v4, &a6.sin6_addr.s6_addr[12], 4);
      return Ipv4(ntohl(v4), ntohs(a6.sin6_port));
    }
    std::memcpy(&e.m_addr, &a6, sizeof a6);
    e.m_length = sizeof(sockaddr_in6);
  }
  return e;
}

Endpoint Endpoint::ParseLiteral(std::string_view text) {
  // Brackets are for IPv6 only, as in a URL.
  const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
  if (bracketed) text = text.substr(1, text.size() - 2);
  std::string host(text);
  in_addr a4{};
  if (host.find(':') == std::string::npos) {
    if (bracketed || ::inet_pton(AF_INET, host.c_str(), &a4) != 1) return {};
    return Ipv4(ntohl(a4.s_addr));
  }
  uint32_t scope = 0;
  if (const size_t pct = host.find('%'); pct != std::string::npos) {
    const std::string zone = host.substr(pct + 1);
    host.resize(pct);
    if (zone.empty()) return {};
    if (std::all_of(zone.begin(), zone.end(), [](char c) { return c >= '0' && c <= '9'; }))
      scope = zone.size() <= 9 ? static_cast<uint32_t>(std::stoul(zone)) : 0;
    else
      scope = ::if_nametoindex(zone.c_str());
    if (scope == 0) return {};
  }
  Endpoint e = Any(AF_INET6);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&e.m_addr);
  if (::inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) != 1) return {};
  a6->sin6_scope_id = scope;
  return FromSockaddr(e.Addr(), e.m_length);
}

bool Endpoint::IsWildcard() const noexcept {
  if (IsIpv4()) return reinterpret_cast<const sockaddr_in*>(&m_addr)->sin_addr.s_addr == 0;
  if (IsIpv6())
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&m_addr)->sin6_addr);
  return false;
}

uint16_t Endpoint::Port() const noexcept {
  if (IsIpv4()) return ntohs(reinterpret_cast<const sockaddr_in*>(&m_addr)->sin_port);
  if (IsIpv6()) return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_addr)->sin6_port);
  return 0;
}

void Endpoint::SetPort(uint16_t port) noexcept {
  if (IsIpv4()) reinterpret_cast<sockaddr_in*>(&m_addr)->sin_port = htons(port);
  if (IsIpv6()) reinterpret_cast<sockaddr_in6*>(&m_addr)->sin6_port = htons(port);
}

std::string Endpoint::AddressText() const {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = "";
  if (IsIpv4()) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&m_addr)->sin_addr, text,
                sizeof text);
    return text;
  }
  if (!IsIpv6()) return "";
  const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&m_addr);
  ::inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
  std::string out = text;
  if (a6->sin6_scope_id != 0) {
    char name[IF_NAMESIZE] = "";
    out += '%';
    out += ::if_indextoname(a6->sin6_scope_id, name) ? std::string(name)
                                                     : std::to_string(a6->sin6_scope_id);
  }
  return out;
}

std::string Endpoint::Text() const {
  const std::string port = std::to_string(Port());
  if (IsIpv6()) return '[' + AddressText() + "]:" + port;
  return AddressText() + ':' + port;
}

const char* Endpoint::FamilyName() const noexcept {
  return IsIpv4() ? "ipv4" : IsIpv6() ? "ipv6" : "";
}

std::string Endpoint::AddressKey() const {
  Endpoint bare = *this;
  bare.SetPort(0);
  return bare.SourceKey();
}

std::string Endpoint::SourceKey() const {
  return std::string(reinterpret_cast<const char*>(&m_addr), m_length);
}

std::string ResolveHost(const std::string& host, FamilyFilter filter, uint16_t port,
                        std::vector<Endpoint>* out) {
  out->clear();
  if (Endpoint literal = Endpoint::ParseLiteral(host); literal.Valid()) {
    if (!FamilyAllowed(literal.Family(), filter))
      return literal.IsIpv4() ? "an IPv4 address, and -6 asks for IPv6"
                              : "an IPv6 address, and -4 asks for IPv4";
    literal.SetPort(port);
    out->push_back(literal);
    return "";
  }
  addrinfo hints{};
  hints.ai_family = filter == FamilyFilter::kIpv4   ? AF_INET
                    : filter == FamilyFilter::kIpv6 ? AF_INET6
                                                    : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int err = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); err != 0)
    return err == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(err);
  for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
    Endpoint e = Endpoint::FromSockaddr(ai->ai_addr, ai->ai_addrlen);
    if (!e.Valid() || !FamilyAllowed(e.Family(), filter)) continue;
    e.SetPort(port);
    const bool seen = std::any_of(out->begin(), out->end(), [&](const Endpoint& other) {
      return other.SourceKey() == e.SourceKey();
    });
    if (!seen) out->push_back(e);
  }
  ::freeaddrinfo(found);
  if (out->empty()) return "no address of the asked family";
  return "";
}

}  // namespace quarvent
