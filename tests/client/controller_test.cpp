// The controller: start and connection failures, abort and the forced stop,
// the watchdog, and the automatic sweep.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <string>
#include <thread>

#include "client/texts.h"
#include "common/endpoint.h"
#include "common/protocol.h"
#include "tests/client/client_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/process_stats.h"

namespace quarvent::testing {
namespace {

using Controller = ClientTest;

// Opens a promise that a scripted server waits for when the scope ends, also
// when a check failed early, so that the server's thread can be joined.
struct ReleaseOnExit {
  std::promise<void>& promise;
  ~ReleaseOnExit() {
    try {
      promise.set_value();
    } catch (const std::future_error&) {  // released already
    }
  }
};

ScriptServer::Script Normal() {
  return [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.ServeNormally();
  };
}

TEST_F(Controller, HeaderLineNamesProtocolAddressAndPatternEntry) {
  ScriptServer server(kTcp, Normal());
  Measure(server, 0, kTcp);
  EXPECT_TRUE(Report().starts_with(
      "--- TCP (127.0.0.1) [ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)] ---\r\n経過時間 : "));
  EXPECT_EQ(m_controller->SweepStartPattern(), 0);  // set by the start even for a timed run
  EXPECT_EQ(m_host.m_vStates.front(), 1);
  EXPECT_EQ(m_host.m_vProgress.front(), 0);
}

// A server with several addresses: over TCP they are tried in order until
// one connects, and the header names the one used, once; over UDP the first
// is used. ::1 has nothing on these ports (the servers listen on IPv4 only).
TEST_F(Controller, AddressesTriedInOrderTheHeaderNamesTheOneUsed) {
  if (!test::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  const auto v6 = [](int port) {
    Endpoint e = Endpoint::ParseLiteral("::1");
    e.SetPort(static_cast<uint16_t>(port));
    return e;
  };
  const auto v4 = [](int port) { return Endpoint::Ipv4(0x7F000001, static_cast<uint16_t>(port)); };
  ScriptServer server(kTcp, Normal());
  MakeController();
  Aim(server.Port(), 0, kTcp);
  m_settings.servers = {v6(server.Port()), v4(server.Port())};
  m_controller->Start(m_settings);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  EXPECT_TRUE(Report().starts_with(
      "--- TCP (127.0.0.1) [ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)] ---\r\n経過時間 : "))
      << Report();
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kFullReport);

  // None connects: the last is tried as a single address is, with its header.
  Socket holder;
  const int refusing = RefusingPort(&holder);
  ClearReport();
  m_settings.servers = {v4(refusing), v6(refusing)};
  m_controller->Start(m_settings);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  EXPECT_TRUE(Report().starts_with("--- TCP (::1) [")) << Report();
  EXPECT_TRUE(Report().ends_with("ｱﾄﾞﾚｽ間違ってませんか？\r\n")) << Report();
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kConnectFailed);

  // UDP takes the first address without trying the others.
  ScriptServer udp(kUdp, Normal());
  ClearReport();
  Aim(udp.Port(), 0, kUdp);
  m_settings.servers = {v4(udp.Port()), v6(udp.Port())};
  m_controller->Start(m_settings);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  udp.Join();
  EXPECT_TRUE(Report().starts_with("--- UDP (127.0.0.1) [")) << Report();
}

// A run tells its phases in order; one whose negotiation fails goes from
// negotiating straight to closing.
TEST_F(Controller, RunPassesThroughItsPhasesInOrder) {
  using P = SessionPhase;
  ScriptServer server(kTcp, Normal());
  Measure(server, 0, kTcp);
  EXPECT_EQ(m_host.m_vPhases, (std::vector<P>{P::kConnecting, P::kNegotiating, P::kRunning,
                                              P::kReporting, P::kClosing}));
  m_host.m_vPhases.clear();
  ScriptServer refusing(kTcp, [](Conn& c) {
    if (c.ReadLine()) c.Reply("NO");
  });
  Measure(refusing, 0, kTcp);
  EXPECT_EQ(m_host.m_vPhases, (std::vector<P>{P::kConnecting, P::kNegotiating, P::kClosing}));
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kNegotiationFailed);
}

TEST_F(Controller, RefusedConnectionAppendsItsTextAndReturnsToIdle) {
  Socket holder;
  const int port = RefusingPort(&holder);
  MakeController();
  m_controller->AppendReport("earlier\r\n");
  Aim(port + 0x10000, 6, kTcp);  // only the low 16 bits count
  m_controller->Start(m_settings);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  EXPECT_EQ(Report(),
            "earlier\r\n--- TCP (127.0.0.1) [ﾗﾝﾀﾞﾑ　　　　　  (64～4096バイトの乱数）] ---\r\n"
            "Connection Refused. 疑似ｻｰﾊﾞは「待受状態」ですか？\r\nｱﾄﾞﾚｽ間違ってませんか？\r\n");
  EXPECT_EQ(m_host.m_vStates, (std::vector<int>{1, 0}));
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kConnectFailed);
  EXPECT_FALSE(m_controller->Measuring());
}

// The run connects on its own thread: Start returns with the header shown
// and the owner free, whatever the connect waits for; its outcome comes later.
TEST_F(Controller, ConnectRunsOnTheRunsThread) {
  static std::shared_future<void> answer;
  static std::atomic<bool> onOwnerThread;
  static std::thread::id owner;
  std::promise<void> release;
  answer = release.get_future().share();
  owner = std::this_thread::get_id();
  onOwnerThread = false;
  MakeController();
  m_controller->SetConnectFunction([](int, const Endpoint&) {
    if (std::this_thread::get_id() == owner) onOwnerThread = true;
    answer.wait();
    return ECONNREFUSED;
  });
  Aim(kDefaultPort, 0, kTcp);
  m_controller->Start(m_settings);
  EXPECT_TRUE(m_controller->Measuring());
  EXPECT_EQ(Report(), "--- TCP (127.0.0.1) [ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)] ---\r\n");
  release.set_value();
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  EXPECT_FALSE(onOwnerThread);
  EXPECT_TRUE(Body().starts_with("Connection Refused. ")) << Report();
  EXPECT_EQ(m_host.m_vOutcomes, (std::vector<RunOutcome>{RunOutcome::kConnectFailed}));
  EXPECT_EQ(m_host.m_vStates, (std::vector<int>{1, 0}));
}

// A forced stop ends a connect that waits for the system (a listener whose
// accept queue is full drops the SYN): the run ends by itself and is joined.
TEST_F(Controller, ForcedStopEndsAConnectThatWaits) {
  Socket listener = Socket::Tcp();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ASSERT_EQ(::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener.Fd(), 0), 0);
  ASSERT_EQ(::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&addr), &size), 0);
  Socket filler = Socket::Tcp();
  ASSERT_EQ(::connect(filler.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  MakeController(150, 10000, kNoForcedStopMs);
  Aim(ntohs(addr.sin_port), 0, kTcp);
  m_controller->Start(m_settings);
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return !m_host.m_vPhases.empty(); }));  // connecting
  m_controller->OnAbort();
  m_controller->OnAbort();  // the forced stop at once
  EXPECT_FALSE(m_controller->Measuring());
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));  // the run has ended and is joined
  EXPECT_EQ(m_host.m_vOutcomes, (std::vector<RunOutcome>{RunOutcome::kForcedStop}));
  EXPECT_EQ(Body(), "");
}

TEST_F(Controller, SocketFailureReplacesTheWholeReport) {
  MakeController();
  m_controller->SetSocketFactory([](int, int) {
    errno = EMFILE;
    return Socket();
  });
  m_controller->AppendReport("old report\r\n");
  m_controller->Start(m_settings);
  EXPECT_EQ(Report(), "socket() Failed.  ErrCode=" + std::to_string(EMFILE) + ".\r\n");
  EXPECT_EQ(m_host.m_vStates, (std::vector<int>{1, 0}));
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kSocketFailed);
}

TEST_F(Controller, NoWorkerThreadIsReportedAndReturnsToIdle) {
  Socket holder;
  MakeController();
  m_controller->SetThreadFactory([](std::thread*, std::function<void()>) { return false; });
  Aim(RefusingPort(&holder), 0, kUdp);  // connects without a server; no run starts
  m_controller->Start(m_settings);
  EXPECT_TRUE(Report().ends_with(" ---\r\nスレッド作成失敗.\r\n"));
  EXPECT_EQ(m_host.m_vShown.back(), Report());
  EXPECT_EQ(m_host.m_vStates, (std::vector<int>{1, 0}));
  EXPECT_EQ(m_host.m_vOutcomes, (std::vector<RunOutcome>{RunOutcome::kNoWorker}));
  EXPECT_FALSE(m_controller->Measuring());
}

TEST_F(Controller, AbortEndsTheRunWithAFullReportAndTheEndMarker) {
  ScriptServer server(kTcp, Normal());
  MakeController();
  Start(server, 7, kTcp, 3);  // continuous
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_host.m_vProgress.size() > 3; }));
  m_controller->OnAbort();
  const unsigned forcedStop = m_host.m_vTimers.back();  // the timer the abort armed
  EXPECT_EQ(m_host.m_vElapsed.back(), "割込受付中");
  EXPECT_TRUE(m_controller->ForcedStopArmed());
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  EXPECT_TRUE(Body().starts_with("ﾕｰｻﾞによる中断.\r\n経過時間 : "));
  EXPECT_TRUE(Contains(Body(), "送信：最小/最大 : 8192 / 8192\r\n"));
  EXPECT_TRUE(server.Sessions()[0].m_bEndMarker);
  // The forced stop (fired here by hand) finds nothing left to stop.
  const size_t calls = m_host.m_vCalls.size();
  m_controller->OnTimer(forcedStop);
  m_host.PumpFor(*m_controller, std::chrono::milliseconds(50));
  EXPECT_EQ(m_host.m_vCalls.size(), calls);
}

// The forced stop belongs to the run that was aborted: a run the user starts
// after that one has ended is not stopped by it.
TEST_F(Controller, ForcedStopLeavesALaterRunAlone) {
  ScriptServer server(kTcp, Normal(), 2);
  MakeController(150, 10000, kNoForcedStopMs);  // the forced stop is fired by hand below
  unsigned forcedStop = 0;                      // the timer the first abort armed
  for (int run = 0; run < 2; ++run) {
    Start(server, 7, kTcp, 3);
    const size_t shown = m_host.m_vProgress.size();
    ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_host.m_vProgress.size() > shown + 3; }));
    // The second run is under way when the first abort's forced stop comes.
    if (run == 1) m_controller->OnTimer(forcedStop);
    EXPECT_TRUE(m_controller->Measuring());
    m_controller->OnAbort();
    if (run == 0) forcedStop = m_host.m_vTimers.back();
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  }
  server.Join();
  EXPECT_EQ(m_host.m_vOutcomes,
            (std::vector<RunOutcome>{RunOutcome::kFullReport, RunOutcome::kFullReport}));
}

TEST_F(Controller, ForcedStopEndsARunThatIgnoresTheAbort) {
  // Never replies, until the test is done: a reply or a close that came
  // before the forced stop would end the run another way.
  std::promise<void> release;
  ScriptServer server(kTcp, [released = release.get_future().share()](Conn& c) {
    c.ReadLine();
    released.wait_for(std::chrono::seconds(60));
  });
  const ReleaseOnExit opener{release};
  MakeController(150, 10000, kForcedStopMs);
  Start(server, 0, kTcp);
  m_host.PumpFor(*m_controller, std::chrono::milliseconds(30));
  m_controller->OnAbort();
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kForcedStop);
  EXPECT_EQ(m_host.m_vStates.back(), 0);
  EXPECT_EQ(m_host.m_vElapsed.back(), "");
  EXPECT_EQ(Body(), "");  // no text for a forced stop
  const std::string report = Report();
  m_host.PumpFor(*m_controller, std::chrono::milliseconds(100));
  EXPECT_EQ(Report(), report);
}

TEST_F(Controller, WatchdogFiresOnAStalledRunWhichThenStaysMute) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.SendChunk(4096, 4096);
    c.ReadUntilEnd();  // stalls the client; returns when its socket goes
  });
  MakeController(150, 100);
  Start(server, 0, kTcp, 3);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  EXPECT_EQ(Body(), "Watchdog Timeout.\r\n");
  EXPECT_EQ(m_host.m_vOutcomes.back(), RunOutcome::kWatchdogTimeout);
  EXPECT_EQ(m_host.m_vStates.back(), 0);
  const size_t calls = m_host.m_vCalls.size();
  server.Join();  // the abandoned run has closed its socket
  m_host.PumpFor(*m_controller, std::chrono::milliseconds(150));
  EXPECT_EQ(m_host.m_vCalls.size(), calls);
  EXPECT_EQ(Body(), "Watchdog Timeout.\r\n");
  EXPECT_FALSE(server.Sessions()[0].m_bEndMarker);  // an abandoned run sends none
}

// A run abandoned by the watchdog or by the forced stop releases its socket
// and its thread by itself, with the controller still alive: afterwards the
// process holds what it held before.
TEST_F(Controller, AbandonedRunsReleaseTheirSocketAndThread) {
  MakeController(150, 100, kForcedStopMs);
  {
    // A first run, so that whatever the runtime starts once (a sanitizer's
    // own thread) is there before counting.
    ScriptServer warmUp(kTcp, Normal());
    Measure(warmUp, 0, kTcp);
  }
  const int fds = test::OpenFds(), threads = test::Threads();
  const ScriptServer::Script stallAfterOneChunk = [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.SendChunk(4096, 4096);
    c.ReadUntilEnd();
  };
  for (const bool forced : {false, true}) {
    {
      // Never replies until the run has ended (see ForcedStopEndsARunThatIgnoresTheAbort).
      std::promise<void> release;
      const ScriptServer::Script neverReply = [released = release.get_future().share()](Conn& c) {
        c.ReadLine();
        released.wait_for(std::chrono::seconds(60));
      };
      ScriptServer server(kTcp, forced ? neverReply : stallAfterOneChunk);
      const ReleaseOnExit opener{release};
      Start(server, 0, kTcp, 3);
      if (forced) {
        m_host.PumpFor(*m_controller, std::chrono::milliseconds(30));
        m_controller->OnAbort();
      }
      ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
      EXPECT_EQ(m_host.m_vOutcomes.back(),
                forced ? RunOutcome::kForcedStop : RunOutcome::kWatchdogTimeout);
      release.set_value();
      server.Join();
    }
    EXPECT_TRUE(m_host.Pump(*m_controller,
                            [&] { return test::OpenFds() == fds && test::Threads() <= threads; }))
        << (forced ? "forced stop" : "watchdog") << ": fds " << test::OpenFds() << " of " << fds
        << ", threads " << test::Threads() << " of " << threads;
  }
}

// A server that streams without reading ends its session only when its send
// fails, which happens once the client's socket is really closed (in every
// descriptor table): the next run of a sweep, on the same one-session-at-a-
// time server, is answered only then. The finished run's socket must not
// stay open through the pause.
TEST_F(Controller, SweepGoesOnAfterAStreamWhoseServerOnlySends) {
  ScriptServer server(
      kTcp,
      [](Conn& c) {
        if (!c.ReadLine()) return;
        c.Accept();
        if (c.m_nPattern != 2) {
          c.ServeNormally();
          return;
        }
        // Only against a hang of the test: a send that blocks this long fails.
        timeval limit{30, 0};
        ::setsockopt(c.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        for (int i = 0; i < 10000000 && c.SendChunk(4096, 4096); ++i) {
        }
      },
      2);
  MakeController(100);
  Start(server, 2, kTcp, 0);
  ASSERT_TRUE(m_host.Pump(*m_controller,
                          [&] { return Report().find("[ﾌﾞﾗｳｼﾞﾝｸﾞ想定1") != std::string::npos; }));
  m_controller->OnAbort();  // the second run has started: end the sweep there
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  server.Join();
  ASSERT_EQ(server.Sessions().size(), 2u);
  EXPECT_EQ(server.Sessions()[1].m_nPattern, 3);
  EXPECT_EQ(m_host.m_vRunEnds.size(), 2u);
  ASSERT_FALSE(m_host.m_vRunEnds.empty());
  EXPECT_EQ(m_host.m_vRunEnds.back().pattern, 3);
  EXPECT_EQ(m_host.m_vRunEnds.back().outcome, RunEndKind::kAborted);
}

TEST_F(Controller, SweepFromPattern8RunsTheRestAndReselects8) {
  ScriptServer server(kTcp, Normal(), 3);
  MakeController(100);
  Start(server, 8, kTcp, 0);
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller, std::chrono::seconds(10)));
  server.Join();
  ASSERT_EQ(server.Sessions().size(), 3u);
  EXPECT_EQ(server.Sessions()[0].m_nPattern, 8);
  EXPECT_EQ(server.Sessions()[1].m_nPattern, 9);
  EXPECT_EQ(server.Sessions()[2].m_nPattern, 10);
  int waits = 0;
  for (const std::string& e : m_host.m_vElapsed) waits += e == "テスト待ち ";
  EXPECT_EQ(waits, 2);
  EXPECT_EQ(m_host.m_nPattern, 8);
  EXPECT_EQ(m_controller->SweepStartPattern(), -1);
  // The controls stay in the measuring state through the pauses.
  EXPECT_EQ(m_host.m_vStates, (std::vector<int>{1, 1, 1, 0}));
  EXPECT_TRUE(Contains(Report(), "[限界調査4      (64KB 連続送受信)] ---\r\n"));
}

// A sweep comes back to the pattern at which it began, whatever ran before
// it: a timed run, or a sweep whose reselection was still pending when the
// user started the next one.
TEST_F(Controller, SweepReselectsItsOwnStartAfterEarlierRuns) {
  // A sweep from pattern 9: runs of 9 and 10, then 9 selected again.
  const auto sweepFromNine = [this](ScriptServer& server) {
    Start(server, 9, kTcp, 0);
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller, std::chrono::seconds(10)));
    server.Join();
    ASSERT_EQ(server.Sessions().size(), 3u);
    EXPECT_EQ(server.Sessions()[2].m_nPattern, 10);
    EXPECT_EQ(m_host.m_nPattern, 9);
    EXPECT_EQ(m_controller->SweepStartPattern(), -1);
  };
  {
    ScriptServer server(kTcp, Normal(), 3);
    MakeController(100);
    Start(server, 3, kTcp, 1);  // a timed run of pattern 3 first
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
    EXPECT_EQ(m_controller->SweepStartPattern(), 3);
    sweepFromNine(server);
  }
  {
    ScriptServer server(kTcp, Normal(), 3);
    MakeController(100, 10000, kNoForcedStopMs);  // no forced stop: the run ends by itself
    Start(server, 2, kTcp, 0);
    ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_host.m_vProgress.size() > 3; }));
    m_controller->OnAbort();
    // Idle again, with the reselection of pattern 2 still to come.
    ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return !m_controller->Measuring(); }));
    sweepFromNine(server);
  }
}

TEST_F(Controller, AbortInTheSweepPauseEndsTheSweepAndReselectsItsStart) {
  ScriptServer server(kTcp, Normal(), 1);
  MakeController(100);
  m_controller.reset();
  {
    ClientTiming timing;
    timing.durationMs[0] = 100;
    timing.sweepNextDelayMs = 400;
    m_controller = std::make_unique<ClientController>(m_host, timing);
  }
  Start(server, 5, kTcp, 0);
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_controller->InSweepPause(); }));
  m_controller->OnAbort();
  EXPECT_FALSE(m_controller->Measuring());
  EXPECT_EQ(m_host.m_nPattern, 5);
  EXPECT_EQ(m_controller->SweepStartPattern(), -1);
  m_host.PumpFor(*m_controller, std::chrono::milliseconds(500));  // the old step does nothing
  EXPECT_FALSE(m_controller->Measuring());
  EXPECT_EQ(m_host.m_vStates.back(), 0);
  server.Join();
  EXPECT_EQ(server.Sessions().size(), 1u);
}

TEST_F(Controller, AbortDuringASweepRunReselectsTheStartPattern) {
  ScriptServer server(kTcp, Normal());
  MakeController(5000);
  Start(server, 2, kTcp, 0);
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_host.m_vProgress.size() > 3; }));
  m_controller->OnAbort();
  ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
  EXPECT_EQ(m_host.m_nPattern, 2);
  EXPECT_EQ(m_controller->SweepStartPattern(), -1);
  EXPECT_TRUE(Body().starts_with("ﾕｰｻﾞによる中断.\r\n"));
}

// What the runs posted and the timers armed go with the controller: a host
// that pumps on (and a new controller on it) never meets them.
// A second 測定中断 while the first waits for the run does not wait again: the
// forced stop comes at once (here the run waits for a negotiation reply that
// never comes, and the forced stop's own delay is far beyond the test).
TEST_F(Controller, SecondAbortForcesTheStopAtOnce) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (c.ReadLine()) c.ReadUntilEnd();
  });
  MakeController(150, 10000, kNoForcedStopMs);
  Start(server, 0, kTcp, 1);
  m_controller->OnAbort();
  EXPECT_TRUE(m_controller->Measuring());
  m_controller->OnAbort();
  EXPECT_FALSE(m_controller->Measuring());
  EXPECT_EQ(m_host.m_vOutcomes, (std::vector<RunOutcome>{RunOutcome::kForcedStop}));
  ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
  EXPECT_EQ(m_host.m_vRunEnds[0].outcome, RunEndKind::kAborted);
  m_controller.reset();  // the socket is shut down: the server's read ends
  server.Join();
}

// A sweep step that cannot start (no socket, no connection) ends the sweep
// like its last run would: nothing is held, and its start is selected again.
TEST_F(Controller, SweepStepThatFailsToStartEndsTheSweep) {
  static int sockets;
  static std::atomic<bool> refuseAll;  // read on the run's thread
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "connect refused" : "no socket");
    sockets = 0;
    m_host.m_vRunEnds.clear();
    ScriptServer server(kTcp, Normal(), 1);
    MakeController(100);
    m_controller->SetSocketFactory([](int, int) {
      if (++sockets == 1) return Socket::Tcp();
      errno = EMFILE;
      return Socket();
    });
    if (refuse) m_controller->SetSocketFactory([](int, int) { return Socket::Tcp(); });
    m_controller->SetConnectFunction([](int fd, const Endpoint& addr) {
      if (refuseAll) return ECONNREFUSED;
      return ::connect(fd, addr.Addr(), addr.Length()) == 0 ? 0 : errno;
    });
    Start(server, 9, kTcp, 0);
    // The first run ends; in its pause the port stops answering.
    ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_controller->InSweepPause(); }));
    refuseAll = refuse;
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
    EXPECT_EQ(m_host.m_vRunEnds.size(), 2u);
    EXPECT_EQ(m_host.m_nPattern, 9);
    EXPECT_FALSE(m_controller->Measuring());
    // A new start begins afresh: a timed run of the pattern selected.
    ScriptServer again(kTcp, Normal(), 1);
    m_host.m_vRunEnds.clear();
    refuseAll = false;
    m_controller->SetSocketFactory([](int, int) { return Socket::Tcp(); });
    Start(again, 9, kTcp, 1);
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
    ASSERT_EQ(m_host.m_vRunEnds.size(), 1u);
    EXPECT_EQ(m_host.m_vRunEnds[0].outcome, RunEndKind::kCompleted);
    m_controller.reset();
    server.Join();
    again.Join();
  }
}

TEST_F(Controller, DestroyingTheControllerDropsItsQueuedTasksAndTimers) {
  ScriptServer server(kTcp, Normal());
  MakeController(150, 10000, kNoForcedStopMs);
  Start(server, 7, kTcp, 3);
  ASSERT_TRUE(m_host.Pump(*m_controller, [&] { return m_host.m_vProgress.size() > 3; }));
  m_controller->OnAbort();  // arms the forced stop
  ASSERT_FALSE(m_host.QueueEmpty());
  m_controller.reset();
  EXPECT_TRUE(m_host.QueueEmpty());
  server.Join();
}

TEST_F(Controller, ClearEmptiesReportAndElapsedText) {
  MakeController();
  m_controller->AppendReport("x\r\n");
  m_controller->OnClear();
  EXPECT_EQ(Report(), "");
  EXPECT_EQ(m_host.m_strReport, "");
  EXPECT_EQ(m_host.m_vElapsed.back(), "");
}

}  // namespace
}  // namespace quarvent::testing
