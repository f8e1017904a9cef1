// Serves many TCP and UDP clients on one port at the same time. Each session
// runs on a thread of its own and is served exactly as the single-client
// services serve one client (its own generator, transfer buffer, limits and
// session line). TCP: one acceptor; a client beyond the limit waits in the
// listen backlog. UDP: one listening socket takes every datagram from a source
// that has no session, and gives each admitted source a socket of its own,
// bound to the same port and connected to the source, so the kernel hands the
// source's later datagrams to its session alone.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/socket.h"
#include "common/stop_signal.h"
#include "server/server_host.h"
#include "server/service_options.h"
#include "server/session_slots.h"
#include "server/session_threads.h"

namespace quarvent {

// The error code of the negotiation failure text that refuses a client
// beyond the limits ("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=87.": too many users).
inline constexpr int kRefusedErrCode = 87;

class ConcurrentServer {
 public:
  // host receives every session's line (OnSessionEnd, OnSessionStopped) and
  // receive error notice, from the session threads; nothing else.
  ConcurrentServer(ServerHost& host, const ServiceOptions& options, int port);
  ~ConcurrentServer();  // Stop()
  ConcurrentServer(const ConcurrentServer&) = delete;
  ConcurrentServer& operator=(const ConcurrentServer&) = delete;

  // Binds both sockets on the calling thread, then starts the acceptor and
  // the datagram dispatcher. Returns "" when both serve, else what failed,
  // in words ("TCP port 49152: Address already in use"), with nothing left
  // running.
  std::string Start();
  // Stops the listeners and every session; a session in progress gets its
  // line (OnSessionStopped). Waits for all their threads.
  void Stop();

  int ActiveTcp() const noexcept { return m_tcpSlots.Active(); }
  int ActiveUdp() const noexcept { return m_udpSlots.Active(); }
  // Clients refused because of the limits (or a thread or socket that could
  // not be created for them), since the start.
  int64_t RefusedTcp() const noexcept { return m_nRefusedTcp.load(); }
  int64_t RefusedUdp() const noexcept { return m_nRefusedUdp.load(); }

 private:
  class Relay;

  std::string BindTcp(Socket& sock) const;
  // local: the address a session's socket answers from (the one its source
  // sent to), or null for the listener's own.
  std::string BindUdp(Socket& sock, const sockaddr_storage* local = nullptr) const;
  void Accept(StopSignal& stop, int listenFd);
  void Dispatch(StopSignal& stop, int listenFd);
  bool LaunchTcp(int fd, const sockaddr_storage& peer);
  // A datagram that reached the listener, kept while another is dealt with.
  struct Pending {
    sockaddr_storage from{};
    sockaddr_storage to{};  // the address it was sent to; family 0 when unknown
    std::vector<char> data;
  };
  int ReceiveOne(int listenFd, int flags, Pending* out);
  void AdmitDatagram(int listenFd, Pending first);
  std::deque<std::vector<char>> TakeEarlyDatagrams(int listenFd, int sessionFd, Pending first);
  bool LaunchUdp(int fd, std::deque<std::vector<char>> first, const sockaddr_storage& peer);
  void RefuseTcp(int fd);
  void RefuseUdp(int listenFd, int size, const sockaddr_storage& to, int err);

  ServerHost& m_host;
  const ServiceOptions m_options;
  const int m_nPort;
  std::unique_ptr<Relay> m_relay;
  SessionSlots m_tcpSlots;
  SessionSlots m_udpSlots;
  std::atomic<int64_t> m_nRefusedTcp{0};
  std::atomic<int64_t> m_nRefusedUdp{0};
  std::mutex m_mutex;
  std::set<std::string> m_udpSources;  // address and port of every UDP session
  std::vector<char> m_datagram;        // the dispatcher's receive buffer
  std::deque<Pending> m_deferred;      // datagrams of new sources met while draining
  SessionThreads m_sessions;
  StopSignal m_tcpStop;
  StopSignal m_udpStop;
  std::thread m_acceptor;
  std::thread m_dispatcher;
};

}  // namespace quarvent
