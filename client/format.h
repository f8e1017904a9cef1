// The texts of the client's report values and of its elapsed-time display.
// Units are powers of 1024. Each writes a NUL-terminated text into buf (of
// size bufSize) and returns the characters written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarvent {

// "%d %02d:%02d:%02d", "%02d:%02d:%02d", "%02d:%02d" or "%02d": leading zero
// fields are dropped. No line break.
int FormatElapsed(char* buf, size_t bufSize, int days, int hours, int minutes, int seconds);

// "<prefix>スループット : %.2f [KB/s]\r\n", or [MB/s] above 1,048,576 bytes/s.
// seconds must be above 0.
int FormatThroughput(char* buf, size_t bufSize, const char* prefix, int64_t bytes, double seconds);

// "<prefix>サイズ : %.2f [KB]\r\n" up to 2^20 bytes (and for negative counts),
// then MB, GB, TB and PB above 2^20, 2^30, 2^40 and 2^50.
int FormatSize(char* buf, size_t bufSize, const char* prefix, int64_t bytes);

}  // namespace quarvent
