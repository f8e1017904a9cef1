// JsonReport on synthetic runs: what a reader of the document and of the
// stream lines finds, field by field, including the null and zero cases.
#include "client/json_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "client/client_controller.h"
#include "client/measure_log.h"
#include "common/version.h"

namespace quarvent {
namespace {

using nlohmann::json;

MeasureStart SweepStart() {
  MeasureStart start;
  start.timestamp = "2026-12-07T21:24:00.123Z";
  start.host = "localhost";
  start.address = Endpoint::Ipv4(0x7F000001);
  start.port = 49152;
  start.protocol = 1;
  start.duration = 0;
  start.intervalMs = 250;
  return start;
}

IntervalData Interval(int run, int pattern, int64_t startMs, int64_t endMs, int64_t received,
                      int64_t sent) {
  IntervalData i;
  i.run = run;
  i.pattern = pattern;
  i.protocol = 1;
  i.startMs = startMs;
  i.endMs = endMs;
  i.bytesReceived = received;
  i.bytesSent = sent;
  i.chunks = static_cast<uint64_t>(received / 8192);
  i.requests = static_cast<uint64_t>(sent / 8192);
  if (i.requests > 0) i.rtt = {i.requests, 50, 80.5, 10.25, 75, 100, 150, 199, 200};
  return i;
}

// A completed run with chunks, requests, CPU times and round trips.
RunEndData CompletedEnd() {
  RunEndData e;
  e.run = 0;
  e.pattern = 9;
  e.protocol = 1;
  e.outcome = RunEndKind::kCompleted;
  e.dataPhase = true;
  e.elapsedMs = 1500;
  e.bytesReceived = 3 * 8192;
  e.bytesSent = 2 * 8192;
  e.chunksReceived = 3;
  e.requestsSent = 2;
  e.receivedMin = e.receivedMax = e.sentMin = e.sentMax = 8192;
  e.cpuValid = true;
  e.cpuKernelS = 0.25;
  e.cpuUserS = 0.125;
  e.rtt = {2, 50, 80.5, 10.25, 75, 100, 150, 199, 200};
  e.report = "--- UDP (127.0.0.1) [x] ---\r\n経過時間 : 01.500\r\n";
  return e;
}

// A run refused at connect: no data phase, nothing counted.
RunEndData RefusedEnd() {
  RunEndData e;
  e.run = 1;
  e.pattern = 10;
  e.protocol = 1;
  e.outcome = RunEndKind::kConnectFailed;
  e.failure = "Connection Refused.";
  e.report = "--- UDP (127.0.0.1) [y] ---\r\nConnection Refused.";  // last line unended
  return e;
}

void ExpectZeroRtt(const json& rtt) {
  ASSERT_TRUE(rtt.is_object()) << rtt;
  for (const char* key : {"count", "min", "mean", "stddev", "p50", "p90", "p99", "p999", "max"}) {
    ASSERT_TRUE(rtt.contains(key)) << key;
    EXPECT_TRUE(rtt[key].is_number()) << key;
    EXPECT_EQ(rtt[key].get<double>(), 0.0) << key;
  }
}

TEST(JsonReport, DocumentOfATwoRunSweep) {
  MeasureLog report;
  report.Begin(SweepStart());
  report.AddInterval(Interval(0, 9, 0, 750, 16384, 8192));
  report.AddInterval(Interval(0, 9, 750, 1500, 8192, 8192));
  report.AddRunEnd(CompletedEnd());
  report.AddRunEnd(RefusedEnd());  // an end opens its run when no interval did

  const std::string text = report.JsonDocument();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const json doc = json::parse(text);
  EXPECT_EQ(doc["version"], kVersion);
  EXPECT_FALSE(doc.contains("error"));

  const json& start = doc["start"];
  EXPECT_EQ(start["timestamp"], "2026-12-07T21:24:00.123Z");
  EXPECT_EQ(start["host"], "localhost");
  EXPECT_EQ(start["address"], "127.0.0.1");
  EXPECT_EQ(start["family"], "ipv4");
  EXPECT_EQ(start["port"], 49152);
  EXPECT_EQ(start["protocol"], "udp");
  EXPECT_EQ(start["duration"], "auto");
  EXPECT_DOUBLE_EQ(start["interval_s"].get<double>(), 0.25);

  ASSERT_EQ(doc["runs"].size(), 2u);
  const json& first = doc["runs"][0];
  EXPECT_EQ(first["pattern"], 9);
  EXPECT_EQ(first["pattern_name"], std::string(PatternEntryText(9)));
  EXPECT_EQ(first["protocol"], "udp");
  ASSERT_EQ(first["intervals"].size(), 2u);
  const json& i1 = first["intervals"][1];
  EXPECT_DOUBLE_EQ(i1["start_s"].get<double>(), 0.75);
  EXPECT_DOUBLE_EQ(i1["end_s"].get<double>(), 1.5);
  EXPECT_EQ(i1["bytes_received"], 8192);
  EXPECT_EQ(i1["bytes_sent"], 8192);
  // The same names as in the run's end, and the earlier ones beside them.
  EXPECT_EQ(i1["chunks_received"], 1);
  EXPECT_EQ(i1["requests_sent"], 1);
  EXPECT_EQ(i1["chunks"], 1);
  EXPECT_EQ(i1["requests"], 1);
  EXPECT_EQ(i1["rtt_us"]["count"], 1);
  EXPECT_DOUBLE_EQ(i1["rtt_us"]["mean"].get<double>(), 80.5);
  EXPECT_DOUBLE_EQ(i1["rtt_us"]["p999"].get<double>(), 199);

  const json& end = first["end"];
  EXPECT_EQ(end["outcome"], "completed");
  EXPECT_TRUE(end["failure"].is_null());
  EXPECT_DOUBLE_EQ(end["elapsed_s"].get<double>(), 1.5);
  EXPECT_EQ(end["bytes_received"], 3 * 8192);
  EXPECT_EQ(end["chunks_received"], 3);
  EXPECT_EQ(end["requests_sent"], 2);
  EXPECT_EQ(end["received_min"], 8192);
  EXPECT_EQ(end["sent_max"], 8192);
  const RunEndData completed = CompletedEnd();
  EXPECT_EQ(end["throughput_bytes_per_s"]["total"].get<double>(), completed.ThroughputTotal());
  EXPECT_EQ(end["throughput_bytes_per_s"]["received"].get<double>(),
            completed.ThroughputReceived());
  EXPECT_EQ(end["throughput_bytes_per_s"]["sent"].get<double>(), completed.ThroughputSent());
  EXPECT_DOUBLE_EQ(end["cpu_s"]["kernel"].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(end["cpu_s"]["user"].get<double>(), 0.125);
  EXPECT_DOUBLE_EQ(end["rtt_us"]["stddev"].get<double>(), 10.25);
  EXPECT_EQ(end["report"], json({"--- UDP (127.0.0.1) [x] ---", "経過時間 : 01.500"}));

  // The refused run: nulls where nothing was counted, zeros for the round trips.
  const json& second = doc["runs"][1];
  EXPECT_EQ(second["pattern"], 10);
  EXPECT_EQ(second["intervals"], json::array());
  const json& refused = second["end"];
  EXPECT_EQ(refused["outcome"], "connect_failed");
  EXPECT_EQ(refused["failure"], "Connection Refused.");
  for (const char* key : {"received_min", "received_max", "sent_min", "sent_max", "cpu_s"})
    EXPECT_TRUE(refused[key].is_null()) << key;
  EXPECT_EQ(refused["throughput_bytes_per_s"]["total"].get<double>(), 0.0);
  ExpectZeroRtt(refused["rtt_us"]);
  EXPECT_EQ(refused["report"], json({"--- UDP (127.0.0.1) [y] ---", "Connection Refused."}));
}

// A run whose intervals have come but whose end has not yet: "end" is null.
// Chunks received without any request sent leave only the send side null.
TEST(JsonReport, UnfinishedRunAndOneSidedTraffic) {
  MeasureLog report;
  report.Begin(SweepStart());
  IntervalData download = Interval(0, 0, 0, 1000, 4096 * 8192, 0);
  report.AddInterval(download);
  ExpectZeroRtt(json::parse(JsonReport::IntervalEvent(download))["data"]["rtt_us"]);
  json doc = json::parse(report.JsonDocument());
  ASSERT_EQ(doc["runs"].size(), 1u);
  EXPECT_TRUE(doc["runs"][0]["end"].is_null());

  RunEndData end = CompletedEnd();
  end.pattern = 0;
  end.requestsSent = 0;
  end.bytesSent = 0;
  end.sentMin = end.sentMax = -1;
  end.cpuValid = false;
  report.AddRunEnd(end);
  doc = json::parse(report.JsonDocument());
  const json& e = doc["runs"][0]["end"];
  EXPECT_EQ(e["received_max"], 8192);
  EXPECT_TRUE(e["sent_min"].is_null());
  EXPECT_TRUE(e["sent_max"].is_null());
  EXPECT_TRUE(e["cpu_s"].is_null());
}

// A sweep of two runs ended in its pause: each run has its own intervals and
// end, and the document says where the sweep was ended.
TEST(JsonReport, SweepAbortedAfterItsSecondRun) {
  MeasureLog log;
  log.Begin(SweepStart());
  RunEndData first = CompletedEnd();
  first.run = 0;
  RunEndData second = CompletedEnd();
  second.run = 1;
  second.pattern = 8;
  log.AddInterval(Interval(0, 7, 0, 1000, 8192, 8192));
  log.AddInterval(Interval(0, 7, 1000, 1500, 4096, 0));
  log.AddRunEnd(first);
  log.AddInterval(Interval(1, 8, 0, 700, 16384, 16384));
  log.AddRunEnd(second);
  log.SetSweepAborted(1, 9);
  const json doc = json::parse(log.JsonDocument());
  ASSERT_EQ(doc["runs"].size(), 2u);
  EXPECT_EQ(doc["runs"][0]["intervals"].size(), 2u);
  EXPECT_EQ(doc["runs"][1]["pattern"], 8);
  EXPECT_EQ(doc["runs"][1]["intervals"].size(), 1u);
  EXPECT_EQ(doc["runs"][1]["end"]["outcome"], "completed");
  EXPECT_EQ(doc["sweep_aborted"], json({{"after_run", 1}, {"next_pattern", 9}}));
}

TEST(JsonReport, ErrorDocumentHasNoRunsAndNoAddress) {
  MeasureLog report;
  MeasureStart start = SweepStart();
  start.host = "no..such";
  start.address.reset();
  report.Begin(start);
  report.SetError("cannot resolve no..such: Name or service not known");
  const json doc = json::parse(report.JsonDocument());
  EXPECT_EQ(doc["error"], "cannot resolve no..such: Name or service not known");
  EXPECT_EQ(doc["runs"], json::array());
  EXPECT_EQ(doc["start"]["host"], "no..such");
  EXPECT_TRUE(doc["start"]["address"].is_null());
  EXPECT_TRUE(doc["start"]["family"].is_null());
}

TEST(JsonReport, StreamEventsAreOneCompactLineEach) {
  MeasureStart start = SweepStart();
  start.host.clear();  // the dialog names no host: the address stands for it
  const std::string lines[] = {
      JsonReport::StartEvent(start),
      JsonReport::IntervalEvent(Interval(1, 10, 0, 250, 65536, 65536)),
      JsonReport::EndEvent(RefusedEnd()),
      JsonReport::ErrorEvent("bad \xff byte"),  // invalid UTF-8 is replaced, not thrown
  };
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_TRUE(json::accept(line)) << line;
  }
  const json s = json::parse(lines[0]);
  EXPECT_EQ(s["event"], "start");
  EXPECT_EQ(s["data"]["version"], kVersion);
  EXPECT_EQ(s["data"]["host"], "127.0.0.1");
  EXPECT_EQ(s["data"]["address"], "127.0.0.1");
  EXPECT_DOUBLE_EQ(s["data"]["interval_s"].get<double>(), 0.25);
  // An IPv6 server is written in its RFC 5952 text, with its family; the
  // fields keep their places.
  start.address = Endpoint::ParseLiteral("[2001:0002:0:0::1]");
  const std::string v6 = JsonReport::StartEvent(start);
  EXPECT_NE(v6.find(R"("host":"2001:2::1","address":"2001:2::1","family":"ipv6","port":)"),
            std::string::npos)
      << v6;

  const json i = json::parse(lines[1]);
  EXPECT_EQ(i["event"], "interval");
  EXPECT_EQ(i["data"]["run"], 1);
  EXPECT_EQ(i["data"]["pattern"], 10);
  EXPECT_EQ(i["data"]["bytes_sent"], 65536);
  EXPECT_EQ(i["data"]["rtt_us"]["count"], 8);

  const json e = json::parse(lines[2]);
  EXPECT_EQ(e["event"], "end");
  EXPECT_EQ(e["data"]["run"], 1);
  EXPECT_EQ(e["data"]["pattern"], 10);
  EXPECT_EQ(e["data"]["outcome"], "connect_failed");

  const json err = json::parse(lines[3]);
  EXPECT_EQ(err["event"], "error");
  EXPECT_EQ(err["data"]["message"], "bad \xef\xbf\xbd byte");
}

TEST(JsonReport, TimestampIsUtcWithMilliseconds) {
  using namespace std::chrono;
  EXPECT_EQ(IsoTimestampUtc(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(IsoTimestampUtc(system_clock::time_point{milliseconds(1'000'000'000'123)}),
            "2001-09-09T01:46:40.123Z");
}

}  // namespace
}  // namespace quarvent
