// Counts the bytes of one client session and holds its time limits. While it
// lives it stands in front of the calling thread's system-call table, so every
// send and receive of a service passes through it: it counts what crosses,
// and with limits set it bounds each blocking call by the time left
// (SO_RCVTIMEO, SO_SNDTIMEO) and turns an expired limit into a failed call
// (ETIMEDOUT). The socket options are set once per session and socket and
// again only when the time they allow would overrun the time left by more
// than an eighth (the session nears its end, or one wait has lasted long),
// or falls short of it (a new wait began after such a long one): a session
// of many short calls makes no setsockopt and one clock read per call.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/sys_ops.h"
#include "server/service_options.h"

namespace quarvent {

class SessionMeter {
 public:
  enum class Expiry { kNone, kIdle, kMaxDuration };

  // Installs the meter on the calling thread for as long as it lives.
  explicit SessionMeter(const ServiceOptions& options);
  ~SessionMeter();
  SessionMeter(const SessionMeter&) = delete;
  SessionMeter& operator=(const SessionMeter&) = delete;

  // A session begins: counts at 0, nothing expired. Its clock starts now, or
  // with atFirstReceive at the first byte received (a datagram service waits
  // for its next client without limit).
  void BeginSession(bool atFirstReceive);
  // The service starts to wait for the peer: the idle time runs from now.
  void BeginWait();

  // Which limit made a call fail since the session began.
  Expiry Expired() const noexcept { return m_expired; }
  int64_t Received() const noexcept { return m_received; }  // bytes received this session
  int64_t Sent() const noexcept { return m_sent; }          // bytes sent this session
  // How often a time limit was given to a socket since the session began.
  int ArmCount() const noexcept { return m_nArmed; }
  // Milliseconds since the session's clock started (0 before).
  int64_t ElapsedMs() const;

 private:
  using Clock = std::chrono::steady_clock;
  friend struct MeterCalls;

  void StartClock(Clock::time_point now);
  // The earlier of the two limits for a receive or a send; max() for none.
  Clock::time_point ReceiveLimit() const;
  Clock::time_point SendLimit(Clock::time_point now) const;
  // Gives fd's blocking calls (option SO_RCVTIMEO or SO_SNDTIMEO) the time
  // left until limit. False, with the expiry noted, when none is left.
  bool Arm(int fd, int option, Clock::time_point limit, Clock::time_point now);
  // Sets option on fd to `wanted` unless the time armed already is close
  // enough (never shorter, at most an eighth longer).
  void ArmFor(int fd, int option, Clock::duration wanted);
  ssize_t Expire(Clock::time_point limit);

  ssize_t Send(int fd, const void* buf, size_t len, int flags);
  ssize_t SendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                 socklen_t addrLen);
  ssize_t Recv(int fd, void* buf, size_t len, int flags);
  ssize_t RecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen);
  ssize_t RecvMsg(int fd, msghdr* msg, int flags);
  ssize_t SendMsg(int fd, const msghdr* msg, int flags);
  template <class Call>
  ssize_t Receive(int fd, Call call);
  template <class Call>
  ssize_t Transmit(int fd, size_t len, Call call);

  const ServiceOptions m_options;
  const sys::Ops& m_next;  // the table in front of which the meter stands
  SessionMeter* m_prevMeter;
  bool m_bStarted = false;         // the session's clock runs
  bool m_bStartOnReceive = false;  // it starts at the first byte received
  Clock::time_point m_start{};
  Clock::time_point m_maxLimit = Clock::time_point::max();
  Clock::time_point m_idleLimit = Clock::time_point::max();
  Expiry m_expired = Expiry::kNone;
  int m_nArmed = 0;              // setsockopt calls this session
  int m_armedFd = -1;            // the socket whose options hold the times below
  Clock::duration m_rcvArmed{};  // SO_RCVTIMEO set on it; 0: not set
  Clock::duration m_sndArmed{};  // SO_SNDTIMEO set on it; 0: not set
  int64_t m_received = 0;
  int64_t m_sent = 0;
  std::optional<sys::ScopedOps> m_scope;  // the meter's table, installed last
};

}  // namespace quarvent
