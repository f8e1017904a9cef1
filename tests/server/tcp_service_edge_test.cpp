// The TCP stream service stopped from outside and fed hostile input.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "common/protocol.h"
#include "server/tcp_service.h"
#include "tests/server/server_test_support.h"

namespace quarvent::test {
namespace {

class TcpServiceEdgeTest : public TcpServiceFixture {
 protected:
  // Stops the run and checks that it returned and that nothing reached the
  // host after the stop. Once the run has returned, its thread can call
  // nothing more, so the count is final.
  void StopAndExpectSilence() {
    runner->Stop();
    const size_t atStop = host.Size();
    ASSERT_TRUE(runner->WaitDone());
    EXPECT_EQ(host.Size(), atStop);
    EXPECT_EQ(host.Count(HostEvent::kClear, static_cast<int>(ServiceKind::kTcp)), 0);
  }
  // A fresh client is served: the service went back to listening.
  void ExpectNextClientServed() { ExpectGoodTcpSession(port); }
};

TEST_F(TcpServiceEdgeTest, StopWhileBlockedInAcceptFreesThePort) {
  Start();
  StopAndExpectSilence();
  runner.reset();
  Start();  // binds the same port again at once
  ExpectNextClientServed();
}

TEST_F(TcpServiceEdgeTest, StopWhileStreamingClosesTheClientAndStaysSilent) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(0));
  std::vector<char> chunk;
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(client.RecvChunk(chunk));
  StopAndExpectSilence();
  EXPECT_TRUE(client.SeesClose());
  EXPECT_EQ(fields.m_bConnected.load(), 1);  // the stop leaves it for the owner
}

TEST_F(TcpServiceEdgeTest, StopWhileAReceiveErrorNoticeIsPending) {
  host.HoldNotices();
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  client.Reset();  // the service's request read meets ECONNRESET
  ASSERT_TRUE(host.WaitCount(HostEvent::kNotice, static_cast<int>(ServiceKind::kTcp), 1));
  EXPECT_EQ(host.Events().back().text, "recv() Error : 104");
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(runner->Done());  // held by the unacknowledged notice
  StopAndExpectSilence();
  host.AcknowledgeAll();  // a late acknowledgement is harmless
}

TEST_F(TcpServiceEdgeTest, AcknowledgedNoticeLetsTheServiceGoOn) {
  host.HoldNotices();
  Start();
  {
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(7));
    client.Reset();
  }
  ASSERT_TRUE(host.WaitCount(HostEvent::kNotice, static_cast<int>(ServiceKind::kTcp), 1));
  host.AcknowledgeAll();
  ASSERT_TRUE(host.WaitStatus("待受中...", 2));
  ExpectNextClientServed();
}

TEST_F(TcpServiceEdgeTest, OverlongLineIsAReceiveErrorAndEndsTheService) {
  Start();
  TcpClient client(port);
  const std::string line(200, 'A');
  ASSERT_TRUE(client.SendAll(line.data(), line.size()));
  EXPECT_EQ(client.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90."));
  ASSERT_TRUE(runner->WaitDone());
  EXPECT_EQ(host.Count(HostEvent::kNotice, static_cast<int>(ServiceKind::kTcp)), 1);
  EXPECT_EQ(host.LastStatus(), "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90.");
  EXPECT_EQ(service.ErrorText(), "ﾈｺﾞｼｴｰｼｮﾝ失敗.  ErrCode=90.");
}

TEST_F(TcpServiceEdgeTest, RequestLengthsBelowFourEndTheConnection) {
  Start();
  for (int32_t length : {0, 1, 2, 3, -5, INT_MIN}) {
    SCOPED_TRACE(length);
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(7));
    ASSERT_TRUE(client.SendWord(length));
    EXPECT_TRUE(client.SeesClose());
  }
  ExpectNextClientServed();
  EXPECT_FALSE(runner->Done());
}

TEST_F(TcpServiceEdgeTest, RequestLongerThanTheBufferIsReadAndDroppedInStep) {
  Start();
  TcpClient client(port);
  ASSERT_TRUE(client.Negotiate(7));
  std::vector<char> chunk;
  for (int32_t size : {100000, 65540, 8192}) {
    ASSERT_TRUE(client.SendRequest(size, 'z'));
    ASSERT_TRUE(client.RecvChunk(chunk)) << size;
    EXPECT_EQ(chunk.size(), 8192u);
  }
  ASSERT_TRUE(client.SendWord(kEndMarker));
  EXPECT_TRUE(client.SeesClose());
}

TEST_F(TcpServiceEdgeTest, HugeAnnouncedLengthThenCloseReturnsToListening) {
  Start();
  {
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(7));
    ASSERT_TRUE(client.SendWord(INT_MAX));
    const std::string some(1000, 'x');
    ASSERT_TRUE(client.SendAll(some.data(), some.size()));
  }
  ASSERT_TRUE(host.WaitStatus("待受中...", 2));
  ExpectNextClientServed();
}

TEST_F(TcpServiceEdgeTest, ResetMidStreamEmptiesTheErrorTextAndServesTheNext) {
  // First leave an error text behind: a lone NUL ends the service.
  Start();
  {
    TcpClient client(port);
    ASSERT_TRUE(client.SendAll("", 1));
    EXPECT_FALSE(client.RecvText().empty());
  }
  ASSERT_TRUE(runner->WaitDone());
  ASSERT_FALSE(service.ErrorText().empty());
  runner.reset();

  const int listening = host.CountStatus("待受中...");
  Start();
  {
    TcpClient client(port);
    ASSERT_TRUE(client.Negotiate(0));
    std::vector<char> chunk;
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(client.RecvChunk(chunk));
    client.Reset();
  }
  ASSERT_TRUE(host.WaitStatus("待受中...", listening + 2));
  ExpectNextClientServed();
  // A rejection now shows the emptied text.
  TcpClient client(port);
  ASSERT_TRUE(client.SendText("X 100:99"));
  EXPECT_FALSE(client.RecvText().empty());
  ASSERT_TRUE(runner->WaitDone());
  EXPECT_EQ(host.LastStatus(), "");
  EXPECT_EQ(service.ErrorText(), "");
}

}  // namespace
}  // namespace quarvent::test
