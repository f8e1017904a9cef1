#include <cstdio>

#include "console/commands.h"

namespace quarvent::console {

int RunServe(int, char**) {
  std::fputs("quarvent serve: not built yet\n", stderr);
  return 1;
}

}  // namespace quarvent::console
