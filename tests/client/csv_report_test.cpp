// The intervals as CSV, row by row as a table of input and exact output, and
// the measurement log that the dialog saves: its CSV rows and its JSON runs
// in the order the runs came, with the intervals adding up to the ends.
#include "client/csv_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "client/measure_log.h"

namespace quarvent {
namespace {

IntervalData Interval(int run, int pattern, int protocol, int64_t startMs, int64_t endMs,
                      int64_t received, int64_t sent) {
  IntervalData i;
  i.run = run;
  i.pattern = pattern;
  i.protocol = protocol;
  i.startMs = startMs;
  i.endMs = endMs;
  i.bytesReceived = received;
  i.bytesSent = sent;
  i.chunks = static_cast<uint64_t>(received / 1024);
  i.requests = static_cast<uint64_t>(sent / 1024);
  return i;
}

TEST(CsvReport, HeaderNamesEveryColumn) {
  EXPECT_EQ(CsvHeader(),
            "run,pattern,protocol,start_s,end_s,bytes_received,bytes_sent,lost,"
            "throughput_total_bytes_per_s,rtt_p50_us,rtt_p99_us\n");
}

TEST(CsvReport, Rows) {
  struct Case {
    const char* name;
    IntervalData interval;
    const char* row;
  };
  IntervalData withRtt = Interval(3, 9, 1, 3000, 4001, 16384, 16384);
  withRtt.rtt.count = 2;
  withRtt.rtt.p50 = 15.9630000001;
  withRtt.rtt.p99 = 1234.5;
  IntervalData lossy = withRtt;
  lossy.countsLoss = true;
  lossy.lost = 3;
  IntervalData big = Interval(0, 10, 0, 86'399'000, 86'400'250, int64_t{1} << 40, 0);
  const Case cases[] = {
      {"download, no round trips", Interval(0, 0, 0, 0, 1000, 4096000, 0),
       "0,0,tcp,0.000,1.000,4096000,0,,4096000.00,,\n"},
      {"udp with round trips", withRtt,
       "3,9,udp,3.000,4.001,16384,16384,,32735.26,15.963,1234.500\n"},
      {"udp counting its losses", lossy,
       "3,9,udp,3.000,4.001,16384,16384,3,32735.26,15.963,1234.500\n"},
      {"a last interval of 0 s counts as 1 s", Interval(1, 2, 0, 15000, 15000, 2048, 0),
       "1,2,tcp,15.000,15.000,2048,0,,2048.00,,\n"},
      {"a day in, a terabyte", big,
       "0,10,tcp,86399.000,86400.250,1099511627776,0,,879609302220.80,,\n"},
      {"a short one", Interval(0, 5, 0, 999, 1000, 0, 0), "0,5,tcp,0.999,1.000,0,0,,0.00,,\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(CsvRow(c.interval), c.row) << c.name;
}

// A sweep of three runs of which the middle one was refused: its end alone.
MeasureLog SweepLog() {
  MeasureLog log;
  MeasureStart start;
  start.timestamp = "2026-12-07T22:00:00.000Z";
  start.address = Endpoint::Ipv4(0x7F000001);
  start.port = 49152;
  start.duration = 0;
  log.Begin(start);
  log.AddInterval(Interval(0, 8, 0, 0, 1000, 8192, 8192));
  log.AddInterval(Interval(0, 8, 0, 1000, 1500, 4096, 4096));
  RunEndData end;
  end.run = 0;
  end.pattern = 8;
  end.dataPhase = true;
  end.elapsedMs = 1500;
  end.bytesReceived = end.bytesSent = 12288;
  end.report = "--- TCP (127.0.0.1) [8] ---\r\n";
  log.AddRunEnd(end);
  RunEndData refused;
  refused.run = 1;
  refused.pattern = 9;
  refused.outcome = RunEndKind::kConnectFailed;
  refused.report = "--- TCP (127.0.0.1) [9] ---\r\nConnection Refused.\r\n";
  log.AddRunEnd(refused);
  log.AddInterval(Interval(2, 10, 0, 0, 1000, 65536, 65536));  // still running
  return log;
}

TEST(MeasureLog, CsvHasOneRowPerIntervalInOrder) {
  const MeasureLog log = SweepLog();
  EXPECT_EQ(log.CsvDocument(), CsvHeader() +
                                   "0,8,tcp,0.000,1.000,8192,8192,,16384.00,,\n"
                                   "0,8,tcp,1.000,1.500,4096,4096,,16384.00,,\n"
                                   "2,10,tcp,0.000,1.000,65536,65536,,131072.00,,\n");
}

TEST(MeasureLog, JsonKeepsTheRunsInTheirOrder) {
  const nlohmann::json doc = nlohmann::json::parse(SweepLog().JsonDocument());
  EXPECT_EQ(doc["start"]["duration"], "auto");
  EXPECT_EQ(doc["start"]["address"], "127.0.0.1");
  const auto& runs = doc["runs"];
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0]["pattern"], 8);
  EXPECT_EQ(runs[0]["intervals"].size(), 2u);
  EXPECT_EQ(runs[0]["end"]["bytes_received"], 12288);
  EXPECT_EQ(runs[1]["pattern"], 9);
  EXPECT_TRUE(runs[1]["intervals"].empty());
  EXPECT_EQ(runs[1]["end"]["outcome"], "connect_failed");
  EXPECT_EQ(runs[2]["pattern"], 10);
  EXPECT_EQ(runs[2]["intervals"].size(), 1u);
  EXPECT_TRUE(runs[2]["end"].is_null());
}

TEST(MeasureLog, BeginForgetsTheLastMeasurement) {
  MeasureLog log = SweepLog();
  EXPECT_TRUE(log.Begun());
  log.Begin(MeasureStart{});
  EXPECT_TRUE(log.Intervals().empty());
  EXPECT_TRUE(log.RunEnds().empty());
  EXPECT_EQ(log.CsvDocument(), CsvHeader());
  EXPECT_TRUE(nlohmann::json::parse(log.JsonDocument())["runs"].empty());
}

}  // namespace
}  // namespace quarvent
