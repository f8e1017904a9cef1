#include "client/chunk_receive.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "client/texts.h"
#include "common/protocol.h"
#include "common/sys_ops.h"
#include "common/transfer.h"

namespace quarvent {

int ChunkReadLimit(int pattern) {
  const ClientPattern& client = ClientPatternFor(pattern, kTcp);
  const SizeRule& chunk = ServerPatternFor(pattern, kTcp).chunk;
  // A stream that is never answered: the buffer's content is never sent, so
  // one receive may take as many chunks as there are.
  if (client.interval == 0) return kTransferBufferSize;
  // One chunk per request: nothing follows it until the next request, so the
  // largest chunk is asked for and one receive takes the whole chunk.
  if (client.interval == 1) return chunk.Max();
  // Several chunks in a row, and requests sent from the buffer: a receive
  // never reaches into the next chunk, so every body lands at the buffer's
  // start and the requests carry what they always carried.
  return chunk.Min();
}

const char* ReceiveChunk(int sock, int protocol, char* buf, StreamRest* rest, int32_t* length,
                         int64_t* received) {
  if (protocol == kUdp) {
    // One datagram as a rule; a chunk split over several has its length word
    // in the first, and the rest is taken until the announced size is covered.
    sockaddr_storage from{};
    const int n = RecvFromFull(sock, buf, 4, &from);
    if (n < 4) return text::kHeaderFailed;
    *length = GetLengthWord(buf);
    if (*length < 0 || *length > kMaxMessageSize) return text::kHeaderSize;
    *received += *length;
    if (*length - n > 0 && RecvFromFull(sock, buf, *length - n, &from) < 0)
      return text::kBodyFailed;
    return nullptr;
  }
  char header[4];
  if (RecvLengthWord(sock, header, buf, rest) < 4) return text::kHeaderFailed;
  *length = GetLengthWord(header);
  if (*length < 0 || *length > kMaxMessageSize) return text::kHeaderSize;
  // A length of 0 to 3 asks for a negative count, which comes back unchanged;
  // a peer that closes before the whole body is in gives 0 for a count above
  // 0, and that chunk never arrived either. A length of 4 is an empty body.
  const int bodySize = *length - 4;
  const int got = RecvBody(sock, buf, bodySize, rest);
  if (got < 0 || got != bodySize) return text::kBodyFailed;
  *received += *length;
  return nullptr;
}

namespace {

// One datagram into buf; -2 when the receive timeout passed first.
ssize_t RecvTimed(int sock, char* buf) {
  sockaddr_storage from{};
  socklen_t len = sizeof from;
  const ssize_t n =
      sys::RecvDatagram(sock, buf, kDatagramRoom, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
  if (n < 0) ReportRecvError("recvfrom()");
  return n;
}

}  // namespace

const char* ReceiveUdpChunkTimed(int sock, char* buf, int32_t* length, int64_t* received,
                                 bool* timedOut, int64_t* tag) {
  *timedOut = false;
  ssize_t n = RecvTimed(sock, buf);
  if (n == -2) {
    *timedOut = true;
    return nullptr;
  }
  if (n < 4) return text::kHeaderFailed;
  *tag = GetTag(buf, n);
  *length = GetLengthWord(buf);
  if (*length < 0 || *length > kMaxMessageSize) return text::kHeaderSize;
  // The rest of a split chunk, each piece with the same time to come.
  for (int64_t remaining = *length - n; remaining > 0; remaining -= n) {
    n = RecvTimed(sock, buf);
    if (n == -2) {
      *timedOut = true;
      return nullptr;
    }
    if (n <= 0) return text::kBodyFailed;
  }
  *received += *length;
  return nullptr;
}

void PutTag(char* buf, uint32_t tag) noexcept {
  std::memcpy(buf + 4, &tag, sizeof tag);
}

int64_t GetTag(const char* buf, ssize_t size) noexcept {
  if (size < kTagEnd) return -1;
  uint32_t tag;
  std::memcpy(&tag, buf + 4, sizeof tag);
  return tag;
}

void LostTags::Add(uint32_t tag) noexcept {
  m_tags[m_next] = tag;
  m_used[m_next] = true;
  m_next = (m_next + 1) % kSize;
}

bool LostTags::Take(uint32_t tag) noexcept {
  for (int i = 0; i < kSize; ++i) {
    if (m_used[i] && m_tags[i] == tag) {
      m_used[i] = false;
      return true;
    }
  }
  return false;
}

void DrainLateDatagrams(int sock, char* buf, uint64_t* late, int64_t* lateBytes) {
  // Bounded: what is waiting now, not what keeps coming.
  for (int i = 0; i < 4096; ++i) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(sock, buf, kDatagramRoom, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return;
    ++*late;
    *lateBytes += n;
  }
}

}  // namespace quarvent
