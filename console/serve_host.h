// The console's owner of the stream services: status lines, notices and the
// session lines on stderr, the readiness line once both services listen, and
// what the main thread needs to know to end the process.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "console/commands.h"
#include "server/server_host.h"
#include "server/service_options.h"

namespace quarvent::console {

class ConsoleServerHost final : public ServerHost {
 public:
  // immediateUdp: every UDP session line is printed as it comes (the
  // concurrent server listens all the time), not held until the next bind.
  ConsoleServerHost(int port, std::string bindText, bool keepServing, bool immediateUdp = false)
      : m_nPort(port),
        m_strBind(std::move(bindText)),
        m_bKeepServing(keepServing),
        m_bImmediateUdp(immediateUdp) {}
  ~ConsoleServerHost() { FlushUdpLine(); }

  int Port() override { return m_nPort; }
  void SetStatusText(std::string_view utf8) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(utf8.size()), utf8.data());
  }
  void SetProgress(int) override {}
  void SetListeningState(int) override {}
  void ClearServiceHandle(ServiceKind kind) override {
    if (kind == ServiceKind::kUdp) FlushUdpLine();
    std::fprintf(stderr, "(%s service ended)\n", KindName(kind));
    // A service that never listened could not start: the process ends.
    const int bit = Bit(kind);
    if (!(m_nListening.load() & bit)) m_nFailedAtStart.fetch_or(bit);
    ++m_nEnded;
  }
  void ShowRecvErrorNotice(ServiceKind, std::string_view utf8, NoticeAck ack) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(utf8.size()), utf8.data());
    ack.Acknowledge();
  }
  // The readiness line, once: both services have bound their socket. A UDP
  // session's line waits for the next bind, so that a client sent once it
  // has come is heard.
  void OnServiceListening(ServiceKind kind) override {
    if (kind == ServiceKind::kUdp) FlushUdpLine();
    const int bit = Bit(kind);
    if ((m_nListening.fetch_or(bit) | bit) == 3 && !m_bAnnounced.exchange(true)) Announce();
  }
  void OnSessionEnd(const SessionRecord& record) override {
    std::string line = SessionLine(record);
    if (m_bKeepServing &&
        (record.end == SessionEnd::kRejected || record.end == SessionEnd::kNegotiationFailed))
      line += "; serving on";
    if (record.kind == ServiceKind::kTcp || m_bImmediateUdp) {
      std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(stderr);
      return;
    }
    std::lock_guard lock(m_mutex);
    m_strUdpLine = std::move(line);
  }
  // A session in progress when serve was told to stop.
  void OnSessionStopped(const SessionRecord& record) override {
    FlushUdpLine();
    std::fprintf(stderr, "%s\n", SessionLine(record).c_str());
    std::fflush(stderr);
  }

  // "quarvent serve: listening on port P (TCP and UDP)[ at A.B.C.D]".
  void Announce() {
    std::fprintf(stderr, "quarvent serve: listening on port %u (TCP and UDP)%s\n",
                 static_cast<unsigned>(m_nPort) & 0xFFFFu,
                 m_strBind.empty() ? "" : (" at " + m_strBind).c_str());
    std::fflush(stderr);
  }
  int Ended() const noexcept { return m_nEnded.load(); }
  // Bit 0: the TCP service ended before it listened; bit 1: the UDP service.
  int FailedAtStart() const noexcept { return m_nFailedAtStart.load(); }

  static const char* KindName(ServiceKind kind) {
    return kind == ServiceKind::kTcp ? "TCP" : "UDP";
  }

 private:
  static int Bit(ServiceKind kind) { return kind == ServiceKind::kTcp ? 1 : 2; }
  void FlushUdpLine() {
    std::lock_guard lock(m_mutex);
    if (m_strUdpLine.empty()) return;
    std::fprintf(stderr, "%s\n", m_strUdpLine.c_str());
    std::fflush(stderr);
    m_strUdpLine.clear();
  }

  const int m_nPort;
  const std::string m_strBind;  // the --bind address as given; empty for all
  const bool m_bKeepServing;
  const bool m_bImmediateUdp;
  std::atomic<int> m_nEnded{0};
  std::atomic<int> m_nListening{0};      // bit 0: TCP listens, bit 1: UDP is bound
  std::atomic<int> m_nFailedAtStart{0};  // bits as m_nListening
  std::atomic<bool> m_bAnnounced{false};
  std::mutex m_mutex;
  std::string m_strUdpLine;  // the last UDP session's line, until the next bind
};

// serve with --max-clients above 1; signals is the blocked set of SIGINT and
// SIGTERM. Returns the exit code.
int RunConcurrentServe(const std::string& where, int port, const ServiceOptions& options,
                       const sigset_t& signals);

}  // namespace quarvent::console
