#include "client/measure_data.h"

namespace quarvent {
namespace {

// The report's seconds: an elapsed time of 0 or less counts as 1 second.
double ReportSeconds(int64_t elapsedMs) noexcept {
  return elapsedMs > 0 ? static_cast<double>(elapsedMs) / 1000.0 : 1.0;
}

}  // namespace

std::string FailureText(std::string_view reportText) {
  std::string out;
  out.reserve(reportText.size());
  for (size_t i = 0; i < reportText.size(); ++i) {
    if (reportText[i] == '\r' && i + 1 < reportText.size() && reportText[i + 1] == '\n') continue;
    out += reportText[i];
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string_view RunEndKindName(RunEndKind kind) noexcept {
  switch (kind) {
    case RunEndKind::kCompleted:
      return "completed";
    case RunEndKind::kAborted:
      return "aborted";
    case RunEndKind::kLimit:
      return "limit";
    case RunEndKind::kFailed:
      return "failed";
    case RunEndKind::kWatchdog:
      return "watchdog";
    case RunEndKind::kNegotiationFailed:
      return "negotiation_failed";
    case RunEndKind::kConnectFailed:
      return "connect_failed";
    case RunEndKind::kNoAnswer:
      return "no_answer";
  }
  return "failed";
}

double RunEndData::ThroughputReceived() const noexcept {
  return dataPhase ? static_cast<double>(bytesReceived) / ReportSeconds(elapsedMs) : 0.0;
}

double RunEndData::ThroughputSent() const noexcept {
  return dataPhase ? static_cast<double>(bytesSent) / ReportSeconds(elapsedMs) : 0.0;
}

double RunEndData::ThroughputTotal() const noexcept {
  return dataPhase ? static_cast<double>(bytesReceived + bytesSent) / ReportSeconds(elapsedMs)
                   : 0.0;
}

}  // namespace quarvent
