// quarvent measure with many sessions at once: --sessions N and --mix CLASSES
// (classes of sessions side by side), and --load CLASSES (a probe session that
// runs alone for an idle phase, then beside the load's classes). Runs them on
// this thread's event loop and writes the text report, the JSON document or
// the JSON event lines: every session, every class and the whole.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/json_report.h"
#include "client/measure_settings.h"
#include "client/timing.h"
#include "console/load_phase.h"
#include "console/measure_host.h"
#include "console/mix_report.h"
#include "console/mix_classes.h"
#include "console/session_set.h"

namespace quarvent::console {

struct MultiPlan {
  // The classes of the sessions; with load, the load's classes.
  std::vector<MixClass> classes;
  // Server, duration, interval and UDP timeout of every session; with load,
  // pattern and protocol are the probe's.
  MeasureSettings settings;
  ClientTiming timing;
  MeasureStart start;  // what the JSON's start object says
  OutputForm form = OutputForm::kText;
  bool intervalLines = false;  // -i: a line per class and interval
  bool perSession = false;     // the text adds each session's own report
  int staggerMs = 2;           // between two session starts
  bool load = false;
  int idleMs = 5000;    // the probe alone
  int settleMs = 2000;  // the load's run before the loaded statistics begin
};

class MultiMeasure final : public SessionListener {
 public:
  // write gets the output (stdout's text) as it is made.
  MultiMeasure(const MultiPlan& plan, std::function<void(std::string_view)> write);
  ~MultiMeasure();

  // Runs every session to its end on this thread and writes the report;
  // interrupted() as for MeasureTurn. Returns the exit code: 0 when every
  // session that started ended with a full report, else 1.
  int Run(const std::function<int()>& interrupted);

  // The groups: the classes of the mix in order (with load, the probe first,
  // then the load's classes), and the whole (with load, the load's whole).
  int GroupCount() const { return static_cast<int>(m_groups.size()); }
  const Totals& GroupTotals(int group) const { return m_groups[group]->totals; }
  const Totals& WholeTotals() const { return m_whole.totals; }
  int SessionCount() const { return static_cast<int>(m_sessions.size()); }
  int SessionGroup(int session) const { return m_sessions[session].group; }
  // The session's own end; none when it never started.
  const RunEndData* SessionEnd(int session) const {
    return m_sessions[session].ended ? &m_sessions[session].end : nullptr;
  }
  const PhaseSplit& Phases() const { return m_phases; }

  void OnSessionInterval(int session, const IntervalData& interval) override;
  void OnSessionRtt(int session, const RttHistogram& rtt) override;
  void OnSessionEnd(int session, const RunEndData& end) override;
  void OnSessionOutcome(int session, RunOutcome outcome) override;

 private:
  struct Group {
    std::string label;  // "tcp:0x2", "probe udp:5x1"
    MixClass mix;
    Totals totals;
    std::unique_ptr<IntervalSums> sums;
    std::vector<IntervalData> intervals;  // complete ones, kept for the JSON document
  };
  struct SessionRecord {
    int group = 0;
    MeasureSettings settings;
    bool ended = false;
    RunEndData end;
    std::vector<IntervalData> intervals;  // kept for the JSON document
  };

  void AddSessions();
  void StartLoad(int64_t atMs);
  // Writes the group's complete intervals (text lines or events).
  void FlushIntervals(Group& group, bool whole, int index);
  std::string HeaderLine() const;
  std::string TextReport() const;
  std::string LoadText() const;
  std::string JsonDocument() const;
  // A group's object of the JSON forms (with its intervals in the document).
  std::string GroupJson(const Group& group, int index, bool withIntervals) const;
  std::string LoadJson() const;
  void WriteStartEvent();
  void WriteEndEvents();
  void WriteLine(const std::string& line) { m_write(line + "\n"); }

  const MultiPlan m_plan;
  std::function<void(std::string_view)> m_write;
  std::vector<std::unique_ptr<Group>> m_groups;
  Group m_whole;
  std::vector<SessionRecord> m_sessions;
  SessionSet m_set;
  PhaseSplit m_phases;
  bool m_bLoadStarted = false;
  int64_t m_nCpuStartKernel = 0, m_nCpuStartUser = 0;
  bool m_bCpuValid = false;
};

}  // namespace quarvent::console
