#include "common/transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/endpoint.h"
#include "common/socket.h"
#include "common/sys_ops.h"

namespace quarvent {
namespace {

struct RecordingSink : RecvErrorSink {
  std::vector<std::string> notices;
  void NotifyRecvError(std::string_view text) override { notices.emplace_back(text); }
};

struct StreamPair {
  Socket a, b;
  StreamPair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    a.Reset(sv[0]);
    b.Reset(sv[1]);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(::send(b.Fd(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
};

// Two UDP sockets on 127.0.0.1, each knowing the other's address.
struct DatagramPair {
  Socket a = Socket::Udp(), b = Socket::Udp();
  sockaddr_in addrA{}, addrB{};
  DatagramPair() {
    for (auto [s, addr] : {std::pair{&a, &addrA}, std::pair{&b, &addrB}}) {
      addr->sin_family = AF_INET;
      addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      EXPECT_EQ(::bind(s->Fd(), reinterpret_cast<sockaddr*>(addr), sizeof *addr), 0);
      socklen_t len = sizeof *addr;
      ::getsockname(s->Fd(), reinterpret_cast<sockaddr*>(addr), &len);
    }
  }
  void SendToA(const std::string& bytes) {
    ASSERT_EQ(::sendto(b.Fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addrA),
                       sizeof addrA),
              static_cast<ssize_t>(bytes.size()));
  }
};

TEST(RecvFull, CountZeroOrNegativeReturnsCountWithoutReceiving) {
  StreamPair p;
  p.Write("abcd");
  char buf[8];
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, 0), 0);
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, -3), -3);
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, 4), 4);  // nothing was consumed before
  EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(RecvFull, AssemblesPiecesAndReportsCloseAsZero) {
  StreamPair p;
  p.Write("12");
  p.Write("345678");
  char buf[8];
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), "12345678");
  p.Write("12345");
  p.b.Reset();
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, 8), 0);  // 5 of 8, then the close
}

TEST(RecvString, LineZeroAndOverflow) {
  RecordingSink sink;
  ScopedRecvErrorSink scope(&sink);
  {
    StreamPair p;
    p.Write(std::string("ABC\0rest", 8));
    char buf[kLineBufferSize];
    EXPECT_EQ(RecvString(p.a.Fd(), buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 4), std::string("ABC\0", 4));
    char next;
    EXPECT_EQ(::recv(p.a.Fd(), &next, 1, 0), 1);  // stops right after the NUL
    EXPECT_EQ(next, 'r');
  }
  {
    StreamPair p;
    p.Write(std::string("\0", 1));
    char buf[kLineBufferSize];
    EXPECT_EQ(RecvString(p.a.Fd(), buf, sizeof buf), 0);
  }
  {
    StreamPair p;
    p.Write("AB");
    p.b.Reset();
    char buf[kLineBufferSize];
    EXPECT_EQ(RecvString(p.a.Fd(), buf, sizeof buf), 0);
  }
  EXPECT_TRUE(sink.notices.empty());
  {
    // 100 bytes without a NUL into a 64-byte buffer guarded on both sides.
    StreamPair p;
    p.Write(std::string(100, 'x'));
    char guarded[kLineBufferSize + 8];
    std::memset(guarded, 'G', sizeof guarded);
    errno = 0;
    EXPECT_LT(RecvString(p.a.Fd(), guarded, kLineBufferSize), 0);
    EXPECT_EQ(errno, EMSGSIZE);
    for (int i = kLineBufferSize; i < kLineBufferSize + 8; ++i) ASSERT_EQ(guarded[i], 'G');
  }
  ASSERT_EQ(sink.notices.size(), 1u);
  EXPECT_EQ(sink.notices[0], "recv() Error : " + std::to_string(EMSGSIZE));
}

TEST(SendString, SendsTheNul) {
  StreamPair p;
  EXPECT_EQ(SendString(p.b.Fd(), "ABC"), 4);
  char buf[8];
  EXPECT_EQ(::recv(p.a.Fd(), buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), std::string("ABC\0", 4));
}

TEST(SendString, ClosedPeerIsAnErrorNotASignal) {
  StreamPair p;
  p.a.Reset();
  errno = 0;
  EXPECT_LT(SendString(p.b.Fd(), "ABC"), 0);  // would raise SIGPIPE without MSG_NOSIGNAL
  EXPECT_EQ(errno, EPIPE);
}

// Socket errors during a receive go to the sink with errno, and errno survives.
ssize_t ResetRecv(int, void*, size_t, int) {
  errno = ECONNRESET;
  return -1;
}
int g_eintrLeft = 0;
ssize_t InterruptedRecv(int fd, void* buf, size_t len, int flags) {
  if (g_eintrLeft-- > 0) {
    errno = EINTR;
    return -1;
  }
  return ::recv(fd, buf, len, flags);
}

TEST(RecvFull, ErrorIsNoticedAndReturned) {
  RecordingSink sink;
  ScopedRecvErrorSink scope(&sink);
  sys::Ops ops = sys::RealOps();
  ops.recv = ResetRecv;
  sys::ScopedOps inject(ops);
  StreamPair p;
  char buf[4];
  errno = 0;
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, 4), -1);
  EXPECT_EQ(errno, ECONNRESET);
  ASSERT_EQ(sink.notices.size(), 1u);
  EXPECT_EQ(sink.notices[0], "recv() Error : " + std::to_string(ECONNRESET));
}

TEST(RecvFull, RetriesOnEintr) {
  RecordingSink sink;
  ScopedRecvErrorSink scope(&sink);
  sys::Ops ops = sys::RealOps();
  ops.recv = InterruptedRecv;
  sys::ScopedOps inject(ops);
  StreamPair p;
  p.Write("wxyz");
  g_eintrLeft = 3;
  char buf[4];
  EXPECT_EQ(RecvFull(p.a.Fd(), buf, 4), 4);
  EXPECT_TRUE(sink.notices.empty());
}

TEST(RecvFromFull, ReturnsTheSizeOfTheLastDatagram) {
  DatagramPair d;
  static char buf[kDatagramRoom];
  sockaddr_storage from{};
  d.SendToA(std::string(8192, 'r'));
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, 4, &from), 8192);
  EXPECT_EQ(Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&from), sizeof from).Port(),
            ntohs(d.addrB.sin_port));
  d.SendToA("1234");
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, 4, &from), 4);
  // Asked for 100 bytes: takes datagrams until their sizes reach 100.
  d.SendToA(std::string(60, 'a'));
  d.SendToA(std::string(30, 'b'));
  d.SendToA(std::string(20, 'c'));
  d.SendToA("next");
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, 100, &from), 20);
  EXPECT_EQ(buf[0], 'c');
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, 0, &from), 0);
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, -5, &from), -5);
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, 4, &from), 4);
  EXPECT_EQ(std::string(buf, 4), "next");
}

TEST(RecvFromFull, ZeroLengthDatagramIsAnEnd) {
  DatagramPair d;
  static char buf[kDatagramRoom];
  sockaddr_storage from{};
  d.SendToA("");
  EXPECT_EQ(RecvFromFull(d.a.Fd(), buf, 4, &from), 0);
}

TEST(RecvFromString, WholeLineOversizeAndPieces) {
  RecordingSink sink;
  ScopedRecvErrorSink scope(&sink);
  DatagramPair d;
  char buf[kLineBufferSize];
  sockaddr_storage from{};
  d.SendToA(std::string(29, 'L') + '\0');
  EXPECT_EQ(RecvFromString(d.a.Fd(), buf, sizeof buf, &from), 30);
  EXPECT_EQ(Endpoint::FromSockaddr(reinterpret_cast<sockaddr*>(&from), sizeof from).Port(),
            ntohs(d.addrB.sin_port));

  d.SendToA(std::string("\0", 1));  // a lone NUL reaches the caller as a 1-byte line
  EXPECT_EQ(RecvFromString(d.a.Fd(), buf, sizeof buf, &from), 1);
  EXPECT_EQ(buf[0], '\0');

  d.SendToA(std::string(65, 'x'));  // does not fit its 64-byte piece
  errno = 0;
  EXPECT_LT(RecvFromString(d.a.Fd(), buf, sizeof buf, &from), 0);
  EXPECT_EQ(errno, EMSGSIZE);
  ASSERT_EQ(sink.notices.size(), 1u);
  EXPECT_EQ(sink.notices[0], "recvfrom() Error : " + std::to_string(EMSGSIZE));

  // Pieces without a NUL keep filling the buffer, never past its end.
  char guarded[kLineBufferSize + 8];
  std::memset(guarded, 'G', sizeof guarded);
  d.SendToA(std::string(40, 'p'));
  d.SendToA(std::string(40, 'q'));  // only 24 bytes of room are left
  EXPECT_LT(RecvFromString(d.a.Fd(), guarded, kLineBufferSize, &from), 0);
  for (int i = kLineBufferSize; i < kLineBufferSize + 8; ++i) ASSERT_EQ(guarded[i], 'G');
  d.SendToA(std::string(10, 'p'));
  d.SendToA(std::string("ab\0", 3));
  EXPECT_EQ(RecvFromString(d.a.Fd(), buf, sizeof buf, &from), 13);
}

TEST(SendToString, OneDatagramWithTheNul) {
  DatagramPair d;
  sockaddr_storage to{};
  std::memcpy(&to, &d.addrA, sizeof d.addrA);
  EXPECT_EQ(SendToString(d.b.Fd(), "hello", to), 6);
  char buf[16];
  EXPECT_EQ(::recv(d.a.Fd(), buf, sizeof buf, 0), 6);
}

TEST(SetSocketOption, SetsTheOption) {
  Socket s = Socket::Tcp();
  ASSERT_TRUE(s.Valid());
  EXPECT_EQ(SetSocketOption(s.Fd(), SO_KEEPALIVE, 1), 0);
  int v = 0;
  socklen_t len = sizeof v;
  ::getsockopt(s.Fd(), SOL_SOCKET, SO_KEEPALIVE, &v, &len);
  EXPECT_EQ(v, 1);
}

TEST(Socket, MoveOnlyClosesOnce) {
  Socket a = Socket::Udp();
  const int fd = a.Fd();
  Socket b(std::move(a));
  EXPECT_FALSE(a.Valid());
  EXPECT_EQ(b.Fd(), fd);
  b = Socket();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed
}

}  // namespace
}  // namespace quarvent
