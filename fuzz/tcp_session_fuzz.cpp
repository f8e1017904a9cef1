// The TCP service's handling of one connection fed an arbitrary byte stream:
// the negotiation line and then requests, as a client would send them.
//
// Each input is written into one end of a stream socket pair, whose writing
// side is then shut down; the service serves the other end with the same code
// that serves an accepted connection. Every message it sends must be well
// formed. The client end reads what the service sends before each of its
// sends, so that no send blocks, and closes after kMaxSends sends or kMaxBytes
// bytes: that is how a connection that never reads a request (patterns 0 to 2)
// ends. The service must come back from every input quickly, without a fault.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "common/socket.h"
#include "common/stop_signal.h"
#include "common/sys_ops.h"
#include "fuzz/fuzz_support.h"
#include "server/tcp_service.h"

namespace {

using namespace quarvent;

constexpr int kMaxSends = 160;         // the client closes after this many sends
constexpr size_t kMaxBytes = 1 << 20;  // or after this many bytes
constexpr size_t kMaxInput = 1 << 17;  // what the pair's buffer takes at once

int g_client = -1;  // the client end of the pair of the current input
int g_sends = 0;
size_t g_bytes = 0;

// Empties the client end, as a reading client would.
void DrainClient() {
  static char scratch[65536];
  while (::recv(g_client, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
  }
}

ssize_t ClientReadingSend(int fd, const void* buf, size_t len, int flags) {
  fuzz::CheckOutgoing(buf, len);
  DrainClient();
  g_bytes += len;
  if (++g_sends > kMaxSends || g_bytes > kMaxBytes)
    ::shutdown(g_client, SHUT_RDWR);  // the client leaves
  return ::send(fd, buf, len, flags);
}

const sys::Ops kOps = {ClientReadingSend, ::sendto, ::recv, ::recvfrom};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  Socket server(pair[0]);
  Socket client(pair[1]);
  g_client = client.Fd();
  g_sends = 0;
  g_bytes = 0;

  // The whole input is queued before the service reads; what does not fit at
  // once is left out, the same way for the same input.
  if (size > kMaxInput) size = kMaxInput;
  for (size_t sent = 0; sent < size;) {
    const ssize_t n = ::send(client.Fd(), data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(client.Fd(), SHUT_WR);

  fuzz::NullHost host;
  TcpListenFields fields;
  TcpServiceThread service(host, fields);
  service.SetSeed(1);
  StopSignal stop;
  fuzz::QuietSink sink;
  ScopedRecvErrorSink sinkScope(&sink);
  sys::ScopedOps ops(kOps);
  const auto outcome = service.ServeConnection(server.Fd(), stop);
  if (outcome == TcpServiceThread::Outcome::kStopped) std::abort();  // nothing stopped it
  if (fields.m_bConnected.load() != 1) std::abort();
  g_client = -1;
  return 0;
}
