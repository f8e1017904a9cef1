#include "client/run_report.h"

#include <cstdio>

#include "client/format.h"

namespace quarvent {
namespace {

constexpr size_t kLineSize = 256;

}  // namespace

void AppendFullReport(std::string* out, const RunStats& stats, const ElapsedSplit& elapsed) {
  double seconds = elapsed.Seconds();
  if (seconds <= 0.0) seconds = 1.0;
  char text[64];
  FormatElapsed(text, sizeof text, elapsed.days, elapsed.hours, elapsed.minutes, elapsed.seconds);
  char line[kLineSize];
  std::snprintf(line, sizeof line, "経過時間 : %s.%03d\r\n", text, elapsed.milliseconds);
  *out += line;
  if (stats.sent > 0) {
    FormatThroughput(line, sizeof line, "トータル", stats.sent + stats.received, seconds);
    *out += line;
  }
  FormatThroughput(line, sizeof line, "受信", stats.received, seconds);
  *out += line;
  if (stats.sent > 0) {
    FormatThroughput(line, sizeof line, "送信", stats.sent, seconds);
    *out += line;
  }
}

void AppendClosingLines(std::string* out, const RunStats& stats, const CpuTimes* baseline,
                        const CpuTimes* now) {
  char line[kLineSize];
  FormatSize(line, sizeof line, "受信", stats.received);
  *out += line;
  std::snprintf(line, sizeof line, "受信：最小/最大 : %d / %d\r\n", stats.recvMin, stats.recvMax);
  *out += line;
  if (stats.countsLoss) {
    const double percent = stats.requests > 0 ? 100.0 * static_cast<double>(stats.lost) /
                                                    static_cast<double>(stats.requests)
                                              : 0.0;
    std::snprintf(line, sizeof line, "受信：損失/要求 : %llu / %llu (%.2f %%)\r\n",
                  static_cast<unsigned long long>(stats.lost),
                  static_cast<unsigned long long>(stats.requests), percent);
    *out += line;
  }
  if (stats.sent > 0) {
    FormatSize(line, sizeof line, "送信", stats.sent);
    *out += line;
    std::snprintf(line, sizeof line, "送信：最小/最大 : %d / %d\r\n", stats.sendMin, stats.sendMax);
    *out += line;
  }
  if (baseline && now) {
    *out += "KernelTime / UserTime = ";
    std::snprintf(line, sizeof line, "%.3f 秒 / %.3f 秒\r\n",
                  static_cast<double>(now->kernel - baseline->kernel) * 1e-7,
                  static_cast<double>(now->user - baseline->user) * 1e-7);
    *out += line;
  }
}

}  // namespace quarvent
