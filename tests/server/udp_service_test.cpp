// The UDP stream service against scripted datagram clients on loopback.
#include "server/udp_service.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "common/protocol.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

class UdpServiceTest : public UdpServiceFixture {
 protected:
  void ExpectEndOfRun(const std::string& status) {
    ASSERT_TRUE(runner->WaitDone());
    const auto events = host.Events();
    ASSERT_GE(events.size(), 4u);
    const auto* end = &events[events.size() - 4];
    EXPECT_EQ(end[0].kind, HostEvent::kStatus);
    EXPECT_EQ(end[0].text, status);
    EXPECT_EQ(end[1].kind, HostEvent::kProgress);
    EXPECT_EQ(end[2].kind, HostEvent::kState);
    EXPECT_EQ(end[2].value, 0);
    EXPECT_EQ(end[3].kind, HostEvent::kClear);
    EXPECT_EQ(end[3].value, static_cast<int>(ServiceKind::kUdp));
  }
  // One request of 4 bytes and its chunk; the chunk's length word, -1 on failure.
  static int Exchange(UdpClient& client, int32_t word = 4) {
    std::vector<char> chunk;
    if (!client.SendWord(word) || client.Recv(chunk) < 4) return -1;
    const int length = GetLengthWord(chunk.data());
    return length == static_cast<int>(chunk.size()) ? length : -1;
  }
};

TEST_F(UdpServiceTest, OneSessionPerPatternWithTableSizes) {
  service.SetSeed(77);
  Start();
  for (int pattern = 0; pattern < kPatternCount; ++pattern) {
    SCOPED_TRACE(pattern);
    UdpClient client(port);
    ASSERT_TRUE(client.Negotiate(pattern));
    const SizeRule rule = ServerPatternFor(pattern, kUdp).chunk;
    Rand15 expected(77);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Exchange(client), rule.Draw(expected)) << i;
    ASSERT_TRUE(client.SendWord(kEndMarker));
    ASSERT_TRUE(WaitSession());
  }
  EXPECT_EQ(host.CountStatus(" UDP 通信中"), kPatternCount);
  EXPECT_EQ(ServerPatternFor(10, kUdp).chunk.Max(), 65504);
}

TEST_F(UdpServiceTest, LoneNulReachesTheParserAndTheRejectionEndsTheService) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Send("", 1));
  std::vector<char> reply;
  ASSERT_GT(client.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾌｫｰﾏｯﾄｴﾗｰ"));
  ExpectEndOfRun("");
}

TEST_F(UdpServiceTest, NegotiationDatagramOver64BytesIsAReceiveError) {
  Start();
  UdpClient client(port);
  const std::string line(65, 'Q');
  ASSERT_TRUE(client.Send(line.data(), line.size()));
  std::vector<char> reply;
  ASSERT_GT(client.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90."));
  ExpectEndOfRun("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90.");
  EXPECT_EQ(host.Count(HostEvent::kNotice, static_cast<int>(ServiceKind::kUdp)), 1);
}

TEST_F(UdpServiceTest, ZeroLengthRequestEndsTheSessionAndTheNextIsAccepted) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  EXPECT_EQ(Exchange(client), 8192);
  ASSERT_TRUE(client.Send("", 0));
  ASSERT_TRUE(WaitSession());
  EXPECT_EQ(host.CountStatus("待受中..."), 2);
  UdpClient next(port);
  ASSERT_TRUE(next.Negotiate(2));
  EXPECT_EQ(Exchange(next), 1024);
}

TEST_F(UdpServiceTest, EndMarkerRebindsAFreshSocket) {
  Start();
  for (int round = 0; round < 3; ++round) {
    UdpClient client(port);
    ASSERT_TRUE(client.Negotiate(1));
    EXPECT_EQ(Exchange(client), 2048);
    ASSERT_TRUE(client.SendWord(kEndMarker));
    ASSERT_TRUE(WaitSession());
  }
  EXPECT_FALSE(runner->Done());
}

TEST_F(UdpServiceTest, RequestAnnouncingMoreThanItsDatagramWaitsForMore) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  ASSERT_TRUE(client.SendRequest(8, 100));  // 96 more bytes are expected
  std::vector<char> chunk;
  EXPECT_TRUE(client.Quiet());
  ASSERT_TRUE(client.SendRequest(8, 0));
  EXPECT_TRUE(client.Quiet());
  ASSERT_TRUE(client.SendRequest(100, 0));
  EXPECT_EQ(client.Recv(chunk), 8192);
}

TEST_F(UdpServiceTest, ChunkGoesToTheSenderOfTheRequest) {
  Start();
  UdpClient first(port);
  UdpClient second(port);
  ASSERT_TRUE(first.Negotiate(8));
  EXPECT_EQ(Exchange(second), 16384);
  std::vector<char> chunk;
  EXPECT_TRUE(first.Quiet());
  EXPECT_EQ(Exchange(first), 16384);
}

TEST_F(UdpServiceTest, NegotiationLineMidSessionIsTakenAsARequest) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  char line[64];
  BuildNegotiation(line, 7);
  ASSERT_TRUE(client.SendText(line));  // "QUAR" announces far more than 64 KiB
  std::vector<char> chunk;
  EXPECT_TRUE(client.Quiet());
  // No message exceeds the buffer: 65,532 more bytes complete it.
  ASSERT_TRUE(client.SendRequest(65504, 0));
  EXPECT_TRUE(client.Quiet());
  ASSERT_TRUE(client.SendRequest(28, 0));
  EXPECT_EQ(client.Recv(chunk), 8192);
}

TEST_F(UdpServiceTest, HugeAndNegativeAnnouncementsStayBounded) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(9));
  EXPECT_EQ(Exchange(client, -5), 32768);  // nothing more expected
  ASSERT_TRUE(client.SendWord(INT_MAX));
  std::vector<char> chunk;
  EXPECT_TRUE(client.Quiet());
  ASSERT_TRUE(client.SendRequest(65504, 0));
  ASSERT_TRUE(client.SendRequest(65504, 0));
  EXPECT_EQ(client.Recv(chunk), 32768);
  EXPECT_EQ(Exchange(client), 32768);  // still in step
}

TEST_F(UdpServiceTest, PatternZeroProgressStepsEvery101ChunksAndWraps) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(0));
  for (int i = 1; i <= 100; ++i) ASSERT_EQ(Exchange(client), 4096) << i;
  EXPECT_EQ(host.Count(HostEvent::kProgress, 1), 0);
  ASSERT_EQ(Exchange(client), 4096);
  EXPECT_TRUE(host.WaitCount(HostEvent::kProgress, 1, 1));
  for (int i = 102; i <= 101 * 101; ++i) ASSERT_EQ(Exchange(client), 4096) << i;
  // Positions 1 to 100, then 0 again.
  EXPECT_TRUE(host.WaitCount(HostEvent::kProgress, 100, 1));
  EXPECT_TRUE(host.WaitCount(HostEvent::kProgress, 0, 2));
  std::vector<int> steps;
  for (const auto& e : host.Events())
    if (e.kind == HostEvent::kProgress) steps.push_back(e.value);
  ASSERT_EQ(steps.size(), 102u);
  for (int i = 1; i <= 100; ++i) EXPECT_EQ(steps[static_cast<size_t>(i)], i);
  EXPECT_EQ(steps.back(), 0);
}

TEST_F(UdpServiceTest, PortIsTakenModulo65536) {
  host.SetPort(port + 65536);
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  EXPECT_EQ(Exchange(client), 8192);
}

TEST_F(UdpServiceTest, BoundedFloodIsAnsweredAndTheSessionStillEnds) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(0));
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(client.SendWord(4));
  // The first answer may take its time; the rest are drained until a pause.
  int answered = 0;
  std::vector<char> chunk;
  if (client.Recv(chunk) == 4096) ++answered;
  client.SetTimeout(200ms);
  while (answered > 0 && answered < 3000 && client.Recv(chunk) == 4096) ++answered;
  EXPECT_GT(answered, 0);
  ASSERT_TRUE(client.SendWord(kEndMarker));
  ASSERT_TRUE(WaitSession());
  UdpClient next(port);
  ASSERT_TRUE(next.Negotiate(7));
  EXPECT_EQ(Exchange(next), 8192);
}

TEST_F(UdpServiceTest, StopMidSessionIsSilentAndARestartBindsAtOnce) {
  Start();
  UdpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  EXPECT_EQ(Exchange(client), 8192);
  runner->Stop();
  const size_t atStop = host.Size();
  ASSERT_TRUE(runner->WaitDone());
  EXPECT_EQ(host.Size(), atStop);
  runner.reset();
  Start();
  UdpClient next(port);
  ASSERT_TRUE(next.Negotiate(7));
  EXPECT_EQ(Exchange(next), 8192);
}

}  // namespace
}  // namespace quarvent::test
