// The listen controller over a host that takes the services' changes on its
// own thread, as the dialog does: changes of a stopped start are dropped
// however late they run, and every service thread is joined on its last post.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "common/socket.h"
#include "server/listen_controller.h"
#include "tests/server/server_test_support.h"
#include "tests/support/loopback.h"

namespace quarvent::test {
namespace {

// Records like RecordingHost, but what the controller posts waits in a queue
// until the test runs it on its own thread.
class PostingHost final : public ServerHost {
 public:
  explicit PostingHost(int port) : m_record(port) {}
  RecordingHost& Record() { return m_record; }

  int Port() override { return m_record.Port(); }
  void SetStatusText(std::string_view utf8) override { m_record.SetStatusText(utf8); }
  void SetProgress(int position) override { m_record.SetProgress(position); }
  void SetListeningState(int state) override { m_record.SetListeningState(state); }
  void ClearServiceHandle(ServiceKind kind) override { m_record.ClearServiceHandle(kind); }
  void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) override {
    m_record.ShowRecvErrorNotice(kind, utf8, std::move(ack));
  }
  void OnServiceListening(ServiceKind kind) override { m_record.OnServiceListening(kind); }
  void Post(std::function<void()> task) override {
    {
      std::lock_guard lock(m_mutex);
      m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
  }

  // Waits, running nothing, until ready() holds; checked again at every post.
  bool WaitPosted(const std::function<bool()>& ready) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, kWaitLimit, ready);
  }
  // Runs posted tasks in order on the calling thread until done() holds;
  // false when no task came within the wait limit, or after many tasks.
  bool RunUntil(const std::function<bool()>& done) {
    for (int n = 0; n < 100000; ++n) {
      if (done()) return true;
      std::function<void()> task;
      {
        std::unique_lock lock(m_mutex);
        if (!m_cv.wait_for(lock, kWaitLimit, [this] { return !m_tasks.empty(); })) return false;
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
      }
      task();
    }
    return false;
  }

 private:
  RecordingHost m_record;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_tasks;
};

// Takes port on 127.0.0.1 for TCP (listening) or UDP, so that a service on
// every address cannot bind it.
Socket TakePort(bool tcp, int port) {
  Socket sock = tcp ? Socket::Tcp() : Socket::Udp();
  const sockaddr_in addr = Loopback(port);
  EXPECT_EQ(::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  if (tcp) {
    EXPECT_EQ(::listen(sock.Fd(), 1), 0);
  }
  return sock;
}

class ListenPostingTest : public ::testing::Test {
 protected:
  ListenPostingTest() : port(FreePort()), host(port), controller(host) {}

  int Count(HostEvent::Kind kind, ServiceKind service) {
    return host.Record().Count(kind, static_cast<int>(service));
  }
  bool BothListening() {
    return Count(HostEvent::kListening, ServiceKind::kTcp) > 0 &&
           Count(HostEvent::kListening, ServiceKind::kUdp) > 0;
  }
  // Every thread of the controller joined on the posts run so far.
  bool RunUntilJoined() {
    return host.RunUntil([this] { return controller.ServiceThreads() == 0; });
  }

  int port;
  PostingHost host;
  ListenController controller;
};

TEST_F(ListenPostingTest, ChangesOfAStoppedStartAreDroppedAfterTheNextStart) {
  Socket taken = TakePort(true, port);
  controller.OnStartListen();
  // The TCP service failed to bind and ended by itself: its error, the idle
  // state and its cleared handle wait in the queue.
  ASSERT_TRUE(host.WaitPosted([this] { return !controller.TcpRunning(); }));
  controller.OnStopListen();
  taken.Reset();
  const size_t start2 = host.Record().Size();
  controller.OnStartListen();
  ASSERT_TRUE(host.RunUntil([this] { return BothListening(); }));

  // Everything the first start posted ran before the second start's posts.
  for (const HostEvent& e : host.Record().Events()) {
    EXPECT_FALSE(e.kind == HostEvent::kStatus && e.text.rfind("bind()", 0) == 0) << e.text;
    EXPECT_NE(e.kind, HostEvent::kClear);
  }
  EXPECT_EQ(Count(HostEvent::kListening, ServiceKind::kUdp), 1);
  EXPECT_EQ(host.Record().Count(HostEvent::kState, 0), 1);  // the stop's own
  EXPECT_GT(host.Record().Size(), start2);
  EXPECT_TRUE(controller.TcpRunning());
  EXPECT_TRUE(controller.UdpRunning());
  controller.OnStopListen();
  EXPECT_TRUE(RunUntilJoined());
}

TEST_F(ListenPostingTest, StoppedThreadsAreJoinedOnTheirLastPost) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    controller.OnStartListen();
    ASSERT_TRUE(host.RunUntil([this, cycle] {
      return Count(HostEvent::kListening, ServiceKind::kTcp) > cycle &&
             Count(HostEvent::kListening, ServiceKind::kUdp) > cycle;
    }));
    EXPECT_EQ(controller.ServiceThreads(), 2);
    controller.OnStopListen();
    ASSERT_TRUE(RunUntilJoined()) << cycle;  // without a next start
  }
}

TEST_F(ListenPostingTest, ServicesThatEndByThemselvesAreJoined) {
  Socket tcp = TakePort(true, port);
  Socket udp = TakePort(false, port);
  controller.OnStartListen();
  ASSERT_TRUE(RunUntilJoined());
  EXPECT_FALSE(controller.TcpRunning());
  EXPECT_FALSE(controller.UdpRunning());
  EXPECT_EQ(Count(HostEvent::kClear, ServiceKind::kTcp), 1);
  EXPECT_EQ(Count(HostEvent::kClear, ServiceKind::kUdp), 1);
  EXPECT_EQ(host.Record().Count(HostEvent::kState, 0), 2);
}

}  // namespace
}  // namespace quarvent::test
