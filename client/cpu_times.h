// The operating-system family and the process's CPU times, for the report's
// "KernelTime / UserTime" line.
#pragma once

#include <cstdint>

namespace quarvent {

// 3 where the process CPU times can be read (getrusage works), -1 when the
// query failed. Asked once per process; the answer is cached.
int32_t GetOsFamily();

// Kernel and user time of the whole process, all threads, in 100 ns counts.
struct CpuTimes {
  int64_t kernel;
  int64_t user;
};
bool ReadProcessCpuTimes(CpuTimes* times);

}  // namespace quarvent
