// Reading one chunk of the data phase: the length word, its range check and
// the body, over TCP or UDP.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "common/transfer.h"

namespace quarvent {

// What one receive of a TCP chunk of the pattern may take (StreamRest's
// limit): the whole buffer for the streams, the largest chunk where every
// chunk answers a request, the smallest where several follow one request.
int ChunkReadLimit(int pattern);

// Receives one chunk on sock into buf (the 65,536-byte transfer buffer).
// Over TCP rest holds what the receives of the connection took beyond their
// chunks (one per data phase, made with ChunkReadLimit); UDP ignores it.
// wordRoom: where a TCP chunk's length word is received; the 4 bytes right
// before buf (TransferSpace::WordRoom) let one plain receive take word and
// body; nullptr: a place of its own.
// *length gets the chunk's length word; its value is added to *received once
// accepted (over UDP as soon as the first datagram is in, before the rest of
// a split chunk has arrived). Returns nullptr, or the report text of the
// failure: header not received, length outside 0 to 65,536, body not received
// (over TCP also when the peer closes before the whole body has come).
const char* ReceiveChunk(int sock, int protocol, char* buf, StreamRest* rest, int32_t* length,
                         int64_t* received, char* wordRoom = nullptr);

// Over UDP with a receive timeout on sock (SO_RCVTIMEO): as ReceiveChunk,
// except that a datagram that does not come in time is no failure but sets
// *timedOut (nothing is added to *received then; a chunk split over several
// datagrams is counted only once complete).
// *tag gets the four bytes after the length word of the first datagram,
// -1 when it is shorter than 8 bytes.
const char* ReceiveUdpChunkTimed(int sock, char* buf, int32_t* length, int64_t* received,
                                 bool* timedOut, int64_t* tag);

// Takes every datagram already waiting on sock without blocking (answers
// that came too late): each adds 1 to *late and its size to *lateBytes.
void DrainLateDatagrams(int sock, char* buf, uint64_t* late, int64_t* lateBytes);

// Over UDP with a receive timeout, a request whose body has room carries a
// tag after its length word; the server answers from the buffer the request
// was read into, so the tag comes back at the same place in its chunk. An
// answer whose tag is that of a request already counted lost is late.
inline constexpr int kTagEnd = 8;  // the tag takes bytes 4 to 7
void PutTag(char* buf, uint32_t tag) noexcept;
int64_t GetTag(const char* buf, ssize_t size) noexcept;

// The tags of the requests counted lost most recently, without allocation.
class LostTags {
 public:
  void Add(uint32_t tag) noexcept;
  // True, and tag forgotten, when tag is one of them.
  bool Take(uint32_t tag) noexcept;

 private:
  static constexpr int kSize = 256;
  uint32_t m_tags[kSize];
  bool m_used[kSize] = {};
  int m_next = 0;
};

}  // namespace quarvent
