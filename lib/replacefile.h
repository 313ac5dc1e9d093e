// replacefile: rewrites a file whole, so that no reader ever sees it torn,
// empty or half-written.  The new content goes into a fresh file beside the
// old one (same directory, created exclusively), which takes the old file's
// owner, group and mode, is flushed to disk and then renamed over it.  A
// path that is a symbolic link has its target replaced, the link stays.
// On any failure the old file is left as it was and the fresh file is
// removed; the result says which step failed and errno says why.
#pragma once

#include <cstdio>
#include <functional>

constexpr int REPLACE_OK = 0;
constexpr int REPLACE_NOTOPEN = -1;   // no fresh file could be made (directory not writable…)
constexpr int REPLACE_NOWRITE = -2;   // the writer or the stream reported an error
constexpr int REPLACE_NORENAME = -3;  // the fresh file could not be put in place

// Writes the new content of `path` with `writer`, which gets the stream of
// the fresh file and answers 0, or non-zero to abandon the rewrite.  A file
// that did not exist is created with mode 0666 less the umask.  REPLACE_OK
// or a failure code above, with errno set.
int replacefile(const char* path, const std::function<int(FILE*)>& writer);
