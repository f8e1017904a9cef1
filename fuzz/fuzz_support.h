// Pieces shared by the service fuzz targets: an owner that ignores every
// report, a receive-error sink that keeps notices off stderr, and the check
// that every message a service sends is well formed.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/protocol.h"
#include "common/transfer.h"
#include "server/server_host.h"

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

// A service sends either a NUL-terminated text (a reply or the failure
// notice, never longer than a line buffer allows for a reply) or a chunk whose
// length word is its own size, 4 to 65,536 bytes. Anything else is a fault.
inline void CheckOutgoing(const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  if (len >= 4 && len <= static_cast<size_t>(kMaxMessageSize) &&
      GetLengthWord(p) == static_cast<int32_t>(len))
    return;
  if (len >= 1 && len <= 256 && std::memchr(p, '\0', len) == p + len - 1) return;
  std::abort();
}

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
