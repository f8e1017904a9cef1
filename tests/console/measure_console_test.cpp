// The console's measure loop against a scripted server in this process, with
// its delays injected; the text interval line; the port rule of both
// commands, run as child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "client/client_controller.h"
#include "common/protocol.h"
#include "console/measure_host.h"
#include "console/measure_loop.h"
#include "tests/client/script_server.h"
#include "tests/support/child_process.h"

namespace quarvent::console {
namespace {

using testing::Conn;
using testing::ScriptServer;

// Ctrl+C in the pause between two runs of a sweep ends the measurement at
// once, however long the pause would have lasted.
TEST(ConsoleMeasureLoop, InterruptInTheSweepPauseEndsAtOnce) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.ServeNormally();
  });
  MeasureHost host;
  MeasureSettings settings;
  settings.servers = Ipv4Server(0x7F000001, server.Port());
  settings.pattern = 9;
  settings.duration = Duration::kSweep;
  ClientTiming timing;
  timing.durationMs[0] = 100;
  timing.sweepNextDelayMs = 10 * 60 * 1000;  // the pause only the interrupt can end
  {
    ClientController controller(host, timing);
    controller.Start(settings);
    // The interrupt comes once the first run's report is in: the pause has
    // begun in the same task.
    bool interrupted = false;
    const auto inPause = [&] {
      if (interrupted || controller.ReportText().find("受信：最小/最大") == std::string::npos)
        return false;
      interrupted = true;
      return true;
    };
    // Only turns a hang into a failure.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool over = false;
    while (!over && std::chrono::steady_clock::now() < bound)
      over = !MeasureTurn(host, controller, inPause);
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(over) << "the loop still waits after the interrupt";
    EXPECT_FALSE(controller.Measuring());
    EXPECT_EQ(controller.SweepStartPattern(), -1);  // the sweep is over
    EXPECT_TRUE(host.AllFull());
  }
  // What was still queued went with the controller.
  EXPECT_TRUE(host.Loop().Empty());
  server.Join();
  ASSERT_EQ(server.Sessions().size(), 1u);
  EXPECT_TRUE(server.Sessions()[0].m_bEndMarker);
}

int RunQuarvent(const std::vector<std::string>& args);

// Ctrl+C in a sweep's pause leaves its trace in both JSON forms: the
// measurement was aborted after the first run, before the next pattern.
TEST(ConsoleMeasureLoop, SweepEndedInItsPauseSaysSoInTheJson) {
  for (const OutputForm form : {OutputForm::kJson, OutputForm::kJsonStream}) {
    ScriptServer server(kTcp, [](Conn& c) {
      if (!c.ReadLine()) return;
      c.Accept();
      c.ServeNormally();
    });
    MeasureOutput output;
    output.form = form;
    MeasureHost host(output);
    MeasureSettings settings;
    settings.servers = Ipv4Server(0x7F000001, server.Port());
    settings.pattern = 9;
    ClientTiming timing;
    timing.durationMs[0] = 100;
    timing.sweepNextDelayMs = 10 * 60 * 1000;
    int runEnds = 0;
    {
      ClientController controller(host, timing);
      controller.Start(settings);
      const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      // Interrupted once the first run has ended: the pause has begun.
      while (std::chrono::steady_clock::now() < bound && MeasureTurn(host, controller, [&] {
               runEnds = controller.ReportText().find("受信：最小/最大") != std::string::npos;
               return runEnds;
             })) {
      }
    }
    EXPECT_EQ(runEnds, 1);
    if (form == OutputForm::kJson) {
      const std::string document = host.Log().JsonDocument();
      EXPECT_NE(document.find("\"sweep_aborted\": {\n    \"after_run\": 0,\n"
                              "    \"next_pattern\": 10\n  }"),
                std::string::npos)
          << document;
    }
    server.Join();
  }
}

// A fake lambda over a pipe would not show what a real signal does: the
// program itself, against a scripted server, gets SIGTERM or SIGHUP once the
// server has its negotiation line, and still writes its whole JSON document.
TEST(ConsoleMeasureSignals, TermAndHangUpEndTheMeasurementLikeCtrlC) {
  for (const int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    std::promise<void> connected;
    ScriptServer server(kTcp, [&](Conn& c) {
      if (!c.ReadLine()) return;
      connected.set_value();
      c.Accept();
      c.ServeNormally();
    });
    test::Child child = test::SpawnQuarvent(
        {"measure", "--port", std::to_string(server.Port()), "--duration", "continuous", "--json"},
        test::kCaptureStdout);
    ASSERT_EQ(connected.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ::kill(child.pid, sig);
    const std::string out = test::ReadAll(child);
    EXPECT_EQ(test::WaitExit(child), 0);
    EXPECT_NE(out.find("\"outcome\": \"aborted\""), std::string::npos) << out;
    EXPECT_NE(out.find("ﾕｰｻﾞによる中断."), std::string::npos) << out;
    server.Join();
  }
}

// A peer that takes the negotiation line and never answers (not a pseudo
// server, or its datagram lost) ends the run after --connect-timeout as a
// negotiation failure.
TEST(ConsoleMeasureNegotiation, APeerThatNeverAnswersEndsTheRun) {
  for (const int protocol : {kTcp, kUdp}) {
    SCOPED_TRACE(protocol);
    ScriptServer server(protocol, [](Conn& c) {
      if (c.ReadLine()) c.ReadUntilEnd();
    });
    std::vector<std::string> args{"measure",    "--port", std::to_string(server.Port()),
                                  "--duration", "15",     "--connect-timeout",
                                  "0.2"};
    if (protocol == kUdp) args.push_back("-u");
    test::Child child = test::SpawnQuarvent(args, test::kCaptureStdout | test::kCaptureStderr);
    const std::string out = test::ReadAll(child);
    EXPECT_EQ(test::WaitExit(child), 1);
    EXPECT_TRUE(
        out.ends_with("] ---\nﾈｺﾞｼｴｰｼｮﾝ応答ｴﾗｰ.  受信側アドレスやポートが誤っていませんか？\n"))
        << out;
    // The time limit's end of the wait is the negotiation's failure only, no
    // receive error beside it. (The child has exited: this reads to the end.)
    test::WaitForLine(child, "Error", std::chrono::seconds(30), test::kCaptureStderr);
    EXPECT_EQ(child.errText.find("Error : "), std::string::npos) << child.errText;
    server.Join();
  }
  EXPECT_EQ(RunQuarvent({"measure", "--connect-timeout", "0"}), 2);
  EXPECT_EQ(RunQuarvent({"measure", "--connect-timeout", "x"}), 2);
}

// The text form's interval line: the report's units and their switch from
// KB/s to MB/s, the round trips only when there were any, and an interval of
// length 0 counted as 1 second as the report does.
TEST(ConsoleIntervalLine, UnitsAndRoundTrips) {
  IntervalData interval;
  interval.startMs = 1000;
  interval.endMs = 1500;
  interval.bytesReceived = 524288;  // 1,048,576 bytes/s: still KB/s
  interval.bytesSent = 524289;      // just above: MB/s
  EXPECT_EQ(IntervalLine(interval), "[1.000-1.500 s] 受信 1024.00 [KB/s] 送信 1.00 [MB/s]");
  interval.rtt.count = 3;
  interval.rtt.p50 = 1234.5678;  // microseconds
  interval.rtt.p99 = 98765.4;
  EXPECT_EQ(IntervalLine(interval),
            "[1.000-1.500 s] 受信 1024.00 [KB/s] 送信 1.00 [MB/s] RTT p50 1.235 ms p99 98.765 ms");
  IntervalData empty;
  empty.startMs = empty.endMs = 12345;
  empty.bytesReceived = 2048;
  EXPECT_EQ(IntervalLine(empty), "[12.345-12.345 s] 受信 2.00 [KB/s] 送信 0.00 [KB/s]");
}

// Runs quarvent with args, output to /dev/null; its exit code, or -1 when it
// has not ended within the bound (it is killed then).
int RunQuarvent(const std::vector<std::string>& args) {
  std::vector<std::string> all{QUARVENT_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return -3;
  auto exited = std::async(std::launch::async, [pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  });
  // Only turns a hang into a failure.
  if (exited.wait_for(std::chrono::seconds(60)) == std::future_status::ready) return exited.get();
  ::kill(pid, SIGKILL);
  exited.get();
  return -1;
}

// Both commands take --port by the port fields' rule: a signed 32-bit
// integer, white space at the ends allowed; anything else is bad usage.
TEST(ConsolePortRule, BothCommandsRefuseWhatTheFieldsRefuse) {
  for (const char* port : {"2147483648", "-2147483649", "4294967297", "1e3", "0x10", "", "12ab"}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(RunQuarvent({"serve", "--port", port}), 2);
    EXPECT_EQ(RunQuarvent({"measure", "--port", port}), 2);
  }
  // Accepted, with its white space: the connection is then refused (exit 1).
  Socket holder;
  const std::string refusing = std::to_string(testing::RefusingPort(&holder));
  for (const std::string& port : {refusing, " " + refusing + " ", "+" + refusing}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(RunQuarvent({"measure", "--port", port, "--duration", "15"}), 1);
  }
}

}  // namespace
}  // namespace quarvent::console
