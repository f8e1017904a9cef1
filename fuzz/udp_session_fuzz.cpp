// The UDP service fed arbitrary datagrams: the negotiation line, requests,
// end markers and garbage, as any sender on the network could send them.
//
// The senders are a peer in memory behind the system-call table, so no socket
// exists. The first byte of the input sets how the peer behaves (see Behave
// below); the rest is split into datagrams by a two-byte little-endian length
// before each (fuzz_support.h), and each datagram comes from a sender of its
// own, so that a reply to anyone but the sender of the datagram just taken
// shows. The service serves session after session with the same code that
// serves its bound socket, until a session ends the service. When no datagram
// is left (or kMaxDatagrams or kMaxSessions are used up, which bounds the work
// of one input), the owner stops the service, as its stop would: the socket is
// shut down, so receives return 0 and sends fail, and the session must end
// within a few calls. The first byte may instead make that receive fail like
// any receive error, which ends the next negotiation at the latest.
//
// Beyond every datagram being well formed, the service must answer each
// session's line exactly as the parser rewrites it (or with the failure notice
// and the right error number), send chunks of the negotiated pattern's sizes
// only, answer no more chunks than it took datagrams, send everything to the
// sender of the last datagram it took, and end the service exactly when a
// negotiation failed or was refused, or when it was stopped. It must come back
// from every input quickly.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/protocol.h"
#include "common/stop_signal.h"
#include "common/sys_ops.h"
#include "fuzz/fuzz_support.h"
#include "server/udp_service.h"

namespace {

using namespace quarvent;

constexpr int kMaxDatagrams = 128;      // datagrams served per input at most
constexpr int kMaxSessions = 8;         // sessions begun per input at most
constexpr size_t kMaxDatagram = 65507;  // the largest IPv4 UDP payload
constexpr int kEveryMessage = 1 << 30;  // a budget that never runs out
// How many messages get through before sends fail, by bits 1 and 2 of the
// first byte: all of them, none (even the first reply fails), the first reply
// only, or three.
constexpr int kBudgets[4] = {kEveryMessage, 0, 1, 3};

// The senders of the current input and what the service did.
struct Peer {
  fuzz::Records records{nullptr, 0};  // the datagrams
  int taken = 0;                      // datagrams the service took
  int budget = kEveryMessage;         // messages sent successfully before sends fail
  int sends = 0;                      // messages the service sent, the failed ones included
  fuzz::Interruptions interruptions;
  fuzz::ReadableCheck readable;
  bool failAtEnd = false;      // at the end a receive fails instead of the owner stopping
  StopSignal* stop = nullptr;  // the owner's stop
  bool stopped = false;        // the owner has stopped the service
  int callsAfterStop = 0;
  int sessions = 0;  // sessions begun

  // The current session.
  int sessionSends = 0;
  int takenAtSend = 0;  // datagrams taken when the session's last message went
  int receivesAtSend = 0;
  int receives = 0;                 // receives tried in this session, the failed ones included
  char line[kLineBufferSize] = {};  // what the negotiation received
  size_t lineLen = 0;
  bool lineDone = false;  // a piece of the line held a NUL
  int lineErr = -1;       // errno of the negotiation's failed receive (0: an empty datagram)
  const ServerPattern* rule = nullptr;  // once the reply accepted a pattern
  bool refused = false;                 // the reply was the failure notice or a rejection
  bool chunkFailed = false;
};

Peer g_peer;

// Sets the peer up from the input's first byte: bit 0 gives interruptions,
// bits 1 and 2 the budget, bit 3 a failing receive at the end.
void Behave(uint8_t control, const uint8_t* data, size_t size, StopSignal& stop) {
  g_peer = Peer{};
  g_peer.records = fuzz::Records(data, size);
  g_peer.interruptions.Reset(control & 1);
  g_peer.budget = kBudgets[(control >> 1) & 3];
  g_peer.failAtEnd = control & 8;
  g_peer.stop = &stop;
}

void BeginSession() {
  Peer& p = g_peer;
  p.sessionSends = 0;
  p.readable.Forget();
  p.takenAtSend = p.taken;
  p.receives = p.receivesAtSend = 0;
  p.lineLen = 0;
  p.lineDone = false;
  p.lineErr = -1;
  p.rule = nullptr;
  p.refused = p.chunkFailed = false;
}

// Datagram i comes from loopback port 1024 + i.
sockaddr_in SenderOf(int i) {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(1024 + i));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A session's first message: the reply to its line, or the failure notice
// when no line could be received.
void CheckAnswer(const void* buf, size_t len) {
  if (!fuzz::IsText(buf, len)) std::abort();
  int err = g_peer.lineErr;
  if (err < 0) {
    if (g_peer.lineDone) {
      char reply[kLineBufferSize];
      const int code = fuzz::ReplyTo(g_peer.line, g_peer.lineLen, reply);
      if (!fuzz::IsExactly(buf, len, reply)) std::abort();
      if (code >= 0)
        g_peer.rule = &ServerPatternFor(code, kUdp);
      else
        g_peer.refused = true;
      return;
    }
    // Only a line that filled the buffer without a NUL ends otherwise.
    if (g_peer.lineLen != static_cast<size_t>(kLineBufferSize)) std::abort();
    err = EMSGSIZE;
  }
  if (!fuzz::IsExactly(buf, len, fuzz::NegotiationFailure(err))) std::abort();
  g_peer.refused = true;
}

// A chunk: only after an accepted reply and never after a failed chunk, of
// the pattern's sizes, and only for a datagram taken since the last message.
void CheckChunk(const void* buf, size_t len) {
  if (!g_peer.rule || g_peer.chunkFailed || !fuzz::IsChunk(buf, len)) std::abort();
  const SizeRule& chunk = g_peer.rule->chunk;
  if (len < static_cast<size_t>(chunk.Min()) || len > static_cast<size_t>(chunk.Max()))
    std::abort();
  if (g_peer.taken == g_peer.takenAtSend) std::abort();
}

void CheckSessionEnd(UdpServiceThread::Outcome outcome) {
  if (g_peer.stopped) {
    if (outcome != UdpServiceThread::Outcome::kStopped) std::abort();
    return;
  }
  if (g_peer.sessionSends == 0) std::abort();  // every session gets an answer
  if (g_peer.refused) {
    if (outcome != UdpServiceThread::Outcome::kServiceEnds) std::abort();
    return;
  }
  if (outcome != UdpServiceThread::Outcome::kNextSession) std::abort();
  // A stream ends on a failed chunk or on what a receive brought.
  if (!g_peer.chunkFailed && g_peer.receives == g_peer.receivesAtSend) std::abort();
}

// A call on the shut-down socket of a stopped service: receives return 0,
// sends fail. A stopped session must end within a few of them.
ssize_t AfterStop(int err) {
  if (++g_peer.callsAfterStop > 4) std::abort();
  if (err == 0) return 0;
  errno = err;
  return -1;
}

ssize_t PeerRecvFrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen) {
  if (fd != fuzz::kPeerFd) std::abort();
  if (g_peer.stopped) return AfterStop(0);
  if (g_peer.interruptions.Now()) return -1;
  const bool negotiating = g_peer.sessionSends == 0;
  // Nothing is received between a finished or failed line and its answer.
  if (negotiating && (g_peer.lineDone || g_peer.lineErr >= 0)) std::abort();
  ++g_peer.receives;
  const uint8_t* record;
  size_t size;
  if (g_peer.sessions > kMaxSessions || g_peer.taken == kMaxDatagrams ||
      !g_peer.records.Next(record, size)) {
    if (g_peer.failAtEnd) {
      if (negotiating) g_peer.lineErr = EAGAIN;
      errno = EAGAIN;  // nothing left
      return -1;
    }
    // The owner stops the service: its socket is shut down, and the receive
    // that waited on it returns 0.
    g_peer.stopped = true;
    g_peer.stop->Stop();
    return 0;
  }
  if (size > kMaxDatagram) size = kMaxDatagram;
  const size_t copied = size < len ? size : len;
  std::memcpy(buf, record, copied);
  if (from) {
    if (!fromLen || *fromLen < sizeof(sockaddr_in)) std::abort();
    const sockaddr_in sender = SenderOf(g_peer.taken);
    std::memcpy(from, &sender, sizeof sender);
    *fromLen = sizeof sender;
  }
  ++g_peer.taken;
  if (negotiating) {
    if (size == 0) {
      g_peer.lineErr = 0;
    } else if (size > len) {
      g_peer.lineErr = EMSGSIZE;
    } else {
      // Each piece goes right after the last, within the line buffer.
      if (g_peer.lineLen + size > sizeof g_peer.line) std::abort();
      std::memcpy(g_peer.line + g_peer.lineLen, record, size);
      g_peer.lineLen += size;
      g_peer.lineDone = std::memchr(record, '\0', size) != nullptr;
    }
  }
  // With MSG_TRUNC the result is the datagram's whole size, as the kernel gives it.
  return static_cast<ssize_t>(flags & MSG_TRUNC ? size : copied);
}

ssize_t PeerSendTo(int fd, const void* buf, size_t len, int, const sockaddr* addr,
                   socklen_t addrLen) {
  if (fd != fuzz::kPeerFd) std::abort();
  g_peer.readable.Check(buf, len);
  fuzz::CheckOutgoing(buf, len);
  if (g_peer.stopped) return AfterStop(EPIPE);
  if (g_peer.interruptions.Now()) return -1;
  if (!addr || addrLen != sizeof(sockaddr_in)) std::abort();
  if (g_peer.taken > 0) {
    const sockaddr_in sender = SenderOf(g_peer.taken - 1);
    if (std::memcmp(addr, &sender, sizeof sender) != 0) std::abort();
  }
  const bool first = g_peer.sessionSends == 0;
  if (first) {
    CheckAnswer(buf, len);
  } else {
    if (g_peer.refused) std::abort();  // nothing follows a refusal
    CheckChunk(buf, len);
  }
  ++g_peer.sessionSends;
  g_peer.takenAtSend = g_peer.taken;
  g_peer.receivesAtSend = g_peer.receives;
  if (g_peer.sends++ >= g_peer.budget) {
    if (!first) g_peer.chunkFailed = true;
    errno = ENOBUFS;
    return -1;
  }
  return static_cast<ssize_t>(len);
}

// Never called by the UDP service.
ssize_t NoSend(int, const void*, size_t, int) {
  std::abort();
}
ssize_t NoRecv(int, void*, size_t, int) {
  std::abort();
}

const sys::Ops kOps = {NoSend, PeerSendTo, NoRecv, PeerRecvFrom};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::CheckPeerFdUnused();
  StopSignal stop;
  Behave(data[0], data + 1, size - 1, stop);

  // One service serves every input, as one service serves session after
  // session: each session starts from a freshly seeded generator and a
  // refilled transfer buffer.
  static fuzz::NullHost host;
  static UdpServiceThread service(host);
  service.SetSeed(1);
  fuzz::QuietSink sink;
  ScopedRecvErrorSink sinkScope(&sink);
  sys::ScopedOps ops(kOps);
  // Every session that lets the service go on takes at least one datagram,
  // and after kMaxSessions sessions the next receive ends the input.
  for (;;) {
    if (++g_peer.sessions > kMaxSessions + 2) std::abort();
    BeginSession();
    const int before = g_peer.taken;
    const auto outcome = service.ServeSession(fuzz::kPeerFd, stop);
    CheckSessionEnd(outcome);
    if (outcome != UdpServiceThread::Outcome::kNextSession) break;
    if (g_peer.taken == before) std::abort();
  }
  return 0;
}
