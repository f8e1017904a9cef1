#include "client/json_report.h"

#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "client/client_controller.h"
#include "client/measure_log.h"
#include "common/version.h"

namespace quarvent {
namespace {

// Objects keep their fields in the order written, which is the order
// docs/json.md lists them in.
using Json = nlohmann::ordered_json;

const char* ProtocolName(int protocol) {
  return protocol != 0 ? "udp" : "tcp";
}

const char* DurationName(int duration) {
  switch (duration) {
    case 1:
      return "15";
    case 2:
      return "30";
    case 3:
      return "continuous";
    default:
      return "auto";
  }
}

double Seconds(int64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

// Strings are UTF-8 already; a stray invalid byte becomes U+FFFD rather than
// an exception.
std::string Dump(const Json& json, int indent) {
  return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// Writes the start's fields into j.
void AddStartFields(Json& j, const MeasureStart& start) {
  j["timestamp"] = start.timestamp;
  const bool known = start.address && start.address->Valid();
  j["host"] = start.host.empty() && known ? start.address->AddressText() : start.host;
  j["address"] = known ? Json(start.address->AddressText()) : Json(nullptr);
  j["family"] = known ? Json(start.address->FamilyName()) : Json(nullptr);
  j["port"] = start.port;
  j["protocol"] = ProtocolName(start.protocol);
  j["duration"] = DurationName(start.duration);
  j["interval_s"] = Seconds(start.intervalMs);
}

Json StartJson(const MeasureStart& start) {
  Json j;
  AddStartFields(j, start);
  return j;
}

// value rounded to a multiple of 1/scale: the round trips are measured in
// nanoseconds, and a reader should see 15.963 microseconds rather than the
// 15.963000000000001 of the division.
double Rounded(double value, double scale) {
  return std::round(value * scale) / scale;
}

Json RttJson(const RttSummary& rtt) {
  Json j;
  j["count"] = rtt.count;
  j["min"] = Rounded(rtt.min, 1e3);
  j["mean"] = Rounded(rtt.mean, 1e3);
  j["stddev"] = Rounded(rtt.stddev, 1e3);
  j["p50"] = Rounded(rtt.p50, 1e3);
  j["p90"] = Rounded(rtt.p90, 1e3);
  j["p99"] = Rounded(rtt.p99, 1e3);
  j["p999"] = Rounded(rtt.p999, 1e3);
  j["max"] = Rounded(rtt.max, 1e3);
  return j;
}

Json IntervalJson(const IntervalData& interval) {
  Json j;
  j["start_s"] = Seconds(interval.startMs);
  j["end_s"] = Seconds(interval.endMs);
  j["bytes_received"] = interval.bytesReceived;
  j["bytes_sent"] = interval.bytesSent;
  j["chunks_received"] = interval.chunks;
  j["requests_sent"] = interval.requests;
  // The names these counts had in an interval before they were named as in
  // a run's end; kept for one release.
  j["chunks"] = interval.chunks;
  j["requests"] = interval.requests;
  j["lost"] = interval.countsLoss ? Json(interval.lost) : Json(nullptr);
  j["late"] = interval.countsLoss ? Json(interval.late) : Json(nullptr);
  j["rtt_us"] = RttJson(interval.rtt);
  return j;
}

// The report text split into its lines: "\r\n" separates them, and a final
// line end closes the last line rather than opening an empty one.
Json ReportLines(std::string_view report) {
  Json lines = Json::array();
  while (!report.empty()) {
    const size_t end = report.find("\r\n");
    if (end == std::string_view::npos) {
      lines.push_back(std::string(report));
      break;
    }
    lines.push_back(std::string(report.substr(0, end)));
    report.remove_prefix(end + 2);
  }
  return lines;
}

Json EndJson(const RunEndData& end) {
  Json j;
  j["outcome"] = RunEndKindName(end.outcome);
  j["failure"] = end.failure.empty() ? Json(nullptr) : Json(end.failure);
  j["elapsed_s"] = Seconds(end.elapsedMs);
  j["bytes_received"] = end.bytesReceived;
  j["bytes_sent"] = end.bytesSent;
  j["chunks_received"] = end.chunksReceived;
  j["requests_sent"] = end.requestsSent;
  j["lost"] = end.countsLoss ? Json(end.lost) : Json(nullptr);
  j["late"] = end.countsLoss ? Json(end.late) : Json(nullptr);
  // -1: no chunk (no request), or the run ended without its report.
  const auto size = [](int32_t value) { return value >= 0 ? Json(value) : Json(nullptr); };
  j["received_min"] = size(end.receivedMin);
  j["received_max"] = size(end.receivedMax);
  j["sent_min"] = size(end.sentMin);
  j["sent_max"] = size(end.sentMax);
  j["throughput_bytes_per_s"] = {{"total", end.ThroughputTotal()},
                                 {"received", end.ThroughputReceived()},
                                 {"sent", end.ThroughputSent()}};
  // Exactly the seconds the report's CPU time line prints with three decimals.
  j["cpu_s"] =
      // The system counts CPU time in ticks of 100 ns.
      end.cpuValid
          ? Json{{"kernel", Rounded(end.cpuKernelS, 1e7)}, {"user", Rounded(end.cpuUserS, 1e7)}}
          : Json(nullptr);
  j["rtt_us"] = RttJson(end.rtt);
  j["report"] = ReportLines(end.report);
  return j;
}

Json SweepAbortJson(int afterRun, int nextPattern) {
  Json j;
  j["after_run"] = afterRun;
  j["next_pattern"] = nextPattern;
  return j;
}

Json Event(const char* name, Json data) {
  Json j;
  j["event"] = name;
  j["data"] = std::move(data);
  return j;
}

// The run's place in an event: its index and its pattern, ahead of the rest.
Json Placed(int run, int pattern, const Json& fields) {
  Json j;
  j["run"] = run;
  j["pattern"] = pattern;
  for (const auto& [key, value] : fields.items()) j[key] = value;
  return j;
}

}  // namespace

std::string IsoTimestampUtc(std::chrono::system_clock::time_point when) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  // Whole seconds rounded down, also before 1970.
  int64_t secs = ms / 1000, milli = ms % 1000;
  if (milli < 0) {
    milli += 1000;
    --secs;
  }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(milli));
  return text;
}

std::string MeasureLog::JsonDocument() const {
  Json doc;
  doc["version"] = kVersion;
  doc["start"] = StartJson(m_start);
  // The runs of a measurement follow one another: a run's intervals, then
  // its end. A run without a data phase has only its end; one still going on
  // has no end yet (null).
  Json runs = Json::array();
  auto interval = m_intervals.begin();
  auto end = m_ends.begin();
  while (interval != m_intervals.end() || end != m_ends.end()) {
    const bool intervalFirst =
        end == m_ends.end() || (interval != m_intervals.end() && interval->run <= end->run);
    const int index = intervalFirst ? interval->run : end->run;
    const int pattern = intervalFirst ? interval->pattern : end->pattern;
    Json run;
    run["pattern"] = pattern;
    run["pattern_name"] = std::string(PatternEntryText(pattern));
    run["protocol"] = ProtocolName(intervalFirst ? interval->protocol : end->protocol);
    Json intervals = Json::array();
    for (; interval != m_intervals.end() && interval->run == index; ++interval)
      intervals.push_back(IntervalJson(*interval));
    run["intervals"] = std::move(intervals);
    run["end"] = end != m_ends.end() && end->run == index ? EndJson(*end++) : Json(nullptr);
    runs.push_back(std::move(run));
  }
  doc["runs"] = std::move(runs);
  if (m_nAbortedAfter >= 0) doc["sweep_aborted"] = SweepAbortJson(m_nAbortedAfter, m_nAbortedNext);
  if (m_bFailed) doc["error"] = m_strError;
  return Dump(doc, 2) + '\n';
}

std::string JsonReport::StartEvent(const MeasureStart& start) {
  Json data;
  data["version"] = kVersion;
  AddStartFields(data, start);
  return Dump(Event("start", std::move(data)), -1);
}

std::string JsonReport::IntervalEvent(const IntervalData& interval) {
  return Dump(Event("interval", Placed(interval.run, interval.pattern, IntervalJson(interval))),
              -1);
}

std::string JsonReport::EndEvent(const RunEndData& end) {
  return Dump(Event("end", Placed(end.run, end.pattern, EndJson(end))), -1);
}

std::string JsonReport::SweepAbortEvent(int afterRun, int nextPattern) {
  return Dump(Event("sweep_aborted", SweepAbortJson(afterRun, nextPattern)), -1);
}

std::string JsonReport::ErrorEvent(std::string_view message) {
  return Dump(Event("error", Json{{"message", std::string(message)}}), -1);
}

}  // namespace quarvent
