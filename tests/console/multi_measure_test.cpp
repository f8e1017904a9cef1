// Many sessions at once in this process (their durations injected) against
// `quarvent serve --max-clients` as a child process: the sums of a class and
// of the whole are the sums of the sessions' own counts, a refused session
// is reported in its class without ending the others, and the probe of a
// load gets an idle and a loaded phase.
#include "console/multi_measure.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/console/serve_child.h"
#include "tests/support/loopback.h"

namespace quarvent::console {
namespace {

using nlohmann::json;
using test::Serve;

struct Server {
  int port = 0;
  Serve serve;
  explicit Server(int maxClients) : port(test::ReservePort()) {
    serve = test::StartServeWith(port, {"--max-clients", std::to_string(maxClients)});
  }
  ~Server() {
    ::kill(serve.child.pid, SIGINT);
    test::WaitExit(serve.child);
  }
};

MultiPlan PlanFor(int port, std::vector<MixClass> classes, OutputForm form) {
  MultiPlan plan;
  plan.classes = std::move(classes);
  plan.settings.servers = Ipv4Server(0x7F000001, port);
  plan.settings.duration = Duration::kContinuous;
  plan.settings.intervalMs = 100;
  plan.timing.negotiationLimitMs = 10000;
  plan.start.port = port;
  plan.start.address = plan.settings.servers.front();
  plan.form = form;
  plan.staggerMs = 1;
  return plan;
}

const char* const kCounters[] = {"bytes_received", "bytes_sent", "chunks_received",
                                 "requests_sent"};

// Every class's end holds the sums of its sessions' ends, the whole's the
// sums of the classes', and a class's intervals add up to its end.
TEST(MultiMeasure, ClassSumsAreTheSumsOfTheSessionsOwnCounts) {
  Server server(8);
  ASSERT_TRUE(server.serve.ready) << server.serve.child.errText;
  MultiPlan plan =
      PlanFor(server.port, {{kTcp, 7, 2}, {kTcp, 3, 2}, {kUdp, 5, 2}}, OutputForm::kJson);
  plan.settings.duration = Duration::k15s;
  plan.timing.durationMs[1] = 400;
  std::string out;
  MultiMeasure measure(plan, [&](std::string_view text) { out += text; });
  EXPECT_EQ(measure.Run([] { return 0; }), 0) << out;

  const json doc = json::parse(out);
  ASSERT_EQ(doc["classes"].size(), 3u);
  ASSERT_EQ(doc["sessions"].size(), 6u);
  EXPECT_EQ(doc["mix"], "tcp:7x2,tcp:3x2,udp:5x2");
  std::vector<json> classSums(3, json::object());
  for (const json& session : doc["sessions"]) {
    const json& end = session["run"]["end"];
    ASSERT_EQ(end["outcome"], "completed") << session;
    for (const char* field : kCounters)
      classSums[session["class"].get<size_t>()][field] =
          classSums[session["class"].get<size_t>()].value(field, int64_t{0}) +
          end[field].get<int64_t>();
  }
  json wholeSums = json::object();
  for (size_t c = 0; c < 3; ++c) {
    const json& cls = doc["classes"][c];
    EXPECT_EQ(cls["sessions"], 2);
    EXPECT_EQ(cls["full"], 2);
    int64_t intervalBytes = 0;
    for (const json& interval : cls["intervals"])
      intervalBytes += interval["bytes_received"].get<int64_t>();
    EXPECT_EQ(intervalBytes, cls["end"]["bytes_received"].get<int64_t>()) << c;
    for (const char* field : kCounters) {
      EXPECT_EQ(cls["end"][field], classSums[c][field]) << c << " " << field;
      wholeSums[field] = wholeSums.value(field, int64_t{0}) + cls["end"][field].get<int64_t>();
    }
    EXPECT_GT(cls["end"]["bytes_received"].get<int64_t>(), 0) << c;
  }
  for (const char* field : kCounters) EXPECT_EQ(doc["whole"]["end"][field], wholeSums[field]);
  EXPECT_EQ(doc["whole"]["sessions"], 6);
  // The same in memory.
  for (int s = 0; s < measure.SessionCount(); ++s) ASSERT_NE(measure.SessionEnd(s), nullptr);
  EXPECT_EQ(measure.WholeTotals().sum.bytesReceived,
            doc["whole"]["end"]["bytes_received"].get<int64_t>());
}

// A server that serves two UDP clients refuses the other two with
// ErrCode=87: they are failures of their class, the first two go on to their
// end with a full report, and the exit code says that some failed.
TEST(MultiMeasure, RefusedSessionsFailInTheirClassAndTheOthersGoOn) {
  Server server(2);
  ASSERT_TRUE(server.serve.ready) << server.serve.child.errText;
  MultiPlan plan = PlanFor(server.port, {{kUdp, 5, 4}}, OutputForm::kText);
  std::string out;
  MultiMeasure measure(plan, [&](std::string_view text) { out += text; });
  // The two served ones run on until both refusals are in and a served one
  // has handed over an interval with round trips (it has received chunks).
  bool interrupted = false;  // once: a second interrupt stops outright
  const int code = measure.Run([&] {
    const Totals& now = measure.GroupTotals(0);
    if (interrupted || now.failed < 2 || !now.rtt || now.rtt->Count() == 0) return 0;
    interrupted = true;
    return 1;
  });
  EXPECT_EQ(code, 1) << out;
  const Totals& totals = measure.GroupTotals(0);
  EXPECT_EQ(totals.full, 2) << out;
  EXPECT_EQ(totals.failed, 2) << out;
  EXPECT_GT(totals.sum.bytesReceived, 0) << out;
  ASSERT_EQ(totals.failures.size(), 2u);
  for (const std::string& failure : totals.failures)
    EXPECT_NE(failure.find("ErrCode=87."), std::string::npos) << failure;
  EXPECT_NE(out.find("=== mix udp:5x4 (4 sessions) against 127.0.0.1 ===\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("--- udp:5x4 [チャット想定"), std::string::npos) << out;
  EXPECT_NE(out.find("セッション : 2 完了 / 2 失敗\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n受信：最小/最大 : "), std::string::npos) << out;
  // One CPU time line for the process, whatever the number of sessions.
  EXPECT_EQ(out.find("KernelTime / UserTime"), out.rfind("KernelTime / UserTime")) << out;
}

// A probe alone, then beside a TCP download: round trips in both phases,
// and the loaded one begins no earlier than the settling time after the load.
TEST(MultiMeasure, TheProbeHasAnIdleAndALoadedPhase) {
  Server server(4);
  ASSERT_TRUE(server.serve.ready) << server.serve.child.errText;
  MultiPlan plan = PlanFor(server.port, {{kTcp, 0, 1}}, OutputForm::kText);
  plan.load = true;
  plan.settings.protocol = kUdp;
  plan.settings.pattern = 5;
  plan.settings.udpTimeoutMs = 1000;
  plan.idleMs = 300;
  plan.settleMs = 200;
  std::string out;
  MultiMeasure measure(plan, [&](std::string_view text) { out += text; });
  bool interrupted = false;  // once: a second interrupt stops outright
  const int code = measure.Run([&] {
    if (interrupted || measure.Phases().Loaded().rtt.Count() == 0) return 0;
    interrupted = true;
    return 1;
  });
  EXPECT_EQ(code, 0) << out;
  const PhaseSplit& phases = measure.Phases();
  ASSERT_TRUE(phases.LoadStarted());
  EXPECT_GE(phases.LoadStartMs(), 300);
  EXPECT_GT(phases.Idle().rtt.Count(), 0u);
  EXPECT_GE(phases.Loaded().fromMs, phases.LoadStartMs() + 200);
  EXPECT_GT(phases.Idle().Rpm(), 0);
  EXPECT_TRUE(phases.Idle().countsLoss);
  EXPECT_EQ(measure.GroupTotals(1).full, 1) << out;
  EXPECT_NE(out.find("\nidle   [0.000-"), std::string::npos) << out;
  EXPECT_NE(out.find("\nloaded ["), std::string::npos) << out;
  EXPECT_NE(out.find("\nload started at "), std::string::npos) << out;
  EXPECT_NE(out.find("\n負荷受信スループット : "), std::string::npos) << out;
}

}  // namespace
}  // namespace quarvent::console
