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
  // Over once the owner is idle: the report is complete then. What may still
  // be pending has nothing left to say here: the end of a stopped run (the
  // controller's destructor joins it), the reselection of a sweep's first
  // pattern, a forced stop with nothing to stop, and the next step of a sweep
  // that Ctrl+C ended in its pause.
  return controller.Measuring();
}

}  // namespace quarvent::console
