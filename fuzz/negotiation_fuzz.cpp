// ParseNegotiation on arbitrary 64-byte line buffers: it must return a valid
// code, never touch memory outside the buffer, and leave a NUL-terminated reply.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/protocol.h"
#include "common/transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly 64 bytes on the heap, so ASan sees any step past the end.
  char* buf = static_cast<char*>(std::malloc(quarvent::kLineBufferSize));
  std::memset(buf, 0, quarvent::kLineBufferSize);
  std::memcpy(buf, data, size < quarvent::kLineBufferSize ? size : quarvent::kLineBufferSize);
  const int code = quarvent::ParseNegotiation(buf);
  if (code < quarvent::kNegVersion || code >= quarvent::kPatternCount) std::abort();
  if (!std::memchr(buf, '\0', quarvent::kLineBufferSize)) std::abort();
  std::free(buf);
  return 0;
}
