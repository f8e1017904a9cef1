// Loopback addresses, socket timeouts and ports for the tests: every test
// talks to 127.0.0.1 only, and every receive of a test socket is bounded.
#pragma once

#include <netinet/in.h>

namespace quarvent::test {

// 127.0.0.1:port.
sockaddr_in Loopback(int port);
// Whether this machine has an IPv6 loopback: a socket can be bound to ::1.
// Tests over ::1 skip with one line where it has none.
bool HasIpv6Loopback();
// Send and receive timeouts of ms milliseconds on fd.
void SetTimeouts(int fd, int ms);

// A port that belongs to the calling test process until it exits; 0 when none
// could be had. Tests run in parallel, and a port that was merely free a
// moment ago can be taken before the server under test binds it, so:
// - the port lies outside the kernel's ephemeral range
//   (/proc/sys/net/ipv4/ip_local_port_range), from which every socket that
//   connects or binds port 0 draws its own port;
// - it is reserved by an exclusive lock on /tmp/quarvent-test-ports/N.lock,
//   held for the life of the process, which every test process honours;
// - neither a TCP nor a UDP socket was bound to it when it was handed out.
// Each call gives another port.
int ReservePort();

}  // namespace quarvent::test
