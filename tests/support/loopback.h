// Loopback addresses, socket timeouts and free ports for the tests: every
// test talks to 127.0.0.1 only, and every receive of a test socket is bounded.
#pragma once

#include <netinet/in.h>

namespace quarvent::test {

// 127.0.0.1:port.
sockaddr_in Loopback(int port);
// Send and receive timeouts of ms milliseconds on fd.
void SetTimeouts(int fd, int ms);
// A port on which neither a TCP nor a UDP socket is bound right now; 0 when
// none was found.
int FindFreePort();

}  // namespace quarvent::test
