// A measuring client in miniature for the dialog tests: negotiates with the
// services over 127.0.0.1 and exchanges a request and a chunk. Every receive
// is bounded by a timeout, so a test fails instead of hanging.
#pragma once

#include <string>

#include "common/socket.h"
#include "tests/support/loopback.h"

namespace quarvent::test {

class TcpTestClient {
 public:
  // Connects to 127.0.0.1:port, retrying while the connection is refused.
  bool Connect(int port);
  // Sends the negotiation line (or `line` as it is) and returns the reply.
  std::string Negotiate(int pattern);
  std::string SendLine(const char* line);
  // Connect, then the pattern's negotiation answered with the identifier.
  bool ConnectAndNegotiate(int port, int pattern = 7);
  // One 8,192-byte request and the chunk that answers it (pattern 7).
  bool Exchange();
  // The end marker.
  bool End();
  void Close() { m_sock.Reset(); }

 private:
  Socket m_sock;
};

// Sends the negotiation line for `pattern` from a new UDP socket and returns
// the reply ("" on failure). The line is sent again only while no socket is
// bound to the port.
std::string UdpNegotiate(int port, int pattern);

}  // namespace quarvent::test
