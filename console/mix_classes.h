// The traffic mix of a measurement with many sessions: classes of sessions
// that run at the same time, each a pattern over one protocol, written
// "[tcp:|udp:]PATTERN[xCOUNT]" and joined by commas ("0x2,3x10,udp:5x4").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/protocol.h"

namespace quarvent::console {

inline constexpr int kMaxSessions = 1024;

struct MixClass {
  Protocol protocol = kTcp;
  int pattern = 0;
  int count = 1;
};

// Reads text into *classes, in the order written; a class without a protocol
// takes `protocol`. The counts add up to at most kMaxSessions. Returns "" or
// the problem in a few words (the caller prefixes the option's name).
std::string ParseMix(std::string_view text, Protocol protocol, std::vector<MixClass>* classes);

// The canonical text of classes: "tcp:0x2,tcp:3x10,udp:5x4".
std::string MixText(const std::vector<MixClass>& classes);

// The sessions of all classes.
int SessionCount(const std::vector<MixClass>& classes);

}  // namespace quarvent::console
