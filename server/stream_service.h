// What the TCP and the UDP stream service share: their owner, the transfer and
// line buffers, the chunk-size generator, the persistent error text and the
// test hooks, and the steps at the start and end of a run, at the start of
// every client, and after every chunk sent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/rng.h"
#include "common/stop_signal.h"
#include "common/sys_ops.h"
#include "common/transfer.h"
#include "server/notice_sink.h"
#include "server/server_host.h"
#include "server/service_options.h"
#include "server/session_meter.h"

namespace quarvent {

class StreamService {
 public:
  StreamService(const StreamService&) = delete;
  StreamService& operator=(const StreamService&) = delete;

  // The persistent error text (UTF-8). Read it only while no run is going on.
  const std::string& ErrorText() const noexcept { return m_strError; }

  // Tests: seed the chunk-size generator with this value instead of the time.
  void SetSeed(std::optional<uint32_t> seed) noexcept { m_seed = seed; }
  // Tests: the system-call table that the run installs on its thread.
  void SetOps(const sys::Ops* ops) noexcept { m_ops = ops; }
  // The settings for unattended use that the next run follows.
  void SetOptions(const ServiceOptions& options) { m_options = options; }
  const ServiceOptions& Options() const noexcept { return m_options; }

 protected:
  static constexpr char kListeningText[] = "待受中...";

  StreamService(ServerHost& host, ServiceKind kind);
  ~StreamService() = default;

  // What a run installs on its thread for as long as it lasts: the test's
  // system-call table, if one was set, the meter of its sessions in front of
  // it, and the sink that carries receive error notices to the host.
  class RunScope {
   public:
    RunScope(StreamService& service, StopSignal& stop);
    ~RunScope();

   private:
    StreamService& m_service;
    std::optional<sys::ScopedOps> m_ops;
    SessionMeter m_meter;
    ServiceNoticeSink m_sink;
  };

  // The start of every client: the generator seeded and the transfer buffer
  // refilled where the last client may have overwritten the fill.
  void BeginClient();
  // Notes that the first `bytes` bytes of the transfer buffer are about to be
  // overwritten (a request's body, a datagram), so the next client's fill
  // restores them. Length words (4 bytes) are always counted.
  void WillOverwrite(int bytes) noexcept {
    if (bytes > m_nOverwritten) m_nOverwritten = bytes;
  }

  // The session's clock and counts start: at once, or with atFirstReceive at
  // the first byte received. No-op outside a run (a fuzz target's session).
  void BeginSession(bool atFirstReceive) {
    m_bSessionBegun = true;
    if (m_meter) m_meter->BeginSession(atFirstReceive);
  }
  // The service waits for the peer: the idle time starts.
  void BeginWait() {
    if (m_meter) m_meter->BeginWait();
  }
  // Notes in the session's record how a receive that gave `result` (0 or
  // less) ended it: the peer closed, a time limit, or an error.
  void NoteReadEnd(int result);
  // Notes a failed send: a time limit or an error.
  void NoteSendEnd();
  // Which limit ended the session's last call, if any.
  SessionMeter::Expiry Expired() const {
    return m_meter ? m_meter->Expired() : SessionMeter::Expiry::kNone;
  }
  // Hands the session's record, with its counts and duration, to the host.
  void ReportSession(StopSignal& stop);
  // A session that the stop cut: its record, ended kStopped, goes to the
  // host's OnSessionStopped once the session has begun (a TCP connection
  // accepted, a UDP datagram taken).
  void ReportStopped();

  // Formats the error text, unless the call failed because of the stop,
  // which is no failure of the service.
  void FormatError(StopSignal& stop, const char* format, int err);

  // The last steps of a run that ended by itself: the error text on the
  // status line, the progress bar at 0, the idle state and the handle
  // cleared. ownFields() runs first, under the same check of the stop.
  template <class F>
  void EndRunByItself(StopSignal& stop, F&& ownFields) {
    stop.IfRunning([&] {
      ownFields();
      m_host.SetStatusText(m_strError);
      m_host.SetProgress(0);
      m_host.SetListeningState(0);
      m_host.ClearServiceHandle(m_kind);
    });
  }

  // One session of the concurrent server on its own socket: the run's scope
  // and the stop's hold on the socket last as long as serve(fd) does; then
  // the socket closes and the session is reported, as stopped when the stop
  // cut it. Outcome is the service's own result type.
  template <class Outcome, class F>
  Outcome ServeOwnSocket(Socket sock, StopSignal& stop, bool atFirstReceive, F&& serve) {
    const RunScope scope(*this, stop);
    AttachedSocket attached(stop, std::move(sock));
    if (!attached.Attached()) return Outcome::kStopped;
    BeginSession(atFirstReceive);
    const Outcome outcome = serve(attached.Fd());
    attached.Shutdown();
    attached.Close();
    if (outcome == Outcome::kStopped || stop.Stopped()) {
      ReportStopped();
      return Outcome::kStopped;
    }
    ReportSession(stop);
    return outcome;
  }

  // The progress bar of one client: it moves one position every step + 1
  // chunks and runs 1, 2, ... 100, 0, 1, ...
  struct Progress {
    int step;          // the pattern's progress step f
    int count = 0;     // chunks since the bar last moved
    int position = 0;  // 0 to 100
  };
  // Counts one chunk sent and moves the bar when its turn has come. False
  // when the run has been stopped.
  bool CountChunk(Progress& progress, StopSignal& stop) {
    if (++progress.count <= progress.step) return true;
    progress.count = 0;
    if (++progress.position > 100) progress.position = 0;
    const int position = progress.position;
    return stop.IfRunning([this, position] { m_host.SetProgress(position); });
  }

  ServerHost& m_host;
  std::unique_ptr<char[]> m_transfer;  // 65,536 bytes, the transfer buffer
  int m_nOverwritten = 0;              // bytes at its start that differ from the fill
  char m_line[kLineBufferSize] = {};   // negotiation line, then the reply
  Rand15 m_rng;
  std::string m_strError;  // lives as long as the object; see ErrorText()
  ServiceOptions m_options;
  SessionRecord m_record;        // the session being served; reset by BeginClient
  sockaddr_storage m_peer = {};  // TCP: the accepted peer; UDP: sender of the last datagram taken

  // A test or fuzz target put its own system calls in front (SetOps).
  bool OpsInjected() const noexcept { return m_ops != nullptr; }

 private:
  const ServiceKind m_kind;
  std::optional<uint32_t> m_seed;
  const sys::Ops* m_ops = nullptr;
  SessionMeter* m_meter = nullptr;  // the run's meter while a run goes on
  bool m_bSessionBegun = false;     // a session began and has not been reported
};

}  // namespace quarvent
