#include "common/transfer.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/sys_ops.h"

namespace quarvent {
namespace {

thread_local RecvErrorSink* t_sink = nullptr;

int Fail(const char* call, int err) {
  errno = err;
  ReportRecvError(call);
  return -1;
}

}  // namespace

// Tells the user about a failed receive; errno is kept for the caller.
void ReportRecvError(const char* call) {
  const int err = errno;
  char text[64];
  std::snprintf(text, sizeof text, "%s Error : %d", call, err);
  if (t_sink)
    t_sink->NotifyRecvError(text);
  else
    std::fprintf(stderr, "%s\n", text);
  errno = err;
}

ScopedRecvErrorSink::ScopedRecvErrorSink(RecvErrorSink* sink) : m_prev(t_sink) {
  t_sink = sink;
}
ScopedRecvErrorSink::~ScopedRecvErrorSink() {
  t_sink = m_prev;
}

int SendString(int sock, const char* text) {
  return static_cast<int>(sys::Send(sock, text, std::strlen(text) + 1));
}

int SendToString(int sock, const char* text, const sockaddr_in& addr) {
  return static_cast<int>(sys::SendTo(sock, text, std::strlen(text) + 1,
                                      reinterpret_cast<const sockaddr*>(&addr), sizeof addr));
}

int RecvFull(int sock, char* buf, int count) {
  if (count <= 0) return count;
  int remaining = count;
  while (remaining > 0) {
    const ssize_t n = sys::Recv(sock, buf + (count - remaining), static_cast<size_t>(remaining));
    if (n < 0) {
      ReportRecvError("recv()");
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    remaining -= static_cast<int>(n);
  }
  return count;
}

int RecvString(int sock, char* buf, int bufSize) {
  for (int count = 0; count < bufSize; ++count) {
    const ssize_t n = sys::Recv(sock, buf + count, 1);
    if (n < 0) {
      ReportRecvError("recv()");
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    if (buf[count] == '\0') return count;
  }
  return Fail("recv()", EMSGSIZE);
}

int RecvFromFull(int sock, char* buf, int count, sockaddr_in* from) {
  if (count <= 0) return count;
  long long remaining = count;
  socklen_t len = sizeof *from;
  for (;;) {
    const ssize_t n =
        sys::RecvDatagram(sock, buf, kDatagramRoom, reinterpret_cast<sockaddr*>(from), &len);
    if (n < 0) {
      ReportRecvError("recvfrom()");
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    remaining -= n;
    if (remaining <= 0) return static_cast<int>(n);
  }
}

int RecvFromString(int sock, char* buf, int bufSize, sockaddr_in* from) {
  int offset = 0;
  socklen_t len = sizeof *from;
  for (;;) {
    const int piece = bufSize - offset < kLineBufferSize ? bufSize - offset : kLineBufferSize;
    if (piece <= 0) return Fail("recvfrom()", EMSGSIZE);
    const ssize_t n = sys::RecvDatagram(sock, buf + offset, static_cast<size_t>(piece),
                                        reinterpret_cast<sockaddr*>(from), &len);
    if (n < 0) {
      ReportRecvError("recvfrom()");
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    if (const void* nul = std::memchr(buf + offset, '\0', static_cast<size_t>(n)))
      return static_cast<int>(static_cast<const char*>(nul) - buf) + 1;
    offset += static_cast<int>(n);
  }
}

int SetSocketOption(int sock, int option, int value) {
  return ::setsockopt(sock, SOL_SOCKET, option, &value, sizeof value);
}

}  // namespace quarvent
