// Carries the receive routines' error notices of one service run to its host
// and holds the service until the notice is acknowledged or the run stopped.
#pragma once

#include <string_view>

#include "common/stop_signal.h"
#include "common/transfer.h"
#include "server/server_host.h"
#include "server/session_meter.h"

namespace quarvent {

class ServiceNoticeSink final : public RecvErrorSink {
 public:
  ServiceNoticeSink(ServerHost& host, ServiceKind kind, StopSignal& stop, const SessionMeter& meter)
      : m_host(host), m_kind(kind), m_stop(stop), m_meter(meter), m_scope(this) {}

  void NotifyRecvError(std::string_view text) override {
    // A receive that a time limit ended is no error to tell anyone about: the
    // session's record says why it ended.
    if (m_meter.Expired() != SessionMeter::Expiry::kNone) return;
    NoticeAck ack;
    if (!m_stop.IfRunning([&] { m_host.ShowRecvErrorNotice(m_kind, text, ack); })) return;
    ack.Wait(m_stop);
  }

 private:
  ServerHost& m_host;
  ServiceKind m_kind;
  StopSignal& m_stop;
  const SessionMeter& m_meter;
  ScopedRecvErrorSink m_scope;  // installed on the constructing thread
};

}  // namespace quarvent
