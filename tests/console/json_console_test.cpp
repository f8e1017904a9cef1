// `quarvent measure` in its JSON forms and with interval lines, against
// `quarvent serve`, both as child processes; and the command line's one-line
// usage errors, --version and host names.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "client/format.h"
#include "common/version.h"
#include "tests/console/serve_child.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"

namespace quarvent::test {
namespace {

using nlohmann::json;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    lines.push_back(text.substr(from, nl - from));
  if (from < text.size()) lines.push_back(text.substr(from));
  return lines;
}

// A report line as client/format.h makes it, without its line end.
std::string Unended(const char* line) {
  std::string text = line;
  if (text.ends_with("\r\n")) text.resize(text.size() - 2);
  return text;
}

// The report line that starts with prefix; "" when there is none.
std::string ReportLine(const json& report, const std::string& prefix) {
  for (const json& line : report)
    if (line.get<std::string>().starts_with(prefix)) return line.get<std::string>();
  return "";
}

// The run's intervals follow each other from 0 to the end of the run, and
// their counts add up to the end's.
void ExpectIntervalsAddUp(const json& intervals, const json& end) {
  ASSERT_FALSE(intervals.empty()) << end;
  double at = 0;
  int64_t received = 0, sent = 0;
  uint64_t chunks = 0, requests = 0, roundTrips = 0;
  for (const json& i : intervals) {
    EXPECT_EQ(i["start_s"].get<double>(), at) << i;
    EXPECT_GE(i["end_s"].get<double>(), i["start_s"].get<double>()) << i;
    at = i["end_s"].get<double>();
    received += i["bytes_received"].get<int64_t>();
    sent += i["bytes_sent"].get<int64_t>();
    chunks += i["chunks_received"].get<uint64_t>();
    requests += i["requests_sent"].get<uint64_t>();
    EXPECT_EQ(i["chunks"], i["chunks_received"]);
    EXPECT_EQ(i["requests"], i["requests_sent"]);
    roundTrips += i["rtt_us"]["count"].get<uint64_t>();
  }
  EXPECT_EQ(at, end["elapsed_s"].get<double>());
  EXPECT_EQ(received, end["bytes_received"].get<int64_t>());
  EXPECT_EQ(sent, end["bytes_sent"].get<int64_t>());
  EXPECT_EQ(chunks, end["chunks_received"].get<uint64_t>());
  EXPECT_EQ(requests, end["requests_sent"].get<uint64_t>());
  EXPECT_EQ(roundTrips, end["rtt_us"]["count"].get<uint64_t>());
}

// The end's numbers written the report's way give the end's own report lines.
void ExpectReportFromNumbers(const json& end) {
  const json& report = end["report"];
  const int64_t ms = std::llround(end["elapsed_s"].get<double>() * 1000);
  const int64_t whole = ms / 1000;
  char text[256];
  FormatElapsed(text, sizeof text, static_cast<int>(whole / 86400),
                static_cast<int>(whole % 86400 / 3600), static_cast<int>(whole % 3600 / 60),
                static_cast<int>(whole % 60));
  EXPECT_EQ(ReportLine(report, "経過時間 : "),
            "経過時間 : " + std::string(text) + "." + (ms % 1000 < 100 ? "0" : "") +
                (ms % 1000 < 10 ? "0" : "") + std::to_string(ms % 1000));
  // The report's seconds: whole seconds plus milliseconds, 0 counting as 1.
  double seconds = static_cast<double>(whole) + static_cast<double>(ms % 1000) / 1000.0;
  if (seconds <= 0) seconds = 1;
  const int64_t received = end["bytes_received"].get<int64_t>();
  const int64_t sent = end["bytes_sent"].get<int64_t>();
  FormatThroughput(text, sizeof text, "受信", received, seconds);
  EXPECT_EQ(ReportLine(report, "受信スループット"), Unended(text));
  FormatSize(text, sizeof text, "受信", received);
  EXPECT_EQ(ReportLine(report, "受信サイズ"), Unended(text));
  const json& rate = end["throughput_bytes_per_s"];
  EXPECT_DOUBLE_EQ(rate["received"].get<double>(), static_cast<double>(received) / seconds);
  EXPECT_DOUBLE_EQ(rate["total"].get<double>(), static_cast<double>(received + sent) / seconds);
  // The total and the send lines are there only when something was sent (a
  // run aborted before its first pass has sent nothing).
  FormatThroughput(text, sizeof text, "トータル", received + sent, seconds);
  EXPECT_EQ(ReportLine(report, "トータルスループット"), sent > 0 ? Unended(text) : "");
  FormatThroughput(text, sizeof text, "送信", sent, seconds);
  EXPECT_EQ(ReportLine(report, "送信スループット"), sent > 0 ? Unended(text) : "");
  FormatSize(text, sizeof text, "送信", sent);
  EXPECT_EQ(ReportLine(report, "送信サイズ"), sent > 0 ? Unended(text) : "");
  if (!end["received_min"].is_null()) {
    EXPECT_EQ(
        ReportLine(report, "受信：最小/最大"),
        "受信：最小/最大 : " + end["received_min"].dump() + " / " + end["received_max"].dump());
  }
  if (!end["sent_min"].is_null()) {
    EXPECT_EQ(ReportLine(report, "送信：最小/最大"),
              "送信：最小/最大 : " + end["sent_min"].dump() + " / " + end["sent_max"].dump());
  }
  ASSERT_TRUE(end["cpu_s"].is_object()) << end;
  std::snprintf(text, sizeof text, "KernelTime / UserTime = %.3f 秒 / %.3f 秒",
                end["cpu_s"]["kernel"].get<double>(), end["cpu_s"]["user"].get<double>());
  EXPECT_EQ(ReportLine(report, "KernelTime"), text);
}

// line against pattern, in which '9' stands for one digit, '*' for one or
// more digits and '?' for K or M; every other byte stands for itself.
bool Matches(std::string_view line, std::string_view pattern) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t at = 0;
  for (char p : pattern) {
    if (at >= line.size()) return false;
    if (p == '*') {
      if (!digit(line[at])) return false;
      while (at < line.size() && digit(line[at])) ++at;
      continue;
    }
    const bool ok = p == '9'   ? digit(line[at])
                    : p == '?' ? line[at] == 'K' || line[at] == 'M'
                               : line[at] == p;
    if (!ok) return false;
    ++at;
  }
  return at == line.size();
}
constexpr char kIntervalLine[] = "[*.999-*.999 s] 受信 *.99 [?B/s] 送信 *.99 [?B/s]";
constexpr char kIntervalLineWithRtt[] =
    "[*.999-*.999 s] 受信 *.99 [?B/s] 送信 *.99 [?B/s] RTT p50 *.999 ms p99 *.999 ms";

// A TCP run of pattern 7 (8 KB both ways), ended by SIGINT once serve says it
// streams: one document on stdout whose numbers agree with its report lines.
TEST(ConsoleJson, DocumentAgreesWithItsOwnReport) {
  const int port = FreePort();
  Serve serve = StartServe(port);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  // A whole 15-s run: --json says nothing before its end, so there is no
  // sign on which a Ctrl+C could be timed to come inside the data phase.
  Child measure = SpawnQuarvent(
      {"measure", "-p", std::to_string(port), "--pattern", "7", "-t", "15", "-i", "0.5", "--json"},
      kCaptureStdout);
  const std::string out = ReadAll(measure, std::chrono::seconds(120));
  EXPECT_EQ(WaitExit(measure), 0) << out;

  json doc;
  ASSERT_NO_THROW(doc = json::parse(out)) << out;  // the document and nothing else
  EXPECT_EQ(doc["version"], kVersion);
  EXPECT_FALSE(doc.contains("error"));
  const json& start = doc["start"];
  EXPECT_EQ(start["address"], "127.0.0.1");
  EXPECT_EQ(start["port"], port);
  EXPECT_EQ(start["protocol"], "tcp");
  EXPECT_EQ(start["duration"], "15");
  EXPECT_DOUBLE_EQ(start["interval_s"].get<double>(), 0.5);
  ASSERT_EQ(doc["runs"].size(), 1u) << out;
  const json& run = doc["runs"][0];
  EXPECT_EQ(run["pattern"], 7);
  EXPECT_EQ(run["pattern_name"], "限界調査1      ( 8KB 連続送受信)");
  EXPECT_EQ(run["protocol"], "tcp");
  const json& end = run["end"];
  EXPECT_EQ(end["outcome"], "completed");
  EXPECT_TRUE(end["failure"].is_null());
  EXPECT_EQ(end["report"][0], "--- TCP (127.0.0.1) [限界調査1      ( 8KB 連続送受信)] ---");
  EXPECT_TRUE(end["report"][1].get<std::string>().starts_with("経過時間 : 15."));
  EXPECT_GE(run["intervals"].size(), 2u);
  ExpectIntervalsAddUp(run["intervals"], end);
  ExpectReportFromNumbers(end);
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

// --json-stream writes each event as it happens: two interval lines come
// while the run still goes, and SIGINT then brings its end.
TEST(ConsoleJson, StreamLinesComeInOrderAsTheyHappen) {
  const int port = FreePort();
  Serve serve = StartServe(port);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  Child measure = SpawnQuarvent({"measure", "--port", std::to_string(port), "--pattern", "8",
                                 "--duration", "continuous", "-u", "-i", "0.1", "--json-stream"},
                                kCaptureStdout);
  const bool live =
      WaitForLine(measure, "{\"event\":\"interval\"", std::chrono::seconds(30), kCaptureStdout) &&
      WaitForLine(measure, "{\"event\":\"interval\"", std::chrono::seconds(30), kCaptureStdout);
  ::kill(measure.pid, SIGINT);
  const std::string out = ReadAll(measure);
  EXPECT_EQ(WaitExit(measure), 0) << out;
  ASSERT_TRUE(live) << out;

  std::vector<json> events;
  for (const std::string& line : Lines(out)) {
    ASSERT_TRUE(json::accept(line)) << line;
    events.push_back(json::parse(line));
  }
  ASSERT_GE(events.size(), 4u) << out;
  EXPECT_EQ(events.front()["event"], "start");
  EXPECT_EQ(events.front()["data"]["version"], kVersion);
  EXPECT_EQ(events.front()["data"]["protocol"], "udp");
  EXPECT_EQ(events.back()["event"], "end");
  json intervals = json::array();
  for (size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i]["event"], "interval") << events[i];
    EXPECT_EQ(events[i]["data"]["run"], 0);
    EXPECT_EQ(events[i]["data"]["pattern"], 8);
    intervals.push_back(events[i]["data"]);
  }
  const json& end = events.back()["data"];
  EXPECT_EQ(end["run"], 0);
  EXPECT_EQ(end["outcome"], "aborted");
  ExpectIntervalsAddUp(intervals, end);
  EXPECT_EQ(ReportLine(end["report"], "--- UDP (127.0.0.1) ["), end["report"][0]);
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

// With -i the text form has the interval lines between the header line and
// the report lines, which keep their form.
TEST(ConsoleText, IntervalLinesSitBetweenHeaderAndReport) {
  const int port = FreePort();
  Serve serve = StartServe(port);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  Child measure = SpawnQuarvent({"measure", "--port", std::to_string(port), "--pattern", "7", "-t",
                                 "continuous", "-i", "0.1"},
                                kCaptureStdout);
  // Two interval lines (the header line has a "[" too, but not this).
  const bool live = WaitForLine(measure, " s] 受信 ", std::chrono::seconds(30), kCaptureStdout) &&
                    WaitForLine(measure, " s] 受信 ", std::chrono::seconds(30), kCaptureStdout);
  ::kill(measure.pid, SIGINT);
  const std::string out = ReadAll(measure);
  EXPECT_EQ(WaitExit(measure), 0) << out;
  ASSERT_TRUE(live) << out;

  const std::vector<std::string> lines = Lines(out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "--- TCP (127.0.0.1) [限界調査1      ( 8KB 連続送受信)] ---");
  size_t i = 1;
  while (i < lines.size() && lines[i].starts_with("[")) {
    EXPECT_TRUE(Matches(lines[i], kIntervalLine) || Matches(lines[i], kIntervalLineWithRtt))
        << lines[i];
    ++i;
  }
  EXPECT_GE(i, 3u) << out;
  // The rest is the report of a run with requests, line by line in its form.
  const char* const report[] = {"ﾕｰｻﾞによる中断.",
                                "経過時間 : ",
                                "トータルスループット : ",
                                "受信スループット : ",
                                "送信スループット : ",
                                "受信サイズ : ",
                                "受信：最小/最大 : 8192 / 8192",
                                "送信サイズ : ",
                                "送信：最小/最大 : 8192 / 8192",
                                "KernelTime / UserTime = "};
  ASSERT_EQ(lines.size() - i, std::size(report)) << out;
  for (const char* prefix : report) EXPECT_TRUE(lines[i++].starts_with(prefix)) << prefix;
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

struct Ran {
  int exitCode;
  std::string out, err;
};
Ran RunQuarvent(const std::vector<std::string>& args) {
  Child child = SpawnQuarvent(args, kCaptureStdout | kCaptureStderr);
  Ran ran;
  ran.out = ReadAll(child);
  // stderr to its end: the child closes it as it exits.
  for (int line = 0; line < 1000 && WaitForLine(child, ""); ++line) {
  }
  ran.err = child.errText;
  ran.exitCode = WaitExit(child);
  return ran;
}

TEST(ConsoleCommandLine, BadUsageIsOneLineAndExitTwo) {
  const struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"measure", "--pattern", "11"},
       "quarvent measure: --pattern: 11 not in 0..10; run 'quarvent measure --help'"},
      {{"measure", "--json", "--json-stream"},
       "quarvent measure: --json and --json-stream exclude each other; run 'quarvent measure "
       "--help'"},
      {{"measure", "-i", "0.05"},
       "quarvent measure: --interval: 0.05 not in 0.1..60 seconds; run 'quarvent measure --help'"},
      {{"measure", "--udp-timeout", "50"},
       "quarvent measure: --udp-timeout is for UDP only (add -u or --protocol udp); run "
       "'quarvent measure --help'"},
      {{"measure", "-u", "--udp-timeout", "0"},
       "quarvent measure: --udp-timeout: 0 not in 1..10000 milliseconds; run 'quarvent measure "
       "--help'"},
      {{"measure", "--port"},
       "quarvent measure: --port: needs a value; run 'quarvent measure --help'"},
      {{"measure", "--bogus"},
       "quarvent measure: unknown option '--bogus'; run 'quarvent measure --help'"},
      {{"serve", "--port", "12x"},
       "quarvent serve: --port: '12x' is not a port number; run 'quarvent serve --help'"},
      {{"bogus"}, "quarvent: unknown command 'bogus'; run 'quarvent --help'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Ran ran = RunQuarvent(c.args);
    EXPECT_EQ(ran.exitCode, 2);
    EXPECT_EQ(ran.err, c.line + "\n");
    EXPECT_EQ(ran.out, "");
  }
}

TEST(ConsoleCommandLine, VersionAndHelpGoToStdout) {
  const std::string version = std::string("quarvent ") + kVersion + "\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, {"measure", "--version"}}) {
    const Ran ran = RunQuarvent(args);
    EXPECT_EQ(ran.exitCode, 0);
    EXPECT_EQ(ran.out, version);
  }
  const Ran help = RunQuarvent({"measure", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--json-stream"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");
}

// "localhost" resolves through /etc/hosts. "a..b" has an empty label, which
// glibc refuses before it asks any name server (checked with strace in a
// network namespace: no socket but the local nscd one is opened), so the
// failing case sends nothing anywhere.
TEST(ConsoleMeasureAlone, HostNamesResolveOrFailInEveryForm) {
  const int port = FreePort();  // nothing listens there
  const Ran refused =
      RunQuarvent({"measure", "-a", "localhost", "-p", std::to_string(port), "-t", "15"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(refused.out.starts_with("--- TCP (127.0.0.1) [")) << refused.out;

  const Ran doc = RunQuarvent({"measure", "-a", "localhost", "-p", std::to_string(port), "--json"});
  EXPECT_EQ(doc.exitCode, 1);
  json j;
  ASSERT_NO_THROW(j = json::parse(doc.out)) << doc.out;
  EXPECT_EQ(j["start"]["host"], "localhost");
  EXPECT_EQ(j["start"]["address"], "127.0.0.1");
  ASSERT_EQ(j["runs"].size(), 1u) << doc.out;  // a refused sweep stops at its first run
  EXPECT_EQ(j["runs"][0]["end"]["outcome"], "connect_failed");
  EXPECT_TRUE(j["runs"][0]["end"]["failure"].is_string());
  EXPECT_FALSE(j.contains("error"));

  const std::string unresolved = "quarvent measure: cannot resolve a..b: ";
  const Ran text = RunQuarvent({"measure", "-a", "a..b"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_EQ(text.out, "");
  EXPECT_TRUE(text.err.starts_with(unresolved)) << text.err;
  EXPECT_EQ(Lines(text.err).size(), 1u) << text.err;

  const Ran failed = RunQuarvent({"measure", "-a", "a..b", "--json"});
  EXPECT_EQ(failed.exitCode, 1);
  ASSERT_NO_THROW(j = json::parse(failed.out)) << failed.out;
  EXPECT_TRUE(j["start"]["address"].is_null());
  EXPECT_EQ(j["runs"], json::array());
  EXPECT_EQ("quarvent measure: " + j["error"].get<std::string>() + "\n", failed.err);

  const Ran stream = RunQuarvent({"measure", "-a", "a..b", "--json-stream"});
  EXPECT_EQ(stream.exitCode, 1);
  const std::vector<std::string> lines = Lines(stream.out);
  ASSERT_EQ(lines.size(), 2u) << stream.out;
  EXPECT_EQ(json::parse(lines[0])["event"], "start");
  EXPECT_EQ(json::parse(lines[1])["event"], "error");
  EXPECT_TRUE(json::parse(lines[1])["data"]["message"].get<std::string>().starts_with(
      "cannot resolve a..b: "));
}

}  // namespace
}  // namespace quarvent::test
