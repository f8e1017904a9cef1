#include "tests/server/server_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/transfer.h"
#include "tests/support/loopback.h"

namespace quarvent::test {
int FreePort() {
  const int port = ReservePort();
  if (port == 0) ADD_FAILURE() << "no port could be reserved";
  return port;
}

std::string Cp932(const std::string& utf8) {
  return Utf8ToCp932(utf8) + std::string(1, '\0');
}

TcpClient::TcpClient(int port, std::chrono::milliseconds recvTimeout) {
  // The bound only turns a listener that never comes into a failure.
  const auto end = std::chrono::steady_clock::now() + 30s;
  do {
    Socket sock = Socket::Tcp();
    SetTimeouts(sock.Fd(), static_cast<int>(recvTimeout.count()));
    sockaddr_in addr = Loopback(port);
    if (::connect(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      m_sock = std::move(sock);
      return;
    }
    if (errno != ECONNREFUSED) return;
    std::this_thread::sleep_for(10ms);
  } while (std::chrono::steady_clock::now() < end);
}

bool TcpClient::SendAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(m_sock.Fd(), p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TcpClient::SendText(const std::string& text) {
  return SendAll(text.c_str(), text.size() + 1);
}

bool TcpClient::SendWord(int32_t word) {
  char b[4];
  PutLengthWord(b, word);
  return SendAll(b, 4);
}

bool TcpClient::SendRequest(int32_t size, char fill) {
  std::vector<char> msg(static_cast<size_t>(size), fill);
  PutLengthWord(msg.data(), size);
  return SendAll(msg.data(), msg.size());
}

bool TcpClient::RecvExact(void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(m_sock.Fd(), p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string TcpClient::RecvText() {
  std::string text;
  char c;
  while (text.size() < 256 && ::recv(m_sock.Fd(), &c, 1, 0) == 1) {
    text.push_back(c);
    if (c == '\0') return text;
  }
  return {};
}

bool TcpClient::RecvChunk(std::vector<char>& chunk) {
  char word[4];
  if (!RecvExact(word, 4)) return false;
  const int32_t length = GetLengthWord(word);
  if (length < 4 || length > kMaxMessageSize) return false;
  chunk.resize(static_cast<size_t>(length));
  std::memcpy(chunk.data(), word, 4);
  return RecvExact(chunk.data() + 4, chunk.size() - 4);
}

bool TcpClient::SeesClose(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  std::vector<char> sink(65536);
  while (std::chrono::steady_clock::now() < end) {
    pollfd pfd{m_sock.Fd(), POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(m_sock.Fd(), sink.data(), sink.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

bool TcpClient::Negotiate(int pattern) {
  char line[kLineBufferSize];
  BuildNegotiation(line, pattern);
  if (!SendText(line)) return false;
  return RecvText() == std::string(kIdentifier) + std::string(1, '\0');
}

void TcpClient::Reset() {
  linger l{1, 0};
  ::setsockopt(m_sock.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  m_sock.Reset();
}

UdpClient::UdpClient(int port, std::chrono::milliseconds recvTimeout)
    : m_sock(Socket::Udp()), m_port(port) {
  sockaddr_in local = Loopback(0);
  ::bind(m_sock.Fd(), reinterpret_cast<sockaddr*>(&local), sizeof local);
  SetTimeout(recvTimeout);
}

void UdpClient::SetTimeout(std::chrono::milliseconds timeout) {
  SetTimeouts(m_sock.Fd(), static_cast<int>(timeout.count()));
}

bool UdpClient::Send(const void* data, size_t size) {
  const sockaddr_in to = Loopback(m_port);
  return ::sendto(m_sock.Fd(), data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(size);
}

bool UdpClient::SendText(const std::string& text) {
  return Send(text.c_str(), text.size() + 1);
}

bool UdpClient::SendWord(int32_t word) {
  char b[4];
  PutLengthWord(b, word);
  return Send(b, 4);
}

bool UdpClient::SendRequest(int32_t size, int32_t lengthWord) {
  std::vector<char> msg(static_cast<size_t>(size), 'q');
  PutLengthWord(msg.data(), lengthWord);
  return Send(msg.data(), msg.size());
}

int UdpClient::Recv(std::vector<char>& data) {
  data.resize(65536);
  const ssize_t n = ::recv(m_sock.Fd(), data.data(), data.size(), 0);
  if (n < 0) return -1;
  data.resize(static_cast<size_t>(n));
  return static_cast<int>(n);
}

bool UdpClient::Quiet(std::chrono::milliseconds time) {
  pollfd pfd{m_sock.Fd(), POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(time.count())) == 0) return true;
  std::vector<char> late;
  Recv(late);
  return false;
}

bool UdpClient::Negotiate(int pattern) {
  char line[kLineBufferSize];
  BuildNegotiation(line, pattern);
  if (!SendText(line)) return false;
  std::vector<char> reply;
  if (Recv(reply) < 0) return false;
  return std::string(reply.begin(), reply.end()) == std::string(kIdentifier) + std::string(1, '\0');
}

void ExpectGoodTcpSession(int port, bool expectClose) {
  TcpClient next(port);
  ASSERT_TRUE(next.Negotiate(7));
  ASSERT_TRUE(next.SendRequest(8192));
  std::vector<char> chunk;
  ASSERT_TRUE(next.RecvChunk(chunk));
  EXPECT_EQ(chunk.size(), 8192u);
  ASSERT_TRUE(next.SendWord(kEndMarker));
  if (expectClose) {
    EXPECT_TRUE(next.SeesClose());
  }
}

}  // namespace quarvent::test
