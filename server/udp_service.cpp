#include "server/udp_service.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/socket.h"
#include "server/bind_port.h"
#include "server/first_datagram.h"
#include "server/packet_info.h"

namespace quarvent {
namespace {

constexpr char kStreaming[] = " UDP 通信中";

}  // namespace

UdpServiceThread::UdpServiceThread(ServerHost& host) : StreamService(host, ServiceKind::kUdp) {}

int UdpServiceThread::Run(StopSignal& stop) {
  const RunScope scope(*this, stop);

  if (!stop.IfRunning([&] { m_host.SetStatusText(kListeningText); })) return 0;
  Socket created = Socket::Udp(m_options.bindAddress.Family());
  if (!created) FormatError(stop, "socket() UDP Failed.  ErrCode=%d.", errno);
  while (created) {
    AttachedSocket sock(stop, std::move(created));
    if (!sock.Attached()) return 0;
    int port = 0;
    if (!stop.IfRunning([&] { port = m_host.Port(); })) return 0;
    if (BindPort(sock.Fd(), m_options.bindAddress, m_options.dualStack, port) < 0) {
      FormatError(stop, "bind() UDP Failed.  ErrCode=%d.", errno);
      break;
    }
    // A socket on every address answers each client from the address it
    // sent to (the system would pick one of its own).
    m_bLearnLocal = m_options.bindAddress.IsWildcard() && !OpsInjected();
    if (m_bLearnLocal) EnablePacketInfo(sock.Fd(), m_options.bindAddress.Family());
    if (!stop.IfRunning([&] { m_host.OnServiceListening(ServiceKind::kUdp); })) return 0;
    BeginSession(true);
    const Outcome outcome = ServeSession(sock.Fd(), stop);
    m_bLearnLocal = false;
    if (outcome == Outcome::kStopped || stop.Stopped()) {
      ReportStopped();
      return 0;
    }
    // Closing the socket drops whatever the ended session still has queued.
    sock.Shutdown();
    sock.Close();
    ReportSession(stop);
    if (outcome == Outcome::kServiceEnds && !m_options.keepServing) break;
    if (!stop.IfRunning([&] { m_host.SetStatusText(kListeningText); })) return 0;
    created = Socket::Udp(m_options.bindAddress.Family());
    if (!created) FormatError(stop, "socket() UDP Failed.  ErrCode=%d.", errno);
  }
  EndRunByItself(stop, [] {});
  return 0;
}

UdpServiceThread::Outcome UdpServiceThread::ServeSource(Socket sock,
                                                        std::deque<std::vector<char>> first,
                                                        const sockaddr_storage& peer,
                                                        StopSignal& stop) {
  // Under the meter, so that the first datagram counts as received.
  const FirstDatagram replay(sock.Fd(), std::move(first), peer);
  return ServeOwnSocket<Outcome>(std::move(sock), stop, true,
                                 [&](int fd) { return ServeSession(fd, stop); });
}

UdpServiceThread::Outcome UdpServiceThread::ServeSession(int sock, StopSignal& stop) {
  BeginClient();
  if (!stop.IfRunning([&] { m_host.SetProgress(0); })) return Outcome::kStopped;
  return Session(sock, stop);
}

UdpServiceThread::Outcome UdpServiceThread::Session(int sock, StopSignal& stop) {
  // The line's destination is read before the line itself is taken (the
  // session's time starts at that receive).
  m_local = {};
  if (m_bLearnLocal && !PeekDestination(sock, 0, &m_local)) m_local = {};
  const int received = RecvFromString(sock, m_line, kLineBufferSize, &m_peer);
  // Where the routing answers from that address anyway (loopback, a host
  // with one address), plain sends do: no control data on every chunk.
  if (m_local.ss_family != 0 && received > 0 && RoutedFrom(m_peer, m_local)) m_local = {};
  if (received <= 0) {
    if (stop.Stopped()) return Outcome::kStopped;
    NoteReadEnd(received);
    // A line that stopped coming ends the session without a word.
    if (Expired() != SessionMeter::Expiry::kNone) return Outcome::kNextSession;
    FormatError(stop, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=%d.", received < 0 ? errno : 0);
    m_record.end = SessionEnd::kNegotiationFailed;
    m_record.detail = m_strError;
    AnswerText(sock, Utf8ToCp932(m_strError).c_str());
    return Outcome::kServiceEnds;
  }
  const int pattern = ParseNegotiation(m_line);
  if (pattern < 0) {
    m_record.end = SessionEnd::kRejected;
    m_record.detail = Cp932ToUtf8(m_line);
    AnswerText(sock, m_line);
    return Outcome::kServiceEnds;
  }
  m_record.pattern = pattern;
  return Stream(sock, pattern, stop);
}

UdpServiceThread::Outcome UdpServiceThread::Stream(int sock, int pattern, StopSignal& stop) {
  const ServerPattern& rule = ServerPatternFor(pattern, kUdp);
  char* const buf = m_transfer.get();
  Progress progress{rule.progressStep};
  // Without strict requests every announced length is answered.
  const long long smallest =
      m_options.strictRequests ? ClientPatternFor(pattern, kUdp).request.Min() : LLONG_MIN;
  if (!stop.IfRunning([&] { m_host.SetStatusText(kStreaming); })) return Outcome::kStopped;
  AnswerText(sock, m_line);
  // Every datagram lands at the buffer's start with room for a whole one.
  WillOverwrite(kDatagramRoom);

  for (;;) {
    BeginWait();
    const int n = RecvFromFull(sock, buf, 4, &m_peer);
    if (n < 4) {
      // A datagram of 1 to 3 bytes is a malformed request.
      if (n > 0) errno = EPROTO;
      NoteReadEnd(n > 0 ? -1 : n);
      break;
    }
    long long length = GetLengthWord(buf);
    if (length == kEndMarker) {
      m_record.end = SessionEnd::kEndMarkerReceived;
      break;
    }
    // A message is never longer than the transfer buffer: a larger announced
    // length waits for no more than a whole buffer's worth of datagrams.
    if (length > kMaxMessageSize) length = kMaxMessageSize;
    // The rest is counted in whole datagrams (TCP counts bytes), read only if the first was short.
    if (length - n > 0) {
      const int rest = RecvFromFull(sock, buf, static_cast<int>(length - 4), &m_peer);
      if (rest < 0) {
        NoteReadEnd(rest);
        break;
      }
    }
    // What it announced has arrived: a request this short draws nothing.
    if (length < smallest) continue;
    const int size = rule.chunk.Draw(m_rng);
    PutLengthWord(buf, size);
    if (Answer(sock, buf, static_cast<size_t>(size)) < 0) {
      const int err = errno;
      NoteSendEnd();
      // A failed chunk send leaves "Error=%d" in the UDP error text (TCP empties it).
      FormatError(stop, "Error=%d", err);
      break;
    }
    if (!CountChunk(progress, stop)) return Outcome::kStopped;
  }
  return stop.Stopped() ? Outcome::kStopped : Outcome::kNextSession;
}

ssize_t UdpServiceThread::Answer(int sock, const void* buf, size_t len) {
  const auto* to = reinterpret_cast<const sockaddr*>(&m_peer);
  if (m_local.ss_family != 0)
    return sys::SendToFrom(sock, buf, len, to, SockaddrLength(m_peer), m_local);
  return sys::SendTo(sock, buf, len, to, SockaddrLength(m_peer));
}

void UdpServiceThread::AnswerText(int sock, const char* text) {
  (void)Answer(sock, text, std::strlen(text) + 1);
}

}  // namespace quarvent
