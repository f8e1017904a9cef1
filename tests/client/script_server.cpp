#include "tests/client/script_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "client/elapsed.h"
#include "common/protocol.h"
#include "common/rng.h"
#include "tests/support/loopback.h"

namespace quarvent::testing {
namespace {

// Receive timeouts (3 s each) that Conn::m_bAwaitEnd waits through.
constexpr int kAwaitEndTimeouts = 20;

Socket BindLoopback(int protocol, int* port) {
  Socket sock = protocol == kUdp ? Socket::Udp() : Socket::Tcp();
  sockaddr_in addr = test::Loopback(0);
  ::bind(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  test::SetTimeouts(sock.Fd(), 3000);
  return sock;
}

}  // namespace

bool Conn::RecvExact(char* buf, int n) {
  for (int got = 0; got < n;) {
    const ssize_t r = ::recv(m_fd, buf + got, static_cast<size_t>(n - got), 0);
    if (r <= 0) return false;
    got += static_cast<int>(r);
  }
  return true;
}

bool Conn::SendBytes(const char* buf, size_t n) {
  if (m_protocol == kUdp)
    return ::sendto(m_fd, buf, n, 0, reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer) ==
           static_cast<ssize_t>(n);
  return ::send(m_fd, buf, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

bool Conn::ReadLine() {
  char line[128] = {};
  if (m_protocol == kUdp) {
    socklen_t len = sizeof m_peer;
    const ssize_t r = ::recvfrom(m_fd, line, 64, 0, reinterpret_cast<sockaddr*>(&m_peer), &len);
    if (r <= 0) return false;
    m_bHavePeer = true;
  } else {
    for (int i = 0; i < 64; ++i) {
      if (::recv(m_fd, line + i, 1, 0) != 1) return false;
      if (line[i] == '\0') break;
    }
  }
  m_strLine = line;
  char parse[64] = {};
  std::memcpy(parse, line, 63);
  m_nPattern = ParseNegotiation(parse);
  return true;
}

void Conn::Reply(const std::string& text) {
  SendBytes(text.c_str(), text.size() + 1);
}

bool Conn::SendChunk(int32_t lengthWord, int size) {
  PutLengthWord(m_buf.data(), lengthWord);
  return SendBytes(m_buf.data(), static_cast<size_t>(size));
}

void Conn::ServeNormally(uint32_t firstIndex) {
  for (int i = 0; i < 65536; ++i) m_buf[i] = static_cast<char>(i % 256);
  const ServerPattern& pattern = ServerPatternFor(m_nPattern < 0 ? 0 : m_nPattern, m_protocol);
  Rand15 rng(7);
  for (uint32_t k = firstIndex;; ++k) {
    if (pattern.interval > 0 && k % pattern.interval == 0) {
      int32_t length;
      int datagram = 4;
      if (m_protocol == kUdp) {
        ssize_t r;
        int timeouts = 0;
        do {
          socklen_t len = sizeof m_peer;
          r = ::recvfrom(m_fd, m_buf.data(), 65536, 0, reinterpret_cast<sockaddr*>(&m_peer), &len);
        } while (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
                 m_bAwaitEnd && ++timeouts < kAwaitEndTimeouts);
        if (r < 4) return;
        datagram = static_cast<int>(r);
        length = GetLengthWord(m_buf.data());
      } else {
        if (!RecvExact(m_buf.data(), 4)) return;
        length = GetLengthWord(m_buf.data());
        if (length != -1 && (length < 4 || !RecvExact(m_buf.data(), length - 4))) return;
      }
      if (length == -1) {
        m_bEndMarker = true;
        return;
      }
      m_vRequests.push_back({k, length, datagram});
      m_vRequestInNs.push_back(ReadClockNs());
      if (m_nDropEvery > 0 && m_vRequests.size() % static_cast<size_t>(m_nDropEvery) == 0) {
        ++m_nDropped;
        continue;
      }
      if (m_nLateEvery > 0 && m_vRequests.size() % static_cast<size_t>(m_nLateEvery) == 0) {
        ++m_nLate;
        std::this_thread::sleep_for(std::chrono::milliseconds(m_nLateMs));
      }
      if (m_nAnswerDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_nAnswerDelayMs));
    }
    const int size = pattern.chunk.Draw(rng);
    if (pattern.interval > 0 && k % pattern.interval == 0) m_vChunkSendNs.push_back(ReadClockNs());
    if (!SendChunk(size, size)) break;
    ++m_nChunks;
    if (pattern.interval == 0) {
      // Paced, so that the client's receive queue is empty when it closes.
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, 1) > 0) {
        char tmp[256];
        const ssize_t r = ::recv(m_fd, tmp, sizeof tmp, 0);
        if (r <= 0) break;
        m_strCollected.append(tmp, static_cast<size_t>(r));
      }
    }
  }
  if (pattern.interval == 0 && m_protocol == kTcp) {
    char tmp[256];
    for (ssize_t r; (r = ::recv(m_fd, tmp, sizeof tmp, 0)) > 0;)
      m_strCollected.append(tmp, static_cast<size_t>(r));
  }
}

void Conn::ReadUntilEnd() {
  int timeouts = 0;
  for (int i = 0; i < 100000; ++i) {
    ssize_t r;
    if (m_protocol == kUdp) {
      socklen_t len = sizeof m_peer;
      r = ::recvfrom(m_fd, m_buf.data(), 65536, 0, reinterpret_cast<sockaddr*>(&m_peer), &len);
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) && m_bAwaitEnd &&
          ++timeouts < kAwaitEndTimeouts)
        continue;
    } else {
      r = ::recv(m_fd, m_buf.data(), 65536, 0);
    }
    if (r <= 0) return;
    if (r >= 4 && GetLengthWord(m_buf.data() + r - 4) == -1) {
      m_bEndMarker = true;
      return;
    }
  }
}

void Conn::Hold(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ScriptServer::ScriptServer(int protocol, Script script, int sessions) : m_nProtocol(protocol) {
  m_sock = BindLoopback(protocol, &m_nPort);
  if (protocol == kTcp) ::listen(m_sock.Fd(), 4);
  m_thread = std::thread([this, script = std::move(script), sessions] { Run(script, sessions); });
}

ScriptServer::~ScriptServer() {
  Join();
}

void ScriptServer::Join() {
  if (m_thread.joinable()) m_thread.join();
}

void ScriptServer::Run(Script script, int sessions) {
  m_vSessions.reserve(static_cast<size_t>(sessions));
  for (int i = 0; i < sessions; ++i) {
    int fd = m_sock.Fd();
    if (m_nProtocol == kTcp) {
      fd = ::accept(m_sock.Fd(), nullptr, nullptr);
      if (fd < 0) return;
      test::SetTimeouts(fd, 3000);
      m_vConnections.emplace_back(fd);
    }
    m_vSessions.emplace_back(fd, m_nProtocol);
    script(m_vSessions.back());
    if (m_nProtocol == kTcp) m_vConnections.back().Reset();
  }
}

int RefusingPort(Socket* holder) {
  int port = 0;
  *holder = BindLoopback(kTcp, &port);  // bound, never listening
  return port;
}

}  // namespace quarvent::testing
