// The services' sockets after a stop, and a client that leaves in the middle
// of a request: what a run leaves behind for later stops and what it answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "common/socket.h"
#include "common/stop_signal.h"
#include "server/tcp_service.h"
#include "server/udp_service.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

// The descriptor of this process's datagram socket, or listening stream
// socket, bound to port; -1 when there is none. The search is bounded.
int FindBoundSocket(int port, int type) {
  for (int fd = 0; fd < 4096; ++fd) {
    int sockType = 0;
    socklen_t len = sizeof sockType;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &sockType, &len) != 0 || sockType != type) continue;
    int listening = 0;
    len = sizeof listening;
    ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
    if (type == SOCK_STREAM && listening == 0) continue;  // not an accepted connection
    sockaddr_in addr{};
    len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) continue;
    if (addr.sin_family == AF_INET && ntohs(addr.sin_port) == port) return fd;
  }
  return -1;
}

// Socket pairs opened until one end gets the descriptor number fd again; all
// of them stay open so that the number is handed out once.
struct ReusedNumber {
  explicit ReusedNumber(int fd) {
    for (int i = 0; i < 64 && reused < 0; ++i) {
      int sv[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) break;
      pairs.emplace_back(sv[0]);
      pairs.emplace_back(sv[1]);
      if (sv[0] == fd) reused = static_cast<int>(pairs.size()) - 2;
      if (sv[1] == fd) reused = static_cast<int>(pairs.size()) - 1;
    }
  }
  // The pair with the reused number still carries a byte each way.
  bool Works() const {
    const int mine = pairs[static_cast<size_t>(reused)].Fd();
    const int other = pairs[static_cast<size_t>(reused ^ 1)].Fd();
    char c = 0;
    return ::send(mine, "a", 1, MSG_NOSIGNAL) == 1 && ::recv(other, &c, 1, MSG_DONTWAIT) == 1 &&
           ::send(other, "b", 1, MSG_NOSIGNAL) == 1 && ::recv(mine, &c, 1, MSG_DONTWAIT) == 1;
  }

  std::vector<Socket> pairs;
  int reused = -1;  // index in pairs of the end with the number
};

// A service run stopped from outside; a second Stop() after the run has
// returned must leave alone whatever socket now has its descriptor numbers.
template <class Service>
void ExpectLaterStopSparesReusedNumber(Service& service, RecordingHost& host, int port, int type,
                                       const std::function<bool()>& bound) {
  StopSignal stop;
  std::thread thread([&] { service.Run(stop); });
  ASSERT_TRUE(bound());
  const int fd = FindBoundSocket(port, type);
  stop.Stop();
  thread.join();
  ASSERT_GE(fd, 0);

  ReusedNumber next(fd);
  ASSERT_GE(next.reused, 0) << "descriptor " << fd << " was not handed out again";
  const size_t events = host.Size();
  stop.Stop();  // as the controller's next start, its destructor or a test runner does
  EXPECT_TRUE(next.Works());
  EXPECT_EQ(host.Size(), events);
}

TEST(StaleDescriptor, StoppedTcpRunLeavesNoListenerNumberBehind) {
  const int port = FreePort();
  RecordingHost host(port);
  TcpListenFields fields;
  TcpServiceThread service(host, fields);
  ExpectLaterStopSparesReusedNumber(service, host, port, SOCK_STREAM,
                                    [&] { return host.WaitStatus("待受中..."); });
}

TEST(StaleDescriptor, StoppedTcpRunWithAClientLeavesNoNumberBehind) {
  const int port = FreePort();
  RecordingHost host(port);
  TcpListenFields fields;
  TcpServiceThread service(host, fields);
  std::unique_ptr<TcpClient> client;
  ExpectLaterStopSparesReusedNumber(service, host, port, SOCK_STREAM, [&] {
    if (!host.WaitStatus("待受中...")) return false;
    client = std::make_unique<TcpClient>(port);
    return client->Negotiate(7);  // the service waits for the first request
  });
}

TEST(StaleDescriptor, StoppedUdpRunLeavesNoSocketNumberBehind) {
  const int port = FreePort();
  RecordingHost host(port);
  UdpServiceThread service(host);
  // The session's progress reset comes once its socket is bound.
  ExpectLaterStopSparesReusedNumber(service, host, port, SOCK_DGRAM,
                                    [&] { return host.WaitCount(HostEvent::kProgress, 0, 1); });
}

using TcpRequestCutShort = TcpServiceFixture;

// A body longer than the transfer buffer is read in pieces; a client that
// closes its sending side in the second piece gets no chunk either: the
// connection ends, and the service takes the next client.
TEST_F(TcpRequestCutShort, ClosedInALaterPieceOfALongBodyEndsTheConnection) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  const int32_t length = kTransferBufferSize + 4 + 100;
  std::vector<char> request(static_cast<size_t>(length) - 50, 'r');
  PutLengthWord(request.data(), length);
  ASSERT_TRUE(client.SendAll(request.data(), request.size()));
  ASSERT_EQ(::shutdown(client.Fd(), SHUT_WR), 0);
  char word[4];
  EXPECT_EQ(::recv(client.Fd(), word, sizeof word, 0), 0);  // orderly close, no chunk
  ExpectGoodTcpSession(port);
  EXPECT_FALSE(runner->Done());
  EXPECT_EQ(service.ErrorText(), "");
}

}  // namespace
}  // namespace quarvent::test
