// The socket transfer routines that move every byte of the measurement
// protocol. Socket and buffers are the caller's; the only state, what a TCP
// receive took beyond its message, is too (StreamRest).
//
// Results follow the socket convention: a positive count, 0 when the peer
// closed first, a negative value on error (errno tells which).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>

#include "common/protocol.h"

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
int SendToString(int sock, const char* text, const sockaddr_storage& addr);

// Receives exactly count bytes into buf. Returns count; count itself without
// receiving when count <= 0; 0 when the peer closed first; negative on error.
int RecvFull(int sock, char* buf, int count);

// What the receiver of one TCP connection has taken from the stream but not
// yet framed: bytes in its transfer buffer that belong to the messages after
// the one it read last. A receive for a message asks for as much as the
// message can be (the limit, length word included), so that one call usually
// takes the whole message; what a peer sent beyond it stays here for the next
// message. It lives beside the transfer buffer for one connection: a new
// connection starts with a new one.
class StreamRest {
 public:
  // limit: what one message's receives may take, 4 to kTransferBufferSize
  // bytes (a body longer than that is received exactly). A peer in lock-step
  // never sends beyond its message, so nothing is ever kept with it; the
  // streaming reader that sends nothing back asks for the whole buffer.
  explicit StreamRest(int limit = kTransferBufferSize) noexcept
      : m_limit(limit < 4                     ? 4
                : limit > kTransferBufferSize ? kTransferBufferSize
                                              : limit) {}

  int Limit() const noexcept { return m_limit; }
  // Bytes taken and not yet framed (after RecvLengthWord: those of the body
  // and beyond).
  int Kept() const noexcept { return m_size; }
  // Where the body of the last message framed by RecvBody lies in the buffer:
  // 0, unless the message had come whole with an earlier one, where it was.
  int BodyOffset() const noexcept { return m_body; }

 private:
  friend int RecvLengthWord(int sock, char* word, char* buf, StreamRest* rest);
  friend int RecvBody(int sock, char* buf, int count, StreamRest* rest);

  int m_limit;
  int m_offset = 0;  // kept bytes start here in the buffer
  int m_size = 0;    // and run this long
  int m_body = 0;
};

// Receives the next message's 4-byte length word into word, from the kept
// bytes first. A receive takes the word and, in the same call, as much of
// what follows as the socket has, up to rest's limit in all; those bytes land
// at the start of buf, where RecvBody takes the body from. Returns 4; 0 when
// the peer closed first; negative on error (with the "recv()" notice).
int RecvLengthWord(int sock, char* word, char* buf, StreamRest* rest);

// Completes the body of count bytes of the message whose word RecvLengthWord
// took: from the kept bytes, and for the rest with receives that may again
// take up to the limit (counted from the message's start), so bytes beyond
// the body are kept. The body ends up at buf + rest->BodyOffset(), which is
// buf itself unless it had been taken whole with an earlier message. Once it
// has framed a body (an empty one too: call it for every message), no kept
// byte lies in the first 4 bytes of buf, where the owner writes the length
// word of what it sends. Returns count; count itself without receiving when
// count < 0 (0 for an empty body); 0 when the peer closed first; negative on
// error. count is at most kTransferBufferSize.
int RecvBody(int sock, char* buf, int count, StreamRest* rest);

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
int RecvFromFull(int sock, char* buf, int count, sockaddr_storage* from);

// Takes datagrams in pieces of at most 64 bytes, each after the previous, until
// a piece holds a NUL. Returns the bytes up to and including the NUL; 0 or
// negative on end or error. A datagram that does not fit its piece, or a line
// that would run past bufSize, is a receive error (EMSGSIZE, with its notice).
int RecvFromString(int sock, char* buf, int bufSize, sockaddr_storage* from);

// setsockopt at SOL_SOCKET with an int value. Callers ignore the result.
int SetSocketOption(int sock, int option, int value);

}  // namespace quarvent
