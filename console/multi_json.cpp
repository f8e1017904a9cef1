// MultiMeasure's JSON: the document of --json and the closing events of
// --json-stream, built from the one JSON writer's own objects (a session's
// run, an interval, an end) so that their fields stay those of one run.
#include <cmath>
#include <nlohmann/json.hpp>

#include "client/client_controller.h"
#include "client/json_report.h"
#include "client/measure_log.h"
#include "console/multi_measure.h"

namespace quarvent::console {
namespace {

using Json = nlohmann::ordered_json;

// The data object of one of JsonReport's event lines.
Json EventData(const std::string& event) {
  return Json::parse(event)["data"];
}

double Seconds(int64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

double Rounded(double value) {
  return std::round(value * 1e3) / 1e3;
}

Json PhaseJson(const Phase& phase) {
  Json j;
  j["from_s"] = phase.fromMs >= 0 ? Json(Seconds(phase.fromMs)) : Json(nullptr);
  j["to_s"] = phase.toMs >= 0 ? Json(Seconds(phase.toMs)) : Json(nullptr);
  const RttSummary rtt = phase.rtt.Summary();
  j["rtt_us"] = {{"count", rtt.count},
                 {"p50", Rounded(rtt.p50)},
                 {"p90", Rounded(rtt.p90)},
                 {"p99", Rounded(rtt.p99)}};
  j["rpm"] = std::round(phase.Rpm() * 10) / 10;
  j["requests"] = phase.requests;
  j["lost"] = phase.countsLoss ? Json(phase.lost) : Json(nullptr);
  return j;
}

}  // namespace

std::string MultiMeasure::GroupJson(const Group& group, int index, bool withIntervals) const {
  const Totals& totals = group.totals;
  Json j;
  if (index >= 0) {
    j["class"] = index;
    j["mix"] = group.label;
    j["protocol"] = group.mix.protocol == kUdp ? "udp" : "tcp";
    j["pattern"] = group.mix.pattern;
    j["pattern_name"] = PatternEntryText(group.mix.pattern);
  }
  j["sessions"] = totals.sessions;
  j["full"] = totals.full;
  j["failed"] = totals.failed;
  j["not_started"] = totals.notStarted;
  if (withIntervals) {
    Json intervals = Json::array();
    for (const IntervalData& interval : group.intervals)
      intervals.push_back(EventData(JsonReport::IntervalEvent(interval)));
    j["intervals"] = std::move(intervals);
  }
  j["end"] = EventData(JsonReport::EndEvent(TotalsEnd(totals, "")));
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string MultiMeasure::LoadJson() const {
  Json j;
  j["probe_class"] = 0;
  j["idle_phase_s"] = Seconds(m_plan.idleMs);
  j["load_settle_s"] = Seconds(m_plan.settleMs);
  const bool started = m_phases.LoadStarted();
  j["load_started_s"] = started ? Json(Seconds(m_phases.LoadStartMs())) : Json(nullptr);
  j["idle"] = PhaseJson(m_phases.Idle());
  j["loaded"] = PhaseJson(m_phases.Loaded());
  const RunEndData& load = m_whole.totals.sum;
  j["load_bytes_per_s_received"] = std::round(load.ThroughputReceived());
  j["load_bytes_per_s_sent"] = std::round(load.ThroughputSent());
  return j.dump();
}

std::string MultiMeasure::JsonDocument() const {
  MeasureLog skeleton;
  skeleton.Begin(m_plan.start);
  Json doc = Json::parse(skeleton.JsonDocument());
  doc.erase("runs");
  doc["mix"] = MixText(m_plan.classes);
  if (m_plan.load) doc["probe"] = m_groups[0]->label;
  Json classes = Json::array();
  for (size_t g = 0; g < m_groups.size(); ++g)
    classes.push_back(Json::parse(GroupJson(*m_groups[g], static_cast<int>(g), true)));
  doc["classes"] = std::move(classes);
  doc["whole"] = Json::parse(GroupJson(m_whole, -1, true));
  if (m_plan.load) doc["load"] = Json::parse(LoadJson());
  Json sessions = Json::array();
  for (size_t s = 0; s < m_sessions.size(); ++s) {
    const SessionRecord& record = m_sessions[s];
    Json j;
    j["session"] = s;
    j["class"] = record.group;
    j["run"] = nullptr;
    if (record.ended) {
      // The session's run as the one-run document has it.
      MeasureLog one;
      one.Begin(m_plan.start);
      for (const IntervalData& interval : record.intervals) one.AddInterval(interval);
      one.AddRunEnd(record.end);
      j["run"] = Json::parse(one.JsonDocument())["runs"][0];
    }
    sessions.push_back(std::move(j));
  }
  doc["sessions"] = std::move(sessions);
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void MultiMeasure::WriteStartEvent() {
  Json event = Json::parse(JsonReport::StartEvent(m_plan.start));
  event["data"]["mix"] = MixText(m_plan.classes);
  if (m_plan.load) event["data"]["probe"] = m_groups[0]->label;
  WriteLine(event.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void MultiMeasure::WriteEndEvents() {
  for (size_t g = 0; g < m_groups.size(); ++g)
    WriteLine("{\"event\":\"class_end\",\"class\":" + std::to_string(g) +
              ",\"data\":" + GroupJson(*m_groups[g], static_cast<int>(g), false) + "}");
  WriteLine("{\"event\":\"whole_end\",\"data\":" + GroupJson(m_whole, -1, false) + "}");
  if (m_plan.load) WriteLine("{\"event\":\"load\",\"data\":" + LoadJson() + "}");
}

}  // namespace quarvent::console
