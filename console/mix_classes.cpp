#include "console/mix_classes.h"

#include <charconv>

namespace quarvent::console {
namespace {

// A whole decimal number that fills text, from lo to hi.
bool ReadNumber(std::string_view text, int lo, int hi, int* value) {
  if (text.empty() || text.size() > 4) return false;
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
  *value = v;
  return true;
}

std::string ReadClass(std::string_view item, Protocol protocol, MixClass* out) {
  const std::string quoted = "'" + std::string(item) + "'";
  out->protocol = protocol;
  if (item.starts_with("tcp:")) {
    out->protocol = kTcp;
    item.remove_prefix(4);
  } else if (item.starts_with("udp:")) {
    out->protocol = kUdp;
    item.remove_prefix(4);
  }
  const size_t times = item.find('x');
  if (!ReadNumber(item.substr(0, times), 0, kPatternCount - 1, &out->pattern))
    return quoted + " has no pattern 0..10";
  out->count = 1;
  if (times != std::string_view::npos &&
      !ReadNumber(item.substr(times + 1), 1, kMaxSessions, &out->count))
    return quoted + " has no count 1..1024 after 'x'";
  return "";
}

}  // namespace

std::string ParseMix(std::string_view text, Protocol protocol, std::vector<MixClass>* classes) {
  classes->clear();
  int total = 0;
  for (;;) {
    const size_t comma = text.find(',');
    MixClass c;
    const std::string problem = ReadClass(text.substr(0, comma), protocol, &c);
    if (!problem.empty()) return problem;
    total += c.count;
    if (total > kMaxSessions) return "more than 1024 sessions in all";
    classes->push_back(c);
    if (comma == std::string_view::npos) return "";
    text.remove_prefix(comma + 1);
  }
}

std::string MixText(const std::vector<MixClass>& classes) {
  std::string text;
  for (const MixClass& c : classes) {
    if (!text.empty()) text += ',';
    text += c.protocol == kUdp ? "udp:" : "tcp:";
    text += std::to_string(c.pattern) + 'x' + std::to_string(c.count);
  }
  return text;
}

int SessionCount(const std::vector<MixClass>& classes) {
  int total = 0;
  for (const MixClass& c : classes) total += c.count;
  return total;
}

}  // namespace quarvent::console
