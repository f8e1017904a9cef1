#include "common/stop_signal.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/socket.h"

namespace quarvent {
namespace {

TEST(StopSignal, StopWakesABlockedReceiveAndRefusesLaterAttach) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Socket a(sv[0]), b(sv[1]);
  StopSignal stop;
  ASSERT_TRUE(stop.Attach(a.Fd()));
  std::thread t([&] {
    char c;
    EXPECT_EQ(::recv(a.Fd(), &c, 1, 0), 0);  // woken by the shutdown
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop.Stop();
  t.join();
  EXPECT_TRUE(stop.Stopped());
  EXPECT_FALSE(stop.Attach(b.Fd()));
}

TEST(StopSignal, IfRunningNeverRunsAfterStop) {
  StopSignal stop;
  int runs = 0;
  EXPECT_TRUE(stop.IfRunning([&] { ++runs; }));
  stop.Stop();
  stop.Stop();  // idempotent
  EXPECT_FALSE(stop.IfRunning([&] { ++runs; }));
  EXPECT_EQ(runs, 1);
}

TEST(StopSignal, WaitForReturnsEarlyOnStop) {
  StopSignal stop;
  EXPECT_FALSE(stop.WaitFor(std::chrono::milliseconds(1)));
  std::thread t([&] { stop.Stop(); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(stop.WaitFor(std::chrono::seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  t.join();
}

TEST(StopSignal, DetachedSocketIsNotShutDown) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Socket a(sv[0]), b(sv[1]);
  StopSignal stop;
  ASSERT_TRUE(stop.Attach(a.Fd()));
  stop.Detach(a.Fd());
  stop.Stop();
  EXPECT_EQ(::send(b.Fd(), "x", 1, MSG_NOSIGNAL), 1);
  char c;
  EXPECT_EQ(::recv(a.Fd(), &c, 1, 0), 1);
}

// Both ends of a new socket pair still carry a byte each way.
bool PairWorks(const Socket& a, const Socket& b) {
  char c = 0;
  return ::send(a.Fd(), "a", 1, MSG_NOSIGNAL) == 1 && ::recv(b.Fd(), &c, 1, MSG_DONTWAIT) == 1 &&
         ::send(b.Fd(), "b", 1, MSG_NOSIGNAL) == 1 && ::recv(a.Fd(), &c, 1, MSG_DONTWAIT) == 1;
}

// A worker's socket goes away and the system hands its number to a new
// socket; a later Stop() (the signal is stopped again by its owner's next
// start or destructor) must not reach the new one.
TEST(StopSignal, NumberClosedByTheGuardIsNotShutDownLater) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const int number = sv[0];
  Socket peer(sv[1]);
  StopSignal stop;
  {
    AttachedSocket guard(stop, Socket(sv[0]));
    ASSERT_TRUE(guard.Attached());
  }
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Socket a(sv[0]), b(sv[1]);
  ASSERT_EQ(a.Fd(), number);  // the lowest free number is given out again
  stop.Stop();
  EXPECT_TRUE(PairWorks(a, b));
}

TEST(StopSignal, StopForgetsTheNumbersItHasShutDown) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const int number = sv[0];
  Socket peer(sv[1]);
  StopSignal stop;
  {
    Socket worker(sv[0]);
    ASSERT_TRUE(stop.Attach(worker.Fd()));
    stop.Stop();
  }  // closed without a detach
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Socket a(sv[0]), b(sv[1]);
  ASSERT_EQ(a.Fd(), number);
  stop.Stop();
  EXPECT_TRUE(PairWorks(a, b));
}

TEST(StopSignal, GuardMadeAfterTheStopAttachesNothingAndStillCloses) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Socket peer(sv[1]);
  StopSignal stop;
  stop.Stop();
  {
    AttachedSocket guard(stop, Socket(sv[0]));
    EXPECT_FALSE(guard.Attached());
    EXPECT_EQ(guard.Fd(), sv[0]);
  }
  char c;
  EXPECT_EQ(::recv(peer.Fd(), &c, 1, MSG_DONTWAIT), 0);  // the other end is gone
}

}  // namespace
}  // namespace quarvent
