// The client's chunk reading fed whatever a server may send. The first byte
// picks the protocol: even for a TCP stream (the rest of the input, then the
// peer closes), odd for UDP datagrams (two-byte length records, then a
// zero-length datagram as the end); over TCP bits 1 and 2 pick how much one
// receive may take (the whole buffer, as the streams do, or the limit of a
// lock-step pattern). Reading goes on until a chunk fails; it
// must never crash, overrun the transfer buffer or count a length it rejected.
// A zero-length datagram ends a split chunk's body without failing it; the
// read that follows then finds the queue empty, which ends the input.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "client/chunk_receive.h"
#include "client/texts.h"
#include "common/protocol.h"
#include "common/socket.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace quarvent;

struct Pair {
  Socket reader, writer;
  explicit Pair(int type) {
    int sv[2];
    if (::socketpair(AF_UNIX, type, 0, sv) != 0) std::abort();
    reader.Reset(sv[0]);
    writer.Reset(sv[1]);
    const int size = 4 << 20;  // room for the whole input without blocking
    ::setsockopt(writer.Fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(reader.Fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // Everything is queued before reading starts, so a receive that finds
    // nothing left fails at once (a receive error) instead of waiting.
    ::fcntl(reader.Fd(), F_SETFL, O_NONBLOCK);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 256 * 1024) return 0;
  static fuzz::QuietSink sink;
  ScopedRecvErrorSink scope(&sink);
  // Exactly the transfer buffer's size on the heap, after the 4 bytes of the
  // word's room, so ASan sees any overrun at either end.
  std::unique_ptr<char[]> space(new char[4 + kTransferBufferSize]);
  char* const buf = space.get() + 4;
  char* const wordRoom = data[0] & 8 ? space.get() : nullptr;
  const bool udp = data[0] & 1;
  Pair pair(udp ? SOCK_DGRAM : SOCK_STREAM);
  if (udp) {
    fuzz::Records records(data + 1, size - 1);
    const uint8_t* record;
    size_t len;
    // A local datagram queue holds a few hundred datagrams; stay below that
    // so the end always gets through.
    for (int count = 0; count < 400 && records.Next(record, len); ++count)
      if (len > 0) ::send(pair.writer.Fd(), record, len, MSG_DONTWAIT);
    ::send(pair.writer.Fd(), "", 0, MSG_DONTWAIT);  // the end
  } else {
    ::send(pair.writer.Fd(), data + 1, size - 1, MSG_DONTWAIT);
    pair.writer.Shutdown();
  }
  constexpr int kLimits[4] = {kTransferBufferSize, 4, 64, 8192};
  StreamRest rest(kLimits[(data[0] >> 1) & 3]);
  int64_t received = 0;
  for (int chunks = 0; chunks < 100000; ++chunks) {
    int32_t length = -1;
    const int64_t before = received;
    const char* fail =
        ReceiveChunk(pair.reader.Fd(), udp ? kUdp : kTcp, buf, &rest, &length, &received, wordRoom);
    if (received != before && (length < 0 || length > kMaxMessageSize)) std::abort();
    if (fail) break;
    if (received - before != length) std::abort();
  }
  return 0;
}
