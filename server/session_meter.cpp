#include "server/session_meter.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace quarvent {
namespace {

thread_local SessionMeter* t_meter = nullptr;

}  // namespace

// The table that the meter installs: every call goes to the thread's meter.
struct MeterCalls {
  static ssize_t Send(int fd, const void* buf, size_t len, int flags) {
    return t_meter->Send(fd, buf, len, flags);
  }
  static ssize_t SendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                        socklen_t addrLen) {
    return t_meter->SendTo(fd, buf, len, flags, addr, addrLen);
  }
  static ssize_t Recv(int fd, void* buf, size_t len, int flags) {
    return t_meter->Recv(fd, buf, len, flags);
  }
  static ssize_t RecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from,
                          socklen_t* fromLen) {
    return t_meter->RecvFrom(fd, buf, len, flags, from, fromLen);
  }
  static ssize_t RecvMsg(int fd, msghdr* msg, int flags) {
    return t_meter->RecvMsg(fd, msg, flags);
  }
  static ssize_t SendMsg(int fd, const msghdr* msg, int flags) {
    return t_meter->SendMsg(fd, msg, flags);
  }
  static constexpr sys::Ops kTable = {Send, SendTo, Recv, RecvFrom, RecvMsg, SendMsg};
};

SessionMeter::SessionMeter(const ServiceOptions& options)
    : m_options(options), m_next(sys::Current()), m_prevMeter(t_meter) {
  t_meter = this;
  m_scope.emplace(MeterCalls::kTable);
}

SessionMeter::~SessionMeter() {
  m_scope.reset();
  t_meter = m_prevMeter;
}

void SessionMeter::BeginSession(bool atFirstReceive) {
  m_received = 0;
  m_sent = 0;
  m_expired = Expiry::kNone;
  m_bStarted = false;
  m_bStartOnReceive = atFirstReceive;
  m_maxLimit = Clock::time_point::max();
  m_idleLimit = Clock::time_point::max();
  m_nArmed = 0;
  m_armedFd = -1;  // a new session may have a new socket with the same number
  if (!atFirstReceive) StartClock(Clock::now());
}

void SessionMeter::StartClock(Clock::time_point now) {
  m_bStarted = true;
  m_bStartOnReceive = false;
  m_start = now;
  if (m_options.maxDurationMs > 0)
    m_maxLimit = now + std::chrono::milliseconds(m_options.maxDurationMs);
  if (m_options.idleTimeoutMs > 0)
    m_idleLimit = now + std::chrono::milliseconds(m_options.idleTimeoutMs);
}

void SessionMeter::BeginWait() {
  if (m_bStarted && m_options.idleTimeoutMs > 0)
    m_idleLimit = Clock::now() + std::chrono::milliseconds(m_options.idleTimeoutMs);
}

int64_t SessionMeter::ElapsedMs() const {
  if (!m_bStarted) return 0;
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
}

SessionMeter::Clock::time_point SessionMeter::ReceiveLimit() const {
  return std::min(m_maxLimit, m_idleLimit);
}

SessionMeter::Clock::time_point SessionMeter::SendLimit(Clock::time_point now) const {
  // A send has the idle time from its own start: the peer has to take
  // something of the chunk within it.
  if (!m_bStarted || m_options.idleTimeoutMs <= 0) return m_maxLimit;
  return std::min(m_maxLimit, now + std::chrono::milliseconds(m_options.idleTimeoutMs));
}

bool SessionMeter::Arm(int fd, int option, Clock::time_point limit, Clock::time_point now) {
  if (now >= limit) {
    Expire(limit);
    return false;
  }
  ArmFor(fd, option, limit - now);
  return true;
}

void SessionMeter::ArmFor(int fd, int option, Clock::duration wanted) {
  if (fd != m_armedFd) {
    m_armedFd = fd;
    m_rcvArmed = m_sndArmed = Clock::duration::zero();
  }
  Clock::duration& armed = option == SO_RCVTIMEO ? m_rcvArmed : m_sndArmed;
  if (armed >= wanted && armed <= wanted + wanted / 8) return;
  // Rounded up to whole microseconds (a zero timeval would mean no limit).
  const auto left = std::chrono::ceil<std::chrono::microseconds>(wanted).count();
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(left / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(left % 1000000);
  // A table in a test may stand for sockets that do not exist: the option
  // is then simply not set.
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
  armed = std::chrono::microseconds(left);
  ++m_nArmed;
}

ssize_t SessionMeter::Expire(Clock::time_point limit) {
  m_expired = limit == m_maxLimit ? Expiry::kMaxDuration : Expiry::kIdle;
  errno = ETIMEDOUT;
  return -1;
}

template <class Call>
ssize_t SessionMeter::Receive(int fd, Call call) {
  const Clock::time_point limit = ReceiveLimit();
  if (limit == Clock::time_point::max()) {
    const ssize_t n = call();
    if (n > 0) {
      m_received += n;
      if (m_bStartOnReceive) StartClock(Clock::now());
    }
    return n;
  }
  if (!Arm(fd, SO_RCVTIMEO, limit, Clock::now())) return -1;
  const ssize_t n = call();
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Expire(limit);
  if (n > 0) m_received += n;
  return n;
}

template <class Call>
ssize_t SessionMeter::Transmit(int fd, size_t len, Call call) {
  const Clock::time_point now = Clock::now();
  const Clock::time_point limit = SendLimit(now);
  if (limit == Clock::time_point::max()) {
    const ssize_t n = call();
    if (n > 0) m_sent += n;
    return n;
  }
  if (!Arm(fd, SO_SNDTIMEO, limit, now)) return -1;
  const ssize_t n = call();
  if (n > 0) m_sent += n;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Expire(limit);
  // A send that the time limit cut short would leave the rest of its chunk
  // out of the stream: it fails (the bytes that went are counted).
  if (n >= 0 && static_cast<size_t>(n) < len) return Expire(limit);
  return n;
}

ssize_t SessionMeter::Send(int fd, const void* buf, size_t len, int flags) {
  return Transmit(fd, len, [&] { return m_next.send(fd, buf, len, flags); });
}

ssize_t SessionMeter::SendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                             socklen_t addrLen) {
  return Transmit(fd, len, [&] { return m_next.sendto(fd, buf, len, flags, addr, addrLen); });
}

ssize_t SessionMeter::SendMsg(int fd, const msghdr* msg, int flags) {
  size_t len = 0;
  for (size_t i = 0; i < msg->msg_iovlen; ++i) len += msg->msg_iov[i].iov_len;
  return Transmit(fd, len, [&]() -> ssize_t {
    if (m_next.sendmsg) return m_next.sendmsg(fd, msg, flags);
    // A table without it: one piece, to the address, from the system's choice.
    const void* buf = msg->msg_iovlen > 0 ? msg->msg_iov[0].iov_base : nullptr;
    return m_next.sendto(fd, buf, len, flags, static_cast<const sockaddr*>(msg->msg_name),
                         msg->msg_namelen);
  });
}

ssize_t SessionMeter::Recv(int fd, void* buf, size_t len, int flags) {
  return Receive(fd, [&] { return m_next.recv(fd, buf, len, flags); });
}

ssize_t SessionMeter::RecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from,
                               socklen_t* fromLen) {
  return Receive(fd, [&] { return m_next.recvfrom(fd, buf, len, flags, from, fromLen); });
}

ssize_t SessionMeter::RecvMsg(int fd, msghdr* msg, int flags) {
  return Receive(fd, [&] { return sys::RecvMsgThrough(m_next, fd, msg, flags); });
}

}  // namespace quarvent
