#include "server/tcp_service.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/socket.h"
#include "server/bind_port.h"

namespace quarvent {
namespace {

// The error a socket holds (taken from it), or EINTR when it holds none.
int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0) return EINTR;
  return err;
}

constexpr char kStreaming[] = "TCP 通信中";

// What a send meets when the peer has closed its end.
bool IsPeerClose(int err) {
  return err == EPIPE || err == ECONNRESET;
}

}  // namespace

TcpServiceThread::TcpServiceThread(ServerHost& host, TcpListenFields& fields)
    : StreamService(host, ServiceKind::kTcp), m_fields(fields) {}

int TcpServiceThread::Run(StopSignal& stop) {
  const RunScope scope(*this, stop);

  if (!stop.IfRunning([&] { m_fields.m_bConnected = 0; })) return 0;
  Socket created = Socket::Tcp(m_options.bindAddress.Family());
  if (created) {
    if (!stop.IfRunning([&] { m_fields.m_sockListen = created.Fd(); })) return 0;
    AttachedSocket listen(stop, std::move(created));
    if (!listen.Attached()) return 0;
    SetSocketOption(listen.Fd(), SO_REUSEADDR, 1);
    int port = 0;
    if (!stop.IfRunning([&] { port = m_host.Port(); })) return 0;
    if (BindPort(listen.Fd(), m_options.bindAddress, m_options.dualStack, port) < 0) {
      FormatError(stop, "bind() Failed.  ErrCode=%d.", errno);
    } else if (::listen(listen.Fd(), 1) < 0) {
      FormatError(stop, "listen() Failed.  ErrCode=%d.", errno);
    } else {
      if (!stop.IfRunning([&] { m_host.OnServiceListening(ServiceKind::kTcp); })) return 0;
      for (;;) {
        if (!stop.IfRunning([&] {
              m_host.SetStatusText(kListeningText);
              m_host.SetProgress(0);
            }))
          return 0;
        int fd;
        sockaddr_storage peer{};
        socklen_t peerLen = sizeof peer;
        // A connection reset before it was taken is not a failure of the
        // listener: accept simply waits for the next one.
        do fd = ::accept4(listen.Fd(), reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
        while (fd < 0 && (errno == EINTR || errno == ECONNABORTED) && !stop.Stopped());
        if (fd < 0) {
          if (stop.Stopped()) return 0;
          FormatError(stop, "accept() Failed.  ErrCode=%d.", errno);
          if (!m_options.keepServing) break;
          // Kept serving: the reason goes to the status line, and a failure
          // that persists (no descriptors left) is retried once a second.
          if (!stop.IfRunning([&] { m_host.SetStatusText(m_strError); })) return 0;
          if (stop.WaitFor(std::chrono::seconds(1))) return 0;
          continue;
        }
        AttachedSocket conn(stop, Socket(fd));
        if (!conn.Attached()) return 0;
        m_peer = peer;
        BeginSession(false);
        const Outcome outcome = ServeConnection(conn.Fd(), stop);
        conn.Shutdown();
        conn.Close();
        if (outcome == Outcome::kStopped || stop.Stopped()) {
          ReportStopped();
          return 0;
        }
        ReportSession(stop);
        if (outcome == Outcome::kServiceEnds && !m_options.keepServing) break;
        if (!stop.IfRunning([&] { m_fields.m_bConnected = 0; })) return 0;
      }
    }
    listen.Close();
  } else {
    FormatError(stop, "socket() Failed.  ErrCode=%d.", errno);
  }
  EndRunByItself(stop, [&] {
    m_fields.m_bConnected = 0;
    m_fields.m_sockListen = 0;
  });
  return 0;
}

TcpServiceThread::Outcome TcpServiceThread::ServeAccepted(Socket conn, const sockaddr_storage& peer,
                                                          StopSignal& stop) {
  m_peer = peer;
  return ServeOwnSocket<Outcome>(std::move(conn), stop, false,
                                 [&](int fd) { return ServeConnection(fd, stop); });
}

TcpServiceThread::Outcome TcpServiceThread::ServeConnection(int conn, StopSignal& stop) {
  BeginClient();
  return ServeClient(conn, stop);
}

TcpServiceThread::Outcome TcpServiceThread::ServeClient(int conn, StopSignal& stop) {
  SetSocketOption(conn, SO_KEEPALIVE, 1);
  if (!stop.IfRunning([&] { m_fields.m_bConnected = 1; })) return Outcome::kStopped;

  const int received = RecvString(conn, m_line, kLineBufferSize);
  if (received <= 0) {
    if (stop.Stopped()) return Outcome::kStopped;
    NoteReadEnd(received);
    // A peer that let its time run out is closed without a word, and the
    // next client is served.
    if (Expired() != SessionMeter::Expiry::kNone) return Outcome::kNextClient;
    FormatError(stop, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=%d.", received < 0 ? errno : 0);
    m_record.end = SessionEnd::kNegotiationFailed;
    m_record.detail = m_strError;
    SendString(conn, Utf8ToCp932(m_strError).c_str());
    return Outcome::kServiceEnds;
  }
  const int pattern = ParseNegotiation(m_line);
  if (pattern < 0) {
    // The rejection goes to the client only; the error text stays as it is.
    m_record.end = SessionEnd::kRejected;
    m_record.detail = Cp932ToUtf8(m_line);
    SendString(conn, m_line);
    return Outcome::kServiceEnds;
  }
  m_record.pattern = pattern;
  return Stream(conn, pattern, stop);
}

TcpServiceThread::Outcome TcpServiceThread::Stream(int conn, int pattern, StopSignal& stop) {
  const ServerPattern& rule = ServerPatternFor(pattern, kTcp);
  char* const buf = m_transfer.get();
  uint32_t k = 0;  // chunks sent on this connection
  Progress progress{rule.progressStep};
  // A receive may take as much as the pattern's largest request: a client
  // sends one and waits for its chunks, so one call takes the whole request.
  m_rest = StreamRest(ClientPatternFor(pattern, kTcp).request.Max());
  WillOverwrite(m_rest.Limit());
  if (!stop.IfRunning([&] { m_host.SetStatusText(kStreaming); })) return Outcome::kStopped;
  SendString(conn, m_line);

  for (;;) {
    if (rule.interval > 0 && k % static_cast<uint32_t>(rule.interval) == 0) {
      char word[4];
      BeginWait();
      const int got = RecvLengthWord(conn, word, buf, &m_rest);
      if (got < 4) {
        NoteReadEnd(got);
        break;
      }
      const int32_t length = GetLengthWord(word);
      if (length == kEndMarker) {
        m_record.end = SessionEnd::kEndMarkerReceived;
        break;
      }
      // The rest is counted in bytes, length - 4 of them (UDP counts whole datagrams).
      // A client that closed before its request was complete gets no chunk.
      const int body = ReadRequestBody(conn, length);
      if (body <= 0) {
        NoteReadEnd(body);
        break;
      }
    }
    const int size = rule.chunk.Draw(m_rng);
    PutLengthWord(buf, size);
    const ssize_t sent = sys::Send(conn, buf, static_cast<size_t>(size));
    if (sent != size) {
      // A chunk cut short would leave the stream out of step. The peer's
      // reset in mid-send does that and leaves its error on the socket;
      // otherwise only the send time limit or a signal can.
      if (sent >= 0) errno = PendingSocketError(conn);
      const int err = errno;
      NoteSendEnd();
      // Without requests the client ends its session by closing: the send
      // that meets the close is the normal end, not an error.
      if (rule.interval <= 0 && IsPeerClose(err) && Expired() == SessionMeter::Expiry::kNone) {
        m_record.end = SessionEnd::kPeerClosed;
        m_record.error = 0;
      }
      // A failed chunk send empties the TCP error text (UDP records its error).
      if (!stop.Stopped()) m_strError.clear();
      break;
    }
    if (++k == static_cast<uint32_t>(INT_MAX)) k = 0;
    if (!CountChunk(progress, stop)) return Outcome::kStopped;
  }
  return stop.Stopped() ? Outcome::kStopped : Outcome::kNextClient;
}

// Reads the body of a request (length minus 4 bytes) into the start of the
// transfer buffer. Returns a positive value when the whole body has arrived
// (at once for a request that is only its length word), 0 when the client
// closed before it was complete, negative on error or a length word below 4.
// A body longer than the buffer is read in buffer-sized pieces, each over the
// last, so that nothing is written past the buffer and the connection stays
// in step. The length word's receive may have taken the body's start already.
int TcpServiceThread::ReadRequestBody(int conn, int32_t length) {
  long long remaining = static_cast<long long>(length) - 4;
  if (remaining < 0) {
    errno = EPROTO;  // a length word below 4 cannot count itself
    return -1;
  }
  if (remaining == 0) {
    RecvBody(conn, m_transfer.get(), 0, &m_rest);  // frames the empty body
    return 1;
  }
  while (remaining > 0) {
    const int piece =
        remaining < kTransferBufferSize ? static_cast<int>(remaining) : kTransferBufferSize;
    WillOverwrite(piece);
    const int n = RecvBody(conn, m_transfer.get(), piece, &m_rest);
    if (n <= 0) return n;
    remaining -= piece;
  }
  return 1;
}

}  // namespace quarvent
