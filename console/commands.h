// The console front end's subcommands. main.cpp parses the whole command line
// with CLI11; each subcommand declares its options on its own CLI::App, reads
// their values once the parse has succeeded, and returns the exit code.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "client/json_report.h"
#include "client/measure_settings.h"
#include "client/timing.h"
#include "common/protocol.h"
#include "server/server_host.h"
#include "server/service_options.h"

namespace CLI {
class App;
}

namespace quarvent::console {

// The options of `quarvent serve`, as typed (checked by RunServe).
struct ServeArgs {
  std::string port = std::to_string(kDefaultPort);
  std::string bind;          // empty: every interface
  bool ipv4Only = false;     // -4
  bool ipv6Only = false;     // -6
  std::string idleTimeout;   // seconds; empty: none
  std::string maxDuration;   // seconds; empty: none
  std::string maxClients;    // 1 to 4096; empty: 1
  std::string maxPerSource;  // 1 to 4096; empty: as many as --max-clients
  bool keepServing = false;
  bool strictRequests = false;  // undersized UDP requests draw nothing
  bool help = false;
  bool version = false;
};
void DeclareServe(CLI::App& serve, ServeArgs& args);
int RunServe(const ServeArgs& args);
void PrintServeHelp(std::FILE* out);
// The line that serve prints on stderr when a client session is over.
std::string SessionLine(const SessionRecord& record);
// The options of serve into settings, or the usage problem; *where is what
// the readiness line names after " at " ("" for every address of both families).
std::string ReadServeOptions(const ServeArgs& args, int* port, ServiceOptions* options,
                             std::string* where);

// The options of `quarvent measure`, as typed (checked by RunMeasure).
struct MeasureArgs {
  std::string address = "127.0.0.1";
  std::string port = std::to_string(kDefaultPort);
  std::string pattern = "0";
  std::string duration = "auto";
  std::string protocol = "tcp";
  bool protocolGiven = false;  // --protocol was on the line (-u contradicts tcp then)
  std::string interval;
  bool intervalGiven = false;         // the text form writes interval lines
  std::string udpTimeout;             // --udp-timeout MS, "" when not given
  std::string connectTimeout = "10";  // --connect-timeout SECS: the negotiation's time limit
  bool udp = false;
  bool ipv4Only = false;  // -4
  bool ipv6Only = false;  // -6
  bool json = false;
  bool jsonStream = false;
  // Many sessions at once (console/measure_multi.cpp); "" when not given.
  std::string sessions;    // --sessions N
  std::string mix;         // --mix CLASSES
  std::string load;        // --load CLASSES
  std::string idlePhase;   // --idle-phase SECS (default 5)
  std::string loadSettle;  // --load-settle SECS (default 2)
  bool perSession = false;
  bool help = false;
  bool version = false;
};
// A decimal integer from min to max, as strtoll reads one.
bool ParseInt(const std::string& text, long long min, long long max, int* out);
// Decimal seconds ("2", "0.5", ".25") as whole milliseconds.
bool ParseSeconds(const std::string& text, int* ms);
// Whether the options ask for many sessions at once.
bool MultiRequested(const MeasureArgs& args);
// Runs the sessions that args ask for with settings (resolved) as every
// session's base; start is the JSON's start object. Returns the exit code
// (2 with one line on stderr on bad usage).
int RunMultiMeasure(const MeasureArgs& args, const MeasureSettings& settings,
                    const ClientTiming& timing, const MeasureStart& start);
// The usage problem of the options for many sessions; "" none.
std::string CheckMultiOptions(const MeasureArgs& args, const MeasureSettings& settings);
void DeclareMeasure(CLI::App& measure, MeasureArgs& args);
int RunMeasure(const MeasureArgs& args);
void PrintMeasureHelp(std::FILE* out);

// The top-level usage.
void PrintUsage(std::FILE* out);

// A usage error: one line on stderr, "<command>: <problem>; run '<command>
// --help'". Returns 2, the exit code of bad usage.
int UsageError(std::string_view command, std::string_view problem);

}  // namespace quarvent::console
