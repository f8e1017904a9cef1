// 待受開始 when the system cannot create a service thread: the controller
// comes back idle with a status that says so, and nothing waits for ever.
#include <gtest/gtest.h>

#include "server/listen_controller.h"
#include "tests/server/failing_starter.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

constexpr char kThreadFailed[] = "スレッド作成失敗.";

// The first start fails on the TCP thread (1) or on the UDP thread (2); the
// owner is idle again, and a later start serves both protocols on the port.
class ListenThreadFailure : public ::testing::TestWithParam<int> {
 protected:
  ListenThreadFailure() : port(FreePort()), host(port) {}

  int port;
  RecordingHost host;
};

TEST_P(ListenThreadFailure, StartComesBackIdleAndTheNextStartServes) {
  {
    ListenController controller(host);
    controller.SetThreadStarter(FailingStarter(GetParam()));
    EXPECT_FALSE(controller.OnStartListen());
    EXPECT_FALSE(controller.TcpRunning());
    EXPECT_FALSE(controller.UdpRunning());
    EXPECT_EQ(controller.ListenSocket(), 0);
    EXPECT_FALSE(controller.Connected());

    // Only the owner's own calls: a thread that was created ran no service.
    const auto events = host.Events();
    ASSERT_EQ(events.size(), 5u);
    for (const HostEvent& e : events) EXPECT_EQ(e.thread, std::this_thread::get_id());
    EXPECT_EQ(events[2].text, "初期化中...");
    EXPECT_EQ(events[3].kind, HostEvent::kStatus);
    EXPECT_EQ(events[3].text, kThreadFailed);
    EXPECT_EQ(events[4].kind, HostEvent::kState);
    EXPECT_EQ(events[4].value, 0);

    // The port was never bound: the next start takes it for both protocols.
    controller.SetThreadStarter(FailingStarter(0));
    ASSERT_TRUE(controller.OnStartListen());
    ASSERT_TRUE(host.WaitCount(HostEvent::kProgress, 0, 4));  // 2 starts + both services
    ExpectGoodTcpSession(port);
    UdpClient udp(port);
    EXPECT_TRUE(udp.Negotiate(8));
  }  // the destructor stops and joins the services
  EXPECT_EQ(host.Count(HostEvent::kClear, 0) + host.Count(HostEvent::kClear, 1), 0);
}

// After 中断 while a client was served the connected flag stays set until the
// next start; a start whose threads cannot be created clears it as well, as
// the TCP thread would have done first.
TEST_P(ListenThreadFailure, FailedStartClearsTheFlagOfAnEarlierClient) {
  ListenController controller(host);
  ASSERT_TRUE(controller.OnStartListen());
  ASSERT_TRUE(host.WaitCount(HostEvent::kProgress, 0, 3));  // the start + both services
  TcpClient tcp(port);
  ASSERT_TRUE(tcp.Negotiate(7));
  ASSERT_TRUE(controller.Connected());
  controller.OnStopListen();
  ASSERT_TRUE(controller.Connected());

  controller.SetThreadStarter(FailingStarter(GetParam()));
  EXPECT_FALSE(controller.OnStartListen());
  EXPECT_FALSE(controller.Connected());
  EXPECT_EQ(host.LastStatus(), kThreadFailed);
}

INSTANTIATE_TEST_SUITE_P(TcpOrUdpThread, ListenThreadFailure, ::testing::Values(1, 2));

}  // namespace
}  // namespace quarvent::test
