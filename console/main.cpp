// quarvent: the console front end for machines without a display, scripts and tests.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/version.h"
#include "console/commands.h"

namespace quarvent::console {

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: quarvent serve   [-4|-6] [--port N] [--bind ADDRESS] [--keep-serving]\n"
      "                        [--idle-timeout SECS] [--max-duration SECS]\n"
      "                        [--max-clients N] [--max-per-source M]\n"
      "                        [--strict-requests]\n"
      "       quarvent measure [--address HOST] [-4|-6] [--port N] [--pattern 0-10]\n"
      "                        [--duration auto|15|30|continuous] [--protocol tcp|udp] [-u]\n"
      "                        [--interval SECS] [--json | --json-stream]\n"
      "       quarvent --version\n"
      "Run 'quarvent serve --help' or 'quarvent measure --help' for details.\n",
      out);
}

int UsageError(std::string_view command, std::string_view problem) {
  std::fprintf(stderr, "%.*s: %.*s; run '%.*s --help'\n", static_cast<int>(command.size()),
               command.data(), static_cast<int>(problem.size()), problem.data(),
               static_cast<int>(command.size()), command.data());
  return 2;
}

namespace {

void PrintVersion() {
  std::printf("quarvent %s\n", kVersion);
}

// CLI11's wording of a parse failure, made to read like the rest.
std::string Problem(const CLI::ParseError& error) {
  std::string text = error.what();
  for (const char* missing : {" 1 required TEXT missing", " 1 required STRING missing"}) {
    const size_t at = text.find(missing);
    if (at != std::string::npos) text.replace(at, std::strlen(missing), " needs a value");
  }
  const size_t excludes = text.find(" excludes ");
  if (excludes != std::string::npos)
    text = text.substr(0, excludes) + " and " + text.substr(excludes + 10) + " exclude each other";
  return text;
}

// What the parse left over: an option nobody declared, or a stray word.
std::string Leftover(const std::string& item) {
  return (item.starts_with('-') ? "unknown option '" : "unexpected argument '") + item + "'";
}

}  // namespace
}  // namespace quarvent::console

int main(int argc, char** argv) {
  using namespace quarvent::console;
  // A peer that closes must be an error result of send, never a killed process.
  std::signal(SIGPIPE, SIG_IGN);

  // The help texts are written by hand (PrintUsage, PrintServeHelp,
  // PrintMeasureHelp): CLI11's own help and error output stay off, and what
  // the parse leaves over is reported here, naming the subcommand.
  CLI::App app{"", "quarvent"};
  app.set_help_flag();
  app.allow_extras();
  app.require_subcommand(0, 1);
  bool help = false, version = false;
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  ServeArgs serveArgs;
  MeasureArgs measureArgs;
  CLI::App* serve = app.add_subcommand("serve");
  CLI::App* measure = app.add_subcommand("measure");
  for (CLI::App* sub : {serve, measure}) {
    sub->set_help_flag();
    sub->allow_extras();
    // A repeated option counts with its last value.
    sub->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  DeclareServe(*serve, serveArgs);
  DeclareMeasure(*measure, measureArgs);

  // The command named on the line, for the messages.
  std::string command = "quarvent";
  if (argc >= 2 && (std::strcmp(argv[1], "serve") == 0 || std::strcmp(argv[1], "measure") == 0))
    command += std::string(" ") + argv[1];
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return UsageError(command, Problem(error));
  }

  if (!app.remaining().empty()) {
    const std::string first = app.remaining()[0];
    return UsageError(command,
                      first.starts_with('-') ? Leftover(first) : "unknown command '" + first + "'");
  }
  if (help) {
    PrintUsage(stdout);
    return 0;
  }
  if (version) {
    PrintVersion();
    return 0;
  }
  if (serve->parsed()) {
    if (serveArgs.help) {
      PrintServeHelp(stdout);
      return 0;
    }
    if (serveArgs.version) {
      PrintVersion();
      return 0;
    }
    if (!serve->remaining().empty()) return UsageError(command, Leftover(serve->remaining()[0]));
    return RunServe(serveArgs);
  }
  if (measure->parsed()) {
    if (measureArgs.help) {
      PrintMeasureHelp(stdout);
      return 0;
    }
    if (measureArgs.version) {
      PrintVersion();
      return 0;
    }
    if (!measure->remaining().empty())
      return UsageError(command, Leftover(measure->remaining()[0]));
    return RunMeasure(measureArgs);
  }
  PrintUsage(stderr);
  return 2;
}
