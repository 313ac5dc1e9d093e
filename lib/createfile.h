// createfile: creates a file together with its missing parent directories.
// New directories get the owner and group of their deepest existing
// ancestor.  Failures are logged (logerror) with the path and the system's
// error text and reported through a negative result.
#pragma once

#include <sys/types.h>

// Creates the missing parents, then creates or truncates the file with
// creat() and `mode`.  The descriptor, or -1.
int createfile(const char* path, mode_t mode);

// Creates the missing directories above the file `path`, owned like the
// deepest existing ancestor.  0 when nothing was missing or all were made,
// else -1.
int makeparents(const char* path, mode_t mode);

// Creates each missing directory along `path` (not its last component)
// with the directory mode derived from the file mode `mode`, and gives it
// the owner uid.gid.  0, or -1 at the first failure.
int makedirs(const char* path, mode_t mode, uid_t uid, gid_t gid);
