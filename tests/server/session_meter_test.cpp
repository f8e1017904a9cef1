// The session meter's time limits: set on the socket once per session, not
// once per call, and a send cut short by its limit is a failed send.
#include "server/session_meter.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/socket.h"
#include "common/sys_ops.h"

namespace quarvent::test {
namespace {

// Calls that succeed at once; a send takes only `g_sendCut` bytes when set.
size_t g_sendCut = 0;
ssize_t FakeSend(int, const void*, size_t len, int) {
  return static_cast<ssize_t>(g_sendCut ? g_sendCut : len);
}
ssize_t FakeSendTo(int, const void*, size_t len, int, const sockaddr*, socklen_t) {
  return static_cast<ssize_t>(len);
}
ssize_t FakeRecv(int, void*, size_t len, int) {
  return static_cast<ssize_t>(len);
}
ssize_t FakeRecvFrom(int, void*, size_t len, int, sockaddr*, socklen_t*) {
  return static_cast<ssize_t>(len);
}
constexpr sys::Ops kFake = {FakeSend, FakeSendTo, FakeRecv, FakeRecvFrom};

struct MeterCase {
  const char* name;
  int64_t idleMs;
  int64_t maxMs;
};

TEST(SessionMeter, TimeLimitsAreSetOncePerSessionNotPerCall) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const Socket a(pair[0]), b(pair[1]);
  for (const MeterCase& c : {MeterCase{"idle", 600000, 0}, MeterCase{"max", 0, 600000},
                             MeterCase{"both", 600000, 3600000}}) {
    const sys::ScopedOps fake(kFake);
    ServiceOptions options;
    options.idleTimeoutMs = c.idleMs;
    options.maxDurationMs = c.maxMs;
    SessionMeter meter(options);
    meter.BeginSession(false);
    char buf[64];
    for (int i = 0; i < 2000; ++i) {
      meter.BeginWait();
      ASSERT_EQ(sys::Recv(a.Fd(), buf, 4), 4) << c.name;
      ASSERT_EQ(sys::Send(a.Fd(), buf, sizeof buf), 64) << c.name;
    }
    // One for receives and one for sends; long calls would add a few.
    EXPECT_LE(meter.ArmCount(), 4) << c.name;
    EXPECT_GE(meter.ArmCount(), 2) << c.name;
    EXPECT_EQ(meter.Sent(), 2000 * 64) << c.name;
  }
}

TEST(SessionMeter, ASendCutShortUnderALimitFails) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const Socket a(pair[0]), b(pair[1]);
  const sys::ScopedOps fake(kFake);
  ServiceOptions options;
  options.idleTimeoutMs = 600000;
  SessionMeter meter(options);
  meter.BeginSession(false);
  char buf[64] = {};
  g_sendCut = 10;
  errno = 0;
  EXPECT_EQ(sys::Send(a.Fd(), buf, sizeof buf), -1);
  g_sendCut = 0;
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_NE(meter.Expired(), SessionMeter::Expiry::kNone);
  EXPECT_EQ(meter.Sent(), 10);  // what went is counted
}

}  // namespace
}  // namespace quarvent::test
