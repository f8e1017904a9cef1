// The TCP service's handling of one connection fed an arbitrary byte stream:
// the negotiation line and then requests, as a client would send them.
//
// The client is a peer in memory behind the system-call table, so no socket
// exists: the service's receives take the input's bytes and its sends are
// checked where they lie, without a copy. The first byte of the input sets how
// the peer behaves (see Behave below); the rest is the stream it sends, after
// which it closes the connection, or resets it. The peer reads a few messages
// (kMaxSends and kMaxBytes at most) and then leaves, so that the next send
// fails: that is how a connection that never reads a request (patterns 0 to 2)
// ends, and what bounds the work of one input.
//
// Beyond every message being well formed, the service must answer exactly as
// the parser rewrites the line it read (or with the failure notice and the
// right error number), send chunks of the negotiated pattern's sizes only,
// frame one whole request before chunk k exactly when the pattern's interval
// divides k and receive nothing otherwise, never take more of the stream for a
// request than the pattern's largest request (or the request itself, when
// longer), and end only where the stream or a failed send gives it a reason.
// It must come back from every input quickly.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/protocol.h"
#include "common/stop_signal.h"
#include "common/sys_ops.h"
#include "fuzz/fuzz_support.h"
#include "server/tcp_service.h"

namespace {

using namespace quarvent;

constexpr int kMaxSends = 160;         // messages the peer reads at most
constexpr size_t kMaxBytes = 1 << 20;  // or bytes
constexpr size_t kMaxInput = 1 << 17;  // bytes of stream served at most
// How many messages the peer reads before it leaves, by bits 6 and 7 of the
// first byte: the reply and 15 chunks, none (even the reply fails), the reply
// only, or the full count, which reaches the first progress step of pattern 0.
// Streams of patterns 0 to 2 run until the budget is spent, so a short one is
// the default: the full count takes ten times as long.
constexpr int kBudgets[4] = {16, 0, 1, kMaxSends};

// The client of the current input and what the service did to it.
struct Peer {
  const uint8_t* data = nullptr;  // the stream
  size_t size = 0;
  size_t offset = 0;    // bytes the service has received
  size_t segment = 0;   // most bytes a cut receive gives; 0: none is cut
  bool cutNext = true;  // every other receive is cut
  bool reset = false;   // at the end of the stream the peer resets instead of closing
  int budget = 0;       // messages the peer reads before it leaves
  fuzz::Interruptions interruptions;
  fuzz::ReadableCheck readable;
  int sends = 0;                        // messages the service sent, the failed ones included
  size_t bytes = 0;                     // bytes of the messages the peer read
  size_t mark = 0;                      // offset when the last message was sent
  size_t start = 0;                     // where the next request begins in the stream
  size_t limit = 0;                     // most that a request's receives may take
  const ServerPattern* rule = nullptr;  // once the reply accepted a pattern
  bool refused = false;                 // the reply was the failure notice or a rejection
  uint32_t chunks = 0;                  // chunks sent
  bool chunkFailed = false;             // a chunk's send failed
};

Peer g_peer;

// Sets the peer up from the input's first byte: bits 0 to 3 give the segment
// (0 for none, n for 2^(n-1) bytes) to which every other receive is cut, so
// that length words and bodies arrive in pieces while a long body still takes
// few receives; bit 4 a reset at the end, bit 5 interruptions, bits 6 and 7
// the budget.
void Behave(uint8_t control, const uint8_t* data, size_t size) {
  g_peer = Peer{};
  g_peer.data = data;
  g_peer.size = size < kMaxInput ? size : kMaxInput;
  const int segment = control & 0x0F;
  g_peer.segment = segment ? size_t{1} << (segment - 1) : 0;
  g_peer.reset = control & 0x10;
  g_peer.interruptions.Reset(control & 0x20);
  g_peer.budget = kBudgets[control >> 6];
}

// The first message: the reply to the line the service read, or the failure
// notice when it could not read one. The line is all the service received so
// far, since the line is read one byte at a time and nothing before it.
void CheckAnswer(const void* buf, size_t len) {
  if (!fuzz::IsText(buf, len)) std::abort();
  const uint8_t* line = g_peer.data;
  const size_t taken = g_peer.offset;
  if (taken > static_cast<size_t>(kLineBufferSize)) std::abort();
  if (taken >= 2 && line[taken - 1] == '\0') {
    char reply[kLineBufferSize];
    const int code = fuzz::ReplyTo(line, taken, reply);
    if (!fuzz::IsExactly(buf, len, reply)) std::abort();
    if (code >= 0) {
      g_peer.rule = &ServerPatternFor(code, kTcp);
      g_peer.limit = static_cast<size_t>(ClientPatternFor(code, kTcp).request.Max());
    } else {
      g_peer.refused = true;
    }
    return;
  }
  int err;
  if (taken == 1 && line[0] == '\0')
    err = 0;  // an empty line
  else if (taken == static_cast<size_t>(kLineBufferSize))
    err = EMSGSIZE;  // no NUL within the line buffer
  else if (taken == g_peer.size)
    err = g_peer.reset ? ECONNRESET : 0;
  else
    std::abort();  // the service gave up on a line that was still coming
  if (!fuzz::IsExactly(buf, len, fuzz::NegotiationFailure(err))) std::abort();
  g_peer.refused = true;
}

// A chunk: only after an accepted reply and never after a failed chunk, of
// the pattern's sizes, with exactly one request framed before it when the
// pattern asks for one there (whole, or up to the client's close; the
// receives may have taken the start of what follows, within the limit) and
// nothing received otherwise.
void CheckChunk(const void* buf, size_t len) {
  if (!g_peer.rule || g_peer.chunkFailed || !fuzz::IsChunk(buf, len)) std::abort();
  const ServerPattern& rule = *g_peer.rule;
  if (len < static_cast<size_t>(rule.chunk.Min()) || len > static_cast<size_t>(rule.chunk.Max()))
    std::abort();
  if (rule.interval > 0 && g_peer.chunks % static_cast<uint32_t>(rule.interval) == 0) {
    const size_t taken = g_peer.offset - g_peer.start;
    if (g_peer.offset < g_peer.start || taken < 4) std::abort();
    const int32_t length = GetLengthWord(reinterpret_cast<const char*>(g_peer.data + g_peer.start));
    if (length < 4) std::abort();
    const size_t whole = static_cast<size_t>(length);
    // A body cut short by the client's close still gets its chunk; a reset
    // ends the connection instead.
    const bool cut = g_peer.offset == g_peer.size && !g_peer.reset;
    if (!cut && taken < whole) std::abort();
    if (taken > (whole > g_peer.limit ? whole : g_peer.limit)) std::abort();
    g_peer.start = g_peer.start + whole < g_peer.size ? g_peer.start + whole : g_peer.size;
  } else if (g_peer.offset != g_peer.mark) {
    std::abort();
  }
}

// The stream ended without a failed chunk: then it stopped before a request
// that was due and that the stream does not hold whole and valid (too short,
// the end marker or a length below 4).
void CheckStreamEnd() {
  if (g_peer.chunkFailed) return;
  const ServerPattern& rule = *g_peer.rule;
  if (rule.interval <= 0 || g_peer.chunks % static_cast<uint32_t>(rule.interval) != 0) std::abort();
  const size_t rest = g_peer.size - g_peer.start;
  if (rest < 4) return;
  const int32_t length = GetLengthWord(reinterpret_cast<const char*>(g_peer.data + g_peer.start));
  if (length >= 4 && rest >= static_cast<size_t>(length)) std::abort();
}

// The next receive of up to len bytes: -1 with errno for an interruption or
// the reset, else the count taken (0 at the end of the stream), which lies
// just before g_peer.offset.
ssize_t Take(size_t len) {
  if (g_peer.interruptions.Now()) return -1;
  if (g_peer.offset == g_peer.size) {
    if (!g_peer.reset) return 0;
    errno = ECONNRESET;
    return -1;
  }
  size_t n = g_peer.size - g_peer.offset;
  if (n > len) n = len;
  if (g_peer.segment) {
    if (g_peer.cutNext && n > g_peer.segment) n = g_peer.segment;
    g_peer.cutNext = !g_peer.cutNext;
  }
  g_peer.offset += n;
  return static_cast<ssize_t>(n);
}

ssize_t PeerRecv(int fd, void* buf, size_t len, int) {
  if (fd != fuzz::kPeerFd) std::abort();
  const ssize_t n = Take(len);
  if (n > 0)
    std::memcpy(buf, g_peer.data + g_peer.offset - static_cast<size_t>(n), static_cast<size_t>(n));
  return n;
}

// A scattered receive: what one recv of the pieces' total gives, laid over
// the pieces in order.
ssize_t PeerRecvMsg(int fd, msghdr* msg, int) {
  if (fd != fuzz::kPeerFd) std::abort();
  size_t total = 0;
  for (size_t i = 0; i < msg->msg_iovlen; ++i) total += msg->msg_iov[i].iov_len;
  const ssize_t n = Take(total);
  const uint8_t* from = g_peer.data + g_peer.offset - (n > 0 ? static_cast<size_t>(n) : 0);
  size_t left = n > 0 ? static_cast<size_t>(n) : 0;
  for (size_t i = 0; i < msg->msg_iovlen && left > 0; ++i) {
    const size_t piece = msg->msg_iov[i].iov_len < left ? msg->msg_iov[i].iov_len : left;
    std::memcpy(msg->msg_iov[i].iov_base, from, piece);
    from += piece;
    left -= piece;
  }
  return n;
}

ssize_t PeerSend(int fd, const void* buf, size_t len, int) {
  if (fd != fuzz::kPeerFd) std::abort();
  g_peer.readable.Check(buf, len);
  fuzz::CheckOutgoing(buf, len);
  if (g_peer.interruptions.Now()) return -1;
  if (g_peer.sends == 0) {
    CheckAnswer(buf, len);
  } else {
    if (g_peer.refused) std::abort();  // nothing follows a refusal
    CheckChunk(buf, len);
  }
  const bool first = g_peer.sends == 0;
  g_peer.mark = g_peer.offset;
  if (first) g_peer.start = g_peer.offset;  // the requests begin after the line
  if (g_peer.sends++ >= g_peer.budget || g_peer.bytes + len > kMaxBytes) {
    if (!first) g_peer.chunkFailed = true;
    errno = EPIPE;  // the client has left
    return -1;
  }
  if (!first) ++g_peer.chunks;
  g_peer.bytes += len;
  return static_cast<ssize_t>(len);
}

// Never called by the TCP service.
ssize_t NoSendTo(int, const void*, size_t, int, const sockaddr*, socklen_t) {
  std::abort();
}
ssize_t NoRecvFrom(int, void*, size_t, int, sockaddr*, socklen_t*) {
  std::abort();
}

const sys::Ops kOps = {PeerSend, NoSendTo, PeerRecv, NoRecvFrom, PeerRecvMsg};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::CheckPeerFdUnused();
  Behave(data[0], data + 1, size - 1);

  // One service serves every input, as one service serves client after
  // client: each connection starts from a freshly seeded generator and a
  // refilled transfer buffer, and a new service per input would spend most of
  // the time allocating and filling that buffer once more.
  static fuzz::NullHost host;
  static TcpListenFields fields;
  static TcpServiceThread service(host, fields);
  service.SetSeed(1);
  fields.m_bConnected = 0;
  StopSignal stop;
  fuzz::QuietSink sink;
  ScopedRecvErrorSink sinkScope(&sink);
  sys::ScopedOps ops(kOps);
  const auto outcome = service.ServeConnection(fuzz::kPeerFd, stop);

  if (fields.m_bConnected.load() != 1) std::abort();
  if (g_peer.sends == 0) std::abort();  // every client gets an answer
  if (g_peer.refused) {
    if (outcome != TcpServiceThread::Outcome::kServiceEnds) std::abort();
  } else {
    if (outcome != TcpServiceThread::Outcome::kNextClient) std::abort();
    CheckStreamEnd();
  }
  return 0;
}
