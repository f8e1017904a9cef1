// The destination a datagram carries, read on sockets of both families: the
// address an answer must leave from.
#include "server/packet_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "common/endpoint.h"
#include "common/socket.h"
#include "tests/support/loopback.h"

namespace quarvent {
namespace {

// A socket of family bound to every address on a port of the system's
// choosing, with packet information on; its port.
int BoundEverywhere(const Socket& sock, int family, bool dualStack) {
  if (family == AF_INET6) {
    const int v6only = dualStack ? 0 : 1;
    ::setsockopt(sock.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  }
  const Endpoint any = Endpoint::Any(family);
  if (::bind(sock.Fd(), any.Addr(), any.Length()) != 0) return 0;
  EnablePacketInfo(sock.Fd(), family);
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  ::getsockname(sock.Fd(), reinterpret_cast<sockaddr*>(&local), &len);
  return Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&local), len).Port();
}

struct DestinationCase {
  int listenFamily;
  bool dualStack;
  const char* sendTo;
  const char* destination;  // as read back (Endpoint text, v4-mapped shown as IPv4)
  int rawFamily;            // the family the answer's socket needs
};

TEST(PacketInfo, TheDestinationOfADatagramIsReadWithoutTakingIt) {
  const DestinationCase cases[] = {
      {AF_INET, false, "127.0.0.1", "127.0.0.1", AF_INET},
      {AF_INET6, false, "::1", "::1", AF_INET6},
      {AF_INET6, true, "127.0.0.1", "127.0.0.1", AF_INET6},  // mapped on the IPv6 socket
  };
  for (const DestinationCase& c : cases) {
    SCOPED_TRACE(c.sendTo);
    if (c.listenFamily == AF_INET6 && !test::HasIpv6Loopback())
      GTEST_SKIP() << "no IPv6 loopback on this machine";
    const Socket server = Socket::Udp(c.listenFamily);
    const int port = BoundEverywhere(server, c.listenFamily, c.dualStack);
    ASSERT_GT(port, 0);
    Endpoint to = Endpoint::ParseLiteral(c.sendTo);
    to.SetPort(static_cast<uint16_t>(port));
    const Socket client = Socket::Udp(to.Family());
    ASSERT_EQ(::sendto(client.Fd(), "x", 1, 0, to.Addr(), to.Length()), 1);
    sockaddr_storage seen{};
    ASSERT_TRUE(PeekDestination(server.Fd(), port, &seen));
    EXPECT_EQ(seen.ss_family, c.rawFamily);
    const Endpoint destination =
        Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&seen), sizeof seen);
    EXPECT_EQ(destination.AddressText(), c.destination);
    EXPECT_EQ(destination.Port(), port);
    // Still there for the real receive.
    char byte = 0;
    EXPECT_EQ(::recv(server.Fd(), &byte, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(byte, 'x');
  }
}

TEST(PacketInfo, AShutDownSocketGivesNoDestination) {
  const Socket server = Socket::Udp(AF_INET);
  const int port = BoundEverywhere(server, AF_INET, false);
  ASSERT_GT(port, 0);
  ::shutdown(server.Fd(), SHUT_RDWR);
  sockaddr_storage seen{};
  EXPECT_FALSE(PeekDestination(server.Fd(), port, &seen));
  EXPECT_EQ(seen.ss_family, 0);
}

// An answer to a loopback peer leaves from 127.0.0.1 by routing alone, in
// the IPv4 and in the v4-mapped form; another address needs the packet
// information.
TEST(PacketInfo, RoutingAloneAnswersFromTheLoopbackAddress) {
  const auto storage = [](const char* text, int port) {
    Endpoint e = Endpoint::ParseLiteral(text);
    e.SetPort(static_cast<uint16_t>(port));
    sockaddr_storage s{};
    std::memcpy(&s, e.Addr(), e.Length());
    return s;
  };
  EXPECT_TRUE(RoutedFrom(storage("127.0.0.1", 40000), storage("127.0.0.1", 0)));
  EXPECT_FALSE(RoutedFrom(storage("127.0.0.1", 40000), storage("127.0.0.2", 0)));
  sockaddr_storage mapped{};
  auto& six = reinterpret_cast<sockaddr_in6&>(mapped);
  six.sin6_family = AF_INET6;
  six.sin6_port = htons(40000);
  ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &six.sin6_addr), 1);
  EXPECT_TRUE(RoutedFrom(mapped, storage("127.0.0.1", 0)));
  if (test::HasIpv6Loopback()) {
    EXPECT_TRUE(RoutedFrom(storage("::1", 40000), storage("::1", 0)));
  }
}

}  // namespace
}  // namespace quarvent
