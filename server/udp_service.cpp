#include "server/udp_service.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/socket.h"
#include "server/bind_port.h"
#include "server/notice_sink.h"

namespace quarvent {
namespace {

constexpr char kListening[] = "待受中...";
constexpr char kStreaming[] = " UDP 通信中";

}  // namespace

UdpServiceThread::UdpServiceThread(ServerHost& host)
    : m_host(host), m_transfer(new char[kTransferBufferSize]) {
  FillTransferBuffer(m_transfer.get());
}

void UdpServiceThread::FormatError(StopSignal& stop, const char* format, int err) {
  if (stop.Stopped()) return;
  char text[128];
  std::snprintf(text, sizeof text, format, err);
  m_strError = text;
}

int UdpServiceThread::Run(StopSignal& stop) {
  std::optional<sys::ScopedOps> ops;
  if (m_ops) ops.emplace(*m_ops);
  ServiceNoticeSink sink(m_host, ServiceKind::kUdp, stop);

  if (!stop.IfRunning([&] { m_host.SetStatusText(kListening); })) return 0;
  Socket created = Socket::Udp();
  if (!created) FormatError(stop, "socket() UDP Failed.  ErrCode=%d.", errno);
  while (created) {
    AttachedSocket sock(stop, std::move(created));
    if (!sock.Attached()) return 0;
    int port = 0;
    if (!stop.IfRunning([&] { port = m_host.Port(); })) return 0;
    if (BindAnyPort(sock.Fd(), port) < 0) {
      FormatError(stop, "bind() UDP Failed.  ErrCode=%d.", errno);
      break;
    }
    if (!stop.IfRunning([&] { m_host.OnServiceListening(ServiceKind::kUdp); })) return 0;
    const Outcome outcome = ServeSession(sock.Fd(), stop);
    if (outcome == Outcome::kStopped || stop.Stopped()) return 0;
    // Closing the socket drops whatever the ended session still has queued.
    sock.Shutdown();
    sock.Close();
    if (outcome == Outcome::kServiceEnds) break;
    if (!stop.IfRunning([&] { m_host.SetStatusText(kListening); })) return 0;
    created = Socket::Udp();
    if (!created) FormatError(stop, "socket() UDP Failed.  ErrCode=%d.", errno);
  }
  // The service ended by itself.
  stop.IfRunning([&] {
    m_host.SetStatusText(m_strError);
    m_host.SetProgress(0);
    m_host.SetListeningState(0);
    m_host.ClearServiceHandle(ServiceKind::kUdp);
  });
  return 0;
}

UdpServiceThread::Outcome UdpServiceThread::ServeSession(int sock, StopSignal& stop) {
  if (m_seed)
    m_rng.Seed(*m_seed);
  else
    m_rng.SeedFromTime();
  FillTransferBuffer(m_transfer.get());
  if (!stop.IfRunning([&] { m_host.SetProgress(0); })) return Outcome::kStopped;
  return Session(sock, stop);
}

UdpServiceThread::Outcome UdpServiceThread::Session(int sock, StopSignal& stop) {
  const int received = RecvFromString(sock, m_line, kLineBufferSize, &m_peer);
  if (received <= 0) {
    if (stop.Stopped()) return Outcome::kStopped;
    FormatError(stop, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=%d.", received < 0 ? errno : 0);
    SendToString(sock, Utf8ToCp932(m_strError).c_str(), m_peer);
    return Outcome::kServiceEnds;
  }
  const int pattern = ParseNegotiation(m_line);
  if (pattern < 0) {
    SendToString(sock, m_line, m_peer);
    return Outcome::kServiceEnds;
  }
  return Stream(sock, pattern, stop);
}

UdpServiceThread::Outcome UdpServiceThread::Stream(int sock, int pattern, StopSignal& stop) {
  const ServerPattern& rule = ServerPatternFor(pattern, kUdp);
  char* const buf = m_transfer.get();
  int count = 0;     // chunks since the progress bar last moved
  int position = 0;  // progress position
  if (!stop.IfRunning([&] { m_host.SetStatusText(kStreaming); })) return Outcome::kStopped;
  SendToString(sock, m_line, m_peer);

  for (;;) {
    const int n = RecvFromFull(sock, buf, 4, &m_peer);
    if (n < 4) break;
    long long length = GetLengthWord(buf);
    if (length == kEndMarker) break;
    // A message is never longer than the transfer buffer: a larger announced
    // length waits for no more than a whole buffer's worth of datagrams.
    if (length > kMaxMessageSize) length = kMaxMessageSize;
    if (length - n > 0 && RecvFromFull(sock, buf, static_cast<int>(length - 4), &m_peer) < 0) break;
    const int size = rule.chunk.Draw(m_rng);
    PutLengthWord(buf, size);
    if (sys::SendTo(sock, buf, static_cast<size_t>(size),
                    reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer) < 0) {
      FormatError(stop, "Error=%d", errno);
      break;
    }
    if (++count > rule.progressStep) {
      count = 0;
      if (++position > 100) position = 0;
      if (!stop.IfRunning([&] { m_host.SetProgress(position); })) return Outcome::kStopped;
    }
  }
  return stop.Stopped() ? Outcome::kStopped : Outcome::kNextSession;
}

}  // namespace quarvent
