#include "server/stream_service.h"

#include <cstdio>

#include "common/protocol.h"

namespace quarvent {

StreamService::StreamService(ServerHost& host, ServiceKind kind)
    : m_host(host), m_transfer(new char[kTransferBufferSize]), m_kind(kind) {
  FillTransferBuffer(m_transfer.get());
}

StreamService::RunScope::RunScope(StreamService& service, StopSignal& stop)
    : m_ops(service.m_ops ? std::optional<sys::ScopedOps>(std::in_place, *service.m_ops)
                          : std::nullopt),
      m_sink(service.m_host, service.m_kind, stop) {}

void StreamService::BeginClient() {
  if (m_seed)
    m_rng.Seed(*m_seed);
  else
    m_rng.SeedFromTime();
  FillTransferBuffer(m_transfer.get(), m_nOverwritten);
  m_nOverwritten = 4;  // every chunk's length word
}

void StreamService::FormatError(StopSignal& stop, const char* format, int err) {
  if (stop.Stopped()) return;
  char text[128];
  std::snprintf(text, sizeof text, format, err);
  m_strError = text;
}

}  // namespace quarvent
