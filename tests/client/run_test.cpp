// Measurement runs against a scripted loopback server: what goes over the
// wire and which report lines come back.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/rng.h"
#include "tests/client/client_fixture.h"

namespace quarvent::testing {
namespace {

using RunWire = ClientTest;

class RequestPattern : public ClientTest,
                       public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(RequestPattern, RequestsGoBeforeTheChunksThePatternSaysWithItsSizes) {
  const auto [pattern, protocol] = GetParam();
  ScriptServer server(protocol, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.m_bAwaitEnd = true;  // every run here ends with its end marker
    c.ServeNormally();
  });
  Measure(server, pattern, protocol);
  ASSERT_EQ(server.Sessions().size(), 1u);
  const Conn& conn = server.Sessions()[0];
  EXPECT_EQ(conn.m_nPattern, pattern);
  const ClientPattern& expected = ClientPatternFor(pattern, protocol);
  ASSERT_GT(conn.m_nChunks, 0u);
  if (expected.interval == 0) {
    // Nothing between the line and the end marker.
    EXPECT_TRUE(conn.m_vRequests.empty());
    EXPECT_EQ(conn.m_strCollected, std::string("\xFF\xFF\xFF\xFF", 4));
    EXPECT_FALSE(Contains(Body(), "トータル"));
    EXPECT_FALSE(Contains(Body(), "送信"));
  } else {
    EXPECT_TRUE(conn.m_bEndMarker);
    ASSERT_FALSE(conn.m_vRequests.empty());
    for (size_t i = 0; i < conn.m_vRequests.size(); ++i) {
      const Request& r = conn.m_vRequests[i];
      EXPECT_EQ(r.chunkIndex, i * static_cast<uint32_t>(expected.interval));
      EXPECT_GE(r.size, expected.request.Min());
      EXPECT_LE(r.size, expected.request.Max());
      if (protocol == kUdp) {
        EXPECT_EQ(r.datagram, r.size);  // one request, one datagram
      }
    }
    EXPECT_TRUE(Contains(Body(), "トータルスループット : "));
    EXPECT_TRUE(Contains(Body(), "送信サイズ : "));
    if (pattern <= 2) {
      EXPECT_TRUE(Contains(Body(), "送信：最小/最大 : 4 / 4\r\n"));
    }
  }
  EXPECT_TRUE(Body().starts_with("経過時間 : "));
  ASSERT_FALSE(m_host.m_vOutcomes.empty());
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kFullReport);
}

INSTANTIATE_TEST_SUITE_P(AllPatterns, RequestPattern,
                         ::testing::Combine(::testing::Range(0, 11), ::testing::Values(0, 1)));

TEST_F(RunWire, DurationEndReportsLinesInOrderAndReturnsToIdle) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.ServeNormally();
  });
  Measure(server, 0, kTcp);
  const std::string body = Body();
  const size_t e = body.find("経過時間 : "), r = body.find("受信スループット : "),
               s = body.find("受信サイズ : "), m = body.find("受信：最小/最大 : 4096 / 4096\r\n"),
               k = body.find("KernelTime / UserTime = ");
  ASSERT_NE(e, std::string::npos);
  EXPECT_LT(e, r);
  EXPECT_LT(r, s);
  EXPECT_LT(s, m);
  EXPECT_LT(m, k);
  EXPECT_TRUE(body.ends_with(" 秒\r\n"));
  EXPECT_EQ(m_host.m_vStates.back(), 0);
  EXPECT_EQ(m_host.m_vElapsed.back(), "");
  EXPECT_EQ(m_host.m_vProgress.back(), 0);
}

// Sends one chunk with the given length word, then serves on.
ScriptServer::Script OddChunk(int32_t lengthWord, int size, bool serveOn) {
  return [=](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.SendChunk(lengthWord, size);
    if (serveOn)
      c.ServeNormally(1);
    else
      c.ReadUntilEnd();
  };
}

TEST_F(RunWire, LengthWordOf65536IsAccepted) {
  ScriptServer server(kTcp, OddChunk(65536, 65536, true));
  Measure(server, 7, kTcp);
  EXPECT_TRUE(Contains(Body(), "受信：最小/最大 : 8192 / 65536\r\n"));
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kFullReport);
}

TEST_F(RunWire, LengthWordOutsideTheRangeEndsWithAShortReport) {
  for (int32_t word : {65537, -2}) {
    for (int protocol : {kTcp, kUdp}) {
      SCOPED_TRACE(::testing::Message() << word << " protocol " << protocol);
      ClearReport();
      ScriptServer server(protocol, OddChunk(word, 8, false));
      Measure(server, 7, protocol);
      EXPECT_EQ(Body(),
                "ヘッダサイズエラー.\r\n"
                "受信サイズ : 0.00 [KB]\r\n"
                "受信：最小/最大 : 65536 / 0\r\n"
                "送信サイズ : 8.00 [KB]\r\n"
                "送信：最小/最大 : 8192 / 8192\r\n" +
                    Body().substr(Body().find("KernelTime")));
      EXPECT_TRUE(server.Sessions()[0].m_bEndMarker);
      EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kShortReport);
    }
  }
}

TEST_F(RunWire, TcpLengthWordBelowFourFailsTheBodyAndFourIsAnEmptyChunk) {
  for (int32_t word : {0, 3}) {
    ClearReport();
    ScriptServer server(kTcp, OddChunk(word, 4, false));
    Measure(server, 0, kTcp);
    EXPECT_TRUE(Body().starts_with("パケット受信失敗.\r\n受信サイズ : 0.00 [KB]\r\n"));
    EXPECT_TRUE(m_host.m_vRecvErrors.empty());  // a negative count is no socket error
  }
  ClearReport();
  ScriptServer server(kTcp, OddChunk(4, 4, true));
  Measure(server, 0, kTcp);
  EXPECT_TRUE(Contains(Body(), "受信：最小/最大 : 4 / 4096\r\n"));
}

// A peer that closes after part of a body has sent no chunk: the body read
// fails, and nothing of that chunk is counted.
TEST_F(RunWire, TcpCloseInsideABodyIsABodyFailure) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.SendChunk(4096, 4096);
    c.SendChunk(4096, 1000);  // then the connection closes
  });
  Measure(server, 0, kTcp);
  EXPECT_TRUE(Body().starts_with(
      "パケット受信失敗.\r\n受信サイズ : 4.00 [KB]\r\n受信：最小/最大 : 4096 / 4096\r\n"))
      << Body();
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kShortReport);
  EXPECT_TRUE(m_host.m_vRecvErrors.empty());  // an orderly close is no socket error
}

TEST_F(RunWire, CloseBeforeTheHeaderEndsWithHeaderFailure) {
  for (int protocol : {kTcp}) {
    ScriptServer server(protocol, [](Conn& c) {
      if (c.ReadLine()) c.Accept();
    });
    Measure(server, 0, protocol);
    EXPECT_TRUE(Body().starts_with(
        "ヘッダ受信失敗.\r\n受信サイズ : 0.00 [KB]\r\n受信：最小/最大 : 65536 / 0\r\nKernelTime"));
  }
}

TEST_F(RunWire, UdpDatagramsShorterThanALengthWordAreAHeaderFailure) {
  ScriptServer shortOne(kUdp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    // The receive takes datagrams until 4 bytes have come; the last one
    // taken (2 bytes) cannot hold a length word.
    c.SendChunk(0, 3);
    c.SendChunk(0, 2);
    c.m_bAwaitEnd = true;
    c.ReadUntilEnd();
  });
  Measure(shortOne, 0, kUdp);
  EXPECT_TRUE(Body().starts_with("ヘッダ受信失敗.\r\n"));
  EXPECT_TRUE(shortOne.Sessions()[0].m_bEndMarker);
}

TEST_F(RunWire, UdpChunkSplitOverDatagramsCountsItsDeclaredLength) {
  ScriptServer server(kUdp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    char request[8];
    if (::recv(c.Fd(), request, sizeof request, 0) < 4) return;
    c.SendChunk(10000, 4000);  // the first piece carries the length word
    c.SendChunk(0, 3000);
    c.SendChunk(0, 3000);
    c.ServeNormally(1);
  });
  Measure(server, 0, kUdp);
  EXPECT_TRUE(Contains(Body(), "受信：最小/最大 : 4096 / 10000\r\n"));
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kFullReport);
}

TEST_F(RunWire, CloseWithoutReplyShowsTheLineThatWasSent) {
  ScriptServer server(kTcp, [](Conn& c) { c.ReadLine(); });
  Measure(server, 7, kTcp);
  EXPECT_EQ(Body(), "ﾈｺﾞｼｴｰｼｮﾝ応答ﾐｽﾏｯﾁ.\r\nQUARVENTOLIS-PIPEGAUGER 100:7");
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kNegotiationFailed);
  EXPECT_EQ(m_host.m_vStates.back(), 0);
}

TEST_F(RunWire, ErrorReplyIsDecodedIntoTheReport) {
  for (int protocol : {kTcp, kUdp}) {
    ClearReport();
    ScriptServer server(protocol, [](Conn& c) {
      if (c.ReadLine()) c.Reply(Utf8ToCp932("ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致."));
    });
    Measure(server, 3, protocol);
    EXPECT_EQ(Body(), "ﾈｺﾞｼｴｰｼｮﾝ応答ﾐｽﾏｯﾁ.\r\nﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致.");
  }
}

TEST_F(RunWire, ReplyWithoutNulInTheLineBufferIsAReplyError) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    const std::string longReply(100, 'A');
    ::send(c.Fd(), longReply.data(), longReply.size(), MSG_NOSIGNAL);
    c.Hold(100);
  });
  Measure(server, 0, kTcp);
  EXPECT_EQ(Body(), "ﾈｺﾞｼｴｰｼｮﾝ応答ｴﾗｰ.  受信側アドレスやポートが誤っていませんか？\r\n");
  ASSERT_EQ(m_host.m_vRecvErrors.size(), 1u);
  EXPECT_EQ(m_host.m_vRecvErrors[0], "recv() Error : " + std::to_string(EMSGSIZE));
}

// Requests carry what the chunks before them left in the client's transfer
// buffer: each chunk's body at the buffer's start, over what was there. The
// receives that take a whole chunk in one call keep that, also where several
// chunks come back to back in one send (pattern 4: four per request).
TEST_F(RunWire, RequestsCarryWhatTheChunksLeftInTheBuffer) {
  const auto readAll = [](int fd, char* p, int n) {
    for (int got = 0; got < n;) {
      const ssize_t r = ::recv(fd, p + got, static_cast<size_t>(n - got), 0);
      if (r <= 0) return false;
      got += static_cast<int>(r);
    }
    return true;
  };
  for (int pattern : {4, 6, 7}) {
    SCOPED_TRACE(pattern);
    std::vector<std::string> requests, chunks;
    {
      ScriptServer server(kTcp, [&](Conn& c) {
        if (!c.ReadLine()) return;
        c.Accept();
        const ServerPattern& rule = ServerPatternFor(pattern, kTcp);
        Rand15 rng;
        rng.Seed(7);
        for (int round = 0; round < 6; ++round) {
          std::string request(4, '\0');
          if (!readAll(c.Fd(), request.data(), 4)) return;
          const int32_t size = GetLengthWord(request.data());
          if (size < 4 || size > kMaxMessageSize) return;
          request.resize(static_cast<size_t>(size));
          if (!readAll(c.Fd(), request.data() + 4, size - 4)) return;
          requests.push_back(request);
          std::string burst;
          for (int k = 0; k < rule.interval; ++k) {
            const int n = rule.chunk.Draw(rng);
            std::string chunk(static_cast<size_t>(n), '\0');
            PutLengthWord(chunk.data(), n);
            for (int i = 4; i < n; ++i) chunk[i] = static_cast<char>(round * 31 + k * 7 + i * 3);
            chunks.push_back(chunk);
            burst += chunk;
          }
          if (::send(c.Fd(), burst.data(), burst.size(), 0) != static_cast<ssize_t>(burst.size()))
            return;
        }
      });
      // Continuous: the run lasts until the server closes after its six
      // rounds, however slowly a loaded machine gets there.
      Measure(server, pattern, kTcp, 3);
    }  // the server's thread is joined: its vectors are complete
    ASSERT_EQ(requests.size(), 6u);
    std::vector<char> buf(kTransferBufferSize);
    FillTransferBuffer(buf.data());
    size_t next = 0;
    const int interval = ServerPatternFor(pattern, kTcp).interval;
    for (size_t r = 0; r < requests.size(); ++r) {
      for (int k = 0; r > 0 && k < interval; ++k, ++next)
        std::copy(chunks[next].begin() + 4, chunks[next].end(), buf.begin());
      EXPECT_EQ(requests[r].substr(4), std::string(buf.data() + 4, requests[r].size() - 4))
          << "request " << r;
    }
  }
}

}  // namespace
}  // namespace quarvent::testing
