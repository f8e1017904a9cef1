// `quarvent serve` and `quarvent measure` as child processes: serve driven by
// scripted loopback clients, measure against serve end to end.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/console/measure_child.h"
#include "tests/console/serve_child.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"

namespace quarvent::test {
namespace {

// One UDP session of pattern: negotiation, one request and its chunk, the end
// marker. Only for a service that has just bound its socket: the service binds
// a fresh one after every session, and a line sent before that is lost.
bool UdpSession(int port, int pattern) {
  UdpClient udp(port, 30s);
  char line[64];
  BuildNegotiation(line, pattern);
  std::vector<char> reply;
  if (!udp.SendText(line) || udp.Recv(reply) <= 0) return false;
  if (std::string(reply.begin(), reply.end()) != std::string(kIdentifier) + '\0') return false;
  if (!udp.SendWord(4) || udp.Recv(reply) != 8192) return false;
  return udp.SendWord(kEndMarker);
}

TEST(ConsoleServe, ServesBothProtocolsAndExitsZeroOnSigint) {
  const int port = FreePort();
  Serve serve = StartServe(port);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.Connected());
    ASSERT_TRUE(tcp.Negotiate(7));
    ASSERT_TRUE(tcp.SendRequest(8192));
    std::vector<char> chunk;
    ASSERT_TRUE(tcp.RecvChunk(chunk));
    EXPECT_EQ(chunk.size(), 8192u);
    ASSERT_TRUE(tcp.SendWord(kEndMarker));
  }
  EXPECT_TRUE(UdpSession(port, 7));
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

TEST(ConsoleServe, ExitsOneWhenBothServicesEndedByThemselves) {
  const int port = FreePort();
  Serve serve = StartServe(port, port + 65536LL);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.SendText("X 100:42"));
    EXPECT_EQ(tcp.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  }
  UdpClient udp(port, 30s);
  std::vector<char> reply;
  ASSERT_TRUE(udp.SendText("X 100:42"));
  ASSERT_GT(udp.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  EXPECT_EQ(WaitExit(serve.child), 1) << serve.child.errText;
}

int RunToExit(const std::vector<std::string>& args) {
  Child child = SpawnQuarvent(args);
  return WaitExit(child);
}

TEST(ConsoleServe, UsageErrorsExitTwoAndHelpExitsZero) {
  EXPECT_EQ(RunToExit({"serve", "--bogus"}), 2);
  EXPECT_EQ(RunToExit({"serve", "--port"}), 2);
  EXPECT_EQ(RunToExit({"serve", "--port", "12x"}), 2);
  EXPECT_EQ(RunToExit({"serve", "--help"}), 0);
}

// A measurement against serve ended by SIGINT (the user's abort), which
// still gives a full report and exit code 0. The run is cut into 0.1-s
// intervals, and the signal comes once an interval line shows received data:
// then at least one chunk, and the request before it, has been exchanged, as
// the report's minimum/maximum lines need. (serve's streaming line alone says
// only that the negotiation came, not that the client has sent a request.)
struct Measured {
  std::string report;
  int exitCode;
};

Measured MeasureFor(Serve& serve, int port, int pattern, const char* protocol) {
  Child child = SpawnQuarvent(
      {"measure", "--port", std::to_string(port), "--pattern", std::to_string(pattern),
       "--duration", "continuous", "--protocol", protocol, "--interval", "0.1"},
      kCaptureStdout);
  const bool flowing = WaitForReceivedData(child);
  ::kill(child.pid, SIGINT);
  Measured m;
  m.report = ReadAll(child);
  m.exitCode = WaitExit(child);
  if (!flowing) m.report += "\n(no data came: " + serve.child.errText + ")";
  return m;
}

// The minimum/maximum line of received chunk sizes, e.g. "8192 / 8192".
std::string RecvMinMax(const std::string& report) {
  const std::string key = "受信：最小/最大 : ";
  const size_t at = report.find(key);
  if (at == std::string::npos) return "";
  return report.substr(at + key.size(), report.find('\n', at) - at - key.size());
}

TEST(ConsoleMeasure, TcpRunAgainstServeGivesTheFullReport) {
  const int port = FreePort();
  Serve serve = StartServe(port);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  const Measured m = MeasureFor(serve, port, 7, "tcp");
  EXPECT_EQ(m.exitCode, 0) << m.report;
  EXPECT_EQ(m.report.rfind("--- TCP (127.0.0.1) [限界調査1      ( 8KB 連続送受信)] ---\n", 0), 0u)
      << m.report;
  EXPECT_NE(m.report.find("\nﾕｰｻﾞによる中断.\n経過時間 : "), std::string::npos) << m.report;
  for (const char* line : {"\nトータルスループット : ", "\n受信スループット : ",
                           "\n送信スループット : ", "\n受信サイズ : ", "\n送信サイズ : ",
                           "\n送信：最小/最大 : 8192 / 8192\n", "\nKernelTime / UserTime = "})
    EXPECT_NE(m.report.find(line), std::string::npos) << line << "\n" << m.report;
  EXPECT_EQ(RecvMinMax(m.report), "8192 / 8192");
  EXPECT_EQ(m.report.find('\r'), std::string::npos);  // LF line ends on stdout
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

// One serve per run: after a UDP session the service closes its socket and
// binds a fresh one, and a negotiation line that comes before that bind is
// dropped with the old socket. Only the readiness line of a new serve says
// that the next line is heard.
TEST(ConsoleMeasure, UdpWorksForEveryPattern) {
  const int port = FreePort();
  for (int pattern = 0; pattern < kPatternCount; ++pattern) {
    SCOPED_TRACE(pattern);
    Serve serve = StartServe(port);
    ASSERT_TRUE(serve.ready) << serve.child.errText;
    const Measured m = MeasureFor(serve, port, pattern, "udp");
    EXPECT_EQ(m.exitCode, 0) << m.report;
    EXPECT_EQ(m.report.rfind("--- UDP (127.0.0.1) [", 0), 0u) << m.report;
    const SizeRule chunk = ServerPatternFor(pattern, kUdp).chunk;
    int lo = 0, hi = 0;
    EXPECT_EQ(std::sscanf(RecvMinMax(m.report).c_str(), "%d / %d", &lo, &hi), 2) << m.report;
    EXPECT_GE(lo, chunk.Min());
    EXPECT_LE(hi, chunk.Max());
    // Over UDP every chunk follows a request; patterns 0 to 2 send bare length words.
    if (pattern <= 2) {
      EXPECT_NE(m.report.find("送信：最小/最大 : 4 / 4"), std::string::npos) << m.report;
    }
    ::kill(serve.child.pid, SIGINT);
    ASSERT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
  }
}

TEST(ConsoleMeasureAlone, RefusedConnectionAndUsage) {
  const int port = FreePort();  // nothing listens there
  Child child = SpawnQuarvent({"measure", "--port", std::to_string(port), "--duration", "15"},
                              kCaptureStdout);
  const std::string report = ReadAll(child);
  EXPECT_EQ(WaitExit(child), 1);
  EXPECT_NE(report.find("Connection Refused."), std::string::npos) << report;
  EXPECT_EQ(RunToExit({"measure", "--pattern", "11"}), 2);
  EXPECT_EQ(RunToExit({"measure", "--protocol", "sctp"}), 2);
  EXPECT_EQ(RunToExit({"measure", "--help"}), 0);
}

}  // namespace
}  // namespace quarvent::test
