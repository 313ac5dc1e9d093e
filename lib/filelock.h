// filelock: whole-file advisory locks (fcntl record locks from offset 0
// over the whole length).  lock_try_write, lock_wait_write and lock_release
// answer fcntl's result, 0 or -1 with errno set; the caller decides what a
// refused lock means.  lock_path holds a file still for a read-change-write
// and fails with the codes below, errno set.
#pragma once

#include <cstdio>

// The process's locks: closing any descriptor of the file drops them.
int lock_try_write(int fd);  // exclusive; fails at once when held elsewhere
int lock_wait_write(int fd); // exclusive; waits until granted
int lock_release(int fd);

// The open file's shared lock (OFD; the process's where the kernel has
// none), which keeps out the holders of lock_path's until it is released
// or the descriptor closed; waits while one holds it, and also while one
// waits for it, so that readers that keep coming do not starve a writer.
// 0, or -1 with errno.
int lock_wait_read(int fd);
int lock_release_read(int fd);

// lock_path results other than a descriptor.
constexpr int LOCK_NOFILE = -1;  // the path names no file (errno ENOENT)
constexpr int LOCK_NOTOPEN = -2; // the file cannot be opened (a directory...)
constexpr int LOCK_REFUSED = -3; // the lock was refused, or the path kept
                                 // being replaced while waiting (EAGAIN)

// Waits for the exclusive lock on the file that `path` names now and
// answers a close-on-exec descriptor of it at offset 0, opened for reading
// and writing when that is allowed, else for reading only; the caller
// closes it to let go.  A rewrite that renamed a new file over the path
// while this one waited makes it open and lock that file instead.  When a
// rewrite in place of the file was killed, the file is repaired from its
// journal before this returns (journal_repair).
//
// The lock belongs to the descriptor's open file (a Linux OFD lock), so
// closing other descriptors of the file keeps it, and a forked child
// shares it until it closes the descriptor or runs another program.  (A
// kernel without OFD locks gets the process's lock, which any close of the
// file drops.)  A descriptor for reading only cannot ask for a write lock:
// its shared lock keeps out every holder of the exclusive one, and a flock
// lock keeps out the other readers-only.
int lock_path(const char* path);

// A stream that reads the locked file from its start, for a reader that
// takes one; fclose it when done, which keeps the lock.  Null, errno set,
// when none can be made.
FILE* lock_reader(int fd);
