#include "console/measure_loop.h"

#include <chrono>

namespace quarvent::console {

bool MeasureTurn(MeasureHost& host, ClientController& controller,
                 const std::function<int()>& interrupted) {
  int interrupts = 0;
  host.Loop().RunUntil([&] { return (interrupts = interrupted()) > 0; },
                       std::chrono::milliseconds(50), [&](unsigned id) { controller.OnTimer(id); });
  // A second interrupt, also one that came with the first, stops at once.
  for (int i = 0; i < interrupts && i < 2 && controller.Measuring(); ++i) controller.OnAbort();
  // Over once the owner is idle: the report is complete then. The timers that
  // may still be pending have nothing left to say here: the release of
  // finished runs (the controller's destructor joins them), the reselection
  // of a sweep's first pattern, a forced stop with nothing to stop, and the
  // next step of a sweep that Ctrl+C ended in its pause.
  return controller.Measuring();
}

}  // namespace quarvent::console
