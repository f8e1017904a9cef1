// Pieces shared by the service fuzz targets: an owner that ignores every
// report, a receive-error sink that keeps notices off stderr, the descriptor
// that stands for a peer in memory, and the checks on what a service sends.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/cp932.h"
#include "common/protocol.h"
#include "common/transfer.h"
#include "server/server_host.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define QUARVENT_FUZZ_ASAN 1
#endif
#endif

namespace quarvent::fuzz {

class NullHost final : public ServerHost {
 public:
  explicit NullHost(int port = 0) : m_port(port) {}
  int Port() override { return m_port; }
  void SetStatusText(std::string_view) override {}
  void SetProgress(int position) override {
    if (position < 0 || position > 100) std::abort();
  }
  void SetListeningState(int) override {}
  void ClearServiceHandle(ServiceKind) override {}
  void ShowRecvErrorNotice(ServiceKind, std::string_view, NoticeAck ack) override {
    ack.Acknowledge();
  }

 private:
  int m_port;
};

class QuietSink final : public RecvErrorSink {
 public:
  void NotifyRecvError(std::string_view) override {}
};

// The descriptor a service is given for a peer that lives in memory behind the
// system-call table. No descriptor this high is ever open, so any call the
// service makes on it outside the table (setsockopt, shutdown) fails with
// EBADF and touches nothing; the table's functions accept no other.
inline constexpr int kPeerFd = 999'999'999;

// Aborts unless kPeerFd is indeed not open (checked once per process).
inline void CheckPeerFdUnused() {
  static const bool unused = ::fcntl(kPeerFd, F_GETFD) < 0 && errno == EBADF;
  if (!unused) std::abort();
}

// A chunk: 4 to 65,536 bytes whose length word is their own size.
inline bool IsChunk(const void* data, size_t len) {
  return len >= 4 && len <= static_cast<size_t>(kMaxMessageSize) &&
         GetLengthWord(static_cast<const char*>(data)) == static_cast<int32_t>(len);
}

// A text: at most 256 bytes whose only NUL is the last one. No message is
// both a chunk and a text.
inline bool IsText(const void* data, size_t len) {
  return len >= 1 && len <= 256 &&
         std::memchr(data, '\0', len) == static_cast<const char*>(data) + len - 1;
}

// A service sends either a NUL-terminated text (a reply or the failure
// notice, never longer than a line buffer allows for a reply) or a chunk whose
// length word is its own size, 4 to 65,536 bytes. Anything else is a fault.
inline void CheckOutgoing(const void* data, size_t len) {
  if (!IsChunk(data, len) && !IsText(data, len)) std::abort();
}

// What a service hands to a peer in memory must lie in memory it may read.
// The peer does not copy the bytes, so without this check a send reaching past
// the transfer buffer would go unseen; the read of the first bad byte makes
// AddressSanitizer report it with the whole story.
inline void CheckReadable(const void* data, size_t len) {
#ifdef QUARVENT_FUZZ_ASAN
  if (void* bad = __asan_region_is_poisoned(const_cast<void*>(data), len)) {
    const char byte = *static_cast<const volatile char*>(bad);
    (void)byte;
    std::abort();
  }
#else
  (void)data;
  (void)len;
#endif
}

// CheckReadable for the messages of one connection or session. A service
// sends chunk after chunk from the head of one buffer; a range inside the last
// one found readable is not scanned again (for a 64 KiB chunk the scan costs
// more than the rest of the chunk's way). Between two chunks the service
// writes the length word at the head of that buffer, which AddressSanitizer
// checks, so a buffer freed in between would still show. Forget() at the start
// of every connection or session.
class ReadableCheck {
 public:
  void Forget() { m_begin = m_end = nullptr; }
  void Check(const void* data, size_t len) {
    const char* begin = static_cast<const char*>(data);
    if (begin >= m_begin && begin + len <= m_end) return;
    CheckReadable(data, len);
    m_begin = begin;
    m_end = begin + len;
  }

 private:
  const char* m_begin = nullptr;
  const char* m_end = nullptr;
};

// Whether a message is exactly the NUL-terminated text, its NUL included.
inline bool IsExactly(const void* data, size_t len, std::string_view text) {
  return len == text.size() + 1 && std::memcmp(data, text.data(), text.size()) == 0 &&
         static_cast<const char*>(data)[text.size()] == '\0';
}

// The reply to a line that arrived whole (its bytes up to and including the
// NUL, at most a line buffer's worth), as the parser writes it into reply.
// Returns the parser's code: the pattern, or negative when rejected.
inline int ReplyTo(const void* line, size_t len, char (&reply)[kLineBufferSize]) {
  if (len > sizeof reply) std::abort();
  std::memset(reply, 0, sizeof reply);
  std::memcpy(reply, line, len);
  return ParseNegotiation(reply);
}

// The notice a service sends when no negotiation line could be read, with the
// error number of the failed receive (0 when the peer closed first). Each is
// converted once: a peer meets only a handful of error numbers.
inline const std::string& NegotiationFailure(int err) {
  static std::string notices[256];
  if (err < 0 || err >= 256) std::abort();
  std::string& notice = notices[err];
  if (notice.empty()) {
    char text[128];
    std::snprintf(text, sizeof text, "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=%d.", err);
    notice = Utf8ToCp932(text);
  }
  return notice;
}

// Every other call of a peer with interruptions fails with EINTR before it
// is carried out, as a signal would interrupt it.
class Interruptions {
 public:
  void Reset(bool on) {
    m_on = on;
    m_next = true;
  }
  bool Now() {
    if (!m_on) return false;
    m_next = !m_next;
    if (m_next) return false;
    errno = EINTR;
    return true;
  }

 private:
  bool m_on = false;
  bool m_next = true;
};

// The length-prefixed records of an input: two bytes of little-endian length,
// then that many bytes (fewer at the end of the input).
class Records {
 public:
  Records(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  // The next record; false when the input is used up.
  bool Next(const uint8_t*& record, size_t& len) {
    if (m_offset + 2 > m_size) return false;
    len = static_cast<size_t>(m_data[m_offset]) | static_cast<size_t>(m_data[m_offset + 1]) << 8;
    m_offset += 2;
    if (len > m_size - m_offset) len = m_size - m_offset;
    record = m_data + m_offset;
    m_offset += len;
    return true;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
};

}  // namespace quarvent::fuzz
