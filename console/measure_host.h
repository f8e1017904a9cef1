// The console's owner for the client controller: the report goes to stdout
// (UTF-8, LF line ends) as it grows, the live elapsed time to stderr when
// stderr is a terminal, and the timers run on a small event loop.
#pragma once

#include <string>

#include "client/client_host.h"
#include "client/event_loop.h"

namespace quarvent::console {

class MeasureHost final : public ClientHost {
 public:
  MeasureHost();

  void ShowResult() override;
  void SetElapsedText(std::string_view text) override;
  void SetProgress(int) override {}
  void SetMeasuringState(int state) override;
  void ShowRecvError(std::string_view text) override;
  void NoteOutcome(RunOutcome outcome) override;
  void Post(std::function<void()> task) override { m_loop.Post(std::move(task)); }
  void ArmTimer(unsigned id, int delayMs) override { m_loop.ArmTimer(id, delayMs); }
  void DropQueued() override { m_loop.Clear(); }

  EventLoop& Loop() { return m_loop; }
  // Every start so far ended with a full report.
  bool AllFull() const { return m_bAllFull; }

 private:
  EventLoop m_loop;
  std::string m_strPrinted;  // the report text already written to stdout
  bool m_bLive;              // stderr is a terminal
  bool m_bAllFull = true;
};

}  // namespace quarvent::console
