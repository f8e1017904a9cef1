// quarvent measure --sessions / --mix / --load: the options' rules and the
// run of many sessions with Ctrl+C (SIGTERM, SIGHUP) as 測定中断 of them all.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "console/commands.h"
#include "console/multi_measure.h"

namespace quarvent::console {
namespace {

std::atomic<int> g_nMultiInterrupts{0};

extern "C" void OnMultiInterrupt(int) {
  g_nMultiInterrupts.fetch_add(1);
}

// The classes that args ask for, or the problem.
std::string ReadClasses(const MeasureArgs& args, const MeasureSettings& settings,
                        std::vector<MixClass>* classes) {
  classes->clear();
  if (!args.sessions.empty()) {
    int count = 0;
    if (!ParseInt(args.sessions, 1, kMaxSessions, &count))
      return "--sessions: '" + args.sessions + "' not in 1..1024";
    classes->push_back(MixClass{settings.protocol, settings.pattern, count});
    return "";
  }
  // A load's classes are TCP unless they say otherwise, whatever the probe's
  // protocol: a UDP probe beside TCP downloads is the usual question.
  const bool load = !args.load.empty();
  const std::string problem =
      ParseMix(load ? args.load : args.mix, load ? kTcp : settings.protocol, classes);
  if (!problem.empty()) return (load ? "--load: " : "--mix: ") + problem;
  if (load && SessionCount(*classes) + 1 > kMaxSessions)
    return "--load: more than 1023 sessions beside the probe";
  return "";
}

bool AnyUdp(const std::vector<MixClass>& classes) {
  for (const MixClass& c : classes)
    if (c.protocol == kUdp) return true;
  return false;
}

// The load's phases from the options (defaults 5 and 2 seconds), or the problem.
std::string ReadPhases(const MeasureArgs& args, const MeasureSettings& settings, int* idleMs,
                       int* settleMs) {
  *idleMs = 5000;
  *settleMs = 2000;
  if (!args.idlePhase.empty() &&
      (!ParseSeconds(args.idlePhase, idleMs) || *idleMs < 100 || *idleMs > 3600 * 1000))
    return "--idle-phase: '" + args.idlePhase + "' not in 0.1..3600 seconds";
  if (!args.loadSettle.empty() &&
      (!ParseSeconds(args.loadSettle, settleMs) || *settleMs > 3600 * 1000))
    return "--load-settle: '" + args.loadSettle + "' not in 0..3600 seconds";
  const ClientTiming product;
  const int64_t durationMs = product.durationMs[static_cast<int>(settings.duration)];
  if (durationMs >= 0 && *idleMs + *settleMs >= durationMs)
    return "--idle-phase plus --load-settle leave no loaded phase in the duration";
  return "";
}

}  // namespace

bool MultiRequested(const MeasureArgs& args) {
  return !args.sessions.empty() || !args.mix.empty() || !args.load.empty();
}

std::string CheckMultiOptions(const MeasureArgs& args, const MeasureSettings& settings) {
  const int forms = !args.sessions.empty() + !args.mix.empty() + !args.load.empty();
  if (forms > 1) return "--sessions, --mix and --load exclude each other";
  if (forms == 0) {
    if (args.perSession) return "--per-session needs --sessions, --mix or --load";
    if (!args.idlePhase.empty() || !args.loadSettle.empty())
      return "--idle-phase and --load-settle need --load";
    return "";
  }
  if (settings.duration == Duration::kSweep)
    return "many sessions cannot run an automatic sweep (choose --duration 15, 30 or continuous)";
  std::vector<MixClass> classes;
  std::string problem = ReadClasses(args, settings, &classes);
  if (!problem.empty()) return problem;
  if (args.load.empty() && (!args.idlePhase.empty() || !args.loadSettle.empty()))
    return "--idle-phase and --load-settle need --load";
  if (!args.load.empty()) {
    int idleMs = 0, settleMs = 0;
    problem = ReadPhases(args, settings, &idleMs, &settleMs);
    if (!problem.empty()) return problem;
  }
  const bool udp = AnyUdp(classes) || (!args.load.empty() && settings.protocol == kUdp);
  if (!args.udpTimeout.empty() && !udp)
    return "--udp-timeout is for UDP only (no UDP session in this measurement)";
  return "";
}

int RunMultiMeasure(const MeasureArgs& args, const MeasureSettings& settings,
                    const ClientTiming& timing, const MeasureStart& start) {
  MultiPlan plan;
  ReadClasses(args, settings, &plan.classes);  // checked by CheckMultiOptions
  plan.settings = settings;
  plan.timing = timing;
  plan.start = start;
  plan.form = args.json         ? OutputForm::kJson
              : args.jsonStream ? OutputForm::kJsonStream
                                : OutputForm::kText;
  plan.intervalLines = args.intervalGiven;
  plan.perSession = args.perSession;
  plan.load = !args.load.empty();
  if (plan.load) ReadPhases(args, settings, &plan.idleMs, &plan.settleMs);

  struct sigaction action {};
  action.sa_handler = OnMultiInterrupt;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
  MultiMeasure measure(plan, [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  });
  return measure.Run([] { return g_nMultiInterrupts.exchange(0); });
}

}  // namespace quarvent::console
