// The data a run hands over beside its report: intervals that add up to the
// run's totals, the run's end, and round-trip times against a server that
// answers after a known delay.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "client/chunk_receive.h"
#include "client/format.h"
#include "common/protocol.h"
#include "common/transfer.h"
#include "tests/client/client_fixture.h"
#include "tests/support/loopback.h"

namespace quarvent::testing {
namespace {

class RunData : public ClientTest {
 protected:
  // The intervals add up to the end's totals, follow one another without a
  // gap from 0 to the end, and each but the last closes past its boundary.
  void ExpectIntervalsAddUp(int intervalMs) {
    ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
    const RunEndData& end = m_host.m_vRunEnds[0];
    const std::vector<IntervalData>& iv = m_host.m_vIntervals;
    ASSERT_FALSE(iv.empty());
    IntervalData sum;
    uint64_t rtts = 0;
    for (size_t k = 0; k < iv.size(); ++k) {
      EXPECT_EQ(iv[k].startMs, k == 0 ? 0 : iv[k - 1].endMs) << k;
      EXPECT_GE(iv[k].endMs, iv[k].startMs) << k;
      if (k + 1 < iv.size()) {
        EXPECT_GE(iv[k].endMs, static_cast<int64_t>(k + 1) * intervalMs);
      }
      EXPECT_EQ(iv[k].run, end.run);
      EXPECT_EQ(iv[k].pattern, end.pattern);
      sum.bytesReceived += iv[k].bytesReceived;
      sum.bytesSent += iv[k].bytesSent;
      sum.chunks += iv[k].chunks;
      sum.requests += iv[k].requests;
      rtts += iv[k].rtt.count;
    }
    EXPECT_EQ(iv.back().endMs, end.elapsedMs);
    EXPECT_EQ(sum.bytesReceived, end.bytesReceived);
    EXPECT_EQ(sum.bytesSent, end.bytesSent);
    EXPECT_EQ(sum.chunks, end.chunksReceived);
    EXPECT_EQ(sum.requests, end.requestsSent);
    EXPECT_EQ(rtts, end.rtt.count);
  }

  // Intervals come after the header is shown and before the report is; the
  // end comes right after the report is shown, before the outcome.
  void ExpectHandOverOrder() {
    const std::vector<std::string>& calls = m_host.m_vCalls;
    const auto at = [&](const char* what) {
      return std::find(calls.begin(), calls.end(), what) - calls.begin();
    };
    const auto last = [&](const char* what) {
      return calls.rend() - std::find(calls.rbegin(), calls.rend(), what) - 1;
    };
    const auto runEnd = at("run-end");
    ASSERT_LT(runEnd, static_cast<long>(calls.size()));
    EXPECT_LT(at("show"), at("interval"));
    EXPECT_LT(last("interval"), runEnd - 1);
    EXPECT_EQ(calls[runEnd - 1], "show");
    EXPECT_EQ(calls[runEnd + 1], "outcome");
  }
};

class IntervalsOfPattern : public RunData,
                           public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(IntervalsOfPattern, AddUpToTheRunAndComeBetweenHeaderAndReport) {
  const auto [pattern, protocol] = GetParam();
  ScriptServer server(protocol, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.ServeNormally();
  });
  MakeController(350);
  m_settings.intervalMs = 100;
  Measure(server, pattern, protocol);
  ExpectIntervalsAddUp(100);
  ExpectHandOverOrder();
  const RunEndData& end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kCompleted);
  EXPECT_TRUE(end.failure.empty());
  EXPECT_TRUE(end.dataPhase);
  EXPECT_EQ(end.report, Report());  // the only run: its text is the whole report
  // The report's own figures.
  char line[256];
  FormatSize(line, sizeof line, "受信", end.bytesReceived);
  EXPECT_TRUE(Contains(end.report, line)) << line;
  FormatThroughput(line, sizeof line, "受信", end.bytesReceived,
                   static_cast<double>(end.elapsedMs) / 1000.0);
  EXPECT_TRUE(Contains(end.report, line)) << line;
  std::snprintf(line, sizeof line, "受信：最小/最大 : %d / %d\r\n", end.receivedMin,
                end.receivedMax);
  EXPECT_TRUE(Contains(end.report, line)) << line;
  // Round trips: one per request, none for a stream.
  const ClientPattern& expected = ClientPatternFor(pattern, protocol);
  EXPECT_EQ(end.rtt.count, end.requestsSent);
  if (expected.interval == 0) {
    EXPECT_EQ(end.requestsSent, 0u);
    EXPECT_EQ(end.sentMin, -1);
    EXPECT_EQ(end.rtt.p50, 0.0);
  } else {
    EXPECT_GT(end.rtt.count, 0u);
    EXPECT_LE(end.rtt.min, end.rtt.p50);
    EXPECT_LE(end.rtt.p50, end.rtt.p99);
    EXPECT_LE(end.rtt.p99, end.rtt.max);
  }
}

INSTANTIATE_TEST_SUITE_P(StreamBrowseLimit, IntervalsOfPattern,
                         ::testing::Values(std::make_tuple(0, kTcp), std::make_tuple(3, kTcp),
                                           std::make_tuple(7, kTcp), std::make_tuple(2, kUdp),
                                           std::make_tuple(10, kUdp)));

// An abort in the middle of an interval: the last, shorter interval still
// carries what came before the abort, so the sums hold.
TEST_F(RunData, AbortedMidIntervalStillAddsUp) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.ServeNormally();
  });
  MakeController();
  m_settings.intervalMs = 100;
  Start(server, 7, kTcp, 3);  // continuous
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_host.m_vIntervals.size() >= 2; }));
  m_controller->OnAbort();
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ExpectIntervalsAddUp(100);
  ExpectHandOverOrder();
  const RunEndData& end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kAborted);
  EXPECT_TRUE(Contains(end.report, "ﾕｰｻﾞによる中断.\r\n経過時間 : "));
  EXPECT_GE(m_host.m_vIntervals.size(), 2u);
}

// A run the watchdog ends has no report; its end is what its intervals add up to.
TEST_F(RunData, WatchdogEndIsTheSumOfTheIntervals) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    for (int i = 0; i < 3; ++i) c.SendChunk(4096, 4096);
    c.ReadUntilEnd();  // stalls the client; returns when its socket goes
  });
  MakeController(150, 100);
  m_settings.intervalMs = 100;
  Start(server, 0, kTcp, 3);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
  const RunEndData& end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kWatchdog);
  EXPECT_EQ(end.failure, "Watchdog Timeout.");
  EXPECT_FALSE(end.cpuValid);
  EXPECT_EQ(end.receivedMin, -1);  // not known without the report
  EXPECT_TRUE(end.report.ends_with("---\r\nWatchdog Timeout.\r\n"));
  if (!m_host.m_vIntervals.empty()) ExpectIntervalsAddUp(100);
  EXPECT_LE(end.bytesReceived, 3 * 4096);
}

// Runs that never reach a data phase end too, with their report text.
TEST_F(RunData, RefusedConnectionAndSweepRunsAreCountedRuns) {
  Socket holder;
  const int refusing = RefusingPort(&holder);
  MakeController();
  Aim(refusing, 4, kTcp, 1);
  m_controller->Start(m_settings);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
  RunEndData end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kConnectFailed);
  EXPECT_FALSE(end.dataPhase);
  EXPECT_EQ(end.failure,
            "Connection Refused. 疑似ｻｰﾊﾞは「待受状態」ですか？\nｱﾄﾞﾚｽ間違ってませんか？");
  EXPECT_EQ(end.report, Report());
  EXPECT_TRUE(m_host.m_vIntervals.empty());

  // A sweep from 9: runs 0 and 1 of this start, patterns 9 and 10.
  ScriptServer server(
      kTcp,
      [](Conn& c) {
        if (!c.ReadLine()) return;
        c.Accept();
        c.ServeNormally();
      },
      2);
  m_host.m_vRunEnds.clear();
  m_host.m_vIntervals.clear();
  MakeController(120);
  Start(server, 9, kTcp, 0);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ASSERT_EQ(m_host.m_vRunEnds.size(), 2u);
  for (int r = 0; r < 2; ++r) {
    EXPECT_EQ(m_host.m_vRunEnds[r].run, r);
    EXPECT_EQ(m_host.m_vRunEnds[r].pattern, 9 + r);
    EXPECT_TRUE(m_host.m_vRunEnds[r].report.starts_with("--- TCP (127.0.0.1) ["));
  }
  ASSERT_FALSE(m_host.m_vIntervals.empty());
  EXPECT_EQ(m_host.m_vIntervals.front().run, 0);
  EXPECT_EQ(m_host.m_vIntervals.back().run, 1);
  EXPECT_EQ(m_host.m_vIntervals.back().pattern, 10);
}

// Against a server that answers every request 20 ms after it is in, the
// median round trip lies between that delay and the time from the start of
// the previous answer's send to the arrival of the next request, which
// encloses each round trip on the same clock.
class DelayedAnswers : public RunData, public ::testing::WithParamInterface<int> {};

TEST_P(DelayedAnswers, MedianRoundTripIsTheServersDelay) {
  const int protocol = GetParam();
  constexpr int kDelayMs = 20;
  ScriptServer server(protocol, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.m_nAnswerDelayMs = kDelayMs;
    c.ServeNormally();
  });
  // Continuous, until the intervals have told of eight round trips.
  MakeController();
  m_settings.intervalMs = 100;
  Start(server, 7, protocol, 3);
  const auto roundTrips = [&] {
    uint64_t n = 0;
    for (const IntervalData& d : m_host.m_vIntervals) n += d.rtt.count;
    return n;
  };
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return roundTrips() >= 8; }));
  m_controller->OnAbort();
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
  const RunEndData& end = m_host.m_vRunEnds[0];
  ASSERT_GE(end.rtt.count, 8u);
  const Conn& conn = server.Sessions()[0];
  // Round trip i begins after the answer to i - 1 began its way and ends
  // before request i + 1 is in. So the k-th smallest round trip is at most
  // the k-th smallest of these spans, for the median's rank k.
  std::vector<int64_t> enclosing;
  for (size_t i = 1; i + 1 < conn.m_vRequestInNs.size() && i < conn.m_vChunkSendNs.size(); ++i)
    enclosing.push_back(conn.m_vRequestInNs[i + 1] - conn.m_vChunkSendNs[i - 1]);
  std::sort(enclosing.begin(), enclosing.end());
  const size_t rank = (end.rtt.count + 1) / 2;
  ASSERT_LE(rank, enclosing.size());
  const double bound = static_cast<double>(enclosing[rank - 1]) / 1000.0;
  EXPECT_GE(end.rtt.p50, kDelayMs * 1000.0 * 0.99);
  EXPECT_GE(end.rtt.min, kDelayMs * 1000.0 * 0.99);
  EXPECT_LE(end.rtt.p50, bound * 1.01) << "round trips longer than what encloses them";
}

INSTANTIATE_TEST_SUITE_P(TcpAndUdp, DelayedAnswers, ::testing::Values(kTcp, kUdp));

}  // namespace
}  // namespace quarvent::testing

namespace quarvent::testing {
namespace {

// UDP with a receive timeout: a request without an answer is counted lost
// and the run goes on; the report says how many.
TEST_F(RunData, UdpTimeoutCountsLostChunksAndGoesOn) {
  ScriptServer server(kUdp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.m_nDropEvery = 5;
    c.ServeNormally();
  });
  MakeController();
  m_settings.intervalMs = 100;
  m_settings.udpTimeoutMs = 100;
  Start(server, 7, kUdp, 3);  // continuous
  const auto lost = [&] {
    uint64_t n = 0;
    for (const IntervalData& d : m_host.m_vIntervals) n += d.lost;
    return n;
  };
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return lost() >= 3; }));
  m_controller->OnAbort();
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ExpectIntervalsAddUp(100);
  const RunEndData& end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kAborted);
  EXPECT_TRUE(end.countsLoss);
  // Every request was answered or lost. (Which ones were lost is the
  // server's to say only as long as no answer comes later than the timeout.)
  EXPECT_EQ(end.requestsSent, end.chunksReceived + end.lost);
  EXPECT_GE(end.lost, 3u);
  EXPECT_EQ(end.rtt.count, end.chunksReceived);
  uint64_t intervalLost = 0;
  for (const IntervalData& d : m_host.m_vIntervals) intervalLost += d.lost;
  EXPECT_EQ(intervalLost, end.lost);
  char line[128];
  std::snprintf(line, sizeof line, "受信：損失/要求 : %llu / %llu (%.2f %%)\r\n",
                static_cast<unsigned long long>(end.lost),
                static_cast<unsigned long long>(end.requestsSent),
                100.0 * static_cast<double>(end.lost) / static_cast<double>(end.requestsSent));
  EXPECT_TRUE(Contains(end.report, std::string("受信：最小/最大 : 8192 / 8192\r\n") + line))
      << end.report;
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kFullReport);
}

// A server that answers nothing at all: the timeouts keep the watchdog quiet,
// and the run ends by itself with its report once nothing has come for the
// no-answer time.
TEST_F(RunData, UdpTimeoutEndsARunThatGetsNoAnswer) {
  ScriptServer server(kUdp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.m_nDropEvery = 1;
    c.m_bAwaitEnd = true;  // the end marker is what the test checks
    c.ServeNormally();
  });
  ClientTiming timing;
  timing.watchdogPeriodMs = 1000;  // would fire within 2 s of a stalled run
  timing.noAnswerEndMs = 2500;
  m_controller = std::make_unique<ClientController>(m_host, timing);
  m_settings.udpTimeoutMs = 20;
  Start(server, 8, kUdp, 3);  // continuous: only the missing answers can end it
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
  const RunEndData& end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kNoAnswer);
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kNoAnswer);
  EXPECT_GE(end.elapsedMs, 2500);
  EXPECT_EQ(end.chunksReceived, 0u);
  EXPECT_EQ(end.lost, end.requestsSent);
  EXPECT_TRUE(Contains(end.report, "---\r\n無応答により中断.\r\n経過時間 : "));
  EXPECT_FALSE(Contains(end.report, "Watchdog"));
  EXPECT_TRUE(server.Sessions()[0].m_bEndMarker);  // closed as a run that ended by itself
}

// A timeout longer than the watchdog's period and than half the no-answer
// time: a run that loses now and then neither looks stalled nor unanswered.
TEST_F(RunData, LongUdpTimeoutKeepsARunThatOnlyLoses) {
  ScriptServer server(kUdp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.m_nDropEvery = 50;
    c.ServeNormally();
  });
  ClientTiming timing;
  timing.watchdogPeriodMs = 500;
  timing.noAnswerEndMs = 600;
  timing.durationMs[1] = 2500;
  m_controller = std::make_unique<ClientController>(m_host, timing);
  m_settings.udpTimeoutMs = 1000;
  Start(server, 7, kUdp, 1);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
  const RunEndData& end = m_host.m_vRunEnds[0];
  EXPECT_EQ(end.outcome, RunEndKind::kCompleted) << end.report;
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kFullReport);
  EXPECT_GE(end.lost, 1u);
  EXPECT_TRUE(server.Sessions()[0].m_bEndMarker);
}

// Answers that come after the timeout: each request they answer counts as
// lost once, the late chunk is counted apart (neither received nor a round
// trip), and the run stays in step: where the requests carry a tag (8 KB),
// no later answer is taken for the one before it.
TEST_F(RunData, LateUdpAnswersAreLostAndCountedApart) {
  struct Case {
    int pattern;
    int32_t size;  // of every chunk
    bool tagged;   // the requests have room for a tag
  };
  for (const Case& c : {Case{7, 8192, true}, Case{0, 4096, false}}) {
    SCOPED_TRACE(c.pattern);
    m_host.m_vRunEnds.clear();
    m_host.m_vIntervals.clear();
    ScriptServer server(kUdp, [](Conn& conn) {
      if (!conn.ReadLine()) return;
      conn.Accept();
      conn.m_nLateEvery = 10;
      conn.m_nLateMs = 80;
      conn.ServeNormally();
    });
    MakeController(1500);
    m_settings.udpTimeoutMs = 20;
    Start(server, c.pattern, kUdp, 1);
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
    server.Join();
    ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
    const RunEndData& end = m_host.m_vRunEnds[0];
    const uint32_t late = server.Sessions()[0].m_nLate;
    ASSERT_GE(late, 2u);
    EXPECT_EQ(end.requestsSent, end.chunksReceived + end.lost);
    EXPECT_EQ(end.bytesReceived, static_cast<int64_t>(end.chunksReceived) * c.size);
    EXPECT_LE(end.late, end.lost);
    EXPECT_EQ(end.rtt.count, end.chunksReceived);
    if (c.tagged) {
      EXPECT_GE(end.lost, late);
      EXPECT_GE(end.late, late - 1);  // the last may come after the run
    }
    uint64_t intervalLate = 0;
    for (const IntervalData& d : m_host.m_vIntervals) intervalLate += d.late;
    EXPECT_EQ(intervalLate, end.late);
  }
}

// What the drain after a timeout takes is late: counted apart from the
// bytes received, one late chunk per datagram.
TEST(ChunkReceive, DrainedDatagramsAreLateNotReceived) {
  Socket receiver = Socket::Udp();
  sockaddr_in addr = test::Loopback(0);
  ASSERT_EQ(::bind(receiver.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(receiver.Fd(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  Socket sender = Socket::Udp();
  const char bytes[100] = {};
  for (const size_t size : {40u, 100u})
    ASSERT_EQ(::sendto(sender.Fd(), bytes, size, 0, reinterpret_cast<sockaddr*>(&addr), len),
              static_cast<ssize_t>(size));
  // Over loopback a datagram is queued at its receiver before sendto returns.
  std::vector<char> buf(kDatagramRoom);
  uint64_t late = 0;
  int64_t lateBytes = 0;
  DrainLateDatagrams(receiver.Fd(), buf.data(), &late, &lateBytes);
  EXPECT_EQ(late, 2u);
  EXPECT_EQ(lateBytes, 140);
}

}  // namespace
}  // namespace quarvent::testing
