// `quarvent serve` left alone: --keep-serving, --idle-timeout, --max-duration
// and --bind against silent, garbled, half-open and storming peers, each
// followed by good TCP and UDP clients, and the per-session line on stderr
// that says how every session ended. Every wait is for a line of serve's or
// for a reply; the time limits under test only decide when a line comes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/console/serve_child.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/process_stats.h"

namespace quarvent::test {
namespace {

// The next session line of the protocol ("TCP" or "UDP") that contains
// `text`; empty when none came.
std::string NextSession(Serve& serve, const std::string& protocol, const std::string& text) {
  Child& child = serve.child;
  const std::string head = "quarvent serve: " + protocol + " session 127.0.0.1:";
  for (int lines = 0; lines < 1000; ++lines) {
    if (!WaitForLine(child, head)) return "";
    const size_t end = child.errSeen - 1;
    const size_t start = child.errText.rfind('\n', end - 1);
    const std::string line =
        child.errText.substr(start == std::string::npos ? 0 : start + 1,
                             end - (start == std::string::npos ? 0 : start + 1));
    if (line.find(text) != std::string::npos) return line;
  }
  return "";
}

// What the child holds now: its descriptors and threads.
struct Held {
  int fds;
  int threads;
};
Held HeldBy(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return {CountEntries((proc + "/fd").c_str()), CountEntries((proc + "/task").c_str())};
}

std::string NegotiationLine(int pattern) {
  char line[kLineBufferSize];
  BuildNegotiation(line, pattern);
  return line;
}

// A good TCP client that sends everything at once (line, one 8,192-byte
// request, end marker), so that no idle time depends on how fast the test
// runs, then takes the reply and the chunk and sees the server close.
void ExpectPipelinedTcpClient(int port) {
  TcpClient tcp(port);
  ASSERT_TRUE(tcp.Connected());
  std::string all = NegotiationLine(7);
  all.push_back('\0');
  std::vector<char> request(8192, 'r');
  PutLengthWord(request.data(), 8192);
  all.append(request.begin(), request.end());
  char end[4];
  PutLengthWord(end, kEndMarker);
  all.append(end, 4);
  ASSERT_TRUE(tcp.SendAll(all.data(), all.size()));
  EXPECT_EQ(tcp.RecvText(), std::string(kIdentifier) + '\0');
  std::vector<char> chunk;
  ASSERT_TRUE(tcp.RecvChunk(chunk));
  EXPECT_EQ(chunk.size(), 8192u);
  EXPECT_TRUE(tcp.SeesClose());
}

// The same over UDP: line, request and end marker as three datagrams in a row.
void ExpectPipelinedUdpClient(int port) {
  UdpClient udp(port);
  ASSERT_TRUE(udp.SendText(NegotiationLine(7)));
  ASSERT_TRUE(udp.SendWord(4));
  ASSERT_TRUE(udp.SendWord(kEndMarker));
  std::vector<char> reply;
  ASSERT_GT(udp.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), std::string(kIdentifier) + '\0');
  EXPECT_EQ(udp.Recv(reply), 8192);
}

// "N bytes in, M bytes out" of a session line.
std::string Bytes(long long in, long long out) {
  return ", " + std::to_string(in) + " bytes in, " + std::to_string(out) + " bytes out, ";
}

TEST(ServeUnattended, SurvivesHostilePeersAndServesGoodClientsWithNothingLeftOver) {
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"--keep-serving", "--idle-timeout", "1"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  const Held before = HeldBy(serve.child.pid);
  const std::string rejected = "rejected: ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ; serving on";

  {  // A connection that never says a word is dropped.
    TcpClient silent(port);
    ASSERT_TRUE(silent.Connected());
    EXPECT_NE(
        NextSession(serve, "TCP", "pattern -, 0 bytes in, 0 bytes out, ").find(": idle timeout"),
        std::string::npos)
        << serve.child.errText;
    EXPECT_TRUE(silent.SeesClose());
  }
  {  // Half a line, then silence.
    TcpClient half(port);
    ASSERT_TRUE(half.SendAll("Q 100", 5));
    EXPECT_NE(NextSession(serve, "TCP", Bytes(5, 0)).find(": idle timeout"), std::string::npos)
        << serve.child.errText;
    EXPECT_TRUE(half.SeesClose());
  }
  {  // A garbled line is refused, and the service goes on.
    TcpClient garbage(port);
    ASSERT_TRUE(garbage.SendText("X 100:42"));
    EXPECT_EQ(garbage.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
    EXPECT_FALSE(NextSession(serve, "TCP", rejected).empty()) << serve.child.errText;
  }
  {  // Bytes without a line end: the line buffer's limit, then the next client.
    TcpClient flood(port);
    const std::string noise(200, 'G');
    flood.SendAll(noise.data(), noise.size());  // the server may close before all is sent
    EXPECT_FALSE(NextSession(serve, "TCP", "negotiation failed: ").empty()) << serve.child.errText;
    EXPECT_NE(serve.child.errText.find("; serving on"), std::string::npos);
  }
  {  // Negotiated, then it never sends the request that pattern 7 waits for.
    TcpClient stalled(port);
    ASSERT_TRUE(stalled.Negotiate(7));
    EXPECT_NE(NextSession(serve, "TCP", "pattern 7, ").find(": idle timeout"), std::string::npos)
        << serve.child.errText;
    EXPECT_TRUE(stalled.SeesClose());
  }
  {  // Half-closed after its negotiation.
    TcpClient halfClosed(port);
    ASSERT_TRUE(halfClosed.Negotiate(3));
    ::shutdown(halfClosed.Fd(), SHUT_WR);
    EXPECT_NE(NextSession(serve, "TCP", "pattern 3, ").find(": peer closed"), std::string::npos)
        << serve.child.errText;
  }
  {  // A storm of connections that leave at once, half of them with a reset.
    std::vector<Socket> storm;
    for (int i = 0; i < 40; ++i) {
      Socket s = Socket::Tcp();
      ASSERT_TRUE(s.Valid());
      ::fcntl(s.Fd(), F_SETFL, O_NONBLOCK);
      sockaddr_in addr = Loopback(port);
      ::connect(s.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      storm.push_back(std::move(s));
    }
    for (size_t i = 0; i < storm.size(); i += 2) {
      linger reset{1, 0};
      ::setsockopt(storm[i].Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    storm.clear();
  }
  // A good TCP client right after: its session line comes after every
  // earlier connection's, as the service takes one at a time.
  ExpectPipelinedTcpClient(port);
  const std::string line = NegotiationLine(7);
  EXPECT_NE(NextSession(serve, "TCP", "pattern 7" + Bytes(line.size() + 1 + 8192 + 4, 24 + 8192))
                .find(": end marker"),
            std::string::npos)
      << serve.child.errText;

  {  // UDP: a refused line, then the service listens again.
    UdpClient udp(port);
    ASSERT_TRUE(udp.SendText("X 100:42"));
    std::vector<char> reply;
    ASSERT_GT(udp.Recv(reply), 0);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
    EXPECT_FALSE(NextSession(serve, "UDP", rejected).empty()) << serve.child.errText;
  }
  {  // Half a line in a datagram, then silence.
    UdpClient udp(port);
    ASSERT_TRUE(udp.Send("Q 1", 3));
    EXPECT_NE(NextSession(serve, "UDP", "pattern -" + Bytes(3, 0)).find(": idle timeout"),
              std::string::npos)
        << serve.child.errText;
  }
  {  // Negotiated, one request, then no more.
    UdpClient udp(port);
    ASSERT_TRUE(udp.SendText(NegotiationLine(7)));
    ASSERT_TRUE(udp.SendWord(4));
    std::vector<char> data;
    ASSERT_GT(udp.Recv(data), 0);
    EXPECT_EQ(udp.Recv(data), 8192);
    EXPECT_NE(NextSession(serve, "UDP", "pattern 7" + Bytes(line.size() + 1 + 4, 24 + 8192))
                  .find(": idle timeout"),
              std::string::npos)
        << serve.child.errText;
  }
  ExpectPipelinedUdpClient(port);
  EXPECT_NE(NextSession(serve, "UDP", "pattern 7" + Bytes(line.size() + 1 + 4 + 4, 24 + 8192))
                .find(": end marker"),
            std::string::npos)
      << serve.child.errText;

  // Both lines came after their sockets were closed (and UDP's fresh one bound).
  const Held after = HeldBy(serve.child.pid);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(serve.child.errText.find("service ended"), std::string::npos) << serve.child.errText;
  ::kill(serve.child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

TEST(ServeUnattended, MaxDurationEndsSessionsThatNeverEnd) {
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"--max-duration", "1"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  {  // A TCP reader of pattern 0 would take chunks for ever. (Should the
     // limit come before the negotiation is through, the session ends all the same.)
    TcpClient reader(port);
    ASSERT_TRUE(reader.Connected());
    reader.Negotiate(0);
    EXPECT_TRUE(reader.SeesClose());
    EXPECT_NE(NextSession(serve, "TCP", ": max duration"), "") << serve.child.errText;
  }
  {  // A UDP client that negotiates and then holds the session.
    UdpClient udp(port);
    ASSERT_TRUE(udp.SendText(NegotiationLine(0)));
    EXPECT_NE(NextSession(serve, "UDP", ": max duration"), "") << serve.child.errText;
  }
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

TEST(ServeUnattended, BoundToOneAddressAndWithoutKeepServingARefusalStillEndsTheService) {
  const int port = FreePort();
  Serve serve = StartServeWith(port, {"--bind", "127.0.0.1"});
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  EXPECT_NE(serve.child.errText.find(ReadyLine(port) + " at 127.0.0.1\n"), std::string::npos)
      << serve.child.errText;
  ExpectPipelinedTcpClient(port);
  EXPECT_NE(NextSession(serve, "TCP", ": end marker"), "") << serve.child.errText;
  ExpectPipelinedUdpClient(port);
  EXPECT_NE(NextSession(serve, "UDP", ": end marker"), "") << serve.child.errText;
  {
    TcpClient garbage(port);
    ASSERT_TRUE(garbage.SendText("X 100:42"));
    EXPECT_EQ(garbage.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  }
  const std::string refused = NextSession(serve, "TCP", "rejected: ");
  EXPECT_EQ(refused.find("serving on"), std::string::npos) << refused;
  EXPECT_TRUE(WaitForLine(serve.child, "(TCP service ended)")) << serve.child.errText;
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

int ExitOf(const std::vector<std::string>& args, std::string* err = nullptr) {
  Child child = SpawnQuarvent(args, kCaptureStderr);
  WaitForLine(child, "quarvent serve: ");
  const int code = WaitExit(child);
  if (err) *err = child.errText;
  return code;
}

TEST(ServeUnattended, OptionsAreCheckedAndVersionIsPrinted) {
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--idle-timeout", "0"},
                                              {"--idle-timeout", "x"},
                                              {"--idle-timeout", "86401"},
                                              {"--max-duration", "1.5"},
                                              {"--max-duration", "-1"},
                                              {"--bind", "1.2.3"},
                                              {"--bind", "localhost"},
                                              {"--bind"},
                                              {"--max-duration"},
                                              {"--max-clients", "0"},
                                              {"--max-clients", "4097"},
                                              {"--max-clients", "2x"},
                                              {"--max-per-source", "0"},
                                              {"--max-per-source", "-3"}}) {
    std::vector<std::string> args = {"serve"};
    args.insert(args.end(), bad.begin(), bad.end());
    std::string err;
    EXPECT_EQ(ExitOf(args, &err), 2) << bad[0];
    EXPECT_EQ(err.rfind("quarvent serve: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
  }
  Child version = SpawnQuarvent({"serve", "--version"}, kCaptureStdout);
  EXPECT_EQ(ReadAll(version), std::string("quarvent ") + QUARVENT_VERSION + "\n");
  EXPECT_EQ(WaitExit(version), 0);
}

}  // namespace
}  // namespace quarvent::test
