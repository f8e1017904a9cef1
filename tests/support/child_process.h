// The built `quarvent` program as a child process of a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quarvent::test {

struct Child {
  pid_t pid = -1;
  int out = -1;         // read end of the child's stdout when captured, else -1
  int err = -1;         // read end of the child's stderr when captured, else -1
  std::string outText;  // what has been read from the captured stdout so far
  std::string errText;  // what has been read from the captured stderr so far
  size_t outSeen = 0;   // WaitForLine has looked at outText up to here
  size_t errSeen = 0;   // and at errText up to here
};

// What of the child's output the test reads; the rest goes to /dev/null.
enum Capture : unsigned { kCaptureNone = 0, kCaptureStdout = 1, kCaptureStderr = 2 };

// Starts QUARVENT_BIN with args.
Child SpawnQuarvent(const std::vector<std::string>& args, unsigned capture = kCaptureNone);

// Reads the captured stdout until the child closes it or the timeout passes,
// and returns all of it (child.outText).
std::string ReadAll(Child& child, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Reads the captured stream (kCaptureStderr or kCaptureStdout) until a whole
// line that contains `text` has come (true), or the child closed the stream or
// the timeout passed (false). What was read is kept in child.errText or
// child.outText; a later call looks at the lines after the one found. The
// timeout only turns a hang into a failure: a test waits for a line, never
// for a fixed time.
bool WaitForLine(Child& child, const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30),
                 Capture stream = kCaptureStderr);

// The exit code; -2 when killed by a signal; -1 when the child has not exited
// within the timeout (it is killed then).
int WaitExit(Child& child, std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace quarvent::test
