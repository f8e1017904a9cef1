// serve and measure over both families: one dual-stack serve measured over
// ::1 and 127.0.0.1 by TCP and UDP, the session lines of both, -4 and -6,
// and a serve on IPv6 alone refusing an IPv4 client cleanly. Every case that
// needs ::1 skips with one line on a machine without an IPv6 loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/console/serve_child.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"

namespace quarvent::test {
namespace {

// A continuous run of chat (pattern 5) against port, ended by SIGINT once an
// interval has shown received data. Returns the report (stdout).
std::string MeasureAWhile(int port, const std::string& address, bool udp) {
  std::vector<std::string> args = {"measure",   "-a", address, "--port",     std::to_string(port),
                                   "--pattern", "5",  "-t",    "continuous", "-i",
                                   "0.1"};
  if (udp) args.push_back("-u");
  Child measure = SpawnQuarvent(args, kCaptureStdout);
  const bool live = WaitForLine(measure, " s] 受信 ", std::chrono::seconds(30), kCaptureStdout);
  ::kill(measure.pid, SIGINT);
  ReadAll(measure);
  EXPECT_TRUE(live) << measure.outText;
  EXPECT_EQ(WaitExit(measure), 0) << measure.outText;
  return measure.outText;
}

struct FamilyCase {
  const char* address;  // as typed
  bool udp;
  const char* header;  // the report's first line up to the pattern
  const char* peer;    // how serve's session line names the client
};

TEST(Ipv6Console, OneDualStackServeMeasuredOverBothFamiliesByTcpAndUdp) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  const FamilyCase cases[] = {
      {"::1", false, "--- TCP (::1) [", "TCP session [::1]:"},
      {"[::1]", true, "--- UDP (::1) [", "UDP session [::1]:"},
      {"0:0:0:0:0:0:0:1", false, "--- TCP (::1) [", "TCP session [::1]:"},
      {"127.0.0.1", false, "--- TCP (127.0.0.1) [", "TCP session 127.0.0.1:"},
      {"127.0.0.1", true, "--- UDP (127.0.0.1) [", "UDP session 127.0.0.1:"},
  };
  const int port = FreePort();
  Serve serve = StartServeWith(port, {});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  for (const FamilyCase& c : cases) {
    SCOPED_TRACE(std::string(c.address) + (c.udp ? " UDP" : " TCP"));
    const std::string report = MeasureAWhile(port, c.address, c.udp);
    EXPECT_TRUE(report.starts_with(c.header)) << report;
    // An IPv4 client is never shown as ::ffff:127.0.0.1.
    EXPECT_TRUE(WaitForLine(serve.child, c.peer)) << serve.child.errText;
  }
  EXPECT_EQ(serve.child.errText.find("::ffff:"), std::string::npos) << serve.child.errText;
  ::kill(serve.child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

// The same over --max-clients, where each UDP source gets a socket of its own
// bound to the address it sent to.
TEST(Ipv6Console, ConcurrentServeTakesBothFamiliesAndCountsMappedSourcesAsIpv4) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"--max-clients", "4", "--max-per-source", "1"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  EXPECT_TRUE(MeasureAWhile(port, "::1", true).starts_with("--- UDP (::1) ["));
  EXPECT_TRUE(WaitForLine(serve.child, "UDP session [::1]:")) << serve.child.errText;
  EXPECT_TRUE(MeasureAWhile(port, "127.0.0.1", true).starts_with("--- UDP (127.0.0.1) ["));
  EXPECT_TRUE(WaitForLine(serve.child, "UDP session 127.0.0.1:")) << serve.child.errText;
  // One session per source address: a second IPv4 client, which reaches the
  // dual-stack socket as ::ffff:127.0.0.1, counts as 127.0.0.1 and is refused.
  UdpClient first(port), second(port);
  ASSERT_TRUE(first.Negotiate(7));
  char line[kLineBufferSize];
  BuildNegotiation(line, 7);
  ASSERT_TRUE(second.SendText(line));
  std::vector<char> reply;
  ASSERT_GT(second.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=87."));
  ::kill(serve.child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

TEST(Ipv6Console, AServeOnIpv6AloneRefusesAnIpv4ClientCleanly) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"-6"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  EXPECT_NE(serve.child.errText.find(" (TCP and UDP) at ::\n"), std::string::npos)
      << serve.child.errText;
  Child refused = SpawnQuarvent(
      {"measure", "-a", "127.0.0.1", "--port", std::to_string(port), "-t", "15", "--pattern", "5"},
      kCaptureStdout);
  ReadAll(refused);
  EXPECT_EQ(WaitExit(refused), 1);
  EXPECT_TRUE(refused.outText.starts_with("--- TCP (127.0.0.1) [")) << refused.outText;
  EXPECT_NE(refused.outText.find("Connection Refused."), std::string::npos) << refused.outText;
  // -6 on the client side reaches it.
  EXPECT_TRUE(MeasureAWhile(port, "::1", false).starts_with("--- TCP (::1) ["));
  ::kill(serve.child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

TEST(Ipv6Console, TheJsonStartNamesTheAddressAndItsFamily) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  const int port = FreePort();  // nothing listens: the start event comes first anyway
  Child measure = SpawnQuarvent(
      {"measure", "-a", "[::1]", "--port", std::to_string(port), "-t", "15", "--json-stream"},
      kCaptureStdout);
  ReadAll(measure);
  EXPECT_EQ(WaitExit(measure), 1);
  EXPECT_NE(measure.outText.find("\"host\":\"[::1]\",\"address\":\"::1\",\"family\":\"ipv6\","),
            std::string::npos)
      << measure.outText;
}

struct UsageCase {
  std::vector<std::string> args;
  const char* problem;
};

TEST(Ipv6Console, FamilyOptionsThatContradictTheAddressAreUsageErrors) {
  const UsageCase cases[] = {
      {{"measure", "-4", "-a", "::1"}, "quarvent measure: --address: '::1' is not IPv4 (-4)"},
      {{"measure", "-6", "-a", "127.0.0.1"},
       "quarvent measure: --address: '127.0.0.1' is not IPv6 (-6)"},
      {{"measure", "-4", "-6"}, "quarvent measure: -4 and -6 exclude each other"},
      {{"serve", "-4", "--bind", "::1"}, "quarvent serve: --bind: '::1' is not IPv4 (-4)"},
      {{"serve", "-6", "--bind", "127.0.0.1"},
       "quarvent serve: --bind: '127.0.0.1' is not IPv6 (-6)"},
      {{"serve", "-4", "-6"}, "quarvent serve: -4 and -6 exclude each other"},
      {{"serve", "--bind", "fe80::1%no-such-if"},
       "quarvent serve: --bind: 'fe80::1%no-such-if' is not an IPv4 address A.B.C.D or an IPv6 "
       "address"},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.problem);
    Child child = SpawnQuarvent(c.args, kCaptureStderr);
    EXPECT_TRUE(WaitForLine(child, c.problem)) << child.errText;
    EXPECT_EQ(WaitExit(child), 2);
  }
}

}  // namespace
}  // namespace quarvent::test
