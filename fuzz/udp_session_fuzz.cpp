// The UDP service fed arbitrary datagrams: the negotiation line, requests,
// end markers and garbage, as any sender on the network could send them.
//
// The input is split into datagrams by a two-byte little-endian length before
// each (fuzz_support.h). All of them are sent from one loopback socket to a
// non-blocking socket of the service's own, and the service then serves
// sessions on that socket with the same code that serves its bound socket,
// until a session ends the service; a receive that finds nothing left fails
// like any receive error. Every datagram it sends must be well formed. The
// service must come back from every input quickly, without a fault.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>

#include "common/socket.h"
#include "common/stop_signal.h"
#include "common/sys_ops.h"
#include "fuzz/fuzz_support.h"
#include "server/udp_service.h"

namespace {

using namespace quarvent;

constexpr size_t kMaxDatagram = 65507;  // the largest IPv4 UDP payload

ssize_t CheckedSendTo(int fd, const void* buf, size_t len, int flags, const sockaddr* addr,
                      socklen_t addrLen) {
  fuzz::CheckOutgoing(buf, len);
  return ::sendto(fd, buf, len, flags | MSG_DONTWAIT, addr, addrLen);
}

const sys::Ops kOps = {::send, CheckedSendTo, ::recv, ::recvfrom};

Socket BoundLoopback(sockaddr_in& addr) {
  Socket sock = Socket::Udp();
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (!sock || ::bind(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    std::abort();
  return sock;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sockaddr_in serviceAddr;
  sockaddr_in clientAddr;
  Socket serviceSock = BoundLoopback(serviceAddr);
  Socket client = BoundLoopback(clientAddr);
  ::fcntl(serviceSock.Fd(), F_SETFL, ::fcntl(serviceSock.Fd(), F_GETFL) | O_NONBLOCK);

  // Never fewer than one datagram, so the first reply goes to this client.
  fuzz::Records records(data, size);
  const uint8_t* record;
  size_t len;
  int datagrams = 0;
  while (records.Next(record, len)) {
    if (len > kMaxDatagram) len = kMaxDatagram;
    ::sendto(client.Fd(), record, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&serviceAddr),
             sizeof serviceAddr);
    ++datagrams;
  }
  if (datagrams++ == 0)
    ::sendto(client.Fd(), "", 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&serviceAddr),
             sizeof serviceAddr);

  fuzz::NullHost host;
  UdpServiceThread service(host);
  service.SetSeed(1);
  StopSignal stop;
  fuzz::QuietSink sink;
  ScopedRecvErrorSink sinkScope(&sink);
  sys::ScopedOps ops(kOps);
  // Each session takes at least one datagram or ends the service, so this
  // many sessions are always enough.
  auto outcome = UdpServiceThread::Outcome::kNextSession;
  for (int i = 0; i <= datagrams && outcome == UdpServiceThread::Outcome::kNextSession; ++i)
    outcome = service.ServeSession(serviceSock.Fd(), stop);
  if (outcome != UdpServiceThread::Outcome::kServiceEnds) std::abort();
  return 0;
}
