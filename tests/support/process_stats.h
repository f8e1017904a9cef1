// What the process holds right now, read from /proc: open descriptors,
// threads and resident memory. Used to show that long runs leak nothing.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace quarvent::test {

// Entries of a /proc directory, without "." and "..".
inline int CountEntries(const char* path) {
  DIR* dir = ::opendir(path);
  if (!dir) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
  ::closedir(dir);
  return n;
}

// Open descriptors (the one that reads the list is counted every time alike).
inline int OpenFds() {
  return CountEntries("/proc/self/fd");
}
inline int Threads() {
  return CountEntries("/proc/self/task");
}

// The thread count once it has come down to at most `limit`, or the count
// after `timeout` when it has not. The kernel wakes a joining thread before it
// has taken the joined one off the task list, so a count made right after a
// join may still include it (and a baseline may include one of the warm-up).
inline int ThreadsOnceAtMost(int limit,
                             std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int n = Threads();
  while (n > limit && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = Threads();
  }
  return n;
}

// VmRSS in KiB; -1 when it cannot be read.
inline long ResidentKiB() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmRSS:", 6) == 0) std::sscanf(line + 6, "%ld", &kib);
  std::fclose(f);
  return kib;
}

}  // namespace quarvent::test
