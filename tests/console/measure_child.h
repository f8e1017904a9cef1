// `quarvent measure` as a child process of a test, interrupted once data flows.
#pragma once

#include <chrono>
#include <string>

#include "tests/support/child_process.h"

namespace quarvent::test {

// Waits for an interval line on the stdout of a measure started with
// `--interval` whose receive rate is not 0: then at least one chunk, and the
// request before it, has been exchanged. serve's streaming line alone says
// only that the negotiation came in, not that the client has its reply, so
// an interrupt sent then may find a run without a single pass.
inline bool WaitForReceivedData(Child& child) {
  for (int lines = 0; lines < 100000; ++lines) {
    if (!WaitForLine(child, "] 受信 ", std::chrono::seconds(30), kCaptureStdout)) return false;
    // The line just found ends right before outSeen.
    const size_t end = child.outSeen - 1;
    const size_t newline = child.outText.rfind('\n', end - 1);
    const size_t begin = newline == std::string::npos ? 0 : newline + 1;
    if (child.outText.substr(begin, end - begin).find("] 受信 0.00 [KB/s]") == std::string::npos)
      return true;
  }
  return false;
}

}  // namespace quarvent::test
