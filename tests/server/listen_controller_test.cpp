// The listen controller: both services started and stopped together.
#include "server/listen_controller.h"

#include <gtest/gtest.h>

#include "common/protocol.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

class ListenControllerTest : public ::testing::Test {
 protected:
  ListenControllerTest() : port(FreePort()), host(port), controller(host) {}

  // Starts both services and waits until both sockets are bound: the
  // controller's progress reset plus one of each service.
  void Start() {
    const int resets = host.Count(HostEvent::kProgress, 0);
    controller.OnStartListen();
    ASSERT_TRUE(host.WaitCount(HostEvent::kProgress, 0, resets + 3));
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
  // Nothing but the owner's own calls reached the host after `from`.
  void ExpectOnlyOwnerCallsAfter(size_t from) {
    std::this_thread::sleep_for(30ms);
    const auto events = host.Events();
    for (size_t i = from; i < events.size(); ++i)
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
  Start();
  TcpClient tcp(port);
  ASSERT_TRUE(tcp.Negotiate(0));  // the service fills the socket and blocks in send
  UdpClient udp(port);
  ASSERT_TRUE(udp.Negotiate(0));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(controller.Connected());
  const size_t before = host.Size();
  const auto start = std::chrono::steady_clock::now();
  controller.OnStopListen();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  ExpectOnlyOwnerCallsAfter(before);
  EXPECT_TRUE(controller.Connected());  // until the next start
  EXPECT_TRUE(tcp.SeesClose());
  Start();
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
  ExpectOnlyOwnerCallsAfter(before);
  Start();  // the held service thread was released by the stop
  ExpectBothServe();
}

TEST_F(ListenControllerTest, PortAbove65535IsUsedModulo65536ByBoth) {
  host.SetPort(port + 65536);
  Start();
  ExpectBothServe();
}

}  // namespace
}  // namespace quarvent::test
