// quarvent measure: one measurement (or an automatic sweep) against a pseudo
// server, with the report on stdout.
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/client_controller.h"
#include "common/port_text.h"
#include "console/commands.h"
#include "console/measure_host.h"
#include "console/measure_loop.h"

namespace quarvent::console {
namespace {

constexpr char kMeasureHelp[] =
    "usage: quarvent measure [--address A.B.C.D] [--port N] [--pattern 0-10]\n"
    "                        [--duration auto|15|30|continuous] [--protocol tcp|udp]\n"
    "\n"
    "Measures the throughput that a pseudo server (quarvent serve or the server\n"
    "program) gives to one traffic pattern, and prints the report on stdout.\n"
    "\n"
    "  --address A.B.C.D  IPv4 address of the server (default 127.0.0.1)\n"
    "  --port N           port of the server; the low 16 bits of N are used (default 49152)\n"
    "  --pattern P        traffic pattern 0 to 10 (default 0):\n"
    "                       0-2  downloads of 4096, 2048, 1024-byte chunks\n"
    "                       3-4  browsing (random chunks, small requests)\n"
    "                       5    chat, 6 random mix\n"
    "                       7-10 limit tests: 8, 16, 32, 64 KB both ways\n"
    "  --duration D       auto: 10 s per pattern from P through 10 (automatic sweep),\n"
    "                     15 or 30 seconds, or continuous until Ctrl+C (default auto)\n"
    "  --protocol tcp|udp transport (default tcp)\n"
    "  --help             this text\n"
    "\n"
    "Ctrl+C aborts the run (it is stopped outright 2 seconds later if it does not\n"
    "end). The live elapsed time is shown on stderr when stderr is a terminal.\n"
    "Exit status: 0 when every run ended with a full report; 1 after a connection,\n"
    "negotiation or transfer failure or a watchdog timeout; 2 on bad usage.\n";

std::atomic<int> g_nInterrupts{0};

extern "C" void OnInterrupt(int) {
  g_nInterrupts.fetch_add(1);
}

int Usage(const char* problem) {
  std::fprintf(stderr, "quarvent measure: %s\n", problem);
  std::fputs(kMeasureHelp, stderr);
  return 2;
}

bool ParseInt(const char* text, long long min, long long max, int* out) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

int RunMeasure(int argc, char** argv) {
  MeasureHost host;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kMeasureHelp, stdout);
      return 0;
    }
    if (i + 1 >= argc) return Usage(("missing value for " + option).c_str());
    const char* value = argv[++i];
    if (option == "--address") {
      in_addr addr{};
      if (::inet_pton(AF_INET, value, &addr) != 1) return Usage("bad address");
      host.m_dwAddress = ntohl(addr.s_addr);
    } else if (option == "--port") {
      if (!ParsePortText(value, &host.m_nPort)) return Usage("bad port");
    } else if (option == "--pattern") {
      if (!ParseInt(value, 0, 10, &host.m_nPattern)) return Usage("pattern must be 0 to 10");
    } else if (option == "--duration") {
      const std::string d = value;
      if (d == "auto")
        host.m_nDuration = 0;
      else if (d == "15")
        host.m_nDuration = 1;
      else if (d == "30")
        host.m_nDuration = 2;
      else if (d == "continuous")
        host.m_nDuration = 3;
      else
        return Usage("duration must be auto, 15, 30 or continuous");
    } else if (option == "--protocol") {
      const std::string p = value;
      if (p == "tcp")
        host.m_nProtocol = 0;
      else if (p == "udp")
        host.m_nProtocol = 1;
      else
        return Usage("protocol must be tcp or udp");
    } else {
      return Usage(("unknown option " + option).c_str());
    }
  }

  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);

  ClientController controller(host);
  controller.OnStart();
  // The loop wakes now and then to see Ctrl+C.
  while (MeasureTurn(host, controller, [] { return g_nInterrupts.exchange(0) != 0; })) {
  }
  controller.Shutdown();
  // A report that ends inside a line (a negotiation mismatch) gets a line end
  // on a terminal only, so that redirected output stays the report itself.
  if (::isatty(STDOUT_FILENO) == 1 && !host.m_strResult.empty() && host.m_strResult.back() != '\n')
    std::fputc('\n', stdout);
  return host.AllFull() ? 0 : 1;
}

}  // namespace quarvent::console
