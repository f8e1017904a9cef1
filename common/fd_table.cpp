#include "common/fd_table.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace quarvent {
namespace {

// The copy of the table is the calling thread's alone, so every call on it
// goes to the kernel bare: a library that follows descriptors by number (a
// sanitizer) would take them for calls on the table the other threads share.
bool IsSocket(int fd) {
  struct stat st {};
#ifdef SYS_fstat
  if (::syscall(SYS_fstat, fd, &st) != 0) return false;
#else
  if (::syscall(SYS_newfstatat, fd, "", &st, AT_EMPTY_PATH) != 0) return false;
#endif
  return S_ISSOCK(st.st_mode);
}

}  // namespace

bool TakeOwnDescriptorTable(int keep) noexcept {
  if (::unshare(CLONE_FILES) != 0) return false;
  // The list of the calling thread's own table (/proc/self would show the
  // table the other threads share).
  const int listing = static_cast<int>(
      ::syscall(SYS_openat, AT_FDCWD, "/proc/thread-self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listing < 0) return true;
  alignas(8) char entries[4096];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, listing, entries, sizeof entries);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      // struct linux_dirent64: inode, offset, record length, type, name.
      unsigned short length;
      std::memcpy(&length, entries + at + 16, sizeof length);
      const char* name = entries + at + 19;
      at += length;
      if (*name < '0' || *name > '9') continue;
      const int fd = std::atoi(name);
      if (fd != keep && fd != listing && IsSocket(fd)) ::syscall(SYS_close, fd);
    }
  }
  ::syscall(SYS_close, listing);
  return true;
}

}  // namespace quarvent
