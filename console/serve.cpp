// quarvent serve: both stream services on one port, status lines on stderr.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "common/port_text.h"
#include "common/protocol.h"
#include "console/commands.h"
#include "server/listen_controller.h"

namespace quarvent::console {

void PrintServeHelp(std::FILE* out) {
  std::fputs(
      "usage: quarvent serve [--port N]\n"
      "Serves TCP and UDP measurement clients on one port until interrupted.\n"
      "  -p, --port N  port for both services (default 49152); a signed 32-bit\n"
      "                integer, of which the low 16 bits are used\n"
      "  -h, --help    show this help\n"
      "Each status change and receive error is printed on stderr. Once both services\n"
      "are bound, one line 'quarvent serve: listening on port P (TCP and UDP)' is\n"
      "printed on stderr: a client sent from then on is served. SIGINT or SIGTERM\n"
      "stops both services (exit 0); the exit code is 1 once both services have\n"
      "ended by themselves or when a service thread cannot be created, 2 on bad\n"
      "usage (one line on stderr naming the problem).\n",
      out);
}

namespace {

class ConsoleServerHost final : public ServerHost {
 public:
  explicit ConsoleServerHost(int port) : m_nPort(port) {}
  int Port() override { return m_nPort; }
  void SetStatusText(std::string_view utf8) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(utf8.size()), utf8.data());
  }
  void SetProgress(int) override {}
  void SetListeningState(int) override {}
  void ClearServiceHandle(ServiceKind kind) override {
    std::fprintf(stderr, "(%s service ended)\n", kind == ServiceKind::kTcp ? "TCP" : "UDP");
    ++m_nEnded;
  }
  void ShowRecvErrorNotice(ServiceKind, std::string_view utf8, NoticeAck ack) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(utf8.size()), utf8.data());
    ack.Acknowledge();
  }
  // The readiness line, once: both services have bound their socket.
  void OnServiceListening(ServiceKind kind) override {
    const int bit = kind == ServiceKind::kTcp ? 1 : 2;
    if ((m_nListening.fetch_or(bit) | bit) == 3 && !m_bAnnounced.exchange(true)) {
      std::fprintf(stderr, "quarvent serve: listening on port %u (TCP and UDP)\n",
                   static_cast<unsigned>(m_nPort) & 0xFFFFu);
      std::fflush(stderr);
    }
  }
  int Ended() const noexcept { return m_nEnded.load(); }

 private:
  const int m_nPort;
  std::atomic<int> m_nEnded{0};
  std::atomic<int> m_nListening{0};  // bit 0: TCP listens, bit 1: UDP is bound
  std::atomic<bool> m_bAnnounced{false};
};

}  // namespace

void DeclareServe(CLI::App& serve, ServeArgs& args) {
  serve.add_flag("-h,--help", args.help);
  serve.add_option("-p,--port", args.port);
}

int RunServe(const ServeArgs& args) {
  int port = kDefaultPort;
  if (!ParsePortText(args.port, &port))
    return UsageError("quarvent serve", "--port: '" + args.port + "' is not a port number");

  // The signals are taken by this thread alone (sigtimedwait); the service
  // threads inherit the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  ConsoleServerHost host(port);
  ListenController controller(host);
  // A service thread that cannot be created leaves both services idle; the
  // status line has said so.
  if (!controller.OnStartListen()) return 1;
  const timespec tick{0, 100 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      controller.OnStopListen();
      return 0;
    }
    if (host.Ended() >= 2) return 1;
  }
}

}  // namespace quarvent::console
