// What MultiMeasure writes: the header line, the interval lines and events of
// the classes and the whole, the text report, the JSON document and the
// closing events.
#include <cmath>
#include <cstdio>

#include "client/client_controller.h"
#include "client/cpu_times.h"
#include "client/format.h"
#include "console/multi_measure.h"

namespace quarvent::console {
namespace {

double Seconds(int64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

// An event line of JsonReport renamed, with a field of its own before its data.
std::string Retagged(const std::string& event, const std::string& name, const std::string& field) {
  return "{\"event\":\"" + name + "\"," + field + event.substr(event.find(',') + 1);
}

std::string WithoutCpuLine(const std::string& report) {
  const size_t at = report.find("KernelTime / UserTime = ");
  if (at == std::string::npos) return report;
  const size_t end = report.find('\n', at);
  return report.substr(0, at) + (end == std::string::npos ? "" : report.substr(end + 1));
}

// "\r\n" as "\n", as the console writes the report.
std::string Lf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

std::string Ms(double us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", us / 1000.0);
  return text;
}

}  // namespace

std::string MultiMeasure::HeaderLine() const {
  const std::string server = m_plan.start.address ? m_plan.start.address->AddressText() : "";
  const std::string mix = MixText(m_plan.classes);
  const int sessions = static_cast<int>(m_sessions.size()) - (m_plan.load ? 1 : 0);
  std::string line = std::string("=== ") + (m_plan.load ? "load " : "mix ") + mix + " (" +
                     std::to_string(sessions) + " sessions)";
  if (m_plan.load) line += " beside " + m_groups[0]->label;
  return line + " against " + server + " ===";
}

void MultiMeasure::FlushIntervals(Group& group, bool whole, int index) {
  IntervalData sum;
  while (group.sums->Next(&sum)) {
    if (m_plan.form == OutputForm::kText && m_plan.intervalLines) {
      WriteLine(group.label + " " + IntervalLine(sum));
    } else if (m_plan.form == OutputForm::kJsonStream) {
      const std::string event = JsonReport::IntervalEvent(sum);
      WriteLine(
          whole ? Retagged(event, "whole_interval", "")
                : Retagged(event, "class_interval", "\"class\":" + std::to_string(index) + ","));
    } else if (m_plan.form == OutputForm::kJson) {
      group.intervals.push_back(sum);
    }
  }
}

std::string MultiMeasure::LoadText() const {
  const PhaseSplit& phases = m_phases;
  std::string out = "--- latency under load: " + m_groups[0]->label + " ---\r\n";
  const auto phaseLine = [](const char* name, const Phase& phase) {
    char line[320];
    const RttSummary rtt = phase.rtt.Summary();
    std::snprintf(line, sizeof line, "%s [%.3f-%.3f s] RTT p50 %s ms p90 %s ms p99 %s ms RPM %.0f",
                  name, Seconds(std::max<int64_t>(phase.fromMs, 0)),
                  Seconds(std::max<int64_t>(phase.toMs, 0)), Ms(rtt.p50).c_str(),
                  Ms(rtt.p90).c_str(), Ms(rtt.p99).c_str(), phase.Rpm());
    std::string text = line;
    if (phase.countsLoss)
      text += " 損失 " + std::to_string(phase.lost) + " / " + std::to_string(phase.requests);
    return text + "\r\n";
  };
  out += phaseLine("idle  ", phases.Idle());
  out += phaseLine("loaded", phases.Loaded());
  char line[200];
  if (phases.LoadStarted())
    std::snprintf(line, sizeof line,
                  "load started at %.3f s; loaded statistics from %.3f s (settle %.3f s)\r\n",
                  Seconds(phases.LoadStartMs()),
                  Seconds(std::max<int64_t>(phases.Loaded().fromMs, 0)), Seconds(m_plan.settleMs));
  else
    std::snprintf(line, sizeof line, "load not started (the probe ended first)\r\n");
  out += line;
  const RunEndData& load = m_whole.totals.sum;
  if (load.dataPhase) {
    const double seconds = load.elapsedMs > 0 ? Seconds(load.elapsedMs) : 1.0;
    FormatThroughput(line, sizeof line, "負荷受信", load.bytesReceived, seconds);
    out += line;
  }
  return out;
}

std::string MultiMeasure::TextReport() const {
  std::string out;
  if (m_plan.perSession)
    for (size_t s = 0; s < m_sessions.size(); ++s)
      if (m_sessions[s].ended)
        out += "[session " + std::to_string(s) + "]\r\n" + WithoutCpuLine(m_sessions[s].end.report);
  for (const auto& group : m_groups) {
    const std::string header =
        "--- " + group->label + " [" + std::string(PatternEntryText(group->mix.pattern)) + "] ---";
    out += TotalsBlock(header, group->totals);
  }
  out += TotalsBlock("--- " + std::string(m_plan.load ? "load " : "") + "all " +
                         std::to_string(m_whole.totals.sessions) + " sessions ---",
                     m_whole.totals);
  if (m_plan.load) out += LoadText();
  CpuTimes now{};
  if (m_bCpuValid && ReadProcessCpuTimes(&now)) {
    char line[160];
    std::snprintf(line, sizeof line, "KernelTime / UserTime = %.3f 秒 / %.3f 秒\r\n",
                  static_cast<double>(now.kernel - m_nCpuStartKernel) * 1e-7,
                  static_cast<double>(now.user - m_nCpuStartUser) * 1e-7);
    out += line;
  }
  return Lf(out);
}

}  // namespace quarvent::console
