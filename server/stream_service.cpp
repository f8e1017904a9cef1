#include "server/stream_service.h"

#include <cerrno>
#include <cstdio>

#include "common/protocol.h"

namespace quarvent {

StreamService::StreamService(ServerHost& host, ServiceKind kind)
    : m_host(host), m_transfer(new char[kTransferBufferSize]), m_kind(kind) {
  FillTransferBuffer(m_transfer.get());
}

StreamService::RunScope::RunScope(StreamService& service, StopSignal& stop)
    : m_service(service),
      m_ops(service.m_ops ? std::optional<sys::ScopedOps>(std::in_place, *service.m_ops)
                          : std::nullopt),
      m_meter(service.m_options),
      m_sink(service.m_host, service.m_kind, stop, m_meter) {
  service.m_meter = &m_meter;
}

StreamService::RunScope::~RunScope() {
  m_service.m_meter = nullptr;
}

void StreamService::BeginClient() {
  if (m_seed)
    m_rng.Seed(*m_seed);
  else
    m_rng.SeedFromTime();
  FillTransferBuffer(m_transfer.get(), m_nOverwritten);
  m_nOverwritten = 4;  // every chunk's length word
  m_record = SessionRecord{};
  m_record.kind = m_kind;
}

void StreamService::NoteReadEnd(int result) {
  const int err = errno;
  switch (Expired()) {
    case SessionMeter::Expiry::kIdle:
      m_record.end = SessionEnd::kIdleTimeout;
      return;
    case SessionMeter::Expiry::kMaxDuration:
      m_record.end = SessionEnd::kMaxDuration;
      return;
    case SessionMeter::Expiry::kNone:
      break;
  }
  m_record.end = result == 0 ? SessionEnd::kPeerClosed : SessionEnd::kReceiveError;
  m_record.error = result == 0 ? 0 : err;
}

void StreamService::NoteSendEnd() {
  const int err = errno;
  if (Expired() != SessionMeter::Expiry::kNone) {
    NoteReadEnd(-1);
    return;
  }
  m_record.end = SessionEnd::kSendError;
  m_record.error = err;
}

void StreamService::ReportSession(StopSignal& stop) {
  if (m_meter) {
    m_record.bytesReceived = m_meter->Received();
    m_record.bytesSent = m_meter->Sent();
    m_record.durationMs = m_meter->ElapsedMs();
  }
  m_record.peer = Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer);
  m_bSessionBegun = false;
  stop.IfRunning([&] { m_host.OnSessionEnd(m_record); });
}

void StreamService::ReportStopped() {
  if (!m_meter || !m_bSessionBegun) return;
  if (m_kind == ServiceKind::kUdp && m_meter->Received() == 0) return;
  m_bSessionBegun = false;
  m_record.end = SessionEnd::kStopped;
  m_record.error = 0;
  m_record.bytesReceived = m_meter->Received();
  m_record.bytesSent = m_meter->Sent();
  m_record.durationMs = m_meter->ElapsedMs();
  m_record.peer = Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer);
  m_host.OnSessionStopped(m_record);
}

void StreamService::FormatError(StopSignal& stop, const char* format, int err) {
  if (stop.Stopped()) return;
  char text[128];
  std::snprintf(text, sizeof text, format, err);
  m_strError = text;
}

}  // namespace quarvent
