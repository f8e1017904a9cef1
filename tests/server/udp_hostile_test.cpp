// The UDP stream service against strangers, garbage, floods and boundary
// length words. After each, either the next client is served (the service
// goes on) or the service has ended cleanly and a restart serves again.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "common/protocol.h"
#include "common/rng.h"
#include "server/udp_service.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

class UdpHostileTest : public UdpServiceFixture {
 protected:
  static int Exchange(UdpClient& client, int32_t word = 4) {
    std::vector<char> chunk;
    if (!client.SendWord(word) || client.Recv(chunk) < 4) return -1;
    return GetLengthWord(chunk.data()) == static_cast<int32_t>(chunk.size())
               ? static_cast<int>(chunk.size())
               : -1;
  }
  void ExpectNextClientServed() {
    UdpClient next(port);
    ASSERT_TRUE(next.Negotiate(7));
    EXPECT_EQ(Exchange(next), 8192);
    ASSERT_TRUE(next.SendWord(kEndMarker));
    ASSERT_TRUE(WaitSession());
    EXPECT_FALSE(runner->Done());
  }
  void ExpectEndedCleanly(const std::string& status) {
    ASSERT_TRUE(runner->WaitDone());
    const auto events = host.Events();
    ASSERT_GE(events.size(), 4u);
    const HostEvent* end = &events[events.size() - 4];
    EXPECT_EQ(end[0].text, status);
    EXPECT_EQ(end[1].kind, HostEvent::kProgress);
    EXPECT_EQ(end[2].kind, HostEvent::kState);
    EXPECT_EQ(end[2].value, 0);
    EXPECT_EQ(end[3].kind, HostEvent::kClear);
    EXPECT_EQ(end[3].value, static_cast<int>(ServiceKind::kUdp));
    runner.reset();
    Start();  // the port is free again at once
    ExpectNextClientServed();
  }
};

// A request needs only a datagram of 4 bytes or more that is not the end
// marker: small and negative length words are answered at once; a length
// beyond the buffer waits for no more than a buffer's worth of datagrams.
TEST_F(UdpHostileTest, LengthWordsAreAnsweredOrWaitBounded) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(8));
  for (int32_t word : {0, 1, 2, 3, 4, -5, INT_MIN})
    EXPECT_EQ(Exchange(client, word), 16384) << word;
  std::vector<char> chunk;
  for (int32_t word : {65537, INT_MAX}) {
    ASSERT_TRUE(client.SendWord(word));
    ASSERT_TRUE(client.SendRequest(65507, 0));
    EXPECT_TRUE(client.Quiet()) << word;
    ASSERT_TRUE(client.SendRequest(25, 0));  // 65,532 bytes after the word
    EXPECT_EQ(client.Recv(chunk), 16384) << word;
  }
  EXPECT_EQ(Exchange(client), 16384);  // still in step
  ASSERT_TRUE(client.SendWord(kEndMarker));
  ASSERT_TRUE(WaitSession());
  ExpectNextClientServed();
}

// A request read takes datagrams until 4 bytes have come and judges the last
// one: a stranger's short datagram merges with the next request, and a
// request read that ends on a short datagram ends the session.
TEST_F(UdpHostileTest, StrangersShortDatagramsMergeWithTheNextOrEndTheSession) {
  Start();
  for (size_t size : {1u, 2u, 3u}) {
    SCOPED_TRACE(size);
    UdpClient client(port);
    ASSERT_TRUE(client.Negotiate(7));
    EXPECT_EQ(Exchange(client), 8192);
    UdpClient stranger(port);
    ASSERT_TRUE(stranger.Send("\1\2\3", size));
    EXPECT_EQ(Exchange(client), 8192);  // answered to the sender of the last datagram
    for (size_t sent = 0; sent < 4; sent += size) ASSERT_TRUE(stranger.Send("\1\2\3", size));
    ASSERT_TRUE(WaitSession());  // a fresh socket: the session has ended
    ExpectNextClientServed();
  }
}

TEST_F(UdpHostileTest, NegotiationLineInPiecesUpToTheBufferSize) {
  Start();
  {  // 63 characters and the NUL over three datagrams: accepted.
    const std::string word(kLineBufferSize - 1 - 6, 'P');
    UdpClient client(port);
    ASSERT_TRUE(client.Send(word.data(), 20));
    ASSERT_TRUE(client.Send(word.data() + 20, word.size() - 20));
    ASSERT_TRUE(client.SendText(" 100:9"));
    std::vector<char> reply;
    ASSERT_GT(client.Recv(reply), 0);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), word + std::string(1, '\0'));
    EXPECT_EQ(Exchange(client), 32768);
    ASSERT_TRUE(client.SendWord(kEndMarker));
    ASSERT_TRUE(WaitSession());
  }
  // 64 bytes without a NUL fill the buffer: a receive error that ends the service.
  UdpClient client(port);
  const std::string half(32, 'Q');
  ASSERT_TRUE(client.Send(half.data(), half.size()));
  ASSERT_TRUE(client.Send(half.data(), half.size()));
  std::vector<char> reply;
  ASSERT_GT(client.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90."));
  ExpectEndedCleanly("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90.");
}

// Garbage datagrams of 1 to 1,400 bytes from a fixed generator.
void SendGarbage(UdpClient& from, int count, uint32_t seed, bool asRequests) {
  Rand15 rng(seed);
  std::vector<char> datagram(1400);
  for (int i = 0; i < count; ++i) {
    const size_t size = static_cast<size_t>(rng.Next() % 1400 + 1);
    for (size_t b = 0; b < size; ++b) datagram[b] = static_cast<char>(rng.Next());
    if (asRequests) {
      // At least 4 bytes and never the end marker, so each is a request.
      if (size < 4) continue;
      if (GetLengthWord(datagram.data()) == kEndMarker) datagram[0] = 0;
    }
    from.Send(datagram.data(), size);
  }
}

// The first garbage datagram is taken as the negotiation line; it cannot be
// accepted, so the service ends and the rest of the flood goes with its socket.
TEST_F(UdpHostileTest, GarbageFloodAtAnIdleServiceEndsItCleanly) {
  Start();
  UdpClient stranger(port);
  SendGarbage(stranger, 10000, 7, false);
  ASSERT_TRUE(runner->WaitDone());
  const std::string status = host.LastStatus();
  EXPECT_TRUE(status.empty() || status == "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90.") << status;
  ExpectEndedCleanly(status);
}

// Garbage requests from strangers during a session are answered to them (or
// lost with a full queue); the client gets back in step and ends its session.
TEST_F(UdpHostileTest, GarbageFloodDuringASessionThenTheSessionStillEnds) {
  Start();
  UdpClient client(port, 100ms);
  ASSERT_TRUE(client.Negotiate(5));
  UdpClient strangers[2] = {UdpClient(port), UdpClient(port)};
  SendGarbage(strangers[0], 5000, 11, true);
  SendGarbage(strangers[1], 5000, 12, true);
  // A garbage length word may leave the service collecting up to a buffer's
  // worth of datagrams: full-sized requests complete that within a few.
  std::vector<char> chunk;
  bool inStep = false;
  for (int i = 0; i < 200 && !inStep; ++i) {
    ASSERT_TRUE(client.SendRequest(16000, 16000));
    while (client.Recv(chunk) > 0) inStep = true;
  }
  ASSERT_TRUE(inStep);
  ASSERT_TRUE(client.SendWord(kEndMarker));
  ASSERT_TRUE(WaitSession());
  ExpectNextClientServed();
}

}  // namespace
}  // namespace quarvent::test
