// The concurrent server: many TCP and UDP sessions at once, each served as a
// lone client is, in any order of start and end, with hostile peers among
// good ones, a storm of UDP negotiations and the limits. Every wait is for a
// reply or for a session's record.
#include "server/concurrent_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "tests/server/server_test_support.h"
#include "tests/support/loopback.h"

namespace quarvent::test {
namespace {

// Keeps every session record that the server hands over.
class RecordHost final : public ServerHost {
 public:
  int Port() override { return 0; }
  void SetStatusText(std::string_view) override {}
  void SetProgress(int) override {}
  void SetListeningState(int) override {}
  void ClearServiceHandle(ServiceKind) override {}
  void ShowRecvErrorNotice(ServiceKind, std::string_view, NoticeAck ack) override {
    ack.Acknowledge();
  }
  void OnSessionEnd(const SessionRecord& record) override { Add(record); }
  void OnSessionStopped(const SessionRecord& record) override { Add(record); }

  // Waits until `count` records match pred; they are returned.
  std::vector<SessionRecord> Wait(int count,
                                  const std::function<bool(const SessionRecord&)>& pred) {
    std::unique_lock lock(m_mutex);
    std::vector<SessionRecord> found;
    m_cv.wait_for(lock, kWaitLimit, [&] {
      found.clear();
      for (auto& r : m_records)
        if (pred(r)) found.push_back(r);
      return static_cast<int>(found.size()) >= count;
    });
    return found;
  }
  size_t Size() {
    std::lock_guard lock(m_mutex);
    return m_records.size();
  }

 private:
  void Add(const SessionRecord& record) {
    {
      std::lock_guard lock(m_mutex);
      m_records.push_back(record);
    }
    m_cv.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<SessionRecord> m_records;
};

bool EndedWith(const SessionRecord& r, ServiceKind kind, SessionEnd end) {
  return r.kind == kind && r.end == end;
}

std::string NegotiationText() {
  char line[kLineBufferSize];
  BuildNegotiation(line, 7);
  return line;
}

std::string RefusalCp932() {
  return Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=87.");
}

// The bytes every chunk carries after its length word.
const std::vector<char>& Fill() {
  static const std::vector<char> fill = [] {
    std::vector<char> buf(kTransferBufferSize);
    FillTransferBuffer(buf.data());
    return buf;
  }();
  return fill;
}

// A chunk as a lone client gets it: the transfer buffer's fill, over whose
// start the request's last `overwritten` bytes of `filler` were read.
bool ExactChunk(const std::vector<char>& chunk, size_t size, size_t overwritten, char filler) {
  if (chunk.size() != size) return false;
  std::vector<char> expected = Fill();
  std::fill(expected.begin(), expected.begin() + static_cast<long>(overwritten), filler);
  return std::equal(chunk.begin() + 4, chunk.end(), expected.begin() + 4);
}
// TCP reads a request's body (its length word is not kept); UDP takes the
// whole datagram.
bool ExactTcpChunk(const std::vector<char>& chunk) {
  return ExactChunk(chunk, 8192, 8192 - 4, 'r');
}
bool ExactUdpChunk(const std::vector<char>& chunk) {
  return ExactChunk(chunk, 8192, 8192, 'q');
}

class ConcurrentServerTest : public ::testing::Test {
 protected:
  void Start(int maxClients, int maxPerSource = 0, int64_t idleMs = 0, int64_t maxMs = 0,
             bool strict = false) {
    ServiceOptions options;
    options.strictRequests = strict;
    options.bindAddress = Endpoint::Ipv4(INADDR_LOOPBACK);
    options.maxClients = maxClients;
    options.maxPerSource = maxPerSource;
    options.idleTimeoutMs = idleMs;
    options.maxDurationMs = maxMs;
    server = std::make_unique<ConcurrentServer>(host, options, port);
    ASSERT_EQ(server->Start(), "");
  }

  int port = FreePort();
  RecordHost host;
  std::unique_ptr<ConcurrentServer> server;
};

// A TCP client that has negotiated pattern 7 and asks for `requests` chunks.
void TcpRounds(TcpClient& tcp, int requests) {
  for (int i = 0; i < requests; ++i) {
    ASSERT_TRUE(tcp.SendRequest(8192));
    std::vector<char> chunk;
    ASSERT_TRUE(tcp.RecvChunk(chunk));
    EXPECT_TRUE(ExactTcpChunk(chunk));
  }
}

void UdpRounds(UdpClient& udp, int requests) {
  for (int i = 0; i < requests; ++i) {
    ASSERT_TRUE(udp.SendRequest(8192, 8192));
    std::vector<char> chunk;
    ASSERT_EQ(udp.Recv(chunk), 8192);
    EXPECT_TRUE(ExactUdpChunk(chunk));
  }
}

TEST_F(ConcurrentServerTest, SessionsStartAndEndInAnyOrderEachServedAsALoneClient) {
  Start(4);
  TcpClient tcpA(port);
  ASSERT_TRUE(tcpA.Negotiate(7));
  UdpClient udpB(port);
  ASSERT_TRUE(udpB.Negotiate(7));
  TcpClient tcpC(port);
  ASSERT_TRUE(tcpC.Negotiate(7));
  UdpClient udpD(port);
  ASSERT_TRUE(udpD.Negotiate(7));
  // Interleaved requests: each session answers its own peer only.
  for (int round = 0; round < 3; ++round) {
    TcpRounds(tcpC, 1);
    UdpRounds(udpD, 1);
    TcpRounds(tcpA, 1);
    UdpRounds(udpB, 1);
  }
  EXPECT_EQ(server->ActiveTcp(), 2);
  EXPECT_EQ(server->ActiveUdp(), 2);
  // The last to start ends first, the first ends last.
  ASSERT_TRUE(udpD.SendWord(kEndMarker));
  ASSERT_TRUE(tcpC.SendWord(kEndMarker));
  EXPECT_TRUE(tcpC.SeesClose());
  ASSERT_TRUE(udpB.SendWord(kEndMarker));
  ASSERT_TRUE(tcpA.SendWord(kEndMarker));
  EXPECT_TRUE(tcpA.SeesClose());
  const size_t line = NegotiationText().size() + 1;
  const auto tcp = host.Wait(
      2, [](auto& r) { return EndedWith(r, ServiceKind::kTcp, SessionEnd::kEndMarkerReceived); });
  const auto udp = host.Wait(
      2, [](auto& r) { return EndedWith(r, ServiceKind::kUdp, SessionEnd::kEndMarkerReceived); });
  ASSERT_EQ(tcp.size(), 2u);
  ASSERT_EQ(udp.size(), 2u);
  for (const auto& r : tcp) {
    EXPECT_EQ(r.pattern, 7);
    EXPECT_EQ(r.bytesReceived, static_cast<int64_t>(line + 3 * 8192 + 4));
    EXPECT_EQ(r.bytesSent, static_cast<int64_t>(24 + 3 * 8192));
  }
  for (const auto& r : udp) EXPECT_EQ(r.bytesReceived, static_cast<int64_t>(line + 3 * 8192 + 4));
  // A source whose session ended opens a new one with its next line.
  ASSERT_TRUE(udpB.Negotiate(7));
  UdpRounds(udpB, 1);
  ASSERT_TRUE(udpB.SendWord(kEndMarker));
  host.Wait(
      3, [](auto& r) { return EndedWith(r, ServiceKind::kUdp, SessionEnd::kEndMarkerReceived); });
  server->Stop();
  EXPECT_EQ(server->ActiveTcp() + server->ActiveUdp(), 0);
}

TEST_F(ConcurrentServerTest, HostilePeersEndOnTheirOwnWhileGoodClientsAreServed) {
  Start(8, 0, 300);
  TcpClient silentTcp(port);  // never says a word
  ASSERT_TRUE(silentTcp.Connected());
  UdpClient halfLine(port);  // half a line, then silence
  ASSERT_TRUE(halfLine.Send("Q 1", 3));
  TcpClient garbage(port);
  ASSERT_TRUE(garbage.SendText("X 100:42"));
  EXPECT_EQ(garbage.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  UdpClient oversize(port);  // a datagram longer than any line
  const std::vector<char> big(2000, 'G');
  ASSERT_TRUE(oversize.Send(big.data(), big.size()));

  // Good clients in between, each sending its whole session at once.
  for (int i = 0; i < 3; ++i) {
    TcpClient tcp(port);
    std::string all = NegotiationText();
    all.push_back('\0');
    std::vector<char> request(8192, 'r');
    PutLengthWord(request.data(), 8192);
    all.append(request.begin(), request.end());
    char end[4];
    PutLengthWord(end, kEndMarker);
    all.append(end, 4);
    ASSERT_TRUE(tcp.SendAll(all.data(), all.size()));
    EXPECT_EQ(tcp.RecvText(), std::string(kIdentifier) + '\0');
    std::vector<char> chunk;
    ASSERT_TRUE(tcp.RecvChunk(chunk));
    EXPECT_TRUE(ExactTcpChunk(chunk));
    UdpClient udp(port);
    ASSERT_TRUE(udp.SendText(NegotiationText()));
    ASSERT_TRUE(udp.SendRequest(8192, 8192));
    ASSERT_TRUE(udp.SendWord(kEndMarker));
    std::vector<char> reply;
    ASSERT_GT(udp.Recv(reply), 0);
    ASSERT_EQ(udp.Recv(reply), 8192);
    EXPECT_TRUE(ExactUdpChunk(reply));
  }
  EXPECT_EQ(host.Wait(6, [](auto& r) { return r.end == SessionEnd::kEndMarkerReceived; }).size(),
            6u);
  EXPECT_EQ(host.Wait(2, [](auto& r) { return r.end == SessionEnd::kIdleTimeout; }).size(), 2u);
  EXPECT_EQ(host.Wait(1, [](auto& r) { return r.end == SessionEnd::kRejected; }).size(), 1u);
  EXPECT_EQ(host.Wait(1,
                      [](auto& r) {
                        return r.kind == ServiceKind::kUdp &&
                               r.end == SessionEnd::kNegotiationFailed;
                      })
                .size(),
            1u);
  EXPECT_TRUE(silentTcp.SeesClose());
}

TEST_F(ConcurrentServerTest, AStormOfUdpNegotiationsTakesTheLimitAndRefusesTheRest) {
  constexpr int kSources = 100;
  constexpr int kLimit = 8;
  Start(kLimit);
  std::vector<std::unique_ptr<UdpClient>> storm;
  for (int i = 0; i < kSources; ++i) {
    storm.push_back(std::make_unique<UdpClient>(port));
    ASSERT_TRUE(storm.back()->SendText(NegotiationText()));
  }
  int accepted = 0;
  int refused = 0;
  std::vector<UdpClient*> served;
  for (auto& client : storm) {
    std::vector<char> reply;
    ASSERT_GT(client->Recv(reply), 0);
    const std::string text(reply.begin(), reply.end());
    if (text == std::string(kIdentifier) + '\0') {
      ++accepted;
      served.push_back(client.get());
    } else {
      EXPECT_EQ(text, RefusalCp932());
      ++refused;
    }
  }
  EXPECT_EQ(accepted, kLimit);
  EXPECT_EQ(refused, kSources - kLimit);
  EXPECT_EQ(server->RefusedUdp(), kSources - kLimit);
  for (UdpClient* client : served) {
    UdpRounds(*client, 1);
    ASSERT_TRUE(client->SendWord(kEndMarker));
  }
  host.Wait(kLimit, [](auto& r) { return r.end == SessionEnd::kEndMarkerReceived; });
  // Every slot is free again: a client after the storm is served.
  UdpClient after(port);
  ASSERT_TRUE(after.Negotiate(7));
  UdpRounds(after, 1);
}

TEST_F(ConcurrentServerTest, PerSourceLimitAndTheTcpClientBeyondTheLimitWaitsInTheBacklog) {
  Start(2);
  TcpClient first(port);
  ASSERT_TRUE(first.Negotiate(7));
  TcpClient second(port);
  ASSERT_TRUE(second.Negotiate(7));
  // The third is taken by the kernel's backlog, and served once a slot is free.
  TcpClient third(port);
  ASSERT_TRUE(third.SendText(NegotiationText()));
  ASSERT_TRUE(first.SendWord(kEndMarker));
  EXPECT_TRUE(first.SeesClose());
  EXPECT_EQ(third.RecvText(), std::string(kIdentifier) + '\0');
  TcpRounds(third, 1);
  server->Stop();
  // Sessions cut by the stop have their records.
  EXPECT_EQ(host.Wait(2, [](auto& r) { return r.end == SessionEnd::kStopped; }).size(), 2u);

  // Two at once from one address; the third from it is refused, over both.
  server.reset();
  port = FreePort();
  Start(4, 2);
  TcpClient a(port), b(port);
  ASSERT_TRUE(a.Negotiate(7));
  ASSERT_TRUE(b.Negotiate(7));
  TcpClient c(port);
  c.SendText(NegotiationText());  // the server may have closed already
  EXPECT_EQ(c.RecvText(), RefusalCp932());
  UdpClient u1(port), u2(port), u3(port);
  ASSERT_TRUE(u1.Negotiate(7));
  ASSERT_TRUE(u2.Negotiate(7));
  ASSERT_TRUE(u3.SendText(NegotiationText()));
  std::vector<char> reply;
  ASSERT_GT(u3.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), RefusalCp932());
}

TEST_F(ConcurrentServerTest, LimitsApplyToEachSessionOnItsOwn) {
  // A short maximum duration ends the streaming sessions (pattern 0 sends
  // without requests) and leaves the server taking new ones.
  Start(4, 0, 0, 200);
  TcpClient down(port);
  ASSERT_TRUE(down.Negotiate(0));
  UdpClient held(port);
  ASSERT_TRUE(held.Negotiate(7));
  EXPECT_TRUE(down.SeesClose());
  EXPECT_EQ(host.Wait(2, [](auto& r) { return r.end == SessionEnd::kMaxDuration; }).size(), 2u);
  TcpClient next(port);
  ASSERT_TRUE(next.Negotiate(7));
}

TEST_F(ConcurrentServerTest, ADownloadThatThePeerClosesEndsAsPeerClosedNotAsASendError) {
  Start(2);
  for (int pattern : {0, 1, 2}) {
    TcpClient down(port);
    ASSERT_TRUE(down.Negotiate(pattern));
    std::vector<char> chunk;
    ASSERT_TRUE(down.RecvChunk(chunk));
    if (pattern == 1)
      down.Reset();
    else
      down.Close();
  }
  const auto ends = host.Wait(3, [](auto& r) { return r.kind == ServiceKind::kTcp; });
  ASSERT_EQ(ends.size(), 3u);
  for (const auto& r : ends) {
    EXPECT_EQ(r.end, SessionEnd::kPeerClosed) << r.pattern;
    EXPECT_EQ(r.error, 0) << r.pattern;
  }
}

TEST_F(ConcurrentServerTest, StrictRequestsLeaveUndersizedUdpRequestsUnanswered) {
  Start(2, 0, 0, 0, true);
  UdpClient udp(port);
  ASSERT_TRUE(udp.Negotiate(7));
  // A lone length word, then a datagram of 100 bytes that announces just
  // that: neither is answered, so the first chunk is the full request's.
  ASSERT_TRUE(udp.SendWord(4));
  ASSERT_TRUE(udp.SendRequest(100, 100));
  UdpRounds(udp, 2);
  ASSERT_TRUE(udp.SendWord(kEndMarker));
  const auto ends = host.Wait(1, [](auto& r) { return r.kind == ServiceKind::kUdp; });
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].end, SessionEnd::kEndMarkerReceived);
  EXPECT_EQ(ends[0].bytesSent, 2 * 8192 + static_cast<int64_t>(NegotiationText().find(' ') + 1));
}

TEST_F(ConcurrentServerTest, ThirtyTwoSessionsAtOnce) {
  constexpr int kEach = 16;
  Start(kEach);
  std::vector<std::thread> clients;
  for (int i = 0; i < kEach; ++i) {
    clients.emplace_back([this] {
      TcpClient tcp(port);
      ASSERT_TRUE(tcp.Negotiate(7));
      TcpRounds(tcp, 20);
      ASSERT_TRUE(tcp.SendWord(kEndMarker));
      EXPECT_TRUE(tcp.SeesClose());
    });
    clients.emplace_back([this] {
      UdpClient udp(port);
      ASSERT_TRUE(udp.Negotiate(7));
      UdpRounds(udp, 20);
      ASSERT_TRUE(udp.SendWord(kEndMarker));
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(
      host.Wait(2 * kEach, [](auto& r) { return r.end == SessionEnd::kEndMarkerReceived; }).size(),
      static_cast<size_t>(2 * kEach));
}

}  // namespace
}  // namespace quarvent::test
