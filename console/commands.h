// The console front end's subcommands. Each returns the process exit code.
#pragma once

namespace quarvent::console {

int RunServe(int argc, char** argv);
int RunMeasure(int argc, char** argv);

// Prints the top-level usage to stderr.
void PrintUsage();

}  // namespace quarvent::console
