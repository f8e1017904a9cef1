// The console's measuring loop: the owner's tasks and timers run on the main
// thread, and Ctrl+C becomes 測定中断.
#pragma once

#include <functional>

#include "client/client_controller.h"
#include "console/measure_host.h"

namespace quarvent::console {

// One turn of the loop after the first start: runs the owner's tasks and due
// timers for up to 50 ms, or until interrupted() returns a number above 0:
// the interrupts since the last call, each taken as 測定中断 (the second
// stops the run at once). interrupted is called on this thread and should
// consume what it reports. Returns false once the measurement is over.
bool MeasureTurn(MeasureHost& host, ClientController& controller,
                 const std::function<int()>& interrupted);

}  // namespace quarvent::console
