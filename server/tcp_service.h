// The TCP stream service: listens on the owner's port, serves one client at a
// time (negotiation, then chunks in the client's traffic pattern) and goes back
// to listening when a client's connection ends.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "common/socket.h"
#include "common/stop_signal.h"
#include "server/server_host.h"
#include "server/stream_service.h"

namespace quarvent {

class TcpServiceThread : public StreamService {
 public:
  TcpServiceThread(ServerHost& host, TcpListenFields& fields);
  TcpServiceThread(const TcpServiceThread&) = delete;
  TcpServiceThread& operator=(const TcpServiceThread&) = delete;

  // One run of the service on the calling thread. Returns 0 when the service
  // ended by itself (after its end steps) or when `stop` was stopped (without
  // them). Never two runs at once on one object.
  int Run(StopSignal& stop);

  // How one connection or the run ended.
  enum class Outcome { kNextClient, kServiceEnds, kStopped };

  // One accepted connection, served on the calling thread exactly as the run
  // serves it: the generator seeded and the transfer buffer refilled, then the
  // negotiation and, when accepted, the stream until the connection ends. The
  // caller keeps the socket and shuts it down and closes it afterwards. Run()
  // calls it for every client; a fuzz target calls it on one end of a socket
  // pair, without a listener.
  Outcome ServeConnection(int conn, StopSignal& stop);

  // One connection accepted by someone else (the concurrent server), served
  // on the calling thread as a run serves it, with the session's limits and
  // its line to the host; the socket is shut down and closed at the end. A
  // session cut by `stop` goes to the host's OnSessionStopped.
  Outcome ServeAccepted(Socket conn, const sockaddr_storage& peer, StopSignal& stop);

  // ErrorText(), SetSeed() and SetOps(): see StreamService.

 private:
  Outcome ServeClient(int conn, StopSignal& stop);
  Outcome Stream(int conn, int pattern, StopSignal& stop);
  int ReadRequestBody(int conn, int32_t length);

  TcpListenFields& m_fields;
  StreamRest m_rest;  // what the connection's receives took beyond their request
};

}  // namespace quarvent
