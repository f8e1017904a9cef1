// The socket transfer routines that move every byte of the measurement
// protocol. They keep no state: socket and buffers are the caller's.
//
// Results follow the socket convention: a positive count, 0 when the peer
// closed first, a negative value on error (errno tells which).
#pragma once

#include <netinet/in.h>

#include <string_view>

namespace quarvent {

// Piece size of RecvFromString and size of every line buffer.
inline constexpr int kLineBufferSize = 64;
// Room that RecvFromFull needs: every datagram is taken whole into the buffer start.
inline constexpr int kDatagramRoom = 65536;

// Receives the notice of a receive error ("recv() Error : %d" or
// "recvfrom() Error : %d"). The call blocks the worker until the notice is
// acknowledged (a modal box in a dialog) or the worker is being stopped.
class RecvErrorSink {
 public:
  virtual void NotifyRecvError(std::string_view text) = 0;

 protected:
  ~RecvErrorSink() = default;
};

// Installs the sink that the receive routines on the calling thread report
// to while this object lives. Without one, notices go to stderr.
class ScopedRecvErrorSink {
 public:
  explicit ScopedRecvErrorSink(RecvErrorSink* sink);
  ~ScopedRecvErrorSink();
  ScopedRecvErrorSink(const ScopedRecvErrorSink&) = delete;
  ScopedRecvErrorSink& operator=(const ScopedRecvErrorSink&) = delete;

 private:
  RecvErrorSink* m_prev;
};

// Tells the user about a failed receive ("<call> Error : <errno>") through
// the thread's sink, or on stderr; errno is kept for the caller.
void ReportRecvError(const char* call);

// One send of text and its NUL. Returns the result of send.
int SendString(int sock, const char* text);
// One sendto of text and its NUL to addr.
int SendToString(int sock, const char* text, const sockaddr_in& addr);

// Receives exactly count bytes into buf. Returns count; count itself without
// receiving when count <= 0; 0 when the peer closed first; negative on error.
int RecvFull(int sock, char* buf, int count);

// Receives one byte at a time until a NUL, which is stored. Returns the number
// of characters before the NUL; 0 when the peer closed first or the first byte
// is NUL; negative on error. When bufSize bytes have arrived without a NUL the
// line is too long for the buffer: that is a receive error (EMSGSIZE, with its
// notice) and nothing is written past buf[bufSize - 1].
int RecvString(int sock, char* buf, int bufSize);

// Takes whole datagrams into the start of buf (kDatagramRoom bytes of room)
// until their sizes add up to count or more. Returns the size of the last
// datagram taken; count itself when count <= 0; 0 or negative on end or error.
// *from holds the sender of the last datagram.
int RecvFromFull(int sock, char* buf, int count, sockaddr_in* from);

// Takes datagrams in pieces of at most 64 bytes, each after the previous, until
// a piece holds a NUL. Returns the bytes up to and including the NUL; 0 or
// negative on end or error. A datagram that does not fit its piece, or a line
// that would run past bufSize, is a receive error (EMSGSIZE, with its notice).
int RecvFromString(int sock, char* buf, int bufSize, sockaddr_in* from);

// setsockopt at SOL_SOCKET with an int value. Callers ignore the result.
int SetSocketOption(int sock, int option, int value);

}  // namespace quarvent
