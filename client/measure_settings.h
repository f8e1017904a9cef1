// What one 測定開始 measures, as the owner hands it to the controller.
#pragma once

#include <cstdint>
#include <vector>

#include "common/endpoint.h"
#include "common/protocol.h"

namespace quarvent {

// How long a run's data phase lasts; the values index ClientTiming::durationMs.
enum class Duration { kSweep = 0, k15s = 1, k30s = 2, kContinuous = 3 };

struct MeasureSettings {
  int pattern = 0;  // TrafficPattern 0..10; a sweep goes on from here to 10
  Protocol protocol = kTcp;
  Duration duration = Duration::kSweep;
  // The server's addresses with its port: over TCP tried in order until one
  // connects, over UDP the first.
  std::vector<Endpoint> servers{Endpoint::Ipv4(0x7F000001, kDefaultPort)};
  int intervalMs = 1000;  // interval length, kMinIntervalMs..kMaxIntervalMs (clamped)
  int udpTimeoutMs = 0;   // UDP: a chunk not in this long after its request is lost; 0 waits
};

// An IPv4 server (address with its first field in the high byte) at port,
// of which the low 16 bits are used, as the dialog's field is read.
inline std::vector<Endpoint> Ipv4Server(uint32_t address, int port) {
  return {Endpoint::Ipv4(address, static_cast<uint16_t>(port & 0xFFFF))};
}

}  // namespace quarvent
