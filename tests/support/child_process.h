// The built `quarvent` program as a child process of a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quarvent::test {

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of the child's stdout when captured, else -1
};

// Starts QUARVENT_BIN with args; stderr goes to /dev/null, stdout too unless
// captured through a pipe.
Child SpawnQuarvent(const std::vector<std::string>& args, bool captureStdout = false);

// Reads the captured stdout until the child closes it or the timeout passes.
std::string ReadAll(Child& child, std::chrono::milliseconds timeout);

// The exit code; -2 when killed by a signal; -1 when the child has not exited
// within the timeout (it is killed then).
int WaitExit(Child& child, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace quarvent::test
