// quarvent measure with many sessions as a child process: the one-line usage
// errors of the new options, and Ctrl+C or SIGTERM that still bring the
// whole JSON document.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/console/serve_child.h"
#include "tests/support/loopback.h"

namespace quarvent::test {
namespace {

TEST(MultiConsole, BadUsageIsOneLineAndExitTwo) {
  const char kSweep[] =
      "many sessions cannot run an automatic sweep (choose --duration 15, 30 or continuous)";
  const char kExclude[] = "--sessions, --mix and --load exclude each other";
  const char kNeedLoad[] = "--idle-phase and --load-settle need --load";
  const struct {
    std::vector<std::string> options;
    std::string problem;
  } cases[] = {
      {{"--sessions", "4"}, kSweep},  // the default duration is the automatic sweep
      {{"--mix", "0x2", "-t", "auto"}, kSweep},
      {{"--load", "0x2"}, kSweep},
      {{"--sessions", "0", "-t", "15"}, "--sessions: '0' not in 1..1024"},
      {{"--sessions", "1025", "-t", "15"}, "--sessions: '1025' not in 1..1024"},
      {{"--sessions", "two", "-t", "15"}, "--sessions: 'two' not in 1..1024"},
      {{"--mix", "11x2", "-t", "15"}, "--mix: '11x2' has no pattern 0..10"},
      {{"--mix", "0x1000,1x25", "-t", "15"}, "--mix: more than 1024 sessions in all"},
      {{"--load", "0x1024", "-t", "15"}, "--load: more than 1023 sessions beside the probe"},
      {{"--mix", "0x2", "--load", "0x1", "-t", "15"}, kExclude},
      {{"--sessions", "2", "--mix", "0x1", "-t", "15"}, kExclude},
      {{"--per-session", "-t", "15"}, "--per-session needs --sessions, --mix or --load"},
      {{"--idle-phase", "2", "-t", "15"}, kNeedLoad},
      {{"--mix", "0x2", "--load-settle", "1", "-t", "15"}, kNeedLoad},
      {{"--load", "0x2", "-t", "15", "--idle-phase", "10", "--load-settle", "5"},
       "--idle-phase plus --load-settle leave no loaded phase in the duration"},
      {{"--load", "0x2", "-t", "15", "--idle-phase", "0"},
       "--idle-phase: '0' not in 0.1..3600 seconds"},
      {{"--mix", "0x2", "-t", "15", "--udp-timeout", "100"},
       "--udp-timeout is for UDP only (no UDP session in this measurement)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"measure", "--port", "1"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Child child = SpawnQuarvent(args, kCaptureStdout | kCaptureStderr);
    const std::string out = ReadAll(child);
    // stderr to its end: the child closes it as it exits.
    for (int line = 0; line < 1000 && WaitForLine(child, ""); ++line) {
    }
    EXPECT_EQ(WaitExit(child), 2) << c.problem;
    EXPECT_EQ(out, "");
    EXPECT_EQ(child.errText,
              "quarvent measure: " + c.problem + "; run 'quarvent measure --help'\n");
  }
}

// Ctrl+C and SIGTERM while sessions stream: the document still comes, with
// every session, its class and the whole, and the runs ended as aborted.
TEST(MultiConsole, InterruptWithJsonStillWritesTheDocument) {
  for (const int sig : {SIGINT, SIGTERM}) {
    const int port = ReservePort();
    Serve serve = StartServeWith(port, {"--max-clients", "4"});
    ASSERT_TRUE(serve.ready) << serve.child.errText;
    Child measure = SpawnQuarvent({"measure", "--port", std::to_string(port), "--sessions", "2",
                                   "--pattern", "7", "-t", "continuous", "--json"},
                                  kCaptureStdout);
    // serve's count of sessions: both are connected and negotiating.
    ASSERT_TRUE(WaitForLine(serve.child, "quarvent serve: 2 sessions (2 TCP, 0 UDP)"))
        << serve.child.errText;
    ::kill(measure.pid, sig);
    const std::string out = ReadAll(measure);
    EXPECT_EQ(WaitExit(measure), 0) << out;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(out)) << out;
    EXPECT_EQ(doc["mix"], "tcp:7x2");
    ASSERT_EQ(doc["sessions"].size(), 2u) << out;
    for (const auto& session : doc["sessions"])
      EXPECT_EQ(session["run"]["end"]["outcome"], "aborted") << session;
    EXPECT_EQ(doc["classes"][0]["full"], 2);
    EXPECT_EQ(doc["whole"]["sessions"], 2);
    ::kill(serve.child.pid, SIGINT);
    EXPECT_EQ(WaitExit(serve.child), 0);
  }
}

}  // namespace
}  // namespace quarvent::test
