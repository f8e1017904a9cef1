// quarvent serve: both stream services on one port, status lines and one line
// per client session on stderr.
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "common/endpoint.h"
#include "common/port_text.h"
#include "common/protocol.h"
#include "common/socket.h"
#include "common/version.h"
#include "console/commands.h"
#include "console/serve_host.h"
#include "server/listen_controller.h"
#include "server/service_options.h"

namespace quarvent::console {

void PrintServeHelp(std::FILE* out) {
  std::fputs(
      "usage: quarvent serve [-4|-6] [--port N] [--bind ADDRESS] [--keep-serving]\n"
      "                      [--idle-timeout SECS] [--max-duration SECS]\n"
      "                      [--max-clients N] [--max-per-source M]\n"
      "                      [--strict-requests]\n"
      "Serves TCP and UDP measurement clients on one port until interrupted.\n"
      "  -p, --port N            port for both services (default 49152); a signed\n"
      "                          32-bit integer, of which the low 16 bits are used\n"
      "  -4, -6                  listen on IPv4 only, or on IPv6 only (default: both,\n"
      "                          on one dual-stack socket per protocol; an IPv4\n"
      "                          client is seen as 127.0.0.1:41118, never as\n"
      "                          ::ffff:127.0.0.1, an IPv6 one as [2001:2::1]:41118)\n"
      "      --bind ADDRESS      listen on this address only (default: all): IPv4\n"
      "                          A.B.C.D or IPv6, with or without brackets, with\n"
      "                          %INTERFACE for a link-local one (fe80::1%eth0)\n"
      "      --keep-serving      a rejected or failed negotiation ends that session\n"
      "                          only: the service says why and takes the next\n"
      "                          client on the same port at once\n"
      "      --idle-timeout SECS a peer that sends nothing the service waits for\n"
      "                          (the whole TCP negotiation line from connecting,\n"
      "                          a request, the rest of a UDP line) or takes\n"
      "                          nothing of a chunk for SECS seconds is dropped and\n"
      "                          the next client is served (1 to 86400)\n"
      "      --max-duration SECS a session is ended SECS seconds after it began\n"
      "                          (1 to 31536000)\n"
      "      --max-clients N     serve up to N TCP and N UDP clients at the same time\n"
      "                          (1 to 4096, default 1: one at a time). Above 1 each\n"
      "                          session runs on its own, a bad line never ends a\n"
      "                          service (as --keep-serving), the limits above apply\n"
      "                          per session, a TCP client beyond N waits in the\n"
      "                          listen queue and a UDP source beyond N is refused\n"
      "                          with 'ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=87.'; the status\n"
      "                          lines give way to one line, at most once a second,\n"
      "                          when the number of sessions changes:\n"
      "                          'quarvent serve: 3 sessions (2 TCP, 1 UDP), 0 refused'\n"
      "      --max-per-source M  at most M sessions at once from one address (an\n"
      "                          IPv4 client over IPv6 counts as its IPv4 address),\n"
      "                          per protocol (default N); a client beyond M is\n"
      "                          refused with the same text\n"
      "      --strict-requests   leave a UDP request unanswered when it announces\n"
      "                          fewer bytes than the pattern's client sends at\n"
      "                          least, so that no small datagram draws a chunk\n"
      "                          many times its size (patterns 7-10: at most one\n"
      "                          byte out per byte in; see SECURITY.md)\n"
      "  -h, --help              show this help\n"
      "      --version           the program's version\n"
      "Each status change and receive error is printed on stderr. Once both services\n"
      "are bound, one line 'quarvent serve: listening on port P (TCP and UDP)' is\n"
      "printed on stderr (with ' at ADDRESS' after --bind, ' at 0.0.0.0' after -4,\n"
      "' at ::' after -6): a client sent from then\n"
      "on is served. Every client session ends with one line on stderr:\n"
      "  quarvent serve: TCP session 192.0.2.7:50312 pattern 7, 1052672 bytes in,\n"
      "  1052680 bytes out, 15.002 s: end marker\n"
      "(an IPv6 peer in brackets: 'UDP session [2001:2::1]:50312 ...'); a UDP\n"
      "client is answered from the address it sent to\n"
      "the peer, the negotiated pattern ('-' when none was accepted), the bytes\n"
      "received and sent (negotiation included), the session's length and how it\n"
      "ended: end marker, peer closed, receive error, send error, idle timeout,\n"
      "max duration, rejected, negotiation failed (with the reason) or server\n"
      "stopped (a session in progress at SIGINT or SIGTERM). A UDP session's line\n"
      "comes once the service listens for the next client.\n"
      "SIGINT or SIGTERM stops both services (exit 0); the exit code is 1 once both\n"
      "services have ended by themselves (with --keep-serving: once either has, as\n"
      "only a failed bind or socket ends one then) or when a service thread cannot\n"
      "be created, or at once when a service cannot bind its port at the start\n"
      "(one line on stderr says which protocol and why), 2 on bad usage (one line\n"
      "on stderr naming the problem).\n",
      out);
}

namespace {

constexpr char kCommand[] = "quarvent serve";

const char* KindName(ServiceKind kind) {
  return kind == ServiceKind::kTcp ? "TCP" : "UDP";
}

// How the session ended, as its line says it.
std::string EndText(const SessionRecord& record) {
  const auto withError = [&](const char* what) {
    return std::string(what) + " " + std::to_string(record.error) + " (" +
           std::strerror(record.error) + ")";
  };
  switch (record.end) {
    case SessionEnd::kEndMarkerReceived:
      return "end marker";
    case SessionEnd::kPeerClosed:
      return "peer closed";
    case SessionEnd::kReceiveError:
      return withError("receive error");
    case SessionEnd::kSendError:
      return withError("send error");
    case SessionEnd::kIdleTimeout:
      return "idle timeout";
    case SessionEnd::kMaxDuration:
      return "max duration";
    case SessionEnd::kRejected:
      return "rejected: " + record.detail;
    case SessionEnd::kNegotiationFailed:
      return "negotiation failed: " + record.detail;
    case SessionEnd::kStopped:
      return "server stopped";
  }
  return "?";
}

}  // namespace

std::string SessionLine(const SessionRecord& record) {
  // No datagram taken at all: the empty IPv4 address, as ever.
  const std::string peer = record.peer.Valid() ? record.peer.Text() : "0.0.0.0:0";
  char text[320];
  std::snprintf(text, sizeof text,
                "quarvent serve: %s session %s pattern %s, %lld bytes in, %lld bytes out, "
                "%lld.%03lld s: ",
                KindName(record.kind), peer.c_str(),
                record.pattern < 0 ? "-" : std::to_string(record.pattern).c_str(),
                static_cast<long long>(record.bytesReceived),
                static_cast<long long>(record.bytesSent),
                static_cast<long long>(record.durationMs / 1000),
                static_cast<long long>(record.durationMs % 1000));
  return text + EndText(record);
}

namespace {

// A whole number of seconds from 1 to max, as milliseconds.
bool ParseWholeSeconds(const std::string& text, long long max, int64_t* ms) {
  if (text.empty() || text.size() > 9) return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > max) return false;
  *ms = value * 1000;
  return true;
}

// A whole number from 1 to 4096.
bool ParseCount(const std::string& text, int* count) {
  if (text.empty() || text.size() > 4) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 4096) return false;
  *count = value;
  return true;
}

// Whether this system makes IPv6 sockets at all.
bool HasIpv6() {
  const Socket probe = Socket::Udp(AF_INET6);
  return probe.Valid() || errno != EAFNOSUPPORT;
}

// The addresses to listen on: both families on one socket by default (IPv4
// alone where the system has no IPv6), one family with -4 or -6, or one
// address. Returns the usage problem or "".
std::string ReadAddress(const ServeArgs& args, ServiceOptions* options, std::string* where) {
  if (args.ipv4Only && args.ipv6Only) return "-4 and -6 exclude each other";
  if (!args.bind.empty()) {
    const Endpoint address = Endpoint::ParseLiteral(args.bind);
    if (!address.Valid())
      return "--bind: '" + args.bind + "' is not an IPv4 address A.B.C.D or an IPv6 address";
    if (args.ipv4Only && !address.IsIpv4()) return "--bind: '" + args.bind + "' is not IPv4 (-4)";
    if (args.ipv6Only && !address.IsIpv6()) return "--bind: '" + args.bind + "' is not IPv6 (-6)";
    options->bindAddress = address;
    // "--bind ::" takes IPv4 clients too unless -6 says otherwise.
    options->dualStack = address.IsWildcard() && !args.ipv6Only;
    *where = address.AddressText();
    return "";
  }
  if (args.ipv4Only) {
    options->bindAddress = Endpoint::Any(AF_INET);
    *where = "0.0.0.0";
  } else if (args.ipv6Only) {
    options->bindAddress = Endpoint::Any(AF_INET6);
    *where = "::";
  } else if (HasIpv6()) {
    options->bindAddress = Endpoint::Any(AF_INET6);
    options->dualStack = true;
  }
  return "";
}

}  // namespace

std::string ReadServeOptions(const ServeArgs& args, int* port, ServiceOptions* options,
                             std::string* where) {
  if (!ParsePortText(args.port, port)) return "--port: '" + args.port + "' is not a port number";
  if (std::string problem = ReadAddress(args, options, where); !problem.empty()) return problem;
  if (!args.idleTimeout.empty() &&
      !ParseWholeSeconds(args.idleTimeout, 86400, &options->idleTimeoutMs))
    return "--idle-timeout: '" + args.idleTimeout + "' is not a whole number of seconds 1..86400";
  if (!args.maxDuration.empty() &&
      !ParseWholeSeconds(args.maxDuration, 31536000, &options->maxDurationMs))
    return "--max-duration: '" + args.maxDuration +
           "' is not a whole number of seconds 1..31536000";
  options->keepServing = args.keepServing;
  options->strictRequests = args.strictRequests;
  if (!args.maxClients.empty() && !ParseCount(args.maxClients, &options->maxClients))
    return "--max-clients: '" + args.maxClients + "' is not a whole number 1..4096";
  if (!args.maxPerSource.empty() && !ParseCount(args.maxPerSource, &options->maxPerSource))
    return "--max-per-source: '" + args.maxPerSource + "' is not a whole number 1..4096";
  return "";
}

namespace {

// "quarvent serve: TCP port P cannot be served: bind() Failed.  ErrCode=98.
// (Address already in use)". The service's error text is read once it has
// ended by itself: it writes nothing after its last call to the host.
void SayStartFailure(int port, const char* protocol, const std::string& errorText) {
  std::string reason;
  const size_t at = errorText.find("ErrCode=");
  if (at != std::string::npos) {
    const int err = std::atoi(errorText.c_str() + at + 8);
    if (err > 0) reason = std::string(" (") + std::strerror(err) + ")";
  }
  std::fprintf(stderr, "quarvent serve: %s port %u cannot be served: %s%s\n", protocol,
               static_cast<unsigned>(port) & 0xFFFFu, errorText.c_str(), reason.c_str());
  std::fflush(stderr);
}

}  // namespace

void DeclareServe(CLI::App& serve, ServeArgs& args) {
  serve.add_flag("-h,--help", args.help);
  serve.add_flag("--version", args.version);
  serve.add_option("-p,--port", args.port);
  serve.add_option("--bind", args.bind);
  serve.add_flag("-4", args.ipv4Only);
  serve.add_flag("-6", args.ipv6Only);
  serve.add_flag("--keep-serving", args.keepServing);
  serve.add_option("--idle-timeout", args.idleTimeout);
  serve.add_option("--max-duration", args.maxDuration);
  serve.add_option("--max-clients", args.maxClients);
  serve.add_option("--max-per-source", args.maxPerSource);
  serve.add_flag("--strict-requests", args.strictRequests);
}

int RunServe(const ServeArgs& args) {
  int port = kDefaultPort;
  ServiceOptions options;
  std::string where;
  const std::string problem = ReadServeOptions(args, &port, &options, &where);
  if (!problem.empty()) return UsageError(kCommand, problem);

  // The signals are taken by this thread alone (sigtimedwait); the service
  // threads inherit the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (options.maxClients > 1) return RunConcurrentServe(where, port, options, signals);

  ConsoleServerHost host(port, where, options.keepServing);
  ListenController controller(host);
  controller.Tcp().SetOptions(options);
  controller.Udp().SetOptions(options);
  // A service thread that cannot be created leaves both services idle; the
  // status line has said so.
  if (!controller.OnStartListen()) return 1;
  // Kept serving, a service ends only when it cannot listen any more; the
  // process then ends so that whoever started it can start it again.
  const int endedLimit = options.keepServing ? 1 : 2;
  const timespec tick{0, 100 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      controller.OnStopListen();
      return 0;
    }
    // A service that could not bind its socket at the start leaves a server
    // that a script could not tell from a good one: the process ends at once.
    if (const int failed = host.FailedAtStart()) {
      if (failed & 1) SayStartFailure(port, "TCP", controller.Tcp().ErrorText());
      if (failed & 2) SayStartFailure(port, "UDP", controller.Udp().ErrorText());
      controller.OnStopListen();
      return 1;
    }
    if (host.Ended() >= endedLimit) return 1;
  }
}

}  // namespace quarvent::console
