// fullio: reads and writes that move the whole count asked for, through
// signals (EINTR) and short transfers, at the descriptor's offset or at a
// given one, and the process's answer to a write past its file-size
// limit.  Works on the caller's descriptor and owns nothing.  A
// transfer that stops early is a result code; `done`, when given, gets the
// bytes moved before it stopped, in every case.
#pragma once

#include <cstddef>

#include <sys/types.h>

// All `size` bytes moved.
constexpr int FULLIO_OK = 0;
// Fewer: a read met the end of the file, or the system took no more bytes
// of a write without naming an error (errno is then ENOSPC).
constexpr int FULLIO_SHORT = -1;
// Fewer: the system refused with an error other than EINTR; errno says
// which.
constexpr int FULLIO_ERROR = -2;

int read_full(int fd, void* buffer, std::size_t size, std::size_t* done = nullptr);
int pread_full(int fd, void* buffer, std::size_t size, off_t offset, std::size_t* done = nullptr);
int write_full(int fd, const void* buffer, std::size_t size, std::size_t* done = nullptr);
int pwrite_full(int fd, const void* buffer, std::size_t size, off_t offset,
                std::size_t* done = nullptr);

// Makes a write past the file-size limit (RLIMIT_FSIZE) fail with EFBIG,
// as one on a full disk fails, instead of ending the process by SIGXFSZ
// before it could say so.  The signal is caught by a handler that does
// nothing rather than ignored: the programs this one runs start with it
// as they would have.  For a program's start.
void fullio_catch_size_limit();
