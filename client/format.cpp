#include "client/format.h"

#include <cstdio>

namespace quarvent {
namespace {

int Written(int n, size_t bufSize) {
  if (n < 0) return 0;
  return static_cast<size_t>(n) < bufSize ? n : static_cast<int>(bufSize) - 1;
}

}  // namespace

int FormatElapsed(char* buf, size_t bufSize, int days, int hours, int minutes, int seconds) {
  int n;
  if (days > 0)
    n = std::snprintf(buf, bufSize, "%d %02d:%02d:%02d", days, hours, minutes, seconds);
  else if (hours > 0)
    n = std::snprintf(buf, bufSize, "%02d:%02d:%02d", hours, minutes, seconds);
  else if (minutes > 0)
    n = std::snprintf(buf, bufSize, "%02d:%02d", minutes, seconds);
  else
    n = std::snprintf(buf, bufSize, "%02d", seconds);
  return Written(n, bufSize);
}

int FormatThroughput(char* buf, size_t bufSize, const char* prefix, int64_t bytes, double seconds) {
  const double rate = static_cast<double>(bytes) / seconds;  // bytes per second
  int n;
  if (rate > 1048576.0)
    n = std::snprintf(buf, bufSize, "%sスループット : %.2f [MB/s]\r\n", prefix, rate / 1048576.0);
  else
    n = std::snprintf(buf, bufSize, "%sスループット : %.2f [KB/s]\r\n", prefix, rate / 1024.0);
  return Written(n, bufSize);
}

int FormatSize(char* buf, size_t bufSize, const char* prefix, int64_t bytes) {
  struct Unit {
    int64_t above;
    double scale;
    const char* name;
  };
  static constexpr Unit kUnits[] = {
      {int64_t{1} << 50, 1.0 / 1125899906842624.0, "PB"},
      {int64_t{1} << 40, 1.0 / 1099511627776.0, "TB"},
      {int64_t{1} << 30, 1.0 / 1073741824.0, "GB"},
      {int64_t{1} << 20, 1.0 / 1048576.0, "MB"},
  };
  const double count = static_cast<double>(bytes);
  for (const Unit& unit : kUnits) {
    if (bytes > unit.above)
      return Written(std::snprintf(buf, bufSize, "%sサイズ : %.2f [%s]\r\n", prefix,
                                   count * unit.scale, unit.name),
                     bufSize);
  }
  return Written(std::snprintf(buf, bufSize, "%sサイズ : %.2f [KB]\r\n", prefix, count / 1024.0),
                 bufSize);
}

}  // namespace quarvent
