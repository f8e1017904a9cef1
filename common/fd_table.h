// A descriptor table of the calling thread's own, for a thread that makes
// system calls on one socket at a high rate.
//
// While several threads share one descriptor table, the kernel takes and drops
// a reference on the file in every system call on a descriptor; in a table
// that only one thread uses it looks the file up without. For a loop of small
// receives that is several percent of its time.
#pragma once

namespace quarvent {

// Gives the calling thread a copy of the process's descriptor table and
// returns true; false (errno set) where the system refuses or the thread's
// list of descriptors (/proc/thread-self/fd) cannot be read, and the thread
// goes on in the shared table: the copy is only taken where the other sockets
// can be found in it. Once the copy is taken, the result is true.
//
// In the copy, every other socket is closed, so that when another thread
// closes it, its peer sees the end (FIN or reset) as before. The rest stays
// open in the copy as long as the thread lives: the standard streams, and the
// descriptor (an eventfd or a pipe) through which a toolkit's event loop is
// woken when the thread posts to it. Descriptors opened by other threads
// from now on are not in the copy.
//
// keep is then open in both tables: a shutdown() from another thread still
// reaches the socket, and the socket is released once both tables have closed
// their descriptor of it.
bool TakeOwnDescriptorTable(int keep) noexcept;

// The same, with the list of the calling thread's descriptors opened by
// openListing (a descriptor, or -1 with errno): a seam for the tests. It is
// opened once before the copy is taken, to see that it can be read, and once
// in the copy.
bool TakeOwnDescriptorTable(int keep, int (*openListing)()) noexcept;

}  // namespace quarvent
