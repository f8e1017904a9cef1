#include "server/listen_controller.h"

#include <latch>
#include <system_error>

namespace quarvent {
namespace {

// The status when a service thread cannot be created.
constexpr char kThreadFailed[] = "スレッド作成失敗.";

}  // namespace

// What the services see of their owner: the host, plus the handle flags that
// a service clears as its last step when it ends by itself.
class ListenController::Relay final : public ServerHost {
 public:
  explicit Relay(ListenController& owner) : m_owner(owner) {}
  int Port() override { return m_owner.m_host.Port(); }
  void SetStatusText(std::string_view utf8) override { m_owner.m_host.SetStatusText(utf8); }
  void SetProgress(int position) override { m_owner.m_host.SetProgress(position); }
  void SetListeningState(int state) override { m_owner.m_host.SetListeningState(state); }
  void ClearServiceHandle(ServiceKind kind) override {
    (kind == ServiceKind::kTcp ? m_owner.m_bTcpHandle : m_owner.m_bUdpHandle) = false;
    m_owner.m_host.ClearServiceHandle(kind);
  }
  void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) override {
    m_owner.m_host.ShowRecvErrorNotice(kind, utf8, std::move(ack));
  }
  void OnServiceListening(ServiceKind kind) override { m_owner.m_host.OnServiceListening(kind); }
  void OnSessionEnd(const SessionRecord& record) override { m_owner.m_host.OnSessionEnd(record); }
  void OnSessionStopped(const SessionRecord& record) override {
    m_owner.m_host.OnSessionStopped(record);
  }

 private:
  ListenController& m_owner;
};

ListenController::ListenController(ServerHost& host)
    : m_host(host),
      m_startThread([](std::function<void()> body) { return std::thread(std::move(body)); }),
      m_relay(std::make_unique<Relay>(*this)),
      m_tcp(*m_relay, m_fields),
      m_udp(*m_relay) {}

ListenController::~ListenController() {
  m_bTcpHandle = false;
  m_bUdpHandle = false;
  Retire(m_tcpStop, m_hTcpThread);
  Retire(m_udpStop, m_hUdpThread);
}

// Stops a thread of an earlier start (a no-op when it was stopped already or
// ended by itself) and waits for it. A stopped service returns at once: its
// sockets are shut down and nothing it does waits for the owner.
void ListenController::Retire(std::unique_ptr<StopSignal>& stop, std::thread& thread) {
  if (stop) stop->Stop();
  if (thread.joinable()) thread.join();
  stop.reset();
}

bool ListenController::OnStartListen() {
  Retire(m_tcpStop, m_hTcpThread);
  Retire(m_udpStop, m_hUdpThread);

  m_host.SetProgress(0);
  m_host.SetListeningState(1);
  m_host.SetStatusText("初期化中...");

  // Both threads are created held and their handles stored before either runs.
  m_tcpStop = std::make_unique<StopSignal>();
  m_udpStop = std::make_unique<StopSignal>();
  auto tcpGate = std::make_shared<std::latch>(1);
  auto udpGate = std::make_shared<std::latch>(1);
  try {
    m_hTcpThread = m_startThread([this, tcpGate, stop = m_tcpStop.get()] {
      tcpGate->wait();
      m_tcp.Run(*stop);
    });
    m_hUdpThread = m_startThread([this, udpGate, stop = m_udpStop.get()] {
      udpGate->wait();
      m_udp.Run(*stop);
    });
  } catch (const std::system_error&) {
    // A thread that was created is stopped before it is let go, so its run
    // returns at once without a call to the host, and then it is joined.
    m_tcpStop->Stop();
    m_udpStop->Stop();
    tcpGate->count_down();
    udpGate->count_down();
    Retire(m_tcpStop, m_hTcpThread);
    Retire(m_udpStop, m_hUdpThread);
    // What the TCP thread would have reset as its first step: no client of
    // an earlier start counts for the close question any more.
    m_fields.m_bConnected = 0;
    m_fields.m_sockListen = 0;
    m_host.SetStatusText(kThreadFailed);
    m_host.SetListeningState(0);
    return false;
  }
  m_bTcpHandle = true;
  m_bUdpHandle = true;
  tcpGate->count_down();
  udpGate->count_down();
  return true;
}

void ListenController::OnStopListen() {
  if (m_bTcpHandle.exchange(false)) {
    m_tcpStop->Stop();
    m_fields.m_sockListen = 0;
  }
  if (m_bUdpHandle.exchange(false)) m_udpStop->Stop();
  m_host.SetStatusText("←「待受開始」をクリックして下さい");
  m_host.SetListeningState(0);
}

}  // namespace quarvent
