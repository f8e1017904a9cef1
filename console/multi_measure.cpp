#include "console/multi_measure.h"

#include <algorithm>

#include "client/cpu_times.h"

namespace quarvent::console {
namespace {

std::string ClassLabel(const MixClass& mix) {
  return MixText({mix});
}

}  // namespace

MultiMeasure::MultiMeasure(const MultiPlan& plan, std::function<void(std::string_view)> write)
    : m_plan(plan), m_write(std::move(write)), m_set(*this, plan.staggerMs) {
  AddSessions();
}

MultiMeasure::~MultiMeasure() = default;

void MultiMeasure::AddSessions() {
  std::vector<MixClass> classes = m_plan.classes;
  if (m_plan.load) {
    // The probe is a class of its own, first, with short intervals for the
    // phase split.
    MixClass probe;
    probe.protocol = m_plan.settings.protocol;
    probe.pattern = m_plan.settings.pattern;
    probe.count = 1;
    classes.insert(classes.begin(), probe);
  }
  std::vector<int> all;
  for (size_t c = 0; c < classes.size(); ++c) {
    auto group = std::make_unique<Group>();
    group->mix = classes[c];
    group->label = (m_plan.load && c == 0 ? "probe " : "") + ClassLabel(classes[c]);
    std::vector<int> members;
    for (int i = 0; i < classes[c].count; ++i) {
      SessionRecord record;
      record.group = static_cast<int>(c);
      record.settings = m_plan.settings;
      record.settings.pattern = classes[c].pattern;
      record.settings.protocol = classes[c].protocol;
      if (record.settings.protocol != kUdp) record.settings.udpTimeoutMs = 0;
      if (m_plan.load && c == 0) record.settings.intervalMs = kProbeIntervalMs;
      members.push_back(static_cast<int>(m_sessions.size()));
      all.push_back(static_cast<int>(m_sessions.size()));
      m_sessions.push_back(std::move(record));
    }
    group->totals.sessions = classes[c].count;
    group->sums = std::make_unique<IntervalSums>(members);
    m_groups.push_back(std::move(group));
  }
  // The whole: every session, or with load every session of the load.
  if (m_plan.load) all.erase(all.begin());
  m_whole.label = "all";
  m_whole.totals.sessions = static_cast<int>(all.size());
  m_whole.sums = std::make_unique<IntervalSums>(all);
  // The probe's and the mix's sessions are made now; the load's once the
  // probe's idle phase is over (their duration is what remains of it).
  const size_t now = m_plan.load ? 1 : m_sessions.size();
  for (size_t s = 0; s < now; ++s) m_set.Add(m_sessions[s].settings, m_plan.timing);
}

void MultiMeasure::StartLoad(int64_t atMs) {
  m_bLoadStarted = true;
  m_phases.StartLoad(atMs, m_plan.settleMs);
  ClientTiming timing = m_plan.timing;
  const int d = static_cast<int>(m_plan.settings.duration);
  if (timing.durationMs[d] >= 0)
    timing.durationMs[d] = std::max<int64_t>(timing.durationMs[d] - atMs, 1);
  for (size_t s = 1; s < m_sessions.size(); ++s) m_set.Add(m_sessions[s].settings, timing);
  m_set.Launch(1, static_cast<int>(m_sessions.size()) - 1);
}

int MultiMeasure::Run(const std::function<int()>& interrupted) {
  CpuTimes cpu{};
  m_bCpuValid = GetOsFamily() == 3 && ReadProcessCpuTimes(&cpu);
  m_nCpuStartKernel = cpu.kernel;
  m_nCpuStartUser = cpu.user;
  if (m_plan.form == OutputForm::kText) m_write(HeaderLine() + "\n");
  if (m_plan.form == OutputForm::kJsonStream) WriteStartEvent();
  m_set.Launch(0, m_set.Size());
  while (m_set.Turn(interrupted, [] { return false; })) {
  }
  // Sessions never started (an interrupt came first) count as such.
  for (size_t s = 0; s < m_sessions.size(); ++s) {
    if (m_sessions[s].ended) continue;
    ++m_groups[m_sessions[s].group]->totals.notStarted;
    if (!m_plan.load || s > 0) ++m_whole.totals.notStarted;
  }
  if (m_plan.form == OutputForm::kText) m_write(TextReport());
  if (m_plan.form == OutputForm::kJson) m_write(JsonDocument());
  if (m_plan.form == OutputForm::kJsonStream) WriteEndEvents();
  bool anyFailed = false;
  for (const auto& group : m_groups) anyFailed = anyFailed || group->totals.failed > 0;
  return anyFailed ? 1 : 0;
}

void MultiMeasure::OnSessionInterval(int session, const IntervalData& interval) {
  SessionRecord& record = m_sessions[session];
  if (m_plan.form == OutputForm::kJson) record.intervals.push_back(interval);
  if (m_plan.form == OutputForm::kJsonStream) {
    std::string event = JsonReport::IntervalEvent(interval);
    event.insert(event.find(',') + 1, "\"session\":" + std::to_string(session) + ",");
    WriteLine(event);
  }
  Group& group = *m_groups[record.group];
  group.sums->Add(session, interval);
  const bool inWhole = !m_plan.load || session > 0;
  if (inWhole) m_whole.sums->Add(session, interval);
  if (m_plan.load && session == 0) {
    m_phases.Add(interval);
    if (!m_bLoadStarted && interval.endMs >= m_plan.idleMs) StartLoad(interval.endMs);
  }
  // With round trips the interval is complete once they are in too.
  if (interval.rtt.count > 0) return;
  FlushIntervals(group, false, record.group);
  if (inWhole) FlushIntervals(m_whole, true, -1);
}

void MultiMeasure::OnSessionRtt(int session, const RttHistogram& rtt) {
  SessionRecord& record = m_sessions[session];
  Group& group = *m_groups[record.group];
  const bool inWhole = !m_plan.load || session > 0;
  group.sums->AddRtt(session, rtt);
  AddRtt(&group.totals, rtt);
  if (inWhole) {
    m_whole.sums->AddRtt(session, rtt);
    AddRtt(&m_whole.totals, rtt);
  }
  if (m_plan.load && session == 0) m_phases.AddRtt(rtt);
  FlushIntervals(group, false, record.group);
  if (inWhole) FlushIntervals(m_whole, true, -1);
}

void MultiMeasure::OnSessionEnd(int session, const RunEndData& end) {
  SessionRecord& record = m_sessions[session];
  record.ended = true;
  record.end = end;
  if (m_plan.form == OutputForm::kJsonStream) {
    std::string event = JsonReport::EndEvent(end);
    event.insert(event.find(',') + 1, "\"session\":" + std::to_string(session) + ",");
    WriteLine(event);
  }
}

void MultiMeasure::OnSessionOutcome(int session, RunOutcome outcome) {
  SessionRecord& record = m_sessions[session];
  const bool failed = outcome != RunOutcome::kFullReport;
  Group& group = *m_groups[record.group];
  AddEnd(&group.totals, session, record.end, failed);
  group.sums->End(session);
  FlushIntervals(group, false, record.group);
  if (!m_plan.load || session > 0) {
    AddEnd(&m_whole.totals, session, record.end, failed);
    m_whole.sums->End(session);
    FlushIntervals(m_whole, true, -1);
  }
  if (m_plan.load && session == 0) {
    // The load runs beside the probe to its end, and no longer. A probe that
    // ran its whole duration leaves the load to end by its own, a moment
    // later (it began after its connection and negotiation): an abort then
    // would only race with that end.
    m_set.CancelStarts();
    const bool ranItsDuration =
        outcome == RunOutcome::kFullReport && record.end.outcome == RunEndKind::kCompleted;
    if (ranItsDuration) return;
    for (size_t s = 1; s < m_sessions.size() && s < static_cast<size_t>(m_set.Size()); ++s)
      m_set.Abort(static_cast<int>(s));
  }
}

}  // namespace quarvent::console
