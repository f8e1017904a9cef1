#include "client/csv_report.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace quarvent {

std::string CsvHeader() {
  return "run,pattern,protocol,start_s,end_s,bytes_received,bytes_sent,lost,"
         "throughput_total_bytes_per_s,rtt_p50_us,rtt_p99_us\n";
}

std::string CsvRow(const IntervalData& interval) {
  const int64_t lengthMs = interval.endMs - interval.startMs;
  const double seconds = lengthMs > 0 ? static_cast<double>(lengthMs) / 1000.0 : 1.0;
  const double throughput =
      static_cast<double>(interval.bytesReceived + interval.bytesSent) / seconds;
  // Milliseconds as seconds with three decimals, exactly (also below zero).
  const auto secondsText = [](int64_t ms) {
    char text[32];
    const int64_t whole = ms / 1000, milli = ms % 1000;
    std::snprintf(text, sizeof text, "%s%" PRId64 ".%03" PRId64, ms < 0 ? "-" : "",
                  whole < 0 ? -whole : whole, milli < 0 ? -milli : milli);
    return std::string(text);
  };
  char row[320];
  const std::string lost = interval.countsLoss ? std::to_string(interval.lost) : "";
  std::snprintf(row, sizeof row, "%d,%d,%s,%s,%s,%" PRId64 ",%" PRId64 ",%s,%.2f,", interval.run,
                interval.pattern, interval.protocol != 0 ? "udp" : "tcp",
                secondsText(interval.startMs).c_str(), secondsText(interval.endMs).c_str(),
                interval.bytesReceived, interval.bytesSent, lost.c_str(), throughput);
  std::string out = row;
  if (interval.rtt.count > 0) {
    // Rounded to the nanosecond the round trips are measured in, as the JSON has them.
    std::snprintf(row, sizeof row, "%.3f,%.3f", std::round(interval.rtt.p50 * 1e3) / 1e3,
                  std::round(interval.rtt.p99 * 1e3) / 1e3);
    out += row;
  } else {
    out += ',';
  }
  out += '\n';
  return out;
}

}  // namespace quarvent
