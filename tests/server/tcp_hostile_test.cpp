// The TCP stream service against peers that reset, half-close, stall, storm
// or send boundary lengths at every phase of a connection. After each, either
// the next client is served (the service goes on) or the service has ended
// cleanly and a restart on the same port serves again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <climits>
#include <memory>

#include "common/cp932.h"
#include "common/protocol.h"
#include "server/tcp_service.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

enum class Leave { kReset, kHalfClose };

class TcpHostileTest : public TcpServiceFixture {
 protected:
  static void LeaveBy(TcpClient& client, Leave how) {
    if (how == Leave::kReset)
      client.Reset();
    else
      ::shutdown(client.Fd(), SHUT_WR);
  }
  void ExpectNextClientServed() {
    ExpectGoodTcpSession(port, true);
    EXPECT_FALSE(runner->Done());
  }
  // The run ended by itself with its end steps in order, gave up both its
  // fields, and the port can be bound again at once.
  void ExpectEndedCleanly(const std::string& status) {
    ASSERT_TRUE(runner->WaitDone());
    const auto events = host.Events();
    ASSERT_GE(events.size(), 4u);
    const HostEvent* end = &events[events.size() - 4];
    EXPECT_EQ(end[0].kind, HostEvent::kStatus);
    EXPECT_EQ(end[0].text, status);
    EXPECT_EQ(end[1].kind, HostEvent::kProgress);
    EXPECT_EQ(end[1].value, 0);
    EXPECT_EQ(end[2].kind, HostEvent::kState);
    EXPECT_EQ(end[2].value, 0);
    EXPECT_EQ(end[3].kind, HostEvent::kClear);
    EXPECT_EQ(fields.m_sockListen.load(), 0);
    EXPECT_EQ(fields.m_bConnected.load(), 0);
    runner.reset();
    Start();
    ExpectNextClientServed();
  }
};

TEST_F(TcpHostileTest, LineFillingTheBufferIsAcceptedOneByteMoreIsAReceiveError) {
  Start();
  const std::string tail = " 100:7";
  const std::string word(kLineBufferSize - 1 - tail.size(), 'W');  // 63 characters + NUL
  {
    TcpClient client(port);
    ASSERT_TRUE(client.SendText(word + tail));
    EXPECT_EQ(client.RecvText(), word + std::string(1, '\0'));
    ASSERT_TRUE(client.SendRequest(4));
    std::vector<char> chunk;
    ASSERT_TRUE(client.RecvChunk(chunk));
    ASSERT_TRUE(client.SendWord(kEndMarker));
  }
  TcpClient client(port);
  const std::string full = word + tail + "7";  // 64 characters, the NUL would be the 65th
  ASSERT_TRUE(client.SendText(full));
  EXPECT_EQ(client.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90."));
  ExpectEndedCleanly("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90.");
}

// No line could be read: the failure notice (when the peer can still read it)
// and the end of the service, with the socket error of the receive.
TEST_F(TcpHostileTest, LeavingBeforeOrDuringTheLineEndsTheService) {
  struct Case {
    const char* sent;
    Leave how;
    const char* status;
  };
  const Case cases[] = {
      {"", Leave::kReset, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=104."},
      {"QUARVENT", Leave::kReset, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=104."},
      {"", Leave::kHalfClose, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=0."},
      {"QUARVENTOLIS-PIPEGAUGER 100", Leave::kHalfClose, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=0."},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sent) + (c.how == Leave::kReset ? " reset" : " half-close"));
    TcpClient client(port);
    ASSERT_TRUE(client.SendAll(c.sent, std::strlen(c.sent)));
    LeaveBy(client, c.how);
    if (c.how == Leave::kHalfClose) {
      EXPECT_EQ(client.RecvText(), Cp932(c.status));
      EXPECT_TRUE(client.SeesClose());
    }
    ExpectEndedCleanly(c.status);
    if (HasFailure()) return;
  }
}

// The whole line arrived: it is served whatever the peer does next.
TEST_F(TcpHostileTest, LeavingAfterTheLineBeforeTheReplyGoesOn) {
  Start();
  for (Leave how : {Leave::kReset, Leave::kHalfClose}) {
    TcpClient client(port);
    char line[kLineBufferSize];
    BuildNegotiation(line, 7);
    ASSERT_TRUE(client.SendText(line));
    LeaveBy(client, how);
    if (how == Leave::kHalfClose) {
      EXPECT_EQ(client.RecvText(), std::string(kIdentifier) + std::string(1, '\0'));
      EXPECT_TRUE(client.SeesClose());  // the request read meets the end
    }
    ExpectNextClientServed();
  }
}

TEST_F(TcpHostileTest, LeavingMidRequest) {
  Start();
  std::vector<char> chunk;
  {  // A reset in the middle of a body: the read fails, the next client is served.
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(7));
    const std::string half(4096, 'h');
    ASSERT_TRUE(client.SendWord(8192) && client.SendAll(half.data(), half.size()));
    client.Reset();
    ExpectNextClientServed();
  }
  {  // Half a body, then the end of sending: the request never came whole,
     // so no chunk answers it and the connection ends.
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(8));
    const std::string half(100, 'h');
    ASSERT_TRUE(client.SendWord(16384) && client.SendAll(half.data(), half.size()));
    LeaveBy(client, Leave::kHalfClose);
    EXPECT_FALSE(client.RecvChunk(chunk));
    EXPECT_TRUE(client.SeesClose());
    ExpectNextClientServed();
  }
  {  // Half a length word: the request read comes short, no chunk.
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(9));
    ASSERT_TRUE(client.SendAll("\x10\x00", 2));
    LeaveBy(client, Leave::kHalfClose);
    EXPECT_FALSE(client.RecvChunk(chunk));
    ExpectNextClientServed();
  }
}

TEST_F(TcpHostileTest, LeavingWhileTheServiceSends) {
  Start();
  std::vector<char> chunk;
  {  // Pattern 0 never reads: a half-closed peer still gets chunks until it closes.
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(0));
    ASSERT_TRUE(client.RecvChunk(chunk));
    LeaveBy(client, Leave::kHalfClose);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(client.RecvChunk(chunk)) << i;
    client.Close();
    ExpectNextClientServed();
  }
  {  // A peer that never reads blocks the service in send until it resets.
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(1));
    std::this_thread::sleep_for(100ms);  // the socket buffers fill up
    client.Reset();
    ExpectNextClientServed();
  }
  {  // A 64 KiB chunk left unread behind a half-close, then a reset.
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(10));
    ASSERT_TRUE(client.SendRequest(65536));
    LeaveBy(client, Leave::kHalfClose);
    std::this_thread::sleep_for(20ms);
    client.Reset();
    ExpectNextClientServed();
  }
}

TEST_F(TcpHostileTest, StalledPeerHoldsTheServiceUntilItCloses) {
  Start();
  TcpClient stalled(port);
  ASSERT_TRUE(stalled.Negotiate(7));
  const std::string half(4096, 's');
  ASSERT_TRUE(stalled.SendWord(8192) && stalled.SendAll(half.data(), half.size()));
  TcpClient waiting(port);  // queued behind it (backlog 1)
  ASSERT_TRUE(waiting.Connected());
  char line[kLineBufferSize];
  BuildNegotiation(line, 7);
  ASSERT_TRUE(waiting.SendText(line));
  pollfd pfd{waiting.Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 200), 0);  // no reply while the first one stalls
  stalled.Close();
  // The short body read is answered with a chunk that fails to go out; then
  // the waiting client is taken.
  EXPECT_EQ(waiting.RecvText(), std::string(kIdentifier) + std::string(1, '\0'));
  ASSERT_TRUE(waiting.SendWord(kEndMarker));
  EXPECT_TRUE(waiting.SeesClose());
  ExpectNextClientServed();
}

TEST_F(TcpHostileTest, BoundaryRequestLengthsAreAnsweredInStep) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  std::vector<char> chunk;
  for (int32_t size : {4, 5, 65535, 65536, 65537, 4}) {
    ASSERT_TRUE(client.SendRequest(size, 'b')) << size;
    ASSERT_TRUE(client.RecvChunk(chunk)) << size;
    EXPECT_EQ(chunk.size(), 8192u);
  }
  ASSERT_TRUE(client.SendWord(kEndMarker));
  EXPECT_TRUE(client.SeesClose());
  ExpectNextClientServed();
}

// Opens count non-blocking connections to the port and closes them again,
// by reset or plainly.
void Storm(int port, int count, Leave how) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  std::vector<Socket> socks;
  for (int i = 0; i < count; ++i) {
    Socket sock = Socket::Tcp();
    ::fcntl(sock.Fd(), F_SETFL, O_NONBLOCK);
    ::connect(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socks.push_back(std::move(sock));
  }
  std::this_thread::sleep_for(20ms);
  for (Socket& sock : socks) {
    if (how == Leave::kReset) {
      linger l{1, 0};
      ::setsockopt(sock.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    sock.Reset();
  }
}

// A connection that sends no line ends the service: the first of a storm does.
TEST_F(TcpHostileTest, ConnectionStormEndsTheServiceAtItsFirstConnection) {
  Start();
  Storm(port, 200, Leave::kReset);
  ASSERT_TRUE(runner->WaitDone());
  const std::string status = host.LastStatus();
  EXPECT_EQ(status.rfind("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=", 0), 0u) << status;
  ExpectEndedCleanly(status);
}

TEST_F(TcpHostileTest, ConnectionStormDuringASessionLeavesItUndisturbed) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  std::vector<char> chunk;
  for (int i = 0; i < 20; ++i) {
    if (i == 5) Storm(port, 200, Leave::kHalfClose);
    ASSERT_TRUE(client.SendRequest(8192));
    ASSERT_TRUE(client.RecvChunk(chunk)) << i;
    ASSERT_EQ(chunk.size(), 8192u);
  }
  ASSERT_TRUE(client.SendWord(kEndMarker));
  EXPECT_TRUE(client.SeesClose());
  // A storm connection queued in the backlog comes next and sends no line.
  ASSERT_TRUE(runner->WaitDone());
  ExpectEndedCleanly("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=0.");
}

}  // namespace
}  // namespace quarvent::test
