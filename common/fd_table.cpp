#include "common/fd_table.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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

void CloseIfOtherSocket(int fd, int keep, int listing) {
  if (fd != keep && fd != listing && IsSocket(fd)) ::syscall(SYS_close, fd);
}

// The list of the calling thread's own table (/proc/self would show the
// table the other threads share).
int OpenThreadFdListing() {
  return static_cast<int>(
      ::syscall(SYS_openat, AT_FDCWD, "/proc/thread-self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Closes the other sockets named in the listing; false when it could not be
// read to its end.
bool CloseListedSockets(int listing, int keep) {
  alignas(8) char entries[4096];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, listing, entries, sizeof entries);
    if (n == 0) return true;
    if (n < 0) return false;
    for (long at = 0; at < n;) {
      // struct linux_dirent64: inode, offset, record length, type, name.
      unsigned short length;
      std::memcpy(&length, entries + at + 16, sizeof length);
      const char* name = entries + at + 19;
      at += length;
      if (*name < '0' || *name > '9') continue;
      CloseIfOtherSocket(std::atoi(name), keep, listing);
    }
  }
}

// Whether the listing can be opened and read now, in the shared table; the
// descriptor is closed again before the table is copied.
bool ListingReadable(int (*openListing)()) {
  const int listing = openListing();
  if (listing < 0) return false;
  alignas(8) char entries[512];
  const long n = ::syscall(SYS_getdents64, listing, entries, sizeof entries);
  const int err = errno;
  ::syscall(SYS_close, listing);
  errno = err;
  if (n > 0) return true;
  if (n == 0) errno = ENOENT;  // not even "." : no listing of descriptors
  return false;
}

}  // namespace

bool TakeOwnDescriptorTable(int keep) noexcept {
  return TakeOwnDescriptorTable(keep, &OpenThreadFdListing);
}

bool TakeOwnDescriptorTable(int keep, int (*openListing)()) noexcept {
  // The copy is taken only where the thread can find the other sockets in it:
  // a copy that held them open would keep their connections up after the
  // other threads have closed them, and there is no way back to the shared
  // table.
  if (!ListingReadable(openListing)) return false;
  if (::unshare(CLONE_FILES) != 0) return false;
  const int listing = openListing();
  if (listing >= 0) {
    const bool listed = CloseListedSockets(listing, keep);
    ::syscall(SYS_close, listing);
    if (listed) return true;
  }
  // The listing went away in between: every number below the descriptor
  // limit is tried instead (a descriptor is opened below the limit in force).
  rlimit limit{};
  int highest = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < static_cast<rlim_t>(1) << 30)
    highest = static_cast<int>(limit.rlim_cur);
  for (int fd = 0; fd < highest; ++fd) CloseIfOtherSocket(fd, keep, -1);
  return true;
}

}  // namespace quarvent
