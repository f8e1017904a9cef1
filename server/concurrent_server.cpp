#include "server/concurrent_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/transfer.h"
#include "server/bind_port.h"
#include "server/tcp_service.h"
#include "server/udp_service.h"

namespace quarvent {
namespace {

// The negotiation failure text of a refused client, code page 932, with its NUL.
std::string RefusalText(int err) {
  char text[64];
  std::snprintf(text, sizeof text, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=%d.", err);
  return Utf8ToCp932(text);
}

uint64_t SourceKey(const sockaddr_in& from) {
  return (static_cast<uint64_t>(from.sin_addr.s_addr) << 16) | from.sin_port;
}

}  // namespace

// What a session sees of the owner: its line and its receive errors. The
// single-client status texts and the progress bar mean nothing for many
// sessions at once and are dropped.
class ConcurrentServer::Relay final : public ServerHost {
 public:
  explicit Relay(ConcurrentServer& owner) : m_owner(owner) {}
  int Port() override { return m_owner.m_nPort; }
  void SetStatusText(std::string_view) override {}
  void SetProgress(int) override {}
  void SetListeningState(int) override {}
  void ClearServiceHandle(ServiceKind) override {}
  void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) override {
    m_owner.m_host.ShowRecvErrorNotice(kind, utf8, std::move(ack));
  }
  void OnSessionEnd(const SessionRecord& record) override { m_owner.m_host.OnSessionEnd(record); }
  void OnSessionStopped(const SessionRecord& record) override {
    m_owner.m_host.OnSessionStopped(record);
  }

 private:
  ConcurrentServer& m_owner;
};

ConcurrentServer::ConcurrentServer(ServerHost& host, const ServiceOptions& options, int port)
    : m_host(host),
      m_options(options),
      m_nPort(port),
      m_relay(std::make_unique<Relay>(*this)),
      m_tcpSlots(options.maxClients, options.maxPerSource),
      m_udpSlots(options.maxClients, options.maxPerSource),
      m_datagram(kDatagramRoom) {}

ConcurrentServer::~ConcurrentServer() {
  Stop();
}

std::string ConcurrentServer::BindTcp(Socket& sock) const {
  const auto failed = [&](const char* what) {
    return std::string("TCP port ") + std::to_string(m_nPort & 0xFFFF) + ": " + what + ": " +
           std::strerror(errno);
  };
  sock = Socket::Tcp();
  if (!sock) return failed("socket");
  SetSocketOption(sock.Fd(), SO_REUSEADDR, 1);
  if (BindPort(sock.Fd(), m_options.bindAddress, m_nPort) < 0) return failed("bind");
  // Room in the backlog for a full round of clients connecting at once.
  if (::listen(sock.Fd(), std::min(m_options.maxClients, SOMAXCONN)) < 0) return failed("listen");
  return "";
}

// Every socket on the port shares it (SO_REUSEADDR and SO_REUSEPORT, which
// Linux grants only to sockets of the same user). A connected socket matches
// a datagram better than the unconnected listener does, so a source's
// datagrams reach its own session once its socket is connected.
std::string ConcurrentServer::BindUdp(Socket& sock) const {
  const auto failed = [&](const char* what) {
    return std::string("UDP port ") + std::to_string(m_nPort & 0xFFFF) + ": " + what + ": " +
           std::strerror(errno);
  };
  sock = Socket::Udp();
  if (!sock) return failed("socket");
  SetSocketOption(sock.Fd(), SO_REUSEADDR, 1);
  SetSocketOption(sock.Fd(), SO_REUSEPORT, 1);
  if (BindPort(sock.Fd(), m_options.bindAddress, m_nPort) < 0) return failed("bind");
  return "";
}

std::string ConcurrentServer::Start() {
  Socket tcp;
  Socket udp;
  std::string problem = BindTcp(tcp);
  if (problem.empty()) problem = BindUdp(udp);
  if (!problem.empty()) return problem;
  try {
    m_acceptor = std::thread([this, fd = tcp.Release()] {
      AttachedSocket listen(m_tcpStop, Socket(fd));
      if (listen.Attached()) Accept(m_tcpStop, listen.Fd());
    });
    m_dispatcher = std::thread([this, fd = udp.Release()] {
      AttachedSocket listen(m_udpStop, Socket(fd));
      if (listen.Attached()) Dispatch(m_udpStop, listen.Fd());
    });
  } catch (const std::system_error& e) {
    Stop();
    return std::string("cannot create a thread: ") + e.what();
  }
  return "";
}

void ConcurrentServer::Stop() {
  m_tcpStop.Stop();
  m_udpStop.Stop();
  if (m_acceptor.joinable()) m_acceptor.join();
  if (m_dispatcher.joinable()) m_dispatcher.join();
  m_sessions.StopAll();
}

void ConcurrentServer::Accept(StopSignal& stop, int listenFd) {
  for (;;) {
    // All slots taken: the next client waits in the backlog until one is free.
    while (m_tcpSlots.Full())
      if (stop.WaitFor(std::chrono::seconds(1), [&] { return !m_tcpSlots.Full(); })) return;
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (stop.Stopped()) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      // No descriptors left, or a passing failure: tried again in a second.
      if (errno != EINTR && errno != ECONNABORTED && stop.WaitFor(std::chrono::seconds(1))) return;
      continue;
    }
    if (m_tcpSlots.Take(peer.sin_addr.s_addr) != SessionSlots::Admit::kTaken) {
      RefuseTcp(fd);
      continue;
    }
    if (!LaunchTcp(fd, peer)) {
      m_tcpSlots.Release(peer.sin_addr.s_addr);
      RefuseTcp(fd);
    }
  }
}

bool ConcurrentServer::LaunchTcp(int fd, const sockaddr_in& peer) {
  return m_sessions.Launch([this, fd, peer](StopSignal& stop) {
    {
      TcpListenFields fields;
      TcpServiceThread service(*m_relay, fields);
      service.SetOptions(m_options);
      service.ServeAccepted(Socket(fd), peer, stop);
    }
    m_tcpSlots.Release(peer.sin_addr.s_addr);
    m_tcpStop.Wake();
  });
}

// The refused client gets the negotiation failure text. Whatever it has sent
// already is read first, so that the close is a plain end and not a reset
// that could overtake the text.
void ConcurrentServer::RefuseTcp(int fd) {
  ++m_nRefusedTcp;
  char sink[256];
  for (int i = 0; i < 64 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  const std::string text = RefusalText(kRefusedErrCode);
  (void)::send(fd, text.c_str(), text.size() + 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
}

void ConcurrentServer::Dispatch(StopSignal& stop, int listenFd) {
  for (;;) {
    if (!m_deferred.empty()) {
      Pending next = std::move(m_deferred.front());
      m_deferred.pop_front();
      AdmitDatagram(listenFd, std::move(next));
      continue;
    }
    Pending datagram;
    const int n = ReceiveOne(listenFd, 0, &datagram);
    if (stop.Stopped()) return;
    if (n < 0) {
      if (errno != EINTR && errno != EAGAIN && stop.WaitFor(std::chrono::milliseconds(10))) return;
      continue;
    }
    if (n > 0) AdmitDatagram(listenFd, std::move(datagram));
  }
}

// One datagram from the listener into *out (at most the receive room).
// Returns its length, 0 for one that opens nothing (empty, not IPv4), or
// the result of recvfrom.
int ConcurrentServer::ReceiveOne(int listenFd, int flags, Pending* out) {
  socklen_t fromLen = sizeof out->from;
  const ssize_t n = ::recvfrom(listenFd, m_datagram.data(), m_datagram.size(), flags,
                               reinterpret_cast<sockaddr*>(&out->from), &fromLen);
  if (n <= 0) return n < 0 ? -1 : 0;
  if (fromLen != sizeof out->from || out->from.sin_family != AF_INET) return 0;
  out->data.assign(m_datagram.data(), m_datagram.data() + n);
  return static_cast<int>(n);
}

// A datagram from a source without a session: a negotiation.
void ConcurrentServer::AdmitDatagram(int listenFd, Pending first) {
  const sockaddr_in from = first.from;
  const int size = static_cast<int>(first.data.size());
  const uint64_t key = SourceKey(from);
  {
    // Every datagram that came before the source's socket was connected was
    // taken into its session: nothing of a served source is left here.
    std::lock_guard lock(m_mutex);
    if (m_udpSources.count(key)) return;
  }
  if (m_udpSlots.Take(from.sin_addr.s_addr) != SessionSlots::Admit::kTaken) {
    RefuseUdp(listenFd, size, from, kRefusedErrCode);
    return;
  }
  Socket sock;
  int err = 0;
  if (!BindUdp(sock).empty() ||
      ::connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from) < 0)
    err = errno;
  if (err != 0) {
    m_udpSlots.Release(from.sin_addr.s_addr);
    RefuseUdp(listenFd, size, from, err);
    return;
  }
  {
    std::lock_guard lock(m_mutex);
    m_udpSources.insert(key);
  }
  const int fd = sock.Release();
  if (!LaunchUdp(fd, TakeEarlyDatagrams(listenFd, fd, std::move(first)), from)) {
    ::close(fd);
    {
      std::lock_guard lock(m_mutex);
      m_udpSources.erase(key);
    }
    m_udpSlots.Release(from.sin_addr.s_addr);
    RefuseUdp(listenFd, size, from, kRefusedErrCode);
  }
}

// The source's socket is connected: from now on the kernel hands its
// datagrams to that socket. Those that came before are still queued on the
// listener and go to the session in order; datagrams of other new sources
// met on the way are dealt with next.
std::deque<std::vector<char>> ConcurrentServer::TakeEarlyDatagrams(int listenFd, int sessionFd,
                                                                   Pending first) {
  const uint64_t key = SourceKey(first.from);
  std::deque<std::vector<char>> early;
  early.push_back(std::move(first.data));
  // Datagrams deferred earlier came first and may be the source's too.
  for (auto it = m_deferred.begin(); it != m_deferred.end();) {
    if (SourceKey(it->from) == key) {
      early.push_back(std::move(it->data));
      it = m_deferred.erase(it);
    } else {
      ++it;
    }
  }
  // What waits on the listener now, and then what the session's socket
  // got between its bind and its connect: then it was one more unconnected
  // socket on the port, and the kernel may have given it negotiations of
  // other sources, which go back to the listener's queue.
  for (const int fd : {listenFd, sessionFd}) {
    constexpr size_t kMostDeferred = 4096;
    constexpr int kMostTaken = 4096;  // a source that keeps sending cannot hold the loop
    for (int taken = 0; taken < kMostTaken && m_deferred.size() < kMostDeferred; ++taken) {
      Pending datagram;
      const int n = ReceiveOne(fd, MSG_DONTWAIT, &datagram);
      if (n < 0 || m_udpStop.Stopped()) break;
      if (n == 0) continue;
      if (SourceKey(datagram.from) == key)
        early.push_back(std::move(datagram.data));
      else
        m_deferred.push_back(std::move(datagram));
    }
  }
  return early;
}

bool ConcurrentServer::LaunchUdp(int fd, std::deque<std::vector<char>> first,
                                 const sockaddr_in& peer) {
  auto datagrams = std::make_shared<std::deque<std::vector<char>>>(std::move(first));
  return m_sessions.Launch([this, fd, datagrams, peer](StopSignal& stop) {
    {
      UdpServiceThread service(*m_relay);
      service.SetOptions(m_options);
      service.ServeSource(Socket(fd), std::move(*datagrams), peer, stop);
    }
    {
      std::lock_guard lock(m_mutex);
      m_udpSources.erase(SourceKey(peer));
    }
    m_udpSlots.Release(peer.sin_addr.s_addr);
  });
}

// The refusal is sent only for a datagram at least as long as the text, so
// that a refused source never draws more than it sends.
void ConcurrentServer::RefuseUdp(int listenFd, int size, const sockaddr_in& to, int err) {
  ++m_nRefusedUdp;
  const std::string text = RefusalText(err);
  if (size < static_cast<int>(text.size() + 1)) return;
  (void)::sendto(listenFd, text.c_str(), text.size() + 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace quarvent
