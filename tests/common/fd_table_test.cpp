#include "common/fd_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <future>
#include <thread>

#include "common/socket.h"

namespace quarvent {
namespace {

// Whether fd reads end-of-stream without waiting.
bool AtEnd(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) != 1) return false;
  char c;
  return ::read(fd, &c, 1) == 0;
}

struct Pair {
  Socket a, b;
  Pair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    a.Reset(sv[0]);
    b.Reset(sv[1]);
  }
};

// The thread keeps its socket and the descriptors a toolkit is woken through
// (an eventfd, a pipe); the other sockets live on in the shared table only, so
// closing them there still ends them for their peers.
TEST(OwnDescriptorTable, KeepsTheSocketAndLeavesOtherEndsToTheSharedTable) {
  Pair kept, other;
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const int wake = ::eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(wake, 0);

  std::promise<void> tableTaken, othersClosed;
  std::future<void> closed = othersClosed.get_future();
  std::thread worker([&] {
    ASSERT_TRUE(TakeOwnDescriptorTable(kept.a.Fd()));
    tableTaken.set_value();
    closed.wait();
    // The kept socket and the wake-up descriptor work in the thread's table.
    EXPECT_EQ(::send(kept.a.Fd(), "x", 1, MSG_NOSIGNAL), 1);
    const uint64_t one = 1;
    EXPECT_EQ(::write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_EQ(::write(pipeFds[1], "w", 1), 1);
    // The thread's descriptor of the kept socket goes; the shared one stays.
    ::close(kept.a.Fd());
  });
  tableTaken.get_future().wait();
  other.b.Reset();
  othersClosed.set_value();
  worker.join();

  EXPECT_TRUE(AtEnd(other.a.Fd()));
  char c = 0;
  EXPECT_EQ(::read(pipeFds[0], &c, 1), 1);
  EXPECT_EQ(c, 'w');
  EXPECT_EQ(::recv(kept.b.Fd(), &c, 1, 0), 1);
  EXPECT_EQ(c, 'x');
  uint64_t count = 0;
  EXPECT_EQ(::read(wake, &count, sizeof count), static_cast<ssize_t>(sizeof count));
  EXPECT_EQ(count, 1u);
  // The socket is still open in the shared table: a shutdown from here
  // reaches it, and its peer sees the end once this table closes it too.
  EXPECT_FALSE(AtEnd(kept.b.Fd()));
  EXPECT_EQ(kept.a.Shutdown(), 0);
  kept.a.Reset();
  EXPECT_TRUE(AtEnd(kept.b.Fd()));
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  ::close(wake);
}

// What other threads open afterwards is not in the thread's table.
TEST(OwnDescriptorTable, LaterDescriptorsOfOtherThreadsAreNotSeen) {
  Pair kept;
  std::promise<void> tableTaken;
  std::promise<int> opened;
  std::thread worker([&] {
    ASSERT_TRUE(TakeOwnDescriptorTable(kept.a.Fd()));
    tableTaken.set_value();
    const int fd = opened.get_future().get();
    char c;
    EXPECT_EQ(::read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EBADF);
  });
  tableTaken.get_future().wait();
  Pair later;
  opened.set_value(later.a.Fd());
  worker.join();
}

int NoListing() {
  errno = EACCES;
  return -1;
}

// Where the thread's list of descriptors cannot be read, no copy is taken:
// the thread stays in the shared table and says so.
TEST(OwnDescriptorTable, UnreadableListingLeavesTheThreadInTheSharedTable) {
  Pair kept;
  std::promise<void> answered;
  std::promise<int> opened;
  std::thread worker([&] {
    errno = 0;
    EXPECT_FALSE(TakeOwnDescriptorTable(kept.a.Fd(), &NoListing));
    EXPECT_EQ(errno, EACCES);
    answered.set_value();
    // What another thread opens afterwards is in this thread's table too.
    const int fd = opened.get_future().get();
    EXPECT_EQ(::send(fd, "y", 1, MSG_NOSIGNAL), 1);
  });
  answered.get_future().wait();
  Pair later;
  opened.set_value(later.a.Fd());
  worker.join();
  char c = 0;
  EXPECT_EQ(::recv(later.b.Fd(), &c, 1, MSG_DONTWAIT), 1);
  EXPECT_EQ(c, 'y');
}

std::atomic<int> g_nListings{0};

// Readable for the check before the copy, gone in the copy.
int ListingOnce() {
  if (g_nListings.fetch_add(1) == 0)
    return ::open("/proc/thread-self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  errno = ENOENT;
  return -1;
}

// A listing that goes away once the copy is taken: the other sockets are
// still closed in the copy, found by number.
TEST(OwnDescriptorTable, ListingLostInTheCopyStillClosesTheOtherSockets) {
  Pair kept, other;
  std::promise<void> tableTaken, othersClosed;
  std::future<void> closed = othersClosed.get_future();
  std::thread worker([&] {
    EXPECT_TRUE(TakeOwnDescriptorTable(kept.a.Fd(), &ListingOnce));
    tableTaken.set_value();
    closed.wait();
    EXPECT_EQ(::send(kept.a.Fd(), "x", 1, MSG_NOSIGNAL), 1);
    ::close(kept.a.Fd());
  });
  tableTaken.get_future().wait();
  other.b.Reset();
  othersClosed.set_value();
  worker.join();
  EXPECT_EQ(g_nListings.load(), 2);
  EXPECT_TRUE(AtEnd(other.a.Fd()));
  char c = 0;
  EXPECT_EQ(::recv(kept.b.Fd(), &c, 1, 0), 1);
  EXPECT_EQ(c, 'x');
}

}  // namespace
}  // namespace quarvent
