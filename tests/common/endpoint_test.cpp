// Reading and writing addresses of both families, without a socket.
#include "common/endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <string>
#include <vector>

namespace quarvent {
namespace {

struct LiteralCase {
  const char* input;
  const char* address;  // AddressText, "" when the input is no literal
  const char* text;     // Text with port 41118
  int family;
};

TEST(EndpointTest, LiteralsReadAndWrittenBack) {
  const LiteralCase cases[] = {
      {"127.0.0.1", "127.0.0.1", "127.0.0.1:41118", AF_INET},
      {"198.18.0.1", "198.18.0.1", "198.18.0.1:41118", AF_INET},
      {"0.0.0.0", "0.0.0.0", "0.0.0.0:41118", AF_INET},
      {"::1", "::1", "[::1]:41118", AF_INET6},
      {"[::1]", "::1", "[::1]:41118", AF_INET6},
      {"2001:2:0:0:0:0:0:1", "2001:2::1", "[2001:2::1]:41118", AF_INET6},
      {"2001:0002::0001", "2001:2::1", "[2001:2::1]:41118", AF_INET6},
      {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1", "[2001:db8::1:0:0:1]:41118", AF_INET6},
      {"2001:2:0:1:0:0:0:0", "2001:2:0:1::", "[2001:2:0:1::]:41118", AF_INET6},
      {"::ffff:127.0.0.1", "127.0.0.1", "127.0.0.1:41118", AF_INET},  // v4-mapped is IPv4
      {"[::ffff:198.18.0.2]", "198.18.0.2", "198.18.0.2:41118", AF_INET},
      {"fe80::1%1", "fe80::1%lo", "[fe80::1%lo]:41118", AF_INET6},  // index 1 is loopback
      {"fe80::1%lo", "fe80::1%lo", "[fe80::1%lo]:41118", AF_INET6},
      {"fe80::1%", "", "", 0},
      {"fe80::1%no-such-interface", "", "", 0},
      {"localhost", "", "", 0},
      {"1.2.3", "", "", 0},
      {"256.1.1.1", "", "", 0},
      {"[127.0.0.1]", "", "", 0},
      {"2001:2::1::2", "", "", 0},
      {"[::1", "", "", 0},
      {"", "", "", 0},
  };
  const bool loIsOne = ::if_nametoindex("lo") == 1;
  for (const LiteralCase& c : cases) {
    SCOPED_TRACE(c.input);
    if (std::string(c.input).find("%") != std::string::npos && c.family != 0 && !loIsOne) continue;
    Endpoint e = Endpoint::ParseLiteral(c.input);
    EXPECT_EQ(e.Valid(), c.family != 0);
    EXPECT_EQ(e.Family(), c.family);
    EXPECT_EQ(e.AddressText(), c.address);
    if (!e.Valid()) continue;
    e.SetPort(41118);
    EXPECT_EQ(e.Port(), 41118);
    EXPECT_EQ(e.Text(), c.text);
    EXPECT_STREQ(e.FamilyName(), c.family == AF_INET ? "ipv4" : "ipv6");
  }
}

TEST(EndpointTest, SystemAddressesOfBothFamiliesAndMappedOnes) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = htons(41118);
  ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr), 1);
  const Endpoint fromMapped =
      Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&mapped), sizeof mapped);
  EXPECT_TRUE(fromMapped.IsIpv4());
  EXPECT_EQ(fromMapped.Text(), "127.0.0.1:41118");
  EXPECT_EQ(fromMapped.Length(), sizeof(sockaddr_in));
  // The same host over IPv4 and as v4-mapped is one source.
  EXPECT_EQ(fromMapped.SourceKey(), Endpoint::Ipv4(0x7F000001, 41118).SourceKey());
  EXPECT_EQ(fromMapped.AddressKey(), Endpoint::Ipv4(0x7F000001, 5).AddressKey());
  EXPECT_NE(fromMapped.SourceKey(), Endpoint::Ipv4(0x7F000001, 5).SourceKey());

  // A length too short for its family, or another family, is nothing.
  EXPECT_FALSE(Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&mapped), 16).Valid());
  sockaddr_storage unix{};
  unix.ss_family = AF_UNIX;
  EXPECT_FALSE(
      Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&unix), sizeof unix).Valid());
  EXPECT_FALSE(Endpoint().Valid());
  EXPECT_EQ(Endpoint().Text(), ":0");

  EXPECT_TRUE(Endpoint::Any(AF_INET6).IsWildcard());
  EXPECT_TRUE(Endpoint::Any(AF_INET).IsWildcard());
  EXPECT_FALSE(Endpoint::ParseLiteral("::1").IsWildcard());
  EXPECT_EQ(Endpoint::Any(AF_INET6, 49152).Text(), "[::]:49152");
  EXPECT_EQ(Endpoint::Ipv4(0xC6120001).AddressText(), "198.18.0.1");
}

struct ResolveCase {
  const char* host;
  FamilyFilter filter;
  std::vector<std::string> addresses;  // "" first: an error is expected
};

TEST(EndpointTest, LiteralsResolveWithoutTheResolverAndHonourTheFilter) {
  const ResolveCase cases[] = {
      {"127.0.0.1", FamilyFilter::kAny, {"127.0.0.1:49152"}},
      {"127.0.0.1", FamilyFilter::kIpv4, {"127.0.0.1:49152"}},
      {"127.0.0.1", FamilyFilter::kIpv6, {""}},
      {"[2001:2::1]", FamilyFilter::kAny, {"[2001:2::1]:49152"}},
      {"2001:2::1", FamilyFilter::kIpv6, {"[2001:2::1]:49152"}},
      {"2001:2::1", FamilyFilter::kIpv4, {""}},
  };
  for (const ResolveCase& c : cases) {
    SCOPED_TRACE(c.host);
    std::vector<Endpoint> found;
    const std::string problem = ResolveHost(c.host, c.filter, 49152, &found);
    if (c.addresses.front().empty()) {
      EXPECT_FALSE(problem.empty());
      continue;
    }
    ASSERT_EQ(problem, "");
    std::vector<std::string> texts;
    for (const Endpoint& e : found) texts.push_back(e.Text());
    EXPECT_EQ(texts, c.addresses);
  }
}

// The resolver's own order is kept; only the asked family stays.
TEST(EndpointTest, NamesKeepTheFamilyAsked) {
  std::vector<Endpoint> any, v4;
  if (!ResolveHost("localhost", FamilyFilter::kAny, 7, &any).empty())
    GTEST_SKIP() << "localhost does not resolve here";
  ASSERT_EQ(ResolveHost("localhost", FamilyFilter::kIpv4, 7, &v4), "");
  for (const Endpoint& e : v4) EXPECT_TRUE(e.IsIpv4());
  for (const Endpoint& e : any) EXPECT_EQ(e.Port(), 7);
  std::vector<Endpoint> v6;
  if (ResolveHost("localhost", FamilyFilter::kIpv6, 7, &v6).empty()) {
    for (const Endpoint& e : v6) EXPECT_TRUE(e.IsIpv6());
  }
}

}  // namespace
}  // namespace quarvent
