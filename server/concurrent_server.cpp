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
#include "server/packet_info.h"
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

Endpoint Peer(const sockaddr_storage& addr) {
  return Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

// One source (address and port) and one host (address): a v4-mapped source
// is the IPv4 address it stands for.
std::string SourceKey(const sockaddr_storage& from) {
  return Peer(from).SourceKey();
}
std::string HostKey(const sockaddr_storage& from) {
  return Peer(from).AddressKey();
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
  sock = Socket::Tcp(m_options.bindAddress.Family());
  if (!sock) return failed("socket");
  SetSocketOption(sock.Fd(), SO_REUSEADDR, 1);
  if (BindPort(sock.Fd(), m_options.bindAddress, m_options.dualStack, m_nPort) < 0)
    return failed("bind");
  // Room in the backlog for a full round of clients connecting at once.
  if (::listen(sock.Fd(), std::min(m_options.maxClients, SOMAXCONN)) < 0) return failed("listen");
  return "";
}

// Every socket on the port shares it (SO_REUSEADDR and SO_REUSEPORT, which
// Linux grants only to sockets of the same user). A connected socket matches
// a datagram better than the unconnected listener does, so a source's
// datagrams reach its own session once its socket is connected.
// The listener is told where each datagram was sent, and a session's socket
// is bound to that address, so that a host with several addresses answers
// from the one its client sent to.
std::string ConcurrentServer::BindUdp(Socket& sock, const sockaddr_storage* local) const {
  const auto failed = [&](const char* what) {
    return std::string("UDP port ") + std::to_string(m_nPort & 0xFFFF) + ": " + what + ": " +
           std::strerror(errno);
  };
  sock = Socket::Udp(m_options.bindAddress.Family());
  if (!sock) return failed("socket");
  SetSocketOption(sock.Fd(), SO_REUSEADDR, 1);
  SetSocketOption(sock.Fd(), SO_REUSEPORT, 1);
  if (!local) EnablePacketInfo(sock.Fd(), m_options.bindAddress.Family());
  if (local && local->ss_family != 0 && m_options.bindAddress.IsWildcard()) {
    // Family and v6-only as the listener's: a v4-mapped address stays mapped.
    if (m_options.bindAddress.IsIpv6()) {
      const int v6only = m_options.dualStack ? 0 : 1;
      ::setsockopt(sock.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(local), SockaddrLength(*local)) == 0)
      return "";
    // An address that cannot be bound (one no longer there): the listener's.
    sock = Socket::Udp(m_options.bindAddress.Family());
    if (!sock) return failed("socket");
    SetSocketOption(sock.Fd(), SO_REUSEADDR, 1);
    SetSocketOption(sock.Fd(), SO_REUSEPORT, 1);
  }
  if (BindPort(sock.Fd(), m_options.bindAddress, m_options.dualStack, m_nPort) < 0)
    return failed("bind");
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
    sockaddr_storage peer{};
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
    if (m_tcpSlots.Take(HostKey(peer)) != SessionSlots::Admit::kTaken) {
      RefuseTcp(fd);
      continue;
    }
    if (!LaunchTcp(fd, peer)) {
      m_tcpSlots.Release(HostKey(peer));
      RefuseTcp(fd);
    }
  }
}

bool ConcurrentServer::LaunchTcp(int fd, const sockaddr_storage& peer) {
  return m_sessions.Launch([this, fd, peer](StopSignal& stop) {
    {
      TcpListenFields fields;
      TcpServiceThread service(*m_relay, fields);
      service.SetOptions(m_options);
      service.ServeAccepted(Socket(fd), peer, stop);
    }
    m_tcpSlots.Release(HostKey(peer));
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
// Returns its length, 0 for one that opens nothing (empty, from no IP
// address), or the result of recvmsg.
int ConcurrentServer::ReceiveOne(int listenFd, int flags, Pending* out) {
  iovec iov{m_datagram.data(), m_datagram.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_name = &out->from;
  msg.msg_namelen = sizeof out->from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(listenFd, &msg, flags);
  if (n <= 0) return n < 0 ? -1 : 0;
  if (!Peer(out->from).Valid()) return 0;
  DestinationOf(msg, m_nPort & 0xFFFF, &out->to);
  out->data.assign(m_datagram.data(), m_datagram.data() + n);
  return static_cast<int>(n);
}

// A datagram from a source without a session: a negotiation.
void ConcurrentServer::AdmitDatagram(int listenFd, Pending first) {
  const sockaddr_storage from = first.from;
  const int size = static_cast<int>(first.data.size());
  const std::string key = SourceKey(from);
  const std::string host = HostKey(from);
  {
    // Every datagram that came before the source's socket was connected was
    // taken into its session: nothing of a served source is left here.
    std::lock_guard lock(m_mutex);
    if (m_udpSources.count(key)) return;
  }
  if (m_udpSlots.Take(host) != SessionSlots::Admit::kTaken) {
    RefuseUdp(listenFd, size, from, kRefusedErrCode);
    return;
  }
  Socket sock;
  int err = 0;
  if (!BindUdp(sock, &first.to).empty() ||
      ::connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&from), SockaddrLength(from)) < 0)
    err = errno;
  if (err != 0) {
    m_udpSlots.Release(host);
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
    m_udpSlots.Release(host);
    RefuseUdp(listenFd, size, from, kRefusedErrCode);
  }
}

// The source's socket is connected: from now on the kernel hands its
// datagrams to that socket. Those that came before are still queued on the
// listener and go to the session in order; datagrams of other new sources
// met on the way are dealt with next.
std::deque<std::vector<char>> ConcurrentServer::TakeEarlyDatagrams(int listenFd, int sessionFd,
                                                                   Pending first) {
  const std::string key = SourceKey(first.from);
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
                                 const sockaddr_storage& peer) {
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
    m_udpSlots.Release(HostKey(peer));
  });
}

// The refusal is sent only for a datagram at least as long as the text, so
// that a refused source never draws more than it sends.
void ConcurrentServer::RefuseUdp(int listenFd, int size, const sockaddr_storage& to, int err) {
  ++m_nRefusedUdp;
  const std::string text = RefusalText(err);
  if (size < static_cast<int>(text.size() + 1)) return;
  (void)::sendto(listenFd, text.c_str(), text.size() + 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), SockaddrLength(to));
}

}  // namespace quarvent
