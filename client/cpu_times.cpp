#include "client/cpu_times.h"

#include <sys/resource.h>

#include <atomic>

namespace quarvent {
namespace {

std::atomic<int32_t> g_nOsFamily{0};  // 0 until the first query

int64_t HundredNs(const timeval& tv) {
  return static_cast<int64_t>(tv.tv_sec) * 10000000 + static_cast<int64_t>(tv.tv_usec) * 10;
}

}  // namespace

int32_t GetOsFamily() {
  int32_t family = g_nOsFamily.load(std::memory_order_relaxed);
  if (family != 0) return family;
  rusage usage;
  family = ::getrusage(RUSAGE_SELF, &usage) == 0 ? 3 : -1;
  g_nOsFamily.store(family, std::memory_order_relaxed);
  return family;
}

bool ReadProcessCpuTimes(CpuTimes* times) {
  rusage usage;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return false;
  times->kernel = HundredNs(usage.ru_stime);
  times->user = HundredNs(usage.ru_utime);
  return true;
}

}  // namespace quarvent
