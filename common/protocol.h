// The measurement wire protocol: negotiation line and replies, length words,
// the end marker, the transfer buffer and the traffic pattern tables.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/rng.h"

namespace quarvent {

inline constexpr char kIdentifier[] = "QUARVENTOLIS-PIPEGAUGER";
inline constexpr int kProtocolVersion = 100;
inline constexpr int kPatternCount = 11;
inline constexpr int kTransferBufferSize = 65536;
inline constexpr int kMaxMessageSize = 65536;
inline constexpr int32_t kEndMarker = -1;
inline constexpr int kDefaultPort = 49152;

enum Protocol : int { kTcp = 0, kUdp = 1 };

// Negotiation results below 0 (ParseNegotiation).
enum NegotiationError : int {
  kNegFormat = -1,   // no field before a colon
  kNegPattern = -2,  // pattern outside 0 to 10
  kNegNoSpace = -3,  // no space in the first field
  kNegVersion = -4,  // version is not 100
};

// A size that is either fixed (modulus 0) or drawn as r mod modulus + base.
struct SizeRule {
  int base;
  int modulus;
  int Draw(Rand15& rng) const noexcept { return modulus ? rng.Next() % modulus + base : base; }
  bool Random() const noexcept { return modulus != 0; }
  int Min() const noexcept { return base; }
  int Max() const noexcept { return modulus ? base + modulus - 1 : base; }
};

// What the server does for one pattern on one protocol.
struct ServerPattern {
  SizeRule chunk;    // bytes per chunk, length word included
  int interval;      // d: a request before chunk k when d > 0 and k mod d == 0
  int progressStep;  // f: the progress bar moves once every f + 1 chunks
};

// What the client does for one pattern on one protocol.
struct ClientPattern {
  int interval;      // a request before chunk i when interval > 0 and i mod interval == 0
  SizeRule request;  // bytes per request, length word included (unused when interval is 0)
};

const ServerPattern& ServerPatternFor(int pattern, int protocol);
const ClientPattern& ClientPatternFor(int pattern, int protocol);

// Writes "QUARVENTOLIS-PIPEGAUGER 100:<pattern>" and its NUL into buf (at least
// kLineBufferSize bytes). Returns the characters written without the NUL.
int BuildNegotiation(char* buf, int pattern);

// Checks the NUL-terminated line in the 64-byte buffer and rewrites the buffer
// in place into the reply: the text before the first space when accepted, the
// error text in code page 932 otherwise. Returns the pattern (0 to 10) or a
// NegotiationError. The line ends at its first NUL or at byte 63, whichever
// comes first. Re-entrant.
int ParseNegotiation(char* buf);

// The reply texts for the four negotiation errors, in code page 932 (code -1 to -4).
const char* NegotiationErrorText(int code);

inline void PutLengthWord(char* p, int32_t value) noexcept {
  uint32_t v = static_cast<uint32_t>(value);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

inline int32_t GetLengthWord(const char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return static_cast<int32_t>(v);
}

// Sets byte i of the transfer buffer to i mod 256.
void FillTransferBuffer(char* buf);
// The same for the first `bytes` bytes only (0 to the buffer's size).
void FillTransferBuffer(char* buf, int bytes);

}  // namespace quarvent
