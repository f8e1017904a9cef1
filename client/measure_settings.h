// What one 測定開始 measures, as the owner hands it to the controller.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

#include "common/protocol.h"

namespace quarvent {

// How long a run's data phase lasts; the values index ClientTiming::durationMs.
enum class Duration { kSweep = 0, k15s = 1, k30s = 2, kContinuous = 3 };

struct MeasureSettings {
  int pattern = 0;  // TrafficPattern 0..10; a sweep goes on from here to 10
  Protocol protocol = kTcp;
  Duration duration = Duration::kSweep;
  sockaddr_in server{};   // the server's address and port (Ipv4Server)
  int intervalMs = 1000;  // interval length, kMinIntervalMs..kMaxIntervalMs (clamped)
  int udpTimeoutMs = 0;   // UDP: a chunk not in this long after its request is lost; 0 waits
};

// An IPv4 server address (first field in the high byte) and port (its low
// 16 bits are used, as the dialog's field is read).
inline sockaddr_in Ipv4Server(uint32_t address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  addr.sin_addr.s_addr = htonl(address);
  return addr;
}

}  // namespace quarvent
