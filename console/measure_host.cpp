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

}  // namespace

MeasureHost::MeasureHost() : m_bLive(::isatty(STDERR_FILENO) == 1) {}

void MeasureHost::ShowResult() {
  // The report only grows, except when a socket failure replaces it.
  std::string_view now = m_strResult;
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

}  // namespace quarvent::console
