#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace quarvent::test {

Child SpawnQuarvent(const std::vector<std::string>& args, bool captureStdout) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(QUARVENT_BIN));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2] = {-1, -1};
  if (captureStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (captureStdout)
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Child child;
  if (posix_spawn(&child.pid, QUARVENT_BIN, &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (captureStdout) {
    ::close(pipeFds[1]);
    child.out = pipeFds[0];
  }
  return child;
}

std::string ReadAll(Child& child, std::chrono::milliseconds timeout) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (child.out >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{child.out, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    const ssize_t n = ::read(child.out, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

int WaitExit(Child& child, std::chrono::milliseconds timeout) {
  if (child.out >= 0) {
    ::close(child.out);
    child.out = -1;
  }
  if (child.pid <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (::waitpid(child.pid, &status, WNOHANG) == child.pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, &status, 0);
  return -1;
}

}  // namespace quarvent::test
