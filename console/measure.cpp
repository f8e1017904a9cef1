// quarvent measure: one measurement (or an automatic sweep) against a pseudo
// server, with the report on stdout as text, as one JSON document or as JSON
// event lines.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/client_controller.h"
#include "client/json_report.h"
#include "client/measure_log.h"
#include "common/endpoint.h"
#include "common/port_text.h"
#include "common/version.h"
#include "console/commands.h"
#include "console/measure_host.h"
#include "console/measure_loop.h"

namespace quarvent::console {

void PrintMeasureHelp(std::FILE* out) {
  std::fputs(
      "usage: quarvent measure [--address HOST] [-4|-6] [--port N] [--pattern 0-10]\n"
      "                        [--duration auto|15|30|continuous] [--protocol tcp|udp] [-u]\n"
      "                        [--interval SECS] [--json | --json-stream]\n"
      "                        [--udp-timeout MS] [--connect-timeout SECS]\n"
      "                        [--sessions N | --mix CLASSES | --load CLASSES\n"
      "                        [--idle-phase SECS] [--load-settle SECS]] [--per-session]\n"
      "\n"
      "Measures the throughput that a pseudo server (quarvent serve or the server\n"
      "program) gives to one traffic pattern, and prints the report on stdout.\n"
      "\n"
      "  -a, --address HOST    the server: an IPv4 address A.B.C.D, an IPv6 address\n"
      "                        with or without brackets (2001:2::1, [::1]), with\n"
      "                        %INTERFACE for a link-local one (fe80::1%eth0), or a\n"
      "                        host name, resolved to both families (default\n"
      "                        127.0.0.1). A name's addresses are tried in the\n"
      "                        resolver's order until one connects (TCP); UDP uses\n"
      "                        the first. The report's header line shows the\n"
      "                        address used: A.B.C.D, or RFC 5952 text for IPv6\n"
      "  -4, -6                IPv4 only, or IPv6 only, for a name and a literal\n"
      "  -p, --port N          port of the server; the low 16 bits of N are used\n"
      "                        (default 49152)\n"
      "      --pattern P       traffic pattern 0 to 10 (default 0):\n"
      "                          0-2  downloads of 4096, 2048, 1024-byte chunks\n"
      "                          3-4  browsing (random chunks, small requests)\n"
      "                          5    chat, 6 random mix\n"
      "                          7-10 limit tests: 8, 16, 32, 64 KB both ways\n"
      "  -t, --duration D      auto: 10 s per pattern from P through 10 (automatic\n"
      "                        sweep), 15 or 30 seconds, or continuous until Ctrl+C\n"
      "                        (default auto)\n"
      "      --protocol tcp|udp  transport (default tcp)\n"
      "  -u                    UDP, the same as --protocol udp\n"
      "  -i, --interval SECS   length of the intervals a run is cut into, 0.1 to 60\n"
      "                        seconds (default 1); in the text form each interval\n"
      "                        then gets a line as it ends (below)\n"
      "      --json            no text: one JSON document on stdout at the end\n"
      "      --json-stream     no text: one JSON event per line on stdout as the\n"
      "                        measurement goes (start, each interval, each run's end)\n"
      "      --udp-timeout MS  UDP only, 1 to 10000: a chunk not in MS milliseconds\n"
      "                        after its request counts as lost and the run goes on\n"
      "                        (without it, a lost datagram stalls the run until the\n"
      "                        watchdog ends it); the report gains the line\n"
      "                        受信：損失/要求 : LOST / REQUESTS (PERCENT %), and a run\n"
      "                        in which no request is answered for 4 seconds (or\n"
      "                        twice MS, when longer) ends with its report after the\n"
      "                        line 無応答により中断.; the watchdog then waits at\n"
      "                        least twice MS too;\n"
      "                        choose MS above the path's round trip (the p99.9 of a\n"
      "                        run without loss), or late chunks count as lost.\n"
      "                        Each request of 8 bytes or more then carries a tag\n"
      "                        (bytes 4-7, which the server sends back) that pairs\n"
      "                        its chunk with it, so a chunk that comes after its\n"
      "                        request was counted lost is counted late, not taken\n"
      "                        for the next one's; the 4-byte requests of patterns\n"
      "                        0-2 (and the small ones of 5) have no room for a tag\n"
      "                        and are paired by order\n"
      "      --connect-timeout SECS  the longest wait for the server's answer to the\n"
      "                        negotiation (default 10); a peer that does not answer\n"
      "                        in time (not a pseudo server, or its datagram lost)\n"
      "                        ends the run as a negotiation failure (exit 1)\n"
      "      --sessions N      N sessions (1 to 1024) of the pattern and protocol at\n"
      "                        once, each its own connection and negotiation,\n"
      "                        started a few milliseconds apart\n"
      "      --mix CLASSES     sessions of several kinds at once: classes\n"
      "                        [tcp:|udp:]PATTERN[xCOUNT] joined by commas, e.g.\n"
      "                        0x2,3x10,udp:5x4 (two downloads, ten browsers, four\n"
      "                        chats over UDP); the protocol defaults to --protocol's\n"
      "      --load CLASSES    latency under load: the pattern and protocol run as\n"
      "                        one probe session, alone for --idle-phase SECS\n"
      "                        (default 5), then beside those classes (as for\n"
      "                        --mix, but TCP unless a class says udp:) to the end;\n"
      "                        the loaded statistics begin --load-settle SECS\n"
      "                        (default 2) after the load began. The report gives\n"
      "                        the probe's round trips idle and loaded (p50, p90,\n"
      "                        p99), its RPM (60,000 / the mean round trip in ms of\n"
      "                        the fastest 95 %), its losses with --udp-timeout and\n"
      "                        the load's throughput\n"
      "      --per-session     the text adds each session's own report\n"
      "                        With many sessions the duration is 15, 30 or\n"
      "                        continuous; the text gives a header line naming the\n"
      "                        mix, one report block per class (its sessions added\n"
      "                        up) and one for all, failed sessions by number, and\n"
      "                        one CPU time line; -i writes a line per class and\n"
      "                        interval; both JSON forms carry every session, class\n"
      "                        and the whole (docs/json.md). Exit status 1 when any\n"
      "                        session failed (refused, negotiation, watchdog)\n"
      "  -h, --help            this text\n"
      "      --version         the program's version\n"
      "\n"
      "With --interval, an interval line comes between a run's header line and its\n"
      "report lines as each interval ends:\n"
      "  [1.000-2.001 s] 受信 12.34 [MB/s] 送信 1.23 [MB/s] RTT p50 0.123 ms p99 0.456 ms\n"
      "seconds from the start of the data phase, the interval's receive and send\n"
      "throughput in the report's units, and the median and 99th percentile of the\n"
      "round trips completed in it (only when there were any). docs/json.md describes\n"
      "both JSON forms.\n"
      "\n"
      "Ctrl+C (or SIGTERM, SIGHUP) aborts the run; it is stopped outright 2 seconds\n"
      "later if it does not end, or at once on a second Ctrl+C. The live elapsed\n"
      "time is shown on stderr when stderr is a terminal.\n"
      "Exit status: 0 when every run ended with a full report; 1 after a connection,\n"
      "negotiation or transfer failure, a watchdog timeout or a server that stopped\n"
      "answering (--udp-timeout), or when HOST does not resolve; 2 on bad usage (one\n"
      "line on stderr naming the problem).\n",
      out);
}

void DeclareMeasure(CLI::App& measure, MeasureArgs& args) {
  measure.add_flag("-h,--help", args.help);
  measure.add_flag("--version", args.version);
  measure.add_option("-a,--address", args.address);
  measure.add_option("-p,--port", args.port);
  measure.add_option("--pattern", args.pattern);
  measure.add_option("-t,--duration", args.duration);
  measure.add_option_function<std::string>("--protocol", [&args](const std::string& protocol) {
    args.protocol = protocol;
    args.protocolGiven = true;
  });
  measure.add_flag("-u", args.udp);
  measure.add_flag("-4", args.ipv4Only);
  measure.add_flag("-6", args.ipv6Only);
  measure.add_option_function<std::string>("-i,--interval", [&args](const std::string& interval) {
    args.interval = interval;
    args.intervalGiven = true;
  });
  measure.add_option("--udp-timeout", args.udpTimeout);
  measure.add_option("--connect-timeout", args.connectTimeout);
  measure.add_option("--sessions", args.sessions);
  measure.add_option("--mix", args.mix);
  measure.add_option("--load", args.load);
  measure.add_option("--idle-phase", args.idlePhase);
  measure.add_option("--load-settle", args.loadSettle);
  measure.add_flag("--per-session", args.perSession);
  CLI::Option* json = measure.add_flag("--json", args.json);
  CLI::Option* stream = measure.add_flag("--json-stream", args.jsonStream);
  json->excludes(stream);
}

// A decimal integer from min to max, as strtoll reads one.
bool ParseInt(const std::string& text, long long min, long long max, int* out) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < min || value > max) return false;
  *out = static_cast<int>(value);
  return true;
}

// Decimal seconds ("2", "0.5", ".25") as whole milliseconds, rounded half
// up at the fourth decimal; exact, and the same in every locale.
bool ParseSeconds(const std::string& text, int* ms) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if ((whole.empty() && fraction.empty()) || whole.size() > 6) return false;
  if (dot != std::string::npos && fraction.empty()) return false;
  for (const std::string& part : {whole, fraction})
    for (char c : part)
      if (c < '0' || c > '9') return false;
  int value = 0;
  for (char c : whole) value = value * 10 + (c - '0');
  for (size_t i = 0; i < 3; ++i) value = value * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  if (fraction.size() > 3 && fraction[3] >= '5') ++value;
  *ms = value;
  return true;
}

namespace {

constexpr char kCommand[] = "quarvent measure";

std::atomic<int> g_nInterrupts{0};

extern "C" void OnInterrupt(int) {
  g_nInterrupts.fetch_add(1);
}

// The settings from the options (the server's port into *port; its address
// is resolved later), or the usage problem.
std::string ReadOptions(const MeasureArgs& args, MeasureSettings& settings, int* port,
                        ClientTiming* timing) {
  if (args.address.empty()) return "--address: empty";
  if (args.ipv4Only && args.ipv6Only) return "-4 and -6 exclude each other";
  if (!ParsePortText(args.port, port)) return "--port: '" + args.port + "' is not a port number";
  if (!ParseInt(args.pattern, 0, kPatternCount - 1, &settings.pattern))
    return "--pattern: " + args.pattern + " not in 0..10";
  static const char* const kDurations[] = {"auto", "15", "30", "continuous"};
  int duration = -1;
  for (int d = 0; d < 4; ++d)
    if (args.duration == kDurations[d]) duration = d;
  if (duration < 0) return "--duration: '" + args.duration + "' is not auto, 15, 30 or continuous";
  settings.duration = static_cast<Duration>(duration);
  if (args.protocol == "tcp")
    settings.protocol = kTcp;
  else if (args.protocol == "udp")
    settings.protocol = kUdp;
  else
    return "--protocol: '" + args.protocol + "' is not tcp or udp";
  if (args.udp) {
    if (args.protocolGiven && settings.protocol == kTcp) return "-u and --protocol tcp contradict";
    settings.protocol = kUdp;
  }
  if (args.intervalGiven) {
    int ms = 0;
    if (!ParseSeconds(args.interval, &ms))
      return "--interval: '" + args.interval + "' is not a decimal number of seconds";
    if (ms < kMinIntervalMs || ms > kMaxIntervalMs)
      return "--interval: " + args.interval + " not in 0.1..60 seconds";
    settings.intervalMs = ms;
  }
  if (!args.udpTimeout.empty()) {
    if (!ParseInt(args.udpTimeout, 1, 10000, &settings.udpTimeoutMs))
      return "--udp-timeout: " + args.udpTimeout + " not in 1..10000 milliseconds";
    // A mix or a load may have UDP sessions of its own (checked with them).
    if (settings.protocol != kUdp && args.mix.empty() && args.load.empty())
      return "--udp-timeout is for UDP only (add -u or --protocol udp)";
  }
  int negotiationMs = 0;
  if (!ParseSeconds(args.connectTimeout, &negotiationMs) || negotiationMs < 1 ||
      negotiationMs > 3600 * 1000)
    return "--connect-timeout: '" + args.connectTimeout + "' not in 0.001..3600 seconds";
  timing->negotiationLimitMs = negotiationMs;
  return "";
}

// Runs the measurement to its end on this thread; Ctrl+C is 測定中断.
// Returns whether the report ends inside a line.
bool Measure(MeasureHost& host, const MeasureSettings& settings, const ClientTiming& timing) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // A terminal closed or a service stopped ends the measurement as Ctrl+C
  // does, so that the report (and the JSON document) is still written.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);

  ClientController controller(host, timing);
  controller.Start(settings);
  // The loop wakes now and then to see Ctrl+C.
  while (MeasureTurn(host, controller, [] { return g_nInterrupts.exchange(0); })) {
  }
  controller.Shutdown();
  const std::string& report = controller.ReportText();
  return !report.empty() && report.back() != '\n';
}

void WriteStdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunMeasure(const MeasureArgs& args) {
  MeasureOutput output;
  if (args.json) output.form = OutputForm::kJson;
  if (args.jsonStream) output.form = OutputForm::kJsonStream;
  output.intervalLines = args.intervalGiven;
  MeasureHost host(output);
  MeasureSettings settings;
  int port = 0;
  ClientTiming timing;
  std::string problem = ReadOptions(args, settings, &port, &timing);
  if (problem.empty()) problem = CheckMultiOptions(args, settings);
  if (!problem.empty()) return UsageError(kCommand, problem);

  MeasureStart start;
  start.timestamp = IsoTimestampUtc(std::chrono::system_clock::now());
  start.host = args.address;
  start.port = port & 0xFFFF;
  start.protocol = settings.protocol;
  start.duration = static_cast<int>(settings.duration);
  start.intervalMs = settings.intervalMs;

  if (const Endpoint literal = Endpoint::ParseLiteral(args.address); literal.Valid()) {
    if (args.ipv4Only && !literal.IsIpv4())
      return UsageError(kCommand, "--address: '" + args.address + "' is not IPv4 (-4)");
    if (args.ipv6Only && !literal.IsIpv6())
      return UsageError(kCommand, "--address: '" + args.address + "' is not IPv6 (-6)");
  }
  const FamilyFilter filter = args.ipv4Only   ? FamilyFilter::kIpv4
                              : args.ipv6Only ? FamilyFilter::kIpv6
                                              : FamilyFilter::kAny;
  const std::string unresolved =
      ResolveHost(args.address, filter, static_cast<uint16_t>(start.port), &settings.servers);
  if (!unresolved.empty()) {
    const std::string message = "cannot resolve " + args.address + ": " + unresolved;
    std::fprintf(stderr, "%s: %s\n", kCommand, message.c_str());
    if (output.form == OutputForm::kJson) {
      MeasureLog log;
      log.Begin(start);
      log.SetError(message);
      WriteStdout(log.JsonDocument());
    } else if (output.form == OutputForm::kJsonStream) {
      WriteStdout(JsonReport::StartEvent(start) + '\n' + JsonReport::ErrorEvent(message) + '\n');
    }
    return 1;
  }
  // Over TCP a later address may be the one that connects: the report's
  // header line names the one used.
  start.address = settings.servers.front();
  // Many sessions take their own road; one session stays exactly as it was.
  if (MultiRequested(args)) return RunMultiMeasure(args, settings, timing, start);

  if (output.form == OutputForm::kJsonStream) WriteStdout(JsonReport::StartEvent(start) + '\n');
  host.Log().Begin(start);
  const bool openLine = Measure(host, settings, timing);
  if (output.form == OutputForm::kJson) {
    WriteStdout(host.Log().JsonDocument());
  } else if (output.form == OutputForm::kText && ::isatty(STDOUT_FILENO) == 1 && openLine) {
    // A report that ends inside a line (a negotiation mismatch) gets a line
    // end on a terminal only, so that redirected output stays the report itself.
    std::fputc('\n', stdout);
  }
  return host.AllFull() ? 0 : 1;
}

}  // namespace quarvent::console
