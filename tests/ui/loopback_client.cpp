#include "tests/ui/loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "common/transfer.h"
#include "tests/support/loopback.h"

namespace quarvent::test {

namespace {

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace

bool TcpTestClient::Connect(int port) {
  // Retried while refused (the listener is not up yet); the bound only turns
  // a listener that never comes into a failure.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const sockaddr_in addr = Loopback(port);
  while (std::chrono::steady_clock::now() < deadline) {
    m_sock = Socket::Tcp();
    SetTimeouts(m_sock.Fd(), 30000);
    if (::connect(m_sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      return true;
    }
    if (errno != ECONNREFUSED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  m_sock.Reset();
  return false;
}

std::string TcpTestClient::Negotiate(int pattern) {
  char line[kLineBufferSize] = {};
  BuildNegotiation(line, pattern);
  return SendLine(line);
}

bool TcpTestClient::ConnectAndNegotiate(int port, int pattern) {
  return Connect(port) && Negotiate(pattern) == kIdentifier;
}

std::string TcpTestClient::SendLine(const char* line) {
  if (SendString(m_sock.Fd(), line) <= 0) return {};
  char reply[kLineBufferSize] = {};
  if (RecvString(m_sock.Fd(), reply, kLineBufferSize) <= 0) return {};
  return reply;
}

bool TcpTestClient::Exchange() {
  constexpr int kSize = 8192;
  std::vector<char> buf(kSize);
  PutLengthWord(buf.data(), kSize);
  if (!SendAll(m_sock.Fd(), buf.data(), buf.size())) return false;
  if (RecvFull(m_sock.Fd(), buf.data(), kSize) < kSize) return false;
  return GetLengthWord(buf.data()) == kSize;
}

bool TcpTestClient::End() {
  char word[4];
  PutLengthWord(word, kEndMarker);
  return SendAll(m_sock.Fd(), word, sizeof word);
}

std::string UdpNegotiate(int port, int pattern) {
  Socket sock = Socket::Udp();
  SetTimeouts(sock.Fd(), 30000);
  const sockaddr_in addr = Loopback(port);
  if (::connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) return {};
  char line[kLineBufferSize] = {};
  const int length = BuildNegotiation(line, pattern);
  // The service may not have bound its socket yet. A line that found no
  // socket comes back at once as ECONNREFUSED and is sent again; a line that
  // was taken is never sent twice, since a second one would be read as a
  // request. The bound only turns a service that never binds into a failure.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    char reply[kLineBufferSize] = {};
    if (::send(sock.Fd(), line, static_cast<size_t>(length) + 1, 0) >= 0) {
      if (::recv(sock.Fd(), reply, sizeof reply - 1, 0) > 0) return reply;
    }
    if (errno != ECONNREFUSED) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}

}  // namespace quarvent::test
