// quarvent: the console front end for machines without a display, scripts and tests.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "console/commands.h"

namespace quarvent::console {

void PrintUsage() {
  std::fputs(
      "usage: quarvent serve   [--port N]\n"
      "       quarvent measure [--address A.B.C.D] [--port N] [--pattern 0-10]\n"
      "                        [--duration auto|15|30|continuous] [--protocol tcp|udp]\n"
      "Run 'quarvent serve --help' or 'quarvent measure --help' for details.\n",
      stderr);
}

}  // namespace quarvent::console

int main(int argc, char** argv) {
  using namespace quarvent::console;
  // A peer that closes must be an error result of send, never a killed process.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) return RunServe(argc - 1, argv + 1);
  if (argc >= 2 && std::strcmp(argv[1], "measure") == 0) return RunMeasure(argc - 1, argv + 1);
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    return 0;
  }
  PrintUsage();
  return 2;
}
