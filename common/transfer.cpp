#include "common/transfer.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/endpoint.h"
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

int SendToString(int sock, const char* text, const sockaddr_storage& addr) {
  return static_cast<int>(sys::SendTo(sock, text, std::strlen(text) + 1,
                                      reinterpret_cast<const sockaddr*>(&addr),
                                      SockaddrLength(addr)));
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

int RecvLengthWord(int sock, char* word, char* buf, StreamRest* rest) {
  int have = rest->m_size < 4 ? rest->m_size : 4;
  std::memcpy(word, buf + rest->m_offset, static_cast<size_t>(have));
  rest->m_offset += have;
  rest->m_size -= have;
  if (rest->m_size == 0) rest->m_offset = 0;
  if (have == 4) return 4;
  // Nothing is kept now: the word's rest and what follows it, in one call.
  const size_t ahead = static_cast<size_t>(rest->m_limit - 4);
  while (have < 4) {
    const ssize_t n = sys::RecvTwo(sock, word + have, static_cast<size_t>(4 - have), buf, ahead);
    if (n < 0) {
      ReportRecvError("recv()");
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    have += static_cast<int>(n);
  }
  rest->m_size = have - 4;
  return 4;
}

namespace {

// The owner of the buffer writes a length word into its first 4 bytes before
// each message it sends: bytes kept there move up behind them. That happens
// only after a body of 0 to 3 bytes that came with more, never in lock-step.
void ClearLengthWordRoom(char* buf, int* offset, int size) {
  if (size == 0) {
    *offset = 0;
  } else if (*offset < 4) {
    std::memmove(buf + 4, buf + *offset, static_cast<size_t>(size));
    *offset = 4;
  }
}

}  // namespace

int RecvBody(int sock, char* buf, int count, StreamRest* rest) {
  if (count < 0) return count;
  if (rest->m_size >= count) {
    // Whole among the kept bytes: framed where it lies.
    rest->m_body = rest->m_offset;
    rest->m_offset += count;
    rest->m_size -= count;
    ClearLengthWordRoom(buf, &rest->m_offset, rest->m_size);
    return count;
  }
  // The body's start goes to the buffer's start (at most one message's worth,
  // and only after a receive that took the start of this message along with
  // a whole earlier one); the rest comes after it.
  int have = rest->m_size;
  if (rest->m_offset != 0) std::memmove(buf, buf + rest->m_offset, static_cast<size_t>(have));
  rest->m_offset = 0;
  rest->m_size = 0;
  rest->m_body = 0;
  const int end = count > rest->m_limit - 4 ? count : rest->m_limit - 4;
  while (have < count) {
    const ssize_t n = sys::Recv(sock, buf + have, static_cast<size_t>(end - have));
    if (n < 0) {
      ReportRecvError("recv()");
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    have += static_cast<int>(n);
  }
  rest->m_offset = count;
  rest->m_size = have - count;
  ClearLengthWordRoom(buf, &rest->m_offset, rest->m_size);
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

int RecvFromFull(int sock, char* buf, int count, sockaddr_storage* from) {
  if (count <= 0) return count;
  long long remaining = count;
  for (;;) {
    socklen_t len = sizeof *from;
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

int RecvFromString(int sock, char* buf, int bufSize, sockaddr_storage* from) {
  int offset = 0;
  for (;;) {
    socklen_t len = sizeof *from;
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
