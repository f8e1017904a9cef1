// The console's owner for the client controller. In the text form the report
// goes to stdout (UTF-8, LF line ends) as it grows, with an interval line
// between the header and the report lines when asked for; in the JSON forms
// stdout gets JSON only: one document at the end, or one event line as each
// interval and run ends. The live elapsed time goes to stderr when stderr is
// a terminal, and the timers run on a small event loop.
#pragma once

#include <string>

#include "client/client_host.h"
#include "client/event_loop.h"
#include "client/json_report.h"
#include "client/measure_log.h"

namespace quarvent::console {

enum class OutputForm {
  kText,        // the report as the dialog shows it
  kJson,        // one JSON document once the measurement is over
  kJsonStream,  // one JSON event per line as it happens
};

struct MeasureOutput {
  OutputForm form = OutputForm::kText;
  bool intervalLines = false;  // the text form writes a line for every interval
};

// The text form's line for one interval: "[START-END s] 受信 R 送信 S", the
// times in seconds with three decimals and the rates in the report's units
// ("%.2f [KB/s]", or [MB/s] above 1,048,576 bytes/s), then, when round trips
// completed in it, " RTT p50 A ms p99 B ms" (three decimals). No line end.
std::string IntervalLine(const IntervalData& interval);

class MeasureHost final : public ClientHost {
 public:
  explicit MeasureHost(const MeasureOutput& output = {});

  void OnReportText(const std::string& report) override;
  void SetElapsedText(std::string_view text) override;
  void SetProgress(int) override {}
  void SetMeasuringState(int state) override;
  void ShowRecvError(std::string_view text) override;
  void NoteOutcome(RunOutcome outcome) override;
  void OnInterval(const IntervalData& interval) override;
  void OnRunEnd(const RunEndData& end) override;
  void OnSweepAborted(int runs, int nextPattern) override;
  void Post(std::function<void()> task) override { m_loop.Post(std::move(task)); }
  void ArmTimer(unsigned id, int delayMs) override { m_loop.ArmTimer(id, delayMs); }
  void DropQueued() override { m_loop.Clear(); }

  EventLoop& Loop() { return m_loop; }
  // Every start so far ended with a full report.
  bool AllFull() const { return m_bAllFull; }
  // The measurement so far (the JSON form keeps it for its document, which
  // is only built at the end; the start is the caller's to begin it with).
  MeasureLog& Log() { return m_log; }

 private:
  // Writes the part of the report that stdout has not had yet (text form).
  void PrintReport();

  const std::string* m_pReport = nullptr;  // the controller's report, once shown
  const MeasureOutput m_output;
  EventLoop m_loop;
  MeasureLog m_log;
  std::string m_strPrinted;  // the report text already written to stdout
  bool m_bLive;              // stderr is a terminal
  bool m_bAllFull = true;
};

}  // namespace quarvent::console
