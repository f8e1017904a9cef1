#include "client/format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "client/elapsed.h"
#include "client/run_report.h"

namespace quarvent {
namespace {

std::string Elapsed(int d, int h, int m, int s) {
  char buf[64];
  FormatElapsed(buf, sizeof buf, d, h, m, s);
  return buf;
}

std::string Rate(int64_t bytes, double seconds, const char* prefix = "受信") {
  char buf[256];
  FormatThroughput(buf, sizeof buf, prefix, bytes, seconds);
  return buf;
}

std::string Size(int64_t bytes, const char* prefix = "受信") {
  char buf[256];
  FormatSize(buf, sizeof buf, prefix, bytes);
  return buf;
}

TEST(FormatElapsed, DropsLeadingZeroFieldsAndPadsTheRest) {
  EXPECT_EQ(Elapsed(0, 0, 0, 0), "00");
  EXPECT_EQ(Elapsed(0, 0, 0, 5), "05");
  EXPECT_EQ(Elapsed(0, 0, 1, 5), "01:05");
  EXPECT_EQ(Elapsed(0, 1, 0, 0), "01:00:00");
  EXPECT_EQ(Elapsed(0, 1, 1, 1), "01:01:01");
  EXPECT_EQ(Elapsed(1, 0, 0, 5), "1 00:00:05");
  EXPECT_EQ(Elapsed(12, 3, 4, 5), "12 03:04:05");
  EXPECT_EQ(Elapsed(2147483647, 23, 59, 59), "2147483647 23:59:59");  // 19 characters
  EXPECT_EQ(Elapsed(0, 0, -1, 7), "07");                              // tests are on signed values
}

TEST(FormatThroughput, SwitchesToMegabytesStrictlyAboveOneMegabytePerSecond) {
  EXPECT_EQ(Rate(1048576, 1.0), "受信スループット : 1024.00 [KB/s]\r\n");
  EXPECT_EQ(Rate(1048577, 1.0), "受信スループット : 1.00 [MB/s]\r\n");
  EXPECT_EQ(Rate(500, 1.0), "受信スループット : 0.49 [KB/s]\r\n");
  EXPECT_EQ(Rate(0, 1.0), "受信スループット : 0.00 [KB/s]\r\n");
  EXPECT_EQ(Rate(2097152, 2.0, "トータル"), "トータルスループット : 1024.00 [KB/s]\r\n");
  EXPECT_EQ(Rate(15728640, 15.012, "送信"), "送信スループット : 1023.18 [KB/s]\r\n");
  EXPECT_EQ(Rate(31457280, 15.012, "トータル"), "トータルスループット : 2.00 [MB/s]\r\n");
}

TEST(FormatSize, StepsThroughTheUnitsOnStrictBoundaries) {
  EXPECT_EQ(Size(0), "受信サイズ : 0.00 [KB]\r\n");
  EXPECT_EQ(Size(-2048), "受信サイズ : -2.00 [KB]\r\n");
  EXPECT_EQ(Size(1048576), "受信サイズ : 1024.00 [KB]\r\n");
  EXPECT_EQ(Size(1048577), "受信サイズ : 1.00 [MB]\r\n");
  EXPECT_EQ(Size(1073741824), "受信サイズ : 1024.00 [MB]\r\n");
  EXPECT_EQ(Size(1073741825), "受信サイズ : 1.00 [GB]\r\n");
  EXPECT_EQ(Size(1099511627776), "受信サイズ : 1024.00 [GB]\r\n");
  EXPECT_EQ(Size(1099511627777), "受信サイズ : 1.00 [TB]\r\n");
  EXPECT_EQ(Size(1125899906842624), "受信サイズ : 1024.00 [TB]\r\n");
  EXPECT_EQ(Size(1125899906842625, "送信"), "送信サイズ : 1.00 [PB]\r\n");
  EXPECT_EQ(Size(INT64_MAX), "受信サイズ : 8192.00 [PB]\r\n");  // no larger unit
}

TEST(FormatSize, NeverWritesPastTheBuffer) {
  char buf[8];
  FormatSize(buf, sizeof buf, "受信", 5);
  EXPECT_EQ(std::string(buf).size(), 7u);
}

TEST(ElapsedSplit, SplitsWholeSecondsIntoDaysHoursMinutesSeconds) {
  const ClockReading start{1000, 0};
  const auto at = [&](int64_t s) { return SplitElapsed(start, {1000 + s, 0}); };
  ElapsedSplit e = at(59);
  EXPECT_EQ((std::array{e.days, e.hours, e.minutes, e.seconds}), (std::array{0, 0, 0, 59}));
  e = at(60);
  EXPECT_EQ((std::array{e.days, e.hours, e.minutes, e.seconds}), (std::array{0, 0, 1, 0}));
  e = at(3661);
  EXPECT_EQ((std::array{e.days, e.hours, e.minutes, e.seconds}), (std::array{0, 1, 1, 1}));
  e = at(86400);
  EXPECT_EQ((std::array{e.days, e.hours, e.minutes, e.seconds}), (std::array{1, 0, 0, 0}));
}

TEST(ElapsedSplit, BorrowsASecondWhenTheMillisecondsGoNegative) {
  const ElapsedSplit e = SplitElapsed({10, 900}, {25, 912});
  EXPECT_EQ(e.totalSeconds, 15);
  EXPECT_EQ(e.milliseconds, 12);
  EXPECT_EQ(e.TotalMilliseconds(), 15012);
  const ElapsedSplit b = SplitElapsed({10, 900}, {25, 100});
  EXPECT_EQ(b.totalSeconds, 14);
  EXPECT_EQ(b.milliseconds, 200);
}

TEST(RunReport, FifteenSecondLimitTestReadsAsExpected) {
  RunStats stats;
  stats.received = stats.sent = 1920LL * 8192;
  stats.recvMin = stats.recvMax = stats.sendMin = stats.sendMax = 8192;
  std::string report;
  AppendFullReport(&report, stats, SplitElapsed({0, 0}, {15, 12}));
  const CpuTimes base{0, 0}, now{2500000, 940000};
  AppendClosingLines(&report, stats, &base, &now);
  EXPECT_EQ(report,
            "経過時間 : 15.012\r\n"
            "トータルスループット : 2.00 [MB/s]\r\n"
            "受信スループット : 1023.18 [KB/s]\r\n"
            "送信スループット : 1023.18 [KB/s]\r\n"
            "受信サイズ : 15.00 [MB]\r\n"
            "受信：最小/最大 : 8192 / 8192\r\n"
            "送信サイズ : 15.00 [MB]\r\n"
            "送信：最小/最大 : 8192 / 8192\r\n"
            "KernelTime / UserTime = 0.250 秒 / 0.094 秒\r\n");
}

TEST(RunReport, NothingSentAndNoTimeGivesReceiveLinesOverOneSecond) {
  RunStats stats;
  stats.received = 500;
  std::string report;
  AppendFullReport(&report, stats, SplitElapsed({5, 0}, {5, 0}));
  AppendClosingLines(&report, stats, nullptr, nullptr);
  EXPECT_EQ(report,
            "経過時間 : 00.000\r\n"
            "受信スループット : 0.49 [KB/s]\r\n"
            "受信サイズ : 0.49 [KB]\r\n"
            "受信：最小/最大 : 65536 / 0\r\n");
}

}  // namespace
}  // namespace quarvent
