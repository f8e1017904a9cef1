#include "common/protocol.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/cp932.h"
#include "common/transfer.h"

namespace quarvent {
namespace {

constexpr SizeRule Fixed(int size) {
  return {size, 0};
}
constexpr SizeRule Drawn(int base, int modulus) {
  return {base, modulus};
}

// [pattern][protocol]
constexpr ServerPattern kServer[kPatternCount][2] = {
    {{Fixed(4096), 0, 100}, {Fixed(4096), 1, 100}},
    {{Fixed(2048), 0, 200}, {Fixed(2048), 1, 200}},
    {{Fixed(1024), 0, 300}, {Fixed(1024), 1, 300}},
    {{Drawn(1024, 2049), 8, 200}, {Drawn(1024, 2049), 1, 120}},
    {{Drawn(512, 1025), 4, 200}, {Drawn(512, 1025), 1, 120}},
    {{Drawn(4, 61), 1, 120}, {Drawn(4, 61), 1, 120}},
    {{Drawn(64, 4033), 1, 120}, {Drawn(64, 4033), 1, 120}},
    {{Fixed(8192), 1, 80}, {Fixed(8192), 1, 80}},
    {{Fixed(16384), 1, 50}, {Fixed(16384), 1, 50}},
    {{Fixed(32768), 1, 30}, {Fixed(32768), 1, 30}},
    {{Fixed(65536), 1, 10}, {Fixed(65504), 1, 10}},
};

// Chat (pattern 5) requests are drawn from the same 4 to 64 bytes as its
// chunks: a chat exchange is small messages both ways.
constexpr ClientPattern kClient[kPatternCount][2] = {
    {{0, Fixed(4)}, {1, Fixed(4)}},
    {{0, Fixed(4)}, {1, Fixed(4)}},
    {{0, Fixed(4)}, {1, Fixed(4)}},
    {{8, Drawn(256, 257)}, {1, Drawn(256, 257)}},
    {{4, Drawn(192, 129)}, {1, Drawn(192, 129)}},
    {{1, Drawn(4, 61)}, {1, Drawn(4, 61)}},
    {{1, Drawn(64, 4033)}, {1, Drawn(64, 4033)}},
    {{1, Fixed(8192)}, {1, Fixed(8192)}},
    {{1, Fixed(16384)}, {1, Fixed(16384)}},
    {{1, Fixed(32768)}, {1, Fixed(32768)}},
    {{1, Fixed(65536)}, {1, Fixed(65504)}},
};

int Clamp(int pattern) {
  return pattern < 0 ? 0 : pattern >= kPatternCount ? kPatternCount - 1 : pattern;
}

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads a decimal integer the way "%d" does: white space skipped, an optional
// sign, the digits; 0 when no number can be read. Values beyond int saturate.
int ScanInt(const char* p) {
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

struct ErrorTexts {
  std::string text[4];
  ErrorTexts() {
    text[0] = Utf8ToCp932("ﾈｺﾞｼｴｰｼｮﾝ ﾌｫｰﾏｯﾄｴﾗｰ");
    text[1] = Utf8ToCp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ");
    text[2] = Utf8ToCp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾞｰｼﾞｮﾝ 書式ｴﾗｰ.");
    text[3] = Utf8ToCp932("ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致.");
  }
};

int Reject(char* buf, int code) {
  const char* text = NegotiationErrorText(code);
  std::snprintf(buf, kLineBufferSize, "%s", text);
  return code;
}

}  // namespace

const ServerPattern& ServerPatternFor(int pattern, int protocol) {
  return kServer[Clamp(pattern)][protocol == kUdp ? 1 : 0];
}

const ClientPattern& ClientPatternFor(int pattern, int protocol) {
  return kClient[Clamp(pattern)][protocol == kUdp ? 1 : 0];
}

const char* NegotiationErrorText(int code) {
  static const ErrorTexts texts;
  if (code < kNegVersion || code > kNegFormat) code = kNegFormat;
  return texts.text[-code - 1].c_str();
}

int BuildNegotiation(char* buf, int pattern) {
  return std::snprintf(buf, kLineBufferSize, "%s %d:%d", kIdentifier, kProtocolVersion, pattern);
}

int ParseNegotiation(char* buf) {
  buf[kLineBufferSize - 1] = '\0';

  // 1. The first field: leading colons skipped, up to the next colon or the end.
  char* field = buf;
  while (*field == ':') ++field;
  if (*field == '\0') return Reject(buf, kNegFormat);
  char* colon = std::strchr(field, ':');

  // 2. The pattern field: everything after that colon. Without a colon, or
  // with nothing after it, no number can be read and the pattern is 0, as
  // for any other field that holds no number.
  int pattern = 0;
  if (colon) {
    *colon = '\0';
    pattern = ScanInt(colon + 1);
  }

  // 3. The pattern is checked before the version.
  if (pattern < 0 || pattern >= kPatternCount) return Reject(buf, kNegPattern);

  // 4. The first space from the buffer's start up to the first NUL.
  char* space = std::strchr(buf, ' ');
  if (!space) return Reject(buf, kNegNoSpace);

  // 5. The version after it.
  *space = '\0';
  if (ScanInt(space + 1) != kProtocolVersion) return Reject(buf, kNegVersion);

  // 6. The buffer now holds the text before the first space: the reply.
  return pattern;
}

void FillTransferBuffer(char* buf) {
  FillTransferBuffer(buf, kTransferBufferSize);
}

void FillTransferBuffer(char* buf, int bytes) {
  // One period of the pattern, then doubling copies: the services refill the
  // buffer for every client.
  const int period = bytes < 256 ? bytes : 256;
  for (int i = 0; i < period; ++i) buf[i] = static_cast<char>(i);
  for (int filled = period; filled < bytes;) {
    const int piece = filled < bytes - filled ? filled : bytes - filled;
    std::memcpy(buf + filled, buf, static_cast<size_t>(piece));
    filled += piece;
  }
}

}  // namespace quarvent
