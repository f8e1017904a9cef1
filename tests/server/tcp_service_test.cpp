// The TCP stream service against a scripted client on a free loopback port.
#include "server/tcp_service.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <memory>

#include "common/protocol.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

class TcpServiceTest : public TcpServiceFixture {
 protected:
  // True when nothing arrives on the client within the time.
  static bool Quiet(const TcpClient& client, std::chrono::milliseconds time = 150ms) {
    pollfd pfd{client.Fd(), POLLIN, 0};
    return ::poll(&pfd, 1, static_cast<int>(time.count())) == 0;
  }
};

TEST_F(TcpServiceTest, EveryPatternIsAcceptedAndItsFirstChunkHasTheTableSize) {
  Start();
  for (int pattern = 0; pattern < kPatternCount; ++pattern) {
    SCOPED_TRACE(pattern);
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(pattern));
    EXPECT_EQ(fields.m_bConnected.load(), 1);
    const ServerPattern& rule = ServerPatternFor(pattern, kTcp);
    if (rule.interval > 0) {
      ASSERT_TRUE(client.SendWord(4));
    }
    std::vector<char> chunk;
    ASSERT_TRUE(client.RecvChunk(chunk));
    EXPECT_GE(static_cast<int>(chunk.size()), rule.chunk.Min());
    EXPECT_LE(static_cast<int>(chunk.size()), rule.chunk.Max());
    if (rule.interval > 0) {
      ASSERT_TRUE(client.SendWord(kEndMarker));
    }
  }
  EXPECT_TRUE(host.WaitStatus("TCP 通信中", kPatternCount));
  EXPECT_FALSE(runner->Done());
}

TEST_F(TcpServiceTest, FixedSizesAreExactAndDrawnSizesFollowTheSeed) {
  service.SetSeed(12345);
  Start();
  for (int pattern : {7, 10}) {
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(pattern));
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(client.SendRequest(8192));
      std::vector<char> chunk;
      ASSERT_TRUE(client.RecvChunk(chunk));
      EXPECT_EQ(chunk.size(), pattern == 7 ? 8192u : 65536u);
    }
    ASSERT_TRUE(client.SendWord(kEndMarker));
  }
  for (int pattern : {5, 6}) {
    Rand15 expected(12345);
    const SizeRule rule = ServerPatternFor(pattern, kTcp).chunk;
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(pattern));
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(client.SendWord(4));
      std::vector<char> chunk;
      ASSERT_TRUE(client.RecvChunk(chunk));
      ASSERT_EQ(static_cast<int>(chunk.size()), rule.Draw(expected)) << i;
    }
    ASSERT_TRUE(client.SendWord(kEndMarker));
  }
}

TEST_F(TcpServiceTest, RequestsAreReadOnlyBeforeEveryDthChunk) {
  Start();
  for (int pattern : {3, 4}) {
    SCOPED_TRACE(pattern);
    const int d = pattern == 3 ? 8 : 4;
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(pattern));
    std::vector<char> chunk;
    for (int k = 0; k < 3 * d; ++k) {
      if (k % d == 0) {
        // The service waits for this request and for nothing in between.
        EXPECT_TRUE(Quiet(client)) << k;
        ASSERT_TRUE(client.SendRequest(300));
      }
      ASSERT_TRUE(client.RecvChunk(chunk)) << k;
    }
    ASSERT_TRUE(client.SendWord(kEndMarker));
  }
  for (int pattern : {0, 1, 2}) {
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(pattern));
    std::vector<char> chunk;
    for (int k = 0; k < 30; ++k) ASSERT_TRUE(client.RecvChunk(chunk)) << pattern << " " << k;
  }
}

TEST_F(TcpServiceTest, FirstChunkIsLengthWordThenCountingBytes) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(1));
  std::vector<char> first, second;
  ASSERT_TRUE(client.RecvChunk(first));
  ASSERT_EQ(first.size(), 2048u);
  EXPECT_EQ(first[0], 0x00);
  EXPECT_EQ(first[1], 0x08);
  EXPECT_EQ(first[2], 0x00);
  EXPECT_EQ(first[3], 0x00);
  for (size_t i = 4; i < first.size(); ++i)
    ASSERT_EQ(static_cast<unsigned char>(first[i]), i % 256) << i;
  ASSERT_TRUE(client.RecvChunk(second));
  EXPECT_EQ(first, second);  // nothing is read, so every chunk is the same
}

TEST_F(TcpServiceTest, RequestBodyShowsUpInTheNextChunksFiller) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  ASSERT_TRUE(client.SendRequest(8192, static_cast<char>(0xAB)));
  std::vector<char> chunk;
  ASSERT_TRUE(client.RecvChunk(chunk));
  ASSERT_EQ(chunk.size(), 8192u);
  // The body (8,188 bytes) lands at the buffer start; the length word then
  // covers its first four bytes, and the fill pattern stands behind it.
  for (size_t i = 4; i < 8188; ++i) ASSERT_EQ(static_cast<unsigned char>(chunk[i]), 0xAB) << i;
  for (size_t i = 8188; i < 8192; ++i) ASSERT_EQ(static_cast<unsigned char>(chunk[i]), i % 256);
}

TEST_F(TcpServiceTest, NextClientGetsTheFillBackAfterARequestOverwroteIt) {
  Start();
  {
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(10));  // 64 KB requests
    ASSERT_TRUE(client.SendRequest(65536, static_cast<char>(0xAB)));
    std::vector<char> chunk;
    ASSERT_TRUE(client.RecvChunk(chunk));
    ASSERT_TRUE(client.SendWord(kEndMarker));
  }
  TcpClient next(port);
  ASSERT_TRUE(next.Negotiate(10));
  ASSERT_TRUE(next.SendRequest(4));  // a request without a body
  std::vector<char> chunk;
  ASSERT_TRUE(next.RecvChunk(chunk));
  ASSERT_EQ(chunk.size(), 65536u);
  int wrong = 0;
  for (size_t i = 4; i < chunk.size(); ++i)
    wrong += static_cast<unsigned char>(chunk[i]) != i % 256;
  EXPECT_EQ(wrong, 0);
}

TEST_F(TcpServiceTest, EndMarkerFreesTheServiceForTheClientWaitingInTheBacklog) {
  Start();
  TcpClient first(port);
  ASSERT_TRUE(first.Negotiate(7));
  TcpClient second(port);  // completes in the listen queue
  ASSERT_TRUE(second.Connected());
  char line[kLineBufferSize];
  BuildNegotiation(line, 8);
  ASSERT_TRUE(second.SendText(line));
  EXPECT_TRUE(Quiet(second));
  ASSERT_TRUE(first.SendWord(kEndMarker));
  EXPECT_TRUE(first.SeesClose());
  EXPECT_EQ(second.RecvText(), std::string(kIdentifier) + '\0');
  ASSERT_TRUE(second.SendRequest(16384));
  std::vector<char> chunk;
  ASSERT_TRUE(second.RecvChunk(chunk));
  EXPECT_EQ(chunk.size(), 16384u);
  EXPECT_TRUE(host.WaitStatus("待受中...", 2));
}

struct Rejection {
  const char* line;
  const char* reply;
};

TEST_F(TcpServiceTest, EachRejectionIsSentWithItsNulAndEndsTheService) {
  const Rejection cases[] = {
      {":::", "ﾈｺﾞｼｴｰｼｮﾝ ﾌｫｰﾏｯﾄｴﾗｰ"},
      {"QUARVENTOLIS-PIPEGAUGER 100:11", "ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"},
      {"QUARVENTOLIS-PIPEGAUGER100:3", "ﾈｺﾞｼｴｰｼｮﾝ ﾊﾞｰｼﾞｮﾝ 書式ｴﾗｰ."},
      {"QUARVENTOLIS-PIPEGAUGER 101:3", "ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致."},
  };
  for (const Rejection& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t before = host.Size();
    Start();
    TcpClient client(port);
    ASSERT_TRUE(client.SendText(c.line));
    EXPECT_EQ(client.RecvText(), Cp932(c.reply));
    EXPECT_TRUE(client.SeesClose());
    ASSERT_TRUE(runner->WaitDone());
    const auto events = host.Events();
    ASSERT_GE(events.size(), before + 4);
    const auto* end = &events[events.size() - 4];
    EXPECT_EQ(end[0].kind, HostEvent::kStatus);
    EXPECT_EQ(end[0].text, "");  // the error text, still empty
    EXPECT_EQ(end[1].kind, HostEvent::kProgress);
    EXPECT_EQ(end[1].value, 0);
    EXPECT_EQ(end[2].kind, HostEvent::kState);
    EXPECT_EQ(end[2].value, 0);
    EXPECT_EQ(end[3].kind, HostEvent::kClear);
    EXPECT_EQ(end[3].value, static_cast<int>(ServiceKind::kTcp));
    EXPECT_EQ(fields.m_sockListen.load(), 0);
    EXPECT_EQ(fields.m_bConnected.load(), 0);
    runner.reset();
  }
}

TEST_F(TcpServiceTest, LoneNulGetsTheFailureNoticeAndTheTextOutlivesTheRun) {
  Start();
  {
    TcpClient client(port);
    ASSERT_TRUE(client.SendAll("", 1));
    EXPECT_EQ(client.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=0."));
  }
  ASSERT_TRUE(runner->WaitDone());
  EXPECT_EQ(host.LastStatus(), "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=0.");
  // A later run keeps the text: a rejection shows it again.
  runner.reset();
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.SendText("X 99:3"));
  EXPECT_EQ(client.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致."));
  ASSERT_TRUE(runner->WaitDone());
  EXPECT_EQ(host.LastStatus(), "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=0.");
}

TEST_F(TcpServiceTest, ProgressMovesOnceEveryStepPlusOneChunks) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(10));  // f = 10, a request before every chunk
  std::vector<char> chunk;
  for (int k = 1; k <= 22; ++k) {
    ASSERT_TRUE(client.SendWord(4));
    ASSERT_TRUE(client.RecvChunk(chunk));
    if (k == 10) {
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(host.Count(HostEvent::kProgress, 1), 0);
    }
    if (k == 11) {
      EXPECT_TRUE(host.WaitCount(HostEvent::kProgress, 1, 1));
    }
  }
  EXPECT_TRUE(host.WaitCount(HostEvent::kProgress, 2, 1));
  ASSERT_TRUE(client.SendWord(kEndMarker));
}

std::atomic<int> g_chunkSends{0};
ssize_t CountingSend(int fd, const void* buf, size_t len, int flags) {
  if (len == 4096) ++g_chunkSends;
  return ::send(fd, buf, len, flags);
}
const sys::Ops kCountingOps = {CountingSend, ::sendto, ::recv, ::recvfrom};

TEST_F(TcpServiceTest, PatternZeroProgressIsOneAfter101Chunks) {
  g_chunkSends = 0;
  std::vector<int> sendsAtStep;  // written on the service thread only
  std::atomic<int> steps{0};
  host.OnProgress([&](int position) {
    if (position > 0) {
      sendsAtStep.push_back(g_chunkSends.load());
      ++steps;
    }
  });
  service.SetOps(&kCountingOps);
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(0));
  std::vector<char> chunk;
  for (int i = 0; i < 2000 && steps < 3; ++i) ASSERT_TRUE(client.RecvChunk(chunk));
  client.Close();
  ASSERT_TRUE(host.WaitStatus("待受中...", 2));  // the failed send ended the connection
  ASSERT_GE(sendsAtStep.size(), 3u);
  EXPECT_EQ(sendsAtStep[0], 101);
  EXPECT_EQ(sendsAtStep[1], 202);
  EXPECT_EQ(sendsAtStep[2], 303);
}

}  // namespace
}  // namespace quarvent::test
