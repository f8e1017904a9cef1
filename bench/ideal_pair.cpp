// The smallest program that speaks the measurement protocol with the same
// system calls per message as quarvent and nothing else: no display, no
// checks beyond what keeps it in step, one clock read per pass. The benchmark
// compares quarvent against it.
//
//   ideal_pair serve PORT                      one client at a time, TCP and UDP
//   ideal_pair measure PORT PATTERN tcp|udp MS  prints "received sent seconds"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "common/protocol.h"

namespace {

using namespace quarvent;

alignas(64) char g_tcpBuf[kTransferBufferSize];
alignas(64) char g_udpBuf[kTransferBufferSize];

bool RecvAll(int fd, char* p, int n) {
  while (n > 0) {
    const ssize_t r = ::recv(fd, p, static_cast<size_t>(n), 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<int>(r);
  }
  return true;
}

bool RecvLine(int fd, char* line) {
  for (int i = 0; i < 64; ++i) {
    if (::recv(fd, line + i, 1, 0) != 1) return false;
    if (line[i] == '\0') return true;
  }
  return false;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void ServeTcp(int port) {
  const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 1) != 0) {
    std::perror("ideal_pair tcp");
    std::exit(1);
  }
  Rand15 rng;
  rng.SeedFromTime();
  for (;;) {
    const int c = ::accept(ls, nullptr, nullptr);
    if (c < 0) continue;
    ::setsockopt(c, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    FillTransferBuffer(g_tcpBuf);
    char line[64];
    if (RecvLine(c, line)) {
      const int pattern = ParseNegotiation(line);
      ::send(c, line, std::strlen(line) + 1, MSG_NOSIGNAL);
      if (pattern >= 0) {
        const ServerPattern& sp = ServerPatternFor(pattern, kTcp);
        for (unsigned k = 0;; ++k) {
          if (sp.interval > 0 && k % static_cast<unsigned>(sp.interval) == 0) {
            if (!RecvAll(c, g_tcpBuf, 4)) break;
            const int32_t len = GetLengthWord(g_tcpBuf);
            if (len < 4 || len > kTransferBufferSize || !RecvAll(c, g_tcpBuf, len - 4)) break;
          }
          const int size = sp.chunk.Draw(rng);
          PutLengthWord(g_tcpBuf, size);
          if (::send(c, g_tcpBuf, static_cast<size_t>(size), MSG_NOSIGNAL) < 0) break;
        }
      }
    }
    ::shutdown(c, SHUT_RDWR);
    ::close(c);
  }
}

void ServeUdp(int port) {
  Rand15 rng;
  rng.SeedFromTime();
  for (;;) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      std::perror("ideal_pair udp");
      std::exit(1);
    }
    FillTransferBuffer(g_udpBuf);
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    char line[64];
    const ssize_t n =
        ::recvfrom(s, line, sizeof line, 0, reinterpret_cast<sockaddr*>(&peer), &plen);
    if (n > 0) {
      line[n < 64 ? n : 63] = '\0';
      const int pattern = ParseNegotiation(line);
      ::sendto(s, line, std::strlen(line) + 1, 0, reinterpret_cast<sockaddr*>(&peer), plen);
      if (pattern >= 0) {
        const ServerPattern& sp = ServerPatternFor(pattern, kUdp);
        for (;;) {
          const ssize_t r = ::recvfrom(s, g_udpBuf, kTransferBufferSize, 0,
                                       reinterpret_cast<sockaddr*>(&peer), &plen);
          if (r < 4 || GetLengthWord(g_udpBuf) == kEndMarker) break;
          const int size = sp.chunk.Draw(rng);
          PutLengthWord(g_udpBuf, size);
          if (::sendto(s, g_udpBuf, static_cast<size_t>(size), 0,
                       reinterpret_cast<sockaddr*>(&peer), plen) < 0)
            break;
        }
      }
    }
    ::close(s);
  }
}

int Measure(int port, int pattern, bool udp, int ms) {
  const int s = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
  int one = 1;
  if (!udp) ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("ideal_pair connect");
    return 1;
  }
  static char buf[kTransferBufferSize];
  char line[64];
  const int n = BuildNegotiation(line, pattern);
  ::send(s, line, static_cast<size_t>(n) + 1, MSG_NOSIGNAL);
  if (udp ? ::recv(s, line, sizeof line, 0) <= 0 : !RecvLine(s, line)) return 1;
  FillTransferBuffer(buf);
  const ClientPattern& cp = ClientPatternFor(pattern, udp ? kUdp : kTcp);
  Rand15 rng;
  rng.SeedFromTime();
  long long received = 0, sent = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::milliseconds(ms);
  auto now = start;
  for (unsigned i = 0;; ++i) {
    const int g = cp.request.Draw(rng);
    if (cp.interval > 0 && i % static_cast<unsigned>(cp.interval) == 0) {
      PutLengthWord(buf, g);
      ::send(s, buf, static_cast<size_t>(g), MSG_NOSIGNAL);
      sent += g;
    }
    int32_t len;
    if (udp) {
      const ssize_t r = ::recv(s, buf, kTransferBufferSize, 0);
      if (r < 4) break;
      len = GetLengthWord(buf);
    } else {
      if (!RecvAll(s, buf, 4)) break;
      len = GetLengthWord(buf);
      if (len < 4 || len > kTransferBufferSize || !RecvAll(s, buf, len - 4)) break;
    }
    received += len;
    now = std::chrono::steady_clock::now();
    if (now - start >= limit) break;
  }
  PutLengthWord(buf, kEndMarker);
  ::send(s, buf, 4, MSG_NOSIGNAL);
  ::shutdown(s, SHUT_RDWR);
  ::close(s);
  std::printf("%lld %lld %.6f\n", received, sent,
              std::chrono::duration<double>(now - start).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "serve") == 0) {
    const int port = std::atoi(argv[2]);
    std::thread udp(ServeUdp, port);
    udp.detach();
    ServeTcp(port);
    return 0;
  }
  if (argc == 6 && std::strcmp(argv[1], "measure") == 0)
    return Measure(std::atoi(argv[2]), std::atoi(argv[3]), std::strcmp(argv[4], "udp") == 0,
                   std::atoi(argv[5]));
  std::fprintf(stderr, "usage: ideal_pair serve PORT | measure PORT PATTERN tcp|udp MS\n");
  return 2;
}
