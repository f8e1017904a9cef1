// Reading one chunk of the data phase: the length word, its range check and
// the body, over TCP or UDP.
#pragma once

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
// *length gets the chunk's length word; its value is added to *received once
// accepted (over UDP as soon as the first datagram is in, before the rest of
// a split chunk has arrived). Returns nullptr, or the report text of the
// failure: header not received, length outside 0 to 65,536, body not received
// (over TCP also when the peer closes before the whole body has come).
const char* ReceiveChunk(int sock, int protocol, char* buf, StreamRest* rest, int32_t* length,
                         int64_t* received);

// Over UDP with a receive timeout on sock (SO_RCVTIMEO): as ReceiveChunk,
// except that a datagram that does not come in time is no failure but sets
// *timedOut (nothing is added to *received then; a chunk split over several
// datagrams is counted only once complete).
const char* ReceiveUdpChunkTimed(int sock, char* buf, int32_t* length, int64_t* received,
                                 bool* timedOut);

// Takes every datagram already waiting on sock without blocking (answers
// that came too late) and adds their sizes to *received.
void DrainLateDatagrams(int sock, char* buf, int64_t* received);

}  // namespace quarvent
