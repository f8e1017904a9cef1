// Shared pieces of the server tests: a recording host, scripted loopback
// clients with receive timeouts, free ports and a thread that runs a service.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/socket.h"
#include "common/stop_signal.h"
#include "server/server_host.h"
#include "server/tcp_service.h"
#include "server/udp_service.h"

namespace quarvent::test {

using namespace std::chrono_literals;

// How long a test waits for an event before it fails. Waits end as soon as the
// event comes; the limit only turns a hang into a failure on a loaded machine.
inline constexpr std::chrono::milliseconds kWaitLimit = 30s;

struct HostEvent {
  enum Kind { kStatus, kProgress, kState, kClear, kNotice, kListening } kind;
  std::string text;  // status or notice text
  int value = 0;     // progress, state, or the ServiceKind cleared / noticed / bound
  std::thread::id thread;
};

// Records every host call in order. Notices are acknowledged at once unless
// HoldNotices() was called.
class RecordingHost final : public ServerHost {
 public:
  explicit RecordingHost(int port) : m_port(port) {}

  int Port() override { return m_port.load(); }
  void SetPort(int port) { m_port = port; }
  void SetStatusText(std::string_view utf8) override {
    Add({HostEvent::kStatus, std::string(utf8), 0, std::this_thread::get_id()});
  }
  void SetProgress(int position) override {
    if (m_progressHook) m_progressHook(position);
    Add({HostEvent::kProgress, {}, position, std::this_thread::get_id()});
  }
  void SetListeningState(int state) override {
    Add({HostEvent::kState, {}, state, std::this_thread::get_id()});
  }
  void ClearServiceHandle(ServiceKind kind) override {
    Add({HostEvent::kClear, {}, static_cast<int>(kind), std::this_thread::get_id()});
  }
  void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) override {
    bool hold;
    {
      std::lock_guard lock(m_mutex);
      hold = m_holdNotices;
      if (hold) m_pendingAcks.push_back(ack);
    }
    if (!hold) ack.Acknowledge();
    Add({HostEvent::kNotice, std::string(utf8), static_cast<int>(kind),
         std::this_thread::get_id()});
  }
  void OnServiceListening(ServiceKind kind) override {
    Add({HostEvent::kListening, {}, static_cast<int>(kind), std::this_thread::get_id()});
  }

  void HoldNotices() {
    std::lock_guard lock(m_mutex);
    m_holdNotices = true;
  }
  // Acknowledges outside the host's lock: the service may hold its own lock
  // while it calls into the host.
  void AcknowledgeAll() {
    std::vector<NoticeAck> acks;
    {
      std::lock_guard lock(m_mutex);
      acks.swap(m_pendingAcks);
    }
    for (auto& ack : acks) ack.Acknowledge();
  }
  // Called on the service thread before each progress event is recorded.
  void OnProgress(std::function<void(int)> hook) { m_progressHook = std::move(hook); }

  std::vector<HostEvent> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  size_t Size() const {
    std::lock_guard lock(m_mutex);
    return m_events.size();
  }
  int Count(HostEvent::Kind kind, int value) const {
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (auto& e : m_events) n += e.kind == kind && e.value == value;
    return n;
  }
  int CountStatus(const std::string& text) const {
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (auto& e : m_events) n += e.kind == HostEvent::kStatus && e.text == text;
    return n;
  }
  std::string LastStatus() const {
    std::lock_guard lock(m_mutex);
    for (auto it = m_events.rbegin(); it != m_events.rend(); ++it)
      if (it->kind == HostEvent::kStatus) return it->text;
    return {};
  }
  // Waits until pred(events) holds; false after the timeout.
  bool WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& pred,
                 std::chrono::milliseconds timeout = kWaitLimit) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return pred(m_events); });
  }
  bool WaitCount(HostEvent::Kind kind, int value, int count,
                 std::chrono::milliseconds timeout = kWaitLimit) {
    return WaitUntil(
        [&](const std::vector<HostEvent>& events) {
          int n = 0;
          for (auto& e : events) n += e.kind == kind && e.value == value;
          return n >= count;
        },
        timeout);
  }
  bool WaitStatus(const std::string& text, int count = 1,
                  std::chrono::milliseconds timeout = kWaitLimit) {
    return WaitUntil(
        [&](const std::vector<HostEvent>& events) {
          int n = 0;
          for (auto& e : events) n += e.kind == HostEvent::kStatus && e.text == text;
          return n >= count;
        },
        timeout);
  }

 private:
  void Add(HostEvent e) {
    {
      std::lock_guard lock(m_mutex);
      m_events.push_back(std::move(e));
    }
    m_cv.notify_all();
  }

  std::atomic<int> m_port;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<HostEvent> m_events;
  std::vector<NoticeAck> m_pendingAcks;
  bool m_holdNotices = false;
  std::function<void(int)> m_progressHook;
};

// A port reserved for this test process (ReservePort); a failure when none is left.
int FreePort();

// Runs service.Run(stop) on its own thread; stops and joins on destruction.
template <class Service>
class ServiceRunner {
 public:
  explicit ServiceRunner(Service& service)
      : m_thread([this, &service] {
          service.Run(m_stop);
          m_done = true;
        }) {}
  ~ServiceRunner() {
    m_stop.Stop();
    m_thread.join();
  }
  void Stop() { m_stop.Stop(); }
  // Waits for the run to return; false after the timeout.
  bool WaitDone(std::chrono::milliseconds timeout = kWaitLimit) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!m_done && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(2ms);
    return m_done;
  }
  bool Done() const { return m_done; }

 private:
  StopSignal m_stop;
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

// A scripted TCP client on 127.0.0.1 with a receive timeout on its socket.
class TcpClient {
 public:
  // Connects, retrying while the connection is refused (the listener is not
  // up yet), for at most kWaitLimit.
  explicit TcpClient(int port, std::chrono::milliseconds recvTimeout = kWaitLimit);
  bool Connected() const { return m_sock.Valid(); }
  int Fd() const { return m_sock.Fd(); }
  bool SendAll(const void* data, size_t size);
  bool SendText(const std::string& textWithoutNul);  // sends the NUL too
  bool SendWord(int32_t word);                       // a lone length word
  bool SendRequest(int32_t size, char fill = 'r');   // length word + filler
  // Exactly size bytes; false on timeout, close or error.
  bool RecvExact(void* data, size_t size);
  // Bytes up to and including a NUL (at most 256); empty on failure.
  std::string RecvText();
  // One chunk: its length word and body into `chunk`; false on failure.
  bool RecvChunk(std::vector<char>& chunk);
  // True when the peer closed (recv returns 0 or reset) within the timeout.
  bool SeesClose(std::chrono::milliseconds timeout = kWaitLimit);
  // Negotiates pattern and checks the accepted reply.
  bool Negotiate(int pattern);
  void Reset();  // closes with a reset (SO_LINGER 0)
  void Close() { m_sock.Reset(); }

 private:
  Socket m_sock;
};

class UdpClient {
 public:
  explicit UdpClient(int port, std::chrono::milliseconds recvTimeout = kWaitLimit);
  bool Send(const void* data, size_t size);
  bool SendText(const std::string& textWithoutNul);
  bool SendWord(int32_t word);
  bool SendRequest(int32_t size, int32_t lengthWord);  // size bytes, given length word
  // One datagram (up to 65,536 bytes); -1 on timeout.
  int Recv(std::vector<char>& data);
  // True when no datagram arrives within `time` (one that does is consumed).
  // Only a check that something does not come: a slow service can make it
  // pass, never fail.
  bool Quiet(std::chrono::milliseconds time = 150ms);
  void SetTimeout(std::chrono::milliseconds timeout);
  // Sends the negotiation line and checks the accepted reply. Wait for the
  // service's bound socket first (its progress reset) so the line is not lost.
  bool Negotiate(int pattern);

 private:
  Socket m_sock;
  int m_port;
};

// A good TCP client on port: negotiates pattern 7, gets one 8,192-byte chunk
// for its request and leaves with the end marker; with expectClose it then
// sees the server close the connection.
void ExpectGoodTcpSession(int port, bool expectClose = false);

// A UDP service on a free port with a recording host. Start() runs it and
// waits until its socket is bound; WaitSession() waits for the next bound
// socket (one progress reset per session).
// A TCP service on a reserved port with a recording owner. Start() runs it and
// waits until it listens; a run started after the last one was joined waits
// for its own listener.
class TcpServiceFixture : public ::testing::Test {
 protected:
  TcpServiceFixture() : port(FreePort()), host(port), service(host, fields) {}
  void Start() {
    const int listening = host.CountStatus("待受中...");
    runner = std::make_unique<ServiceRunner<TcpServiceThread>>(service);
    ASSERT_TRUE(host.WaitStatus("待受中...", listening + 1));
  }

  int port;
  RecordingHost host;
  TcpListenFields fields;
  TcpServiceThread service;
  std::unique_ptr<ServiceRunner<TcpServiceThread>> runner;
};

class UdpServiceFixture : public ::testing::Test {
 protected:
  UdpServiceFixture() : port(FreePort()), host(port), service(host) {}
  void Start() {
    sessions = host.Count(HostEvent::kProgress, 0);
    runner = std::make_unique<ServiceRunner<UdpServiceThread>>(service);
    ASSERT_TRUE(WaitSession());
  }
  bool WaitSession() { return host.WaitCount(HostEvent::kProgress, 0, ++sessions); }

  int port;
  RecordingHost host;
  UdpServiceThread service;
  std::unique_ptr<ServiceRunner<UdpServiceThread>> runner;
  int sessions = 0;
};

std::string Cp932(const std::string& utf8);  // with its NUL

}  // namespace quarvent::test
