// `quarvent serve` with --max-clients: clients served side by side, the
// refusal beyond the limit, the line of the number of sessions, the line of
// a session in progress at SIGTERM, and a port that cannot be bound.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/console/serve_child.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"

namespace quarvent::test {
namespace {

std::string Line() {
  char line[kLineBufferSize];
  BuildNegotiation(line, 7);
  return line;
}

TEST(ServeMany, ClientsSideBySideTheRefusalBeyondTheLimitAndTheirLinesAtSigterm) {
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"--max-clients", "2"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  TcpClient tcp1(port), tcp2(port);
  ASSERT_TRUE(tcp1.Negotiate(7));
  ASSERT_TRUE(tcp2.Negotiate(7));
  UdpClient udp1(port), udp2(port), udp3(port);
  ASSERT_TRUE(udp1.Negotiate(7));
  ASSERT_TRUE(udp2.Negotiate(7));
  ASSERT_TRUE(udp3.SendText(Line()));
  std::vector<char> reply;
  ASSERT_GT(udp3.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=87."));
  EXPECT_TRUE(WaitForLine(serve.child, "quarvent serve: 4 sessions (2 TCP, 2 UDP), 1 refused"))
      << serve.child.errText;
  ASSERT_TRUE(udp1.SendWord(kEndMarker));
  EXPECT_TRUE(WaitForLine(serve.child, ": end marker")) << serve.child.errText;
  ::kill(serve.child.pid, SIGTERM);
  // Two TCP sessions and one UDP session were in progress.
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(WaitForLine(serve.child, ": server stopped")) << serve.child.errText;
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

// One UDP client of serve --strict-requests (one at a time): a lone length
// word draws nothing, a request of the pattern's size its chunk, and the
// session line counts just that chunk and the 24-byte reply.
TEST(ServeMany, StrictRequestsAnswerOnlyRequestsOfThePatternsSize) {
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"--strict-requests"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  UdpClient udp(port);
  ASSERT_TRUE(udp.Negotiate(7));
  ASSERT_TRUE(udp.SendWord(4));
  ASSERT_TRUE(udp.SendRequest(8192, 8192));
  std::vector<char> chunk;
  ASSERT_EQ(udp.Recv(chunk), 8192);
  EXPECT_EQ(chunk[8191], 'q');  // the full request's bytes, not the word's
  ASSERT_TRUE(udp.SendWord(kEndMarker));
  EXPECT_TRUE(WaitForLine(serve.child, "8230 bytes in, 8216 bytes out")) << serve.child.errText;
  ::kill(serve.child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

TEST(ServeMany, OneClientAtATimeASessionInProgressAtSigtermGetsItsLine) {
  const int port = FreePort();
  Serve serve = StartServeWith(port, {});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  TcpClient tcp(port);
  ASSERT_TRUE(tcp.Negotiate(7));
  ASSERT_TRUE(tcp.SendRequest(8192));
  std::vector<char> chunk;
  ASSERT_TRUE(tcp.RecvChunk(chunk));
  ::kill(serve.child.pid, SIGTERM);
  EXPECT_TRUE(WaitForLine(serve.child, ": server stopped")) << serve.child.errText;
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
  EXPECT_NE(serve.child.errText.find("quarvent serve: TCP session 127.0.0.1:"), std::string::npos)
      << serve.child.errText;
  EXPECT_NE(serve.child.errText.find(" pattern 7, "), std::string::npos) << serve.child.errText;
}

TEST(ServeMany, APortThatCannotBeBoundEndsServeAtOnceSayingWhichAndWhy) {
  const int port = FreePort();
  // Another program holds the port for TCP.
  Socket holder = Socket::Tcp();
  sockaddr_in addr = Loopback(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(holder.Fd(), 1), 0);
  for (const std::vector<std::string>& more :
       {std::vector<std::string>{}, std::vector<std::string>{"--max-clients", "8"}}) {
    std::vector<std::string> args = {"serve", "--port", std::to_string(port)};
    args.insert(args.end(), more.begin(), more.end());
    Child child = SpawnQuarvent(args, kCaptureStderr);
    EXPECT_TRUE(WaitForLine(child, "Address already in use")) << child.errText;
    EXPECT_EQ(WaitExit(child), 1) << child.errText;
    EXPECT_NE(child.errText.find("quarvent serve: TCP port " + std::to_string(port)),
              std::string::npos)
        << child.errText;
    EXPECT_NE(child.errText.find("Address already in use"), std::string::npos) << child.errText;
    EXPECT_EQ(child.errText.find(ReadyLine(port)), std::string::npos) << child.errText;
  }
}

}  // namespace
}  // namespace quarvent::test
