// How a run opens: its connect (the earlier addresses of a TCP server tried
// first) and the negotiation, on the run's own thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/measure_run.h"
#include "client/texts.h"
#include "common/cp932.h"

namespace quarvent {
namespace {

// Sets the socket's send and receive timeouts to ms (0: none).
void SetWaitLimit(int fd, int ms) {
  const timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

int MeasureRun::ConnectTo(int fd, const Endpoint& addr) {
  if (m_connector.connect) return m_connector.connect(fd, addr);
  // The system's connect, without blocking: a stop shuts a connect under way
  // down, which ends the wait, and a stop that came before it began is seen
  // once it has.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  int err = ::connect(fd, addr.Addr(), addr.Length()) == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    while (!m_stop.Stopped() && ::poll(&wait, 1, -1) < 0 && errno == EINTR) {
    }
    socklen_t size = sizeof err;
    if (m_stop.Stopped()) {
      err = ECONNABORTED;
    } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0) {
      err = errno;
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return err;
}

std::string MeasureRun::Connect() {
  if (m_connector.connected) return {};
  SetPhase(SessionPhase::kConnecting);
  const std::vector<Endpoint>& addresses = m_config.servers;
  if (m_config.protocol == kTcp && addresses.size() > 1) {
    for (size_t i = 0; i + 1 < addresses.size() && !m_stop.Stopped(); ++i) {
      Socket sock = m_connector.makeSocket(kTcp, addresses[i].Family());
      if (!sock) continue;
      SetSocketOption(sock.Fd(), SO_KEEPALIVE, 1);
      if (!m_stop.Attach(sock.Fd())) break;  // stopped
      if (ConnectTo(sock.Fd(), addresses[i]) == 0) {
        // This one is the run's socket now; the one for the last address goes.
        m_stop.Detach(m_sock.Fd());
        m_sock = std::move(sock);
        PostHeader(addresses[i]);
        return {};
      }
      m_stop.Detach(sock.Fd());
    }
    PostHeader(m_connector.server);
  }
  const int err = ConnectTo(m_sock.Fd(), m_connector.server);
  if (err == 0) return {};
  char line[160];
  if (err == ETIMEDOUT) {
    std::snprintf(line, sizeof line, "%s", text::kTimeout);
  } else if (err == ECONNREFUSED) {
    std::snprintf(line, sizeof line, "%s", text::kRefused);
  } else {
    std::snprintf(line, sizeof line, text::kConnectFailed, err);
  }
  return line;
}

std::string MeasureRun::Negotiate() {
  const int fd = m_sock.Fd();
  const int limitMs = m_timing.negotiationLimitMs;
  m_bNegotiationLimited = limitMs > 0;
  if (limitMs > 0) SetWaitLimit(fd, limitMs);
  BuildNegotiation(m_line, m_config.pattern);
  if (SendString(fd, m_line) < 0) return text::kNegSendFailed;
  sockaddr_storage from{};
  const int got = m_config.protocol == kUdp ? RecvFromString(fd, m_line, kLineBufferSize, &from)
                                            : RecvString(fd, m_line, kLineBufferSize);
  if (limitMs > 0) SetWaitLimit(fd, 0);
  m_bNegotiationLimited = false;
  // A reply without a NUL within the line buffer comes back as a receive error.
  if (got < 0) return text::kNegReplyError;
  // 0 (closed before replying) is no error: the buffer still holds what it holds.
  const std::string_view reply(m_line, strnlen(m_line, kLineBufferSize));
  if (reply == kIdentifier) return {};
  return std::string(text::kNegMismatch) + Cp932ToUtf8(reply);
}

}  // namespace quarvent
