#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quarvent::test {
namespace {

// Reads what fd has until the deadline; false once it is closed or the time is up.
bool ReadSome(int fd, std::string* text, std::chrono::steady_clock::time_point end) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  text->append(buf, static_cast<size_t>(n));
  return true;
}

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

Child SpawnQuarvent(const std::vector<std::string>& args, unsigned capture) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(QUARVENT_BIN));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if ((capture & kCaptureStdout) && ::pipe2(outPipe, O_CLOEXEC) != 0) return {};
  if ((capture & kCaptureStderr) && ::pipe2(errPipe, O_CLOEXEC) != 0) {
    CloseFd(&outPipe[0]);
    CloseFd(&outPipe[1]);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture & kCaptureStdout)
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (capture & kCaptureStderr)
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Child child;
  if (posix_spawn(&child.pid, QUARVENT_BIN, &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  CloseFd(&outPipe[1]);
  CloseFd(&errPipe[1]);
  child.out = outPipe[0];
  child.err = errPipe[0];
  return child;
}

std::string ReadAll(Child& child, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (child.out >= 0 && ReadSome(child.out, &child.outText, end)) {
  }
  return child.outText;
}

bool WaitForLine(Child& child, const std::string& text, std::chrono::milliseconds timeout,
                 Capture stream) {
  const bool err = stream == kCaptureStderr;
  const int fd = err ? child.err : child.out;
  std::string& read = err ? child.errText : child.outText;
  size_t& seen = err ? child.errSeen : child.outSeen;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Whole lines only: a line that is still being written is looked at again.
    for (size_t nl; (nl = read.find('\n', seen)) != std::string::npos;) {
      const bool found = read.substr(seen, nl - seen).find(text) != std::string::npos;
      seen = nl + 1;
      if (found) return true;
    }
    if (fd < 0 || !ReadSome(fd, &read, end)) return false;
  }
}

int WaitExit(Child& child, std::chrono::milliseconds timeout) {
  int status = 0;
  bool exited = child.pid <= 0;
  const auto end = std::chrono::steady_clock::now() + timeout;
  // The pipes are drained, not closed, until the child has exited: a child
  // that writes to a closed pipe would die of SIGPIPE, and one whose pipe is
  // full would block.
  while (!exited && std::chrono::steady_clock::now() < end) {
    if (::waitpid(child.pid, &status, WNOHANG) == child.pid) {
      exited = true;
      break;
    }
    pollfd p[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    if (::poll(p, 2, 5) > 0) {
      char buf[4096];
      if (p[0].revents && ::read(child.out, buf, sizeof buf) <= 0) CloseFd(&child.out);
      if (p[1].revents) {
        const ssize_t n = ::read(child.err, buf, sizeof buf);
        if (n > 0)
          child.errText.append(buf, static_cast<size_t>(n));
        else
          CloseFd(&child.err);
      }
    }
  }
  CloseFd(&child.out);
  CloseFd(&child.err);
  if (child.pid <= 0) return -1;
  if (!exited) {
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

}  // namespace quarvent::test
