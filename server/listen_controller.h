// The toolkit-free start and stop logic of the listen dialog: 待受開始 starts
// the TCP and the UDP stream service on the owner's port, 中断 stops both at
// once. The dialog drives it, and the tests drive it without a window (the
// console's serve runs the services itself).
//
// All public members are called on the owner's thread. Every start and every
// stop begins a new generation. What the services hand to the owner goes
// through the host's Post(), stamped with the generation of the start that
// made it, and takes effect only while that generation is still current: a
// stopped start's late changes are dropped however late they arrive. A
// service thread's last post says that it has finished; the owner joins it
// then.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <latch>
#include <memory>
#include <thread>

#include "common/stop_signal.h"
#include "server/server_host.h"
#include "server/tcp_service.h"
#include "server/udp_service.h"

namespace quarvent {

class ListenController {
 public:
  // Creates a thread that runs body. Like the std::thread constructor it
  // throws std::system_error when the system cannot create one.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  // Constructed on the owner's thread.
  explicit ListenController(ServerHost& host);
  // Stops both services and waits for their threads (they return at once
  // once stopped). A host with a thread of its own drops the tasks still
  // posted for the controller.
  ~ListenController();
  ListenController(const ListenController&) = delete;
  ListenController& operator=(const ListenController&) = delete;

  // 待受開始: progress 0, listening state 1, status "初期化中...", then both
  // service threads are created, their handles stored, and the TCP thread is
  // released before the UDP thread. A thread of an earlier start that is
  // not joined yet (its finished post is still to come) is stopped, if it
  // still runs, and joined first, so there is never more than one
  // thread per protocol and the port is free again: a stopped service shuts
  // its sockets down at once but closes them, and lets go of the port, only
  // as its run returns. The port is read from the host by the services (its
  // low 16 bits). Begins a new generation.
  //
  // When either thread cannot be created, whatever was created is stopped
  // before it runs a service and joined, and the owner is put back in the
  // idle state with the status "スレッド作成失敗."; the result is then false.
  bool OnStartListen();

  // 中断: stops whichever service still has its handle, without waiting for
  // it; clears m_sockListen; status "←「待受開始」をクリックして下さい";
  // listening state 0. Leaves the progress bar and m_bConnected as they are.
  // Begins a new generation: nothing of a stopped service takes effect at the
  // host after this returns.
  void OnStopListen();

  // The current generation, and whether changes stamped with generation
  // still take effect. IsCurrent may be asked on any thread.
  std::uint64_t Generation() const noexcept { return m_nGeneration.load(); }
  bool IsCurrent(std::uint64_t generation) const noexcept {
    return generation == m_nGeneration.load();
  }
  // Service threads created and not yet joined (0 to 2).
  int ServiceThreads() const noexcept {
    return int{m_hTcpThread.joinable()} + int{m_hUdpThread.joinable()};
  }

  // m_bConnected: a TCP client is being served (or was, when 中断 came).
  bool Connected() const noexcept { return m_fields.m_bConnected.load() != 0; }
  // m_sockListen: the listening socket's descriptor, 0 when none.
  int ListenSocket() const noexcept { return m_fields.m_sockListen.load(); }
  // m_hTcpThread / m_hUdpThread are non-null: the service was started and has
  // neither been stopped nor ended by itself.
  bool TcpRunning() const noexcept { return m_bTcpHandle.load(); }
  bool UdpRunning() const noexcept { return m_bUdpHandle.load(); }

  // The services themselves (their error texts live as long as the controller).
  // Touch them only while no service runs, e.g. to seed them in a test.
  TcpServiceThread& Tcp() noexcept { return m_tcp; }
  UdpServiceThread& Udp() noexcept { return m_udp; }

  // How the next start creates its threads (a plain std::thread unless a
  // test makes it fail). Set it only while no service runs.
  void SetThreadStarter(ThreadStarter starter) { m_startThread = std::move(starter); }

 private:
  class Relay;  // one per service: stamps and posts its calls to the host

  // Creates the thread that runs service once gate opens, then posts that it
  // has finished.
  template <class Service>
  std::thread Launch(Service& service, Relay& relay, std::shared_ptr<std::latch> gate);
  // A start whose second thread could not be created: both gates open on a
  // stopped signal, both threads are joined, and the owner is idle again.
  void FailStart(std::latch& tcpGate, std::latch& udpGate);
  // Stops whatever thread is left and joins it.
  void Retire();
  // A service thread's last post: its run has returned, so it is joined now.
  void OnServiceFinished(ServiceKind kind, std::uint64_t generation);
  void NextGeneration() { m_nGeneration.fetch_add(1); }

  ServerHost& m_host;
  const std::thread::id m_ownerThread;
  ThreadStarter m_startThread;
  std::unique_ptr<Relay> m_tcpRelay;
  std::unique_ptr<Relay> m_udpRelay;
  TcpListenFields m_fields;
  TcpServiceThread m_tcp;
  UdpServiceThread m_udp;
  std::atomic<std::uint64_t> m_nGeneration{0};
  std::uint64_t m_nStartGeneration = 0;  // of the start whose threads are held
  std::unique_ptr<StopSignal> m_stop;    // that start's, shared by both services
  std::thread m_hTcpThread;
  std::thread m_hUdpThread;
  std::atomic<bool> m_bTcpHandle{false};
  std::atomic<bool> m_bUdpHandle{false};
};

}  // namespace quarvent
