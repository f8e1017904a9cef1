// The console's measuring loop: the owner's tasks and timers run on the main
// thread, and Ctrl+C becomes 測定中断.
#pragma once

#include <functional>

#include "client/client_controller.h"
#include "console/measure_host.h"

namespace quarvent::console {

// One turn of the loop after the first start: runs the owner's tasks and due
// timers for up to 50 ms, or until interrupted() holds, which is then taken
// as 測定中断. interrupted is called on this thread and should consume what
// it reports. Returns false once the measurement is over.
bool MeasureTurn(MeasureHost& host, ClientController& controller,
                 const std::function<bool()>& interrupted);

}  // namespace quarvent::console
