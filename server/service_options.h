// Settings of the stream services for a server that runs unattended. The
// defaults are the services' own behaviour: every address, no time limits,
// and a rejected or failed negotiation ends the service.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "common/endpoint.h"

namespace quarvent {

struct ServiceOptions {
  // A rejected or failed negotiation (or a failed accept) ends the session
  // only; the service takes the next client on the same port.
  bool keepServing = false;
  // A peer that sends nothing the service waits for (a whole TCP negotiation
  // line from acceptance, a request, the rest of a UDP line), or takes
  // nothing of a chunk being sent, for this long ends its session. 0: no limit.
  int64_t idleTimeoutMs = 0;
  // A session ends this long after it began. 0: no limit.
  int64_t maxDurationMs = 0;
  // The address both services bind (its port is not used): every IPv4
  // address unless the owner asks for another, of either family.
  Endpoint bindAddress = Endpoint::Any(AF_INET);
  // An IPv6 wildcard socket takes IPv4 clients too (as v4-mapped sources,
  // which are seen as the IPv4 addresses they are).
  bool dualStack = false;
  // Clients served at the same time, per protocol. 1 is the services' own
  // behaviour; above 1 the concurrent server takes the port.
  int maxClients = 1;
  // Sessions at the same time from one address, per protocol; 0: maxClients.
  int maxPerSource = 0;
  // A UDP request that announces less than the smallest request the
  // negotiated pattern's client sends is taken and left unanswered, so that
  // no small datagram draws a chunk many times its size (patterns 7 to 10
  // answer a request with a chunk of its own size). Off: every request is
  // answered, as the services do by default.
  bool strictRequests = false;
};

}  // namespace quarvent
