// The toolkit-free start and stop logic of the listen dialog: 待受開始 starts
// the TCP and the UDP stream service on the owner's port, 中断 stops both at
// once. The dialog and the console front end drive it the same way.
//
// All public members are called on the owner's thread.
#pragma once

#include <atomic>
#include <functional>
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

  explicit ListenController(ServerHost& host);
  // Stops both services and waits for their threads (they return at once
  // once stopped).
  ~ListenController();
  ListenController(const ListenController&) = delete;
  ListenController& operator=(const ListenController&) = delete;

  // 待受開始: progress 0, listening state 1, status "初期化中...", then both
  // service threads are created, their handles stored, and the TCP thread is
  // released before the UDP thread. Threads of an earlier start are stopped
  // (if one still runs) and joined first, so there is never more than one
  // thread per protocol and the port is free again. The port is read from the
  // host by the services (its low 16 bits).
  //
  // When either thread cannot be created, whatever was created is stopped
  // before it runs a service and joined, and the owner is put back in the
  // idle state with the status "スレッド作成失敗."; the result is then false.
  bool OnStartListen();

  // 中断: stops whichever service still has its handle, without waiting for
  // it; clears m_sockListen; status "←「待受開始」をクリックして下さい";
  // listening state 0. Leaves the progress bar and m_bConnected as they are.
  // Nothing of a stopped service reaches the host after this returns.
  void OnStopListen();

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
  class Relay;  // forwards to the host and clears the handle flags

  void Retire(std::unique_ptr<StopSignal>& stop, std::thread& thread);

  ServerHost& m_host;
  ThreadStarter m_startThread;
  std::unique_ptr<Relay> m_relay;
  TcpListenFields m_fields;
  TcpServiceThread m_tcp;
  UdpServiceThread m_udp;
  std::unique_ptr<StopSignal> m_tcpStop;
  std::unique_ptr<StopSignal> m_udpStop;
  std::thread m_hTcpThread;
  std::thread m_hUdpThread;
  std::atomic<bool> m_bTcpHandle{false};
  std::atomic<bool> m_bUdpHandle{false};
};

}  // namespace quarvent
