// The UDP stream service: one datagram socket on the owner's port, one client
// session at a time. Every request datagram is answered by one chunk to its
// sender; after each session a fresh socket is bound to the same port.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/rng.h"
#include "common/stop_signal.h"
#include "common/sys_ops.h"
#include "common/transfer.h"
#include "server/server_host.h"

namespace quarvent {

class UdpServiceThread {
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

  // The persistent error text (UTF-8). Read it only while no run is going on.
  const std::string& ErrorText() const noexcept { return m_strError; }

  void SetSeed(std::optional<uint32_t> seed) noexcept { m_seed = seed; }
  void SetOps(const sys::Ops* ops) noexcept { m_ops = ops; }

 private:
  Outcome Session(int sock, StopSignal& stop);
  Outcome Stream(int sock, int pattern, StopSignal& stop);
  void FormatError(StopSignal& stop, const char* format, int err);

  ServerHost& m_host;
  std::unique_ptr<char[]> m_transfer;  // 65,536 bytes, the transfer buffer
  char m_line[kLineBufferSize] = {};   // negotiation line, then the reply
  sockaddr_in m_peer = {};             // sender of the last datagram taken
  Rand15 m_rng;
  std::string m_strError;
  std::optional<uint32_t> m_seed;
  const sys::Ops* m_ops = nullptr;
};

}  // namespace quarvent
