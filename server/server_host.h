// What the TCP and UDP stream services need of their owner (the listen
// dialog, the console front end, or a test). A service never sees a widget.
//
// Threads: a service makes every call except Port() from its own thread while
// its run has not been stopped, and the call must not block on the owner's
// thread. The listen controller stands between its services and its owner:
// it hands their calls to the owner through Post(), so that an owner with a
// thread of its own (the dialog) takes them there, and makes some of the same
// calls itself on the owner's thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/endpoint.h"
#include "common/stop_signal.h"

namespace quarvent {

enum class ServiceKind : int { kTcp = 0, kUdp = 1 };

// How one client session of a service ended.
enum class SessionEnd {
  kEndMarkerReceived,  // the client sent the end marker
  kPeerClosed,         // the peer closed the connection, or sent an empty datagram
  kReceiveError,       // a receive failed (error holds errno), or a request was malformed
  kSendError,          // a chunk could not be sent (error holds errno)
  kIdleTimeout,        // the peer sent nothing, or took nothing, for the idle time
  kMaxDuration,        // the session reached its longest allowed duration
  kRejected,           // the negotiation line was refused (detail: the reply sent)
  kNegotiationFailed,  // no negotiation line could be read (detail: the error text)
  kStopped,            // the server was stopped while the session went on
};

// What a service reports about one session once it is over and its socket
// closed. The counts are every byte that crossed the session's socket,
// negotiation line and reply included.
struct SessionRecord {
  ServiceKind kind = ServiceKind::kTcp;
  Endpoint peer;              // TCP: the accepted peer; UDP: sender of the last datagram
  int pattern = -1;           // the negotiated pattern, -1 when none was accepted
  int64_t bytesReceived = 0;  // bytes taken from the peer
  int64_t bytesSent = 0;      // bytes sent to the peer
  int64_t durationMs = 0;     // from acceptance (TCP) or the first datagram (UDP) to the end
  SessionEnd end = SessionEnd::kPeerClosed;
  int error = 0;       // errno of kReceiveError and kSendError, else 0
  std::string detail;  // UTF-8 text of kRejected and kNegotiationFailed
};

// The acknowledgement of one receive-error notice. The owner keeps a copy and
// calls Acknowledge() once the user has closed the notice (the console may do
// so at once, from inside ShowRecvErrorNotice). Copies share one state, so it
// may outlive the service that waits for it; calling it late is harmless.
// Acknowledge() wakes the service under the service's own lock, which is held
// while the service calls into the host: never call it while holding a lock
// that the host's own methods take.
class NoticeAck {
 public:
  NoticeAck() : m_state(std::make_shared<State>()) {}

  void Acknowledge() const {
    m_state->acked.store(true, std::memory_order_release);
    std::lock_guard lock(m_state->mutex);
    if (m_state->waker) m_state->waker->Wake();
  }
  bool Acknowledged() const noexcept { return m_state->acked.load(std::memory_order_acquire); }

  // Blocks the calling service until the notice is acknowledged or `stop` is
  // stopped. Returns true when stopped.
  bool Wait(StopSignal& stop) const {
    {
      std::lock_guard lock(m_state->mutex);
      m_state->waker = &stop;
    }
    bool stopped = false;
    while (!Acknowledged() && !stopped)
      stopped = stop.WaitFor(std::chrono::seconds(1), [this] { return Acknowledged(); });
    std::lock_guard lock(m_state->mutex);
    m_state->waker = nullptr;
    return stopped || stop.Stopped();
  }

 private:
  struct State {
    std::atomic<bool> acked{false};
    std::mutex mutex;
    StopSignal* waker = nullptr;  // the waiting service's stop signal while it waits
  };
  std::shared_ptr<State> m_state;
};

class ServerHost {
 public:
  // m_nPort: the services use its low 16 bits. Called from the service
  // threads (TCP once per start, UDP at every session start).
  virtual int Port() = 0;
  // The status line (m_staticStatus), UTF-8.
  virtual void SetStatusText(std::string_view utf8) = 0;
  // The progress bar position, 0 to 100.
  virtual void SetProgress(int position) = 0;
  // 0: idle controls (start and port field enabled, stop disabled); 1: listening.
  virtual void SetListeningState(int state) = 0;
  // Last step of a service that ended by itself: its handle member
  // (m_hTcpThread or m_hUdpThread) becomes null.
  virtual void ClearServiceHandle(ServiceKind kind) = 0;
  // A receive routine of the service met a socket error ("recv() Error : %d",
  // "recvfrom() Error : %d", UTF-8). Must not block: show the notice and call
  // ack.Acknowledge() when the user has closed it. The service waits for that
  // or for its stop before it goes on.
  virtual void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) = 0;
  // The service's socket is bound (and, for TCP, listening): a client sent
  // from now on is heard. TCP calls it once per start, UDP at every session
  // start, since it binds a fresh socket for each session. Must not block.
  virtual void OnServiceListening(ServiceKind) {}
  // A client session is over (not called for a session cut by a stop). Must
  // not block.
  virtual void OnSessionEnd(const SessionRecord&) {}
  // A session was cut by the stop (end kStopped). Unlike every other call it
  // comes after the stop, from the service thread that is being joined; an
  // owner that must hear nothing after its stop keeps the default.
  virtual void OnSessionStopped(const SessionRecord&) {}
  // Runs task on the owner's thread, after every task posted before it, and
  // returns without waiting for it. The default runs it at once on the
  // calling thread: for an owner that takes every call on any thread.
  virtual void Post(std::function<void()> task) { task(); }

 protected:
  ~ServerHost() = default;
};

// The fields of the owner that the TCP service writes. m_sockListen is the
// listening socket's descriptor (0 when none); m_bConnected is 1 while an
// accepted client is being served and is read for the close question.
struct TcpListenFields {
  std::atomic<int> m_sockListen{0};
  std::atomic<int> m_bConnected{0};
};

}  // namespace quarvent
