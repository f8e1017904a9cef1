// `quarvent serve` as a child process of a console test, started and waited
// for by its readiness line.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace quarvent::test {

// The line `quarvent serve` prints on stderr once both services listen.
inline std::string ReadyLine(int port) {
  return "quarvent serve: listening on port " + std::to_string(port & 0xFFFF) + " (TCP and UDP)";
}

// `quarvent serve --port portArg` with its stderr read by the test; ready
// tells whether it said that both services listen on port.
struct Serve {
  Child child;
  bool ready = false;
};
inline Serve StartServe(int port, long long portArg) {
  Serve serve;
  serve.child = SpawnQuarvent({"serve", "--port", std::to_string(portArg)}, kCaptureStderr);
  serve.ready = serve.child.pid > 0 && WaitForLine(serve.child, ReadyLine(port));
  return serve;
}
inline Serve StartServe(int port) {
  return StartServe(port, port);
}
// `quarvent serve --port port` followed by options.
inline Serve StartServeWith(int port, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"serve", "--port", std::to_string(port)};
  args.insert(args.end(), options.begin(), options.end());
  Serve serve;
  serve.child = SpawnQuarvent(args, kCaptureStderr);
  serve.ready = serve.child.pid > 0 && WaitForLine(serve.child, ReadyLine(port));
  return serve;
}

}  // namespace quarvent::test
