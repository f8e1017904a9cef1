// `quarvent serve` and `quarvent measure` as child processes: serve driven by
// scripted loopback clients, measure against serve end to end.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"

namespace quarvent::test {
namespace {

// The UDP socket may be bound a moment after the TCP listener; a line sent
// before that is lost, so it is sent again after a short wait.
bool NegotiateUdp(int port, int pattern) {
  UdpClient udp(port, 300ms);
  char line[64];
  BuildNegotiation(line, pattern);
  std::vector<char> reply;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (!udp.SendText(line)) return false;
    if (udp.Recv(reply) > 0) {
      if (std::string(reply.begin(), reply.end()) != std::string(kIdentifier) + '\0') return false;
      if (!udp.SendWord(4) || udp.Recv(reply) != 8192) return false;
      return udp.SendWord(kEndMarker);
    }
  }
  return false;
}

TEST(ConsoleServe, ServesBothProtocolsAndExitsZeroOnSigint) {
  const int port = FreePort();
  Child child = SpawnQuarvent({"serve", "--port", std::to_string(port)});
  ASSERT_GT(child.pid, 0);
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
  EXPECT_TRUE(NegotiateUdp(port, 7));
  ::kill(child.pid, SIGINT);
  EXPECT_EQ(WaitExit(child), 0);
}

TEST(ConsoleServe, ExitsOneWhenBothServicesEndedByThemselves) {
  const int port = FreePort();
  Child child = SpawnQuarvent({"serve", "--port", std::to_string(port + 65536)});
  ASSERT_GT(child.pid, 0);
  {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.SendText("X 100:42"));
    EXPECT_EQ(tcp.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  }
  UdpClient udp(port, 300ms);
  std::vector<char> reply;
  for (int attempt = 0; attempt < 10; ++attempt) {
    ASSERT_TRUE(udp.SendText("X 100:42"));
    if (udp.Recv(reply) > 0) break;
  }
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  EXPECT_EQ(WaitExit(child), 1);
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

// A measurement of `seconds` ended by SIGINT (the user's abort), which still
// gives a full report and exit code 0.
struct Measured {
  std::string report;
  int exitCode;
};

Measured MeasureFor(int port, int pattern, const char* protocol, std::chrono::milliseconds time) {
  Child child =
      SpawnQuarvent({"measure", "--port", std::to_string(port), "--pattern",
                     std::to_string(pattern), "--duration", "continuous", "--protocol", protocol},
                    true);
  std::this_thread::sleep_for(time);
  ::kill(child.pid, SIGINT);
  Measured m;
  m.report = ReadAll(child, 10s);
  m.exitCode = WaitExit(child);
  return m;
}

// The minimum/maximum line of received chunk sizes, e.g. "8192 / 8192".
std::string RecvMinMax(const std::string& report) {
  const std::string key = "受信：最小/最大 : ";
  const size_t at = report.find(key);
  if (at == std::string::npos) return "";
  return report.substr(at + key.size(), report.find('\n', at) - at - key.size());
}

class ConsoleMeasure : public testing::Test {
 protected:
  void SetUp() override {
    m_port = FreePort();
    m_server = SpawnQuarvent({"serve", "--port", std::to_string(m_port)});
    ASSERT_GT(m_server.pid, 0);
    // Ready once a whole UDP session has been served (the TCP listener comes first).
    ASSERT_TRUE(NegotiateUdp(m_port, 7));
  }
  void TearDown() override {
    ::kill(m_server.pid, SIGINT);
    EXPECT_EQ(WaitExit(m_server), 0);
  }
  int m_port = 0;
  Child m_server;
};

TEST_F(ConsoleMeasure, TcpRunAgainstServeGivesTheFullReport) {
  const Measured m = MeasureFor(m_port, 7, "tcp", 400ms);
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
}

TEST_F(ConsoleMeasure, UdpWorksForEveryPattern) {
  for (int pattern = 0; pattern < kPatternCount; ++pattern) {
    const Measured m = MeasureFor(m_port, pattern, "udp", 150ms);
    EXPECT_EQ(m.exitCode, 0) << pattern << "\n" << m.report;
    EXPECT_EQ(m.report.rfind("--- UDP (127.0.0.1) [", 0), 0u) << m.report;
    const SizeRule chunk = ServerPatternFor(pattern, kUdp).chunk;
    int lo = 0, hi = 0;
    ASSERT_EQ(std::sscanf(RecvMinMax(m.report).c_str(), "%d / %d", &lo, &hi), 2) << m.report;
    EXPECT_GE(lo, chunk.Min()) << pattern;
    EXPECT_LE(hi, chunk.Max()) << pattern;
    // Over UDP every chunk follows a request; patterns 0 to 2 send bare length words.
    if (pattern <= 2) {
      EXPECT_NE(m.report.find("送信：最小/最大 : 4 / 4"), std::string::npos);
    }
  }
}

TEST(ConsoleMeasureAlone, RefusedConnectionAndUsage) {
  const int port = FreePort();  // nothing listens there
  Child child =
      SpawnQuarvent({"measure", "--port", std::to_string(port), "--duration", "15"}, true);
  const std::string report = ReadAll(child, 10s);
  EXPECT_EQ(WaitExit(child), 1);
  EXPECT_NE(report.find("Connection Refused."), std::string::npos) << report;
  EXPECT_EQ(RunToExit({"measure", "--pattern", "11"}), 2);
  EXPECT_EQ(RunToExit({"measure", "--protocol", "sctp"}), 2);
  EXPECT_EQ(RunToExit({"measure", "--help"}), 0);
}

}  // namespace
}  // namespace quarvent::test
