// `quarvent serve` as a child process, driven by scripted loopback clients.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/server/server_test_support.h"

extern char** environ;

namespace quarvent::test {
namespace {

// Starts the built program with its stderr going nowhere; returns the pid.
pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(QUARVENT_BIN));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, QUARVENT_BIN, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The exit code, or -1 when the child has not exited within the timeout (it
// is killed then).
int WaitExit(pid_t pid, std::chrono::milliseconds timeout = 5s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    std::this_thread::sleep_for(5ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// The UDP socket may be bound a moment after the TCP listener; a line sent
// before that is lost, so it is sent again after a short wait.
bool NegotiateUdp(int port, int pattern) {
  UdpClient udp(port, 300ms);
  char line[64];
  BuildNegotiation(line, pattern);
  std::vector<char> reply;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (!udp.SendText(line)) return false;
    if (udp.Recv(reply) > 0) {
      if (std::string(reply.begin(), reply.end()) != std::string(kIdentifier) + '\0') return false;
      if (!udp.SendWord(4) || udp.Recv(reply) != 8192) return false;
      return udp.SendWord(kEndMarker);
    }
  }
  return false;
}

TEST(ConsoleServe, ServesBothProtocolsAndExitsZeroOnSigint) {
  const int port = FreePort();
  const pid_t pid = Spawn({"serve", "--port", std::to_string(port)});
  ASSERT_GT(pid, 0);
  {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.Connected());
    ASSERT_TRUE(tcp.Negotiate(7));
    ASSERT_TRUE(tcp.SendRequest(8192));
    std::vector<char> chunk;
    ASSERT_TRUE(tcp.RecvChunk(chunk));
    EXPECT_EQ(chunk.size(), 8192u);
    ASSERT_TRUE(tcp.SendWord(kEndMarker));
  }
  EXPECT_TRUE(NegotiateUdp(port, 7));
  ::kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 0);
}

TEST(ConsoleServe, ExitsOneWhenBothServicesEndedByThemselves) {
  const int port = FreePort();
  const pid_t pid = Spawn({"serve", "--port", std::to_string(port + 65536)});
  ASSERT_GT(pid, 0);
  {
    TcpClient tcp(port);
    ASSERT_TRUE(tcp.SendText("X 100:42"));
    EXPECT_EQ(tcp.RecvText(), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  }
  UdpClient udp(port, 300ms);
  std::vector<char> reply;
  for (int attempt = 0; attempt < 10; ++attempt) {
    ASSERT_TRUE(udp.SendText("X 100:42"));
    if (udp.Recv(reply) > 0) break;
  }
  EXPECT_EQ(std::string(reply.begin(), reply.end()), Cp932("ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ"));
  EXPECT_EQ(WaitExit(pid), 1);
}

TEST(ConsoleServe, UsageErrorsExitTwoAndHelpExitsZero) {
  EXPECT_EQ(WaitExit(Spawn({"serve", "--bogus"})), 2);
  EXPECT_EQ(WaitExit(Spawn({"serve", "--port"})), 2);
  EXPECT_EQ(WaitExit(Spawn({"serve", "--port", "12x"})), 2);
  EXPECT_EQ(WaitExit(Spawn({"serve", "--help"})), 0);
}

}  // namespace
}  // namespace quarvent::test
