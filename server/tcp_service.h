// The TCP stream service: listens on the owner's port, serves one client at a
// time (negotiation, then chunks in the client's traffic pattern) and goes back
// to listening when a client's connection ends.
#pragma once

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

class TcpServiceThread {
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

  // The persistent error text (UTF-8). Read it only while no run is going on.
  const std::string& ErrorText() const noexcept { return m_strError; }

  // Tests: seed the chunk-size generator with this value instead of the time.
  void SetSeed(std::optional<uint32_t> seed) noexcept { m_seed = seed; }
  // Tests: the system-call table that the run installs on its thread.
  void SetOps(const sys::Ops* ops) noexcept { m_ops = ops; }

 private:
  Outcome ServeClient(int conn, StopSignal& stop);
  Outcome Stream(int conn, int pattern, StopSignal& stop);
  int ReadRequestBody(int conn, int32_t length);
  void FormatError(StopSignal& stop, const char* format, int err);

  ServerHost& m_host;
  TcpListenFields& m_fields;
  std::unique_ptr<char[]> m_transfer;  // 65,536 bytes, the transfer buffer
  char m_line[kLineBufferSize] = {};   // negotiation line, then the reply
  Rand15 m_rng;
  std::string m_strError;  // lives as long as the object; see ErrorText()
  std::optional<uint32_t> m_seed;
  const sys::Ops* m_ops = nullptr;
};

}  // namespace quarvent
