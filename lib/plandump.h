// plandump: the fax server scheduler's state file, `plandump` in the spool
// directory.  The scheduler writes it; its first line begins with the
// scheduler's process id in decimal, and that number is all that is read
// here.  A missing or unusable number is a result code, never a guess.
#pragma once

#include <cstddef>

#include <sys/types.h>

// The file does not open for reading.
constexpr pid_t PLANDUMP_NOFILE = -1;

// The scheduler's pid from the first line of "<spooldir>/plandump", of
// which at most `linemax` characters are read, as a decimal number with
// leading white space skipped.  0 when the line is missing or holds no
// usable pid: only a positive number up to INT_MAX is one, since kill()
// with 0 or a negative number would signal whole process groups.
// PLANDUMP_NOFILE when the file does not open.
pid_t plandump_pid(const char* spooldir, std::size_t linemax);
