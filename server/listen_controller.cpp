#include "server/listen_controller.h"

#include <string>
#include <system_error>
#include <utility>

#include "server/progress_post.h"

namespace quarvent {
namespace {

// The status when a service thread cannot be created.
constexpr char kThreadFailed[] = "スレッド作成失敗.";

}  // namespace

// What one service sees of its owner. Each call is posted to the host stamped
// with the generation of the service's start and made there only while that
// generation is current; progress positions are coalesced. The handle flag
// is cleared at once, on the service's thread, as the service's last step.
class ListenController::Relay final : public ServerHost {
 public:
  Relay(ListenController& owner, ServiceKind kind) : m_owner(owner), m_kind(kind) {}

  // Set on the owner's thread before a start's threads are created; no
  // thread of an earlier start is left by then.
  void BeginStart(std::uint64_t generation) noexcept { m_nGeneration = generation; }

  int Port() override { return m_owner.m_host.Port(); }
  void SetStatusText(std::string_view utf8) override {
    Forward([text = std::string(utf8)](ServerHost& host) { host.SetStatusText(text); });
  }
  // The task is small enough for std::function to hold without allocating:
  // a busy service comes here every few chunks.
  void SetProgress(int position) override {
    if (!m_progress.Offer(m_nGeneration, position)) return;
    m_owner.m_host.Post([this, generation = m_nGeneration] {
      int latest = 0;
      if (m_progress.Take(generation, &latest) && m_owner.IsCurrent(generation))
        m_owner.m_host.SetProgress(latest);
    });
  }
  void SetListeningState(int state) override {
    Forward([state](ServerHost& host) { host.SetListeningState(state); });
  }
  void ClearServiceHandle(ServiceKind kind) override {
    (kind == ServiceKind::kTcp ? m_owner.m_bTcpHandle : m_owner.m_bUdpHandle) = false;
    Forward([kind](ServerHost& host) { host.ClearServiceHandle(kind); });
  }
  void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) override {
    // A notice dropped as stale is never acknowledged: its service waits for
    // its stop, which has come.
    Forward([kind, text = std::string(utf8), ack = std::move(ack)](ServerHost& host) {
      host.ShowRecvErrorNotice(kind, text, ack);
    });
  }
  void OnServiceListening(ServiceKind kind) override {
    Forward([kind](ServerHost& host) { host.OnServiceListening(kind); });
  }
  void OnSessionEnd(const SessionRecord& record) override {
    Forward([record](ServerHost& host) { host.OnSessionEnd(record); });
  }
  // Comes after the stop by definition: handed on as it is.
  void OnSessionStopped(const SessionRecord& record) override {
    m_owner.m_host.OnSessionStopped(record);
  }

  // The thread's last act, whether its start is current or not.
  void Finished() {
    m_owner.m_host.Post([&owner = m_owner, kind = m_kind, generation = m_nGeneration] {
      owner.OnServiceFinished(kind, generation);
    });
  }

 private:
  template <class F>
  void Forward(F apply) {
    m_owner.m_host.Post(
        [&owner = m_owner, generation = m_nGeneration, apply = std::move(apply)]() mutable {
          if (owner.IsCurrent(generation)) apply(owner.m_host);
        });
  }

  ListenController& m_owner;
  const ServiceKind m_kind;
  std::uint64_t m_nGeneration = 0;  // of the start whose thread calls
  ProgressPost m_progress;
};

ListenController::ListenController(ServerHost& host)
    : m_host(host),
      m_ownerThread(std::this_thread::get_id()),
      m_startThread([](std::function<void()> body) { return std::thread(std::move(body)); }),
      m_tcpRelay(std::make_unique<Relay>(*this, ServiceKind::kTcp)),
      m_udpRelay(std::make_unique<Relay>(*this, ServiceKind::kUdp)),
      m_tcp(*m_tcpRelay, m_fields),
      m_udp(*m_udpRelay) {}

ListenController::~ListenController() {
  m_bTcpHandle = false;
  m_bUdpHandle = false;
  NextGeneration();
  Retire();
}

// A stopped service returns at once: its sockets are shut down and nothing it
// does waits for the owner.
void ListenController::Retire() {
  if (m_stop) m_stop->Stop();
  if (m_hTcpThread.joinable()) m_hTcpThread.join();
  if (m_hUdpThread.joinable()) m_hUdpThread.join();
  m_stop.reset();
}

template <class Service>
std::thread ListenController::Launch(Service& service, Relay& relay,
                                     std::shared_ptr<std::latch> gate) {
  return m_startThread([&service, &relay, gate = std::move(gate), stop = m_stop.get()] {
    gate->wait();
    service.Run(*stop);
    relay.Finished();
  });
}

bool ListenController::OnStartListen() {
  Retire();

  m_host.SetProgress(0);
  m_host.SetListeningState(1);
  m_host.SetStatusText("初期化中...");

  NextGeneration();
  m_nStartGeneration = Generation();
  m_tcpRelay->BeginStart(m_nStartGeneration);
  m_udpRelay->BeginStart(m_nStartGeneration);
  // Both threads are created held and their handles stored before either runs.
  m_stop = std::make_unique<StopSignal>();
  auto tcpGate = std::make_shared<std::latch>(1);
  auto udpGate = std::make_shared<std::latch>(1);
  try {
    m_hTcpThread = Launch(m_tcp, *m_tcpRelay, tcpGate);
    m_hUdpThread = Launch(m_udp, *m_udpRelay, udpGate);
  } catch (const std::system_error&) {
    FailStart(*tcpGate, *udpGate);
    return false;
  }
  m_bTcpHandle = true;
  m_bUdpHandle = true;
  tcpGate->count_down();
  udpGate->count_down();
  return true;
}

void ListenController::FailStart(std::latch& tcpGate, std::latch& udpGate) {
  // A thread that was created is stopped before it is let go, so its run
  // returns at once without a call to the host, and then it is joined.
  m_stop->Stop();
  tcpGate.count_down();
  udpGate.count_down();
  Retire();
  // What the TCP thread would have reset as its first step: no client of
  // an earlier start counts for the close question any more.
  m_fields.m_bConnected = 0;
  m_fields.m_sockListen = 0;
  m_host.SetStatusText(kThreadFailed);
  m_host.SetListeningState(0);
}

void ListenController::OnStopListen() {
  const bool tcp = m_bTcpHandle.exchange(false);
  const bool udp = m_bUdpHandle.exchange(false);
  if (tcp || udp) m_stop->Stop();
  if (tcp) m_fields.m_sockListen = 0;
  NextGeneration();
  m_host.SetStatusText("←「待受開始」をクリックして下さい");
  m_host.SetListeningState(0);
}

// A host that runs posted tasks at once runs this on the service thread
// itself; that thread is joined by the next start or the destructor. So is a
// thread of an earlier start, whose post arrives after that start joined it.
void ListenController::OnServiceFinished(ServiceKind kind, std::uint64_t generation) {
  if (std::this_thread::get_id() != m_ownerThread || generation != m_nStartGeneration) return;
  std::thread& thread = kind == ServiceKind::kTcp ? m_hTcpThread : m_hUdpThread;
  if (thread.joinable()) thread.join();
}

}  // namespace quarvent
