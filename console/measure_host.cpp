#include "console/measure_host.h"

#include <unistd.h>

#include <cstdio>

namespace quarvent::console {
namespace {

// Writes text with "\r\n" as "\n".
void WriteLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// One line on stdout, flushed at once: a reader follows it live.
void WriteLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// bytes over seconds as the report writes a throughput, without its label.
std::string Rate(int64_t bytes, double seconds) {
  const double rate = static_cast<double>(bytes) / seconds;
  char text[64];
  if (rate > 1048576.0)
    std::snprintf(text, sizeof text, "%.2f [MB/s]", rate / 1048576.0);
  else
    std::snprintf(text, sizeof text, "%.2f [KB/s]", rate / 1024.0);
  return text;
}

}  // namespace

std::string IntervalLine(const IntervalData& interval) {
  // As in the report, a length of 0 counts as 1 second.
  const int64_t lengthMs = interval.endMs - interval.startMs;
  const double seconds = lengthMs > 0 ? static_cast<double>(lengthMs) / 1000.0 : 1.0;
  char times[64];
  std::snprintf(times, sizeof times, "[%.3f-%.3f s]",
                static_cast<double>(interval.startMs) / 1000.0,
                static_cast<double>(interval.endMs) / 1000.0);
  std::string line = std::string(times) + " 受信 " + Rate(interval.bytesReceived, seconds) +
                     " 送信 " + Rate(interval.bytesSent, seconds);
  if (interval.countsLoss) line += " 損失 " + std::to_string(interval.lost);
  if (interval.rtt.count > 0) {
    char rtt[96];
    std::snprintf(rtt, sizeof rtt, " RTT p50 %.3f ms p99 %.3f ms", interval.rtt.p50 / 1000.0,
                  interval.rtt.p99 / 1000.0);
    line += rtt;
  }
  return line;
}

MeasureHost::MeasureHost(const MeasureOutput& output)
    : m_output(output), m_bLive(::isatty(STDERR_FILENO) == 1) {}

void MeasureHost::OnReportText(const std::string& report) {
  m_pReport = &report;
  if (m_output.form == OutputForm::kText) PrintReport();
}

void MeasureHost::PrintReport() {
  if (m_pReport == nullptr) return;
  // The report only grows, except when a socket failure replaces it.
  std::string_view now = *m_pReport;
  std::string_view fresh = now;
  if (now.starts_with(m_strPrinted)) {
    fresh = now.substr(m_strPrinted.size());
  } else if (!m_strPrinted.empty() && m_strPrinted.back() != '\n') {
    WriteLf("\n");
  }
  // A "\r" at the end may be the first half of a line end: keep it back.
  if (fresh.ends_with('\r')) fresh.remove_suffix(1);
  WriteLf(fresh);
  m_strPrinted.assign(now.data(), fresh.data() + fresh.size() - now.data());
}

void MeasureHost::SetElapsedText(std::string_view text) {
  if (!m_bLive) return;
  std::fprintf(stderr, "\r\033[K%.*s", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

void MeasureHost::SetMeasuringState(int state) {
  if (state == 0 && m_bLive) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

void MeasureHost::ShowRecvError(std::string_view text) {
  std::fprintf(stderr, "%s%.*s\n", m_bLive ? "\r\033[K" : "", static_cast<int>(text.size()),
               text.data());
}

void MeasureHost::NoteOutcome(RunOutcome outcome) {
  if (outcome != RunOutcome::kFullReport) m_bAllFull = false;
}

void MeasureHost::OnInterval(const IntervalData& interval) {
  switch (m_output.form) {
    case OutputForm::kText:
      if (!m_output.intervalLines) return;
      // The header line comes first, whatever of it is still held back.
      PrintReport();
      if (m_bLive) {
        // The live elapsed time on a shared terminal would run into the line.
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
      }
      WriteLine(IntervalLine(interval));
      return;
    case OutputForm::kJson:
      m_log.AddInterval(interval);
      return;
    case OutputForm::kJsonStream:
      WriteLine(JsonReport::IntervalEvent(interval));
      return;
  }
}

void MeasureHost::OnRunEnd(const RunEndData& end) {
  if (m_output.form == OutputForm::kJson) m_log.AddRunEnd(end);
  if (m_output.form == OutputForm::kJsonStream) WriteLine(JsonReport::EndEvent(end));
}

void MeasureHost::OnSweepAborted(int runs, int nextPattern) {
  if (m_output.form == OutputForm::kJson) m_log.SetSweepAborted(runs - 1, nextPattern);
  if (m_output.form == OutputForm::kJsonStream)
    WriteLine(JsonReport::SweepAbortEvent(runs - 1, nextPattern));
}

}  // namespace quarvent::console
