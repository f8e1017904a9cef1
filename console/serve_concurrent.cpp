// quarvent serve --max-clients N (N above 1): the concurrent server, the
// session lines, and one line when the number of sessions has changed, at
// most once a second.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "console/serve_host.h"
#include "server/concurrent_server.h"

namespace quarvent::console {
namespace {

// Every session holds a descriptor: the soft limit is raised to the hard one
// so that the limit the operator asked for is not cut short by a default of
// 1,024 descriptors.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

struct SessionCount {
  int tcp = 0;
  int udp = 0;
  long long refused = 0;
  bool operator==(const SessionCount&) const = default;
};

SessionCount CountOf(const ConcurrentServer& server) {
  return {server.ActiveTcp(), server.ActiveUdp(),
          static_cast<long long>(server.RefusedTcp() + server.RefusedUdp())};
}

// "quarvent serve: 3 sessions (2 TCP, 1 UDP), 5 refused".
void PrintCount(const SessionCount& count) {
  std::fprintf(stderr, "quarvent serve: %d sessions (%d TCP, %d UDP), %lld refused\n",
               count.tcp + count.udp, count.tcp, count.udp, count.refused);
  std::fflush(stderr);
}

}  // namespace

int RunConcurrentServe(const std::string& where, int port, const ServiceOptions& options,
                       const sigset_t& signals) {
  RaiseDescriptorLimit();
  ConsoleServerHost host(port, where, true, true);
  ConcurrentServer server(host, options, port);
  const std::string problem = server.Start();
  if (!problem.empty()) {
    std::fprintf(stderr, "quarvent serve: %s\n", problem.c_str());
    return 1;
  }
  host.Announce();

  using Clock = std::chrono::steady_clock;
  SessionCount shown;
  Clock::time_point shownAt = Clock::now() - std::chrono::seconds(1);
  const timespec tick{0, 100 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      server.Stop();
      return 0;
    }
    const SessionCount now = CountOf(server);
    if (!(now == shown) && Clock::now() - shownAt >= std::chrono::seconds(1)) {
      PrintCount(now);
      shown = now;
      shownAt = Clock::now();
    }
  }
}

}  // namespace quarvent::console
