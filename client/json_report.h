// The measurement data as JSON (UTF-8), in the one schema that docs/json.md
// describes: the whole document of `quarvent measure --json` (and of the
// dialog's saved results) and the event lines of `--json-stream`.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/measure_data.h"
#include "common/endpoint.h"

namespace quarvent {

// What a measurement was asked to do, as its "start" object says.
struct MeasureStart {
  std::string timestamp;  // ISO 8601, UTC (IsoTimestampUtc)
  std::string host;       // the server as the user named it; "" writes the address
  // The address used; none when the host name did not resolve (the
  // "address" and "family" fields are null then).
  std::optional<Endpoint> address;
  int port = 0;      // the port used (the low 16 bits of what was typed)
  int protocol = 0;  // 0 TCP, 1 UDP
  int duration = 0;  // 0 automatic sweep, 1 15 s, 2 30 s, 3 continuous
  int intervalMs = 1000;
};

// "2026-12-07T21:24:00.123Z".
std::string IsoTimestampUtc(std::chrono::system_clock::time_point when);

// The lines of --json-stream: one compact JSON object each, without a line
// end. The whole document is MeasureLog::JsonDocument.
class JsonReport {
 public:
  static std::string StartEvent(const MeasureStart& start);
  static std::string IntervalEvent(const IntervalData& interval);
  static std::string EndEvent(const RunEndData& end);
  static std::string ErrorEvent(std::string_view message);
  static std::string SweepAbortEvent(int afterRun, int nextPattern);
};

}  // namespace quarvent
