#include "client/chunk_receive.h"

#include <netinet/in.h>

#include "client/texts.h"
#include "common/protocol.h"
#include "common/transfer.h"

namespace quarvent {

const char* ReceiveChunk(int sock, int protocol, char* buf, int32_t* length, int64_t* received) {
  if (protocol == kUdp) {
    // One datagram as a rule; a chunk split over several has its length word
    // in the first, and the rest is taken until the announced size is covered.
    sockaddr_in from{};
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
  if (RecvFull(sock, header, 4) < 4) return text::kHeaderFailed;
  *length = GetLengthWord(header);
  if (*length < 0 || *length > kMaxMessageSize) return text::kHeaderSize;
  // A length of 0 to 3 asks for a negative count, which comes back unchanged;
  // a peer that closes before the whole body is in gives 0 for a count above
  // 0, and that chunk never arrived either. A length of 4 is an empty body.
  const int bodySize = *length - 4;
  const int got = RecvFull(sock, buf, bodySize);
  if (got < 0 || got != bodySize) return text::kBodyFailed;
  *received += *length;
  return nullptr;
}

}  // namespace quarvent
