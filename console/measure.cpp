#include <cstdio>

#include "console/commands.h"

namespace quarvent::console {

int RunMeasure(int, char**) {
  std::fputs("quarvent measure: not built yet\n", stderr);
  return 1;
}

}  // namespace quarvent::console
