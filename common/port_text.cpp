#include "common/port_text.h"

#include <cstdint>

namespace quarvent {
namespace {

bool IsSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the code point that starts at text[0]; its length in *size, 0 when
// the bytes are no well-formed sequence (which is then no white space).
char32_t Decode(std::string_view text, size_t* size) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  *size = 0;
  if (text.empty()) return 0;
  const unsigned char lead = byte(0);
  size_t n = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
  if (n == 0 || text.size() < n) return 0;
  char32_t c = n == 1 ? lead : n == 2 ? (lead & 0x1F) : (lead & 0x0F);
  for (size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = c << 6 | (byte(i) & 0x3F);
  }
  *size = n;
  return c;
}

// The separators are all below U+10000: one to three bytes.
bool TrimFront(std::string_view* text) {
  size_t size = 0;
  const char32_t c = Decode(*text, &size);
  if (size == 0 || !IsSpace(c)) return false;
  text->remove_prefix(size);
  return true;
}

bool TrimBack(std::string_view* text) {
  for (size_t size = 1; size <= 3 && size <= text->size(); ++size) {
    size_t decoded = 0;
    const char32_t c = Decode(text->substr(text->size() - size), &decoded);
    if (decoded == size) {
      if (!IsSpace(c)) return false;
      text->remove_suffix(size);
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParsePortText(std::string_view text, int* port) {
  while (TrimFront(&text)) {
  }
  while (TrimBack(&text)) {
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) return false;  // leading zeros never get here
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  *port = static_cast<int>(value);
  return true;
}

}  // namespace quarvent
