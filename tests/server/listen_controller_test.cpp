// The listen controller: both services started and stopped together.
#include "server/listen_controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "common/protocol.h"
#include "common/sys_ops.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

// Holds a service thread inside the send of its first chunk until the test
// opens it; a stop does not release it. Shows that 中断 does not wait for a
// service thread, without measuring how long it took.
class SendGate {
 public:
  static SendGate& Instance() {
    static SendGate gate;
    return gate;
  }
  // The table for the service: small sends (negotiation replies) pass, the
  // first chunk waits for Open().
  static const sys::Ops& Ops() {
    static const sys::Ops ops{&Send, sys::RealOps().sendto, sys::RealOps().recv,
                              sys::RealOps().recvfrom};
    return ops;
  }
  bool WaitEntered() {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, kWaitLimit, [this] { return m_bEntered; });
  }
  void Open() {
    {
      std::lock_guard lock(m_mutex);
      m_bOpen = true;
    }
    m_cv.notify_all();
  }
  bool IsOpen() {
    std::lock_guard lock(m_mutex);
    return m_bOpen;
  }
  // Closed again and nothing held, for the next test of the same process.
  void Reset() {
    std::lock_guard lock(m_mutex);
    m_bEntered = m_bOpen = m_bLeft = false;
  }
  bool Holding() {
    std::lock_guard lock(m_mutex);
    return m_bEntered && !m_bLeft;
  }

 private:
  static ssize_t Send(int fd, const void* buf, size_t len, int flags) {
    SendGate& gate = Instance();
    if (len > 64) {
      std::unique_lock lock(gate.m_mutex);
      gate.m_bEntered = true;
      gate.m_cv.notify_all();
      gate.m_cv.wait(lock, [&gate] { return gate.m_bOpen; });
      gate.m_bLeft = true;
    }
    return sys::RealOps().send(fd, buf, len, flags);
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bEntered = false;
  bool m_bOpen = false;
  bool m_bLeft = false;
};

class ListenControllerTest : public ::testing::Test {
 protected:
  ListenControllerTest() : port(FreePort()), host(port), controller(host) {}
  // A thread held by the send gate is let go before the controller joins it,
  // also when a check failed before the test opened the gate.
  void SetUp() override { SendGate::Instance().Reset(); }
  void TearDown() override { SendGate::Instance().Open(); }

  // Starts both services and waits until both sockets are bound. The start
  // joins the threads of the last one before its status "初期化中...", so
  // only the new services report after that.
  void Start() {
    controller.OnStartListen();
    ASSERT_TRUE(host.WaitUntil([](const std::vector<HostEvent>& events) {
      bool tcp = false, udp = false;
      for (size_t i = LastStart(events); i < events.size(); ++i) {
        if (events[i].kind != HostEvent::kListening) continue;
        (events[i].value == static_cast<int>(ServiceKind::kTcp) ? tcp : udp) = true;
      }
      return tcp && udp;
    }));
  }
  // The index of the last start's status "初期化中...".
  static size_t LastStart(const std::vector<HostEvent>& events) {
    size_t at = 0;
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i].kind == HostEvent::kStatus && events[i].text == "初期化中...") at = i;
    return at;
  }
  void ExpectBothServe() {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.Negotiate(7));
    ASSERT_TRUE(tcp.SendRequest(8192));
    std::vector<char> chunk;
    ASSERT_TRUE(tcp.RecvChunk(chunk));
    EXPECT_EQ(chunk.size(), 8192u);
    ASSERT_TRUE(tcp.SendWord(kEndMarker));
    UdpClient udp(port);
    ASSERT_TRUE(udp.Negotiate(8));
    ASSERT_TRUE(udp.SendWord(4));
    ASSERT_EQ(udp.Recv(chunk), 16384);
    ASSERT_TRUE(udp.SendWord(kEndMarker));
  }
  // Nothing but the owner's own calls reached the host from `from` (taken
  // before a stop) up to the start that followed it. That start joined the
  // stopped threads first, so every call they could still have made is in.
  void ExpectOnlyOwnerCallsUntilTheNextStart(size_t from) {
    const auto events = host.Events();
    const size_t until = LastStart(events);
    ASSERT_GT(until, from);
    for (size_t i = from; i < until; ++i)
      EXPECT_EQ(events[i].thread, std::this_thread::get_id()) << i;
  }

  int port;
  RecordingHost host;
  ListenController controller;
};

TEST_F(ListenControllerTest, StartPutsTheOwnerIntoTheListeningState) {
  Start();
  const auto events = host.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0].kind, HostEvent::kProgress);
  EXPECT_EQ(events[1].kind, HostEvent::kState);
  EXPECT_EQ(events[1].value, 1);
  EXPECT_EQ(events[2].text, "初期化中...");
  EXPECT_TRUE(controller.TcpRunning());
  EXPECT_TRUE(controller.UdpRunning());
  EXPECT_GT(controller.ListenSocket(), 0);
}

TEST_F(ListenControllerTest, StopThenStartOnTheSamePortBindsBothProtocols) {
  Start();
  ExpectBothServe();
  controller.OnStopListen();
  EXPECT_EQ(host.LastStatus(), "←「待受開始」をクリックして下さい");
  EXPECT_EQ(controller.ListenSocket(), 0);
  EXPECT_FALSE(controller.TcpRunning());
  EXPECT_FALSE(controller.UdpRunning());
  Start();
  ExpectBothServe();
  EXPECT_EQ(host.Count(HostEvent::kClear, 0) + host.Count(HostEvent::kClear, 1), 0);
}

TEST_F(ListenControllerTest, RejectedUdpNegotiationEndsOnlyTheUdpService) {
  Start();
  UdpClient udp(port);
  ASSERT_TRUE(udp.SendText("X 101:3"));
  std::vector<char> reply;
  ASSERT_GT(udp.Recv(reply), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致."));
  ASSERT_TRUE(host.WaitCount(HostEvent::kClear, static_cast<int>(ServiceKind::kUdp), 1));
  EXPECT_EQ(host.Count(HostEvent::kState, 0), 1);
  EXPECT_FALSE(controller.UdpRunning());
  EXPECT_TRUE(controller.TcpRunning());
  TcpClient tcp(port);
  ASSERT_TRUE(tcp.Negotiate(9));
  ASSERT_TRUE(tcp.SendRequest(32768));
  std::vector<char> chunk;
  ASSERT_TRUE(tcp.RecvChunk(chunk));
  EXPECT_EQ(chunk.size(), 32768u);
  // A new start replaces the surviving TCP thread instead of adding one.
  ASSERT_TRUE(tcp.SendWord(kEndMarker));
  Start();
  ExpectBothServe();
}

TEST_F(ListenControllerTest, StopReturnsAtOnceAndKeepsTheConnectedFlag) {
  host.HoldNotices();
  SendGate& gate = SendGate::Instance();
  controller.Tcp().SetOps(&SendGate::Ops());
  Start();
  TcpClient tcp(port);
  ASSERT_TRUE(tcp.Negotiate(0));
  ASSERT_TRUE(gate.WaitEntered());  // the TCP thread is held in its first chunk's send
  UdpClient udp(port);
  ASSERT_TRUE(udp.Negotiate(0));
  ASSERT_TRUE(controller.Connected());  // set before the reply was sent
  const size_t before = host.Size();
  // Should the stop wait for the held thread, it would never return: the
  // rescue opens the gate after the wait limit, and the test fails.
  std::promise<void> returned;
  std::thread rescue([&gate, done = returned.get_future()] {
    if (done.wait_for(kWaitLimit) != std::future_status::ready) gate.Open();
  });
  controller.OnStopListen();
  returned.set_value();
  rescue.join();
  EXPECT_FALSE(gate.IsOpen());
  EXPECT_TRUE(gate.Holding());  // the stop returned while the thread was still held
  gate.Open();
  EXPECT_TRUE(controller.Connected());  // until the next start
  EXPECT_TRUE(tcp.SeesClose());
  controller.Tcp().SetOps(nullptr);
  Start();
  ExpectOnlyOwnerCallsUntilTheNextStart(before);
  EXPECT_FALSE(controller.Connected());
}

TEST_F(ListenControllerTest, StopWhileANoticeIsPendingDropsIt) {
  host.HoldNotices();
  Start();
  {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.Negotiate(7));
    tcp.Reset();
  }
  ASSERT_TRUE(host.WaitCount(HostEvent::kNotice, static_cast<int>(ServiceKind::kTcp), 1));
  const size_t before = host.Size();
  controller.OnStopListen();
  Start();  // the held service thread was released by the stop
  ExpectOnlyOwnerCallsUntilTheNextStart(before);
  ExpectBothServe();
}

TEST_F(ListenControllerTest, PortAbove65535IsUsedModulo65536ByBoth) {
  host.SetPort(port + 65536);
  Start();
  ExpectBothServe();
}

}  // namespace
}  // namespace quarvent::test
