// The UDP stream service: one datagram socket on the owner's port, one client
// session at a time. Every request datagram is answered by one chunk to its
// sender; after each session a fresh socket is bound to the same port.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <deque>
#include <vector>

#include "common/socket.h"
#include "common/stop_signal.h"
#include "server/server_host.h"
#include "server/stream_service.h"

namespace quarvent {

class UdpServiceThread : public StreamService {
 public:
  explicit UdpServiceThread(ServerHost& host);
  UdpServiceThread(const UdpServiceThread&) = delete;
  UdpServiceThread& operator=(const UdpServiceThread&) = delete;

  // One run of the service on the calling thread; see TcpServiceThread::Run.
  int Run(StopSignal& stop);

  // How one session or the run ended.
  enum class Outcome { kNextSession, kServiceEnds, kStopped };

  // One session on a bound datagram socket, on the calling thread exactly as
  // the run serves it: the generator seeded, the transfer buffer refilled and
  // the progress reset, then the negotiation and, when accepted, the lock-step
  // stream until the session ends. The caller keeps the socket. Run() calls it
  // on every fresh socket; a fuzz target calls it on a socket of its own.
  Outcome ServeSession(int sock, StopSignal& stop);

  // The session of one source on a socket of its own (connected to peer by
  // the concurrent server), on the calling thread: `first` holds the
  // datagrams that the server already took from peer, read first in order.
  // Served as a run serves a session, with its limits and its line to the
  // host; the socket is closed at the end. A session cut by `stop` goes to
  // the host's OnSessionStopped.
  Outcome ServeSource(Socket sock, std::deque<std::vector<char>> first,
                      const sockaddr_storage& peer, StopSignal& stop);

  // ErrorText(), SetSeed() and SetOps(): see StreamService.

 private:
  Outcome Session(int sock, StopSignal& stop);
  // One datagram to m_peer, from m_local when that is known.
  ssize_t Answer(int sock, const void* buf, size_t len);
  void AnswerText(int sock, const char* text);

  // The address the session's client sent its line to (family 0: not known,
  // the system picks), learnt on a socket bound to every address.
  sockaddr_storage m_local = {};
  bool m_bLearnLocal = false;  // Run() serves on such a socket
  Outcome Stream(int sock, int pattern, StopSignal& stop);
};

}  // namespace quarvent
