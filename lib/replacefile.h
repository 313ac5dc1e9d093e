// replacefile: rewrites a file whole, through a fresh file renamed over it
// where the directory may be written, else in place.  Owns its fresh
// files: neither a failure nor a kill leaves one behind, but for a hidden
// name that a later rewrite removes; a rewrite in place that a kill cut
// short is made whole again by the next run that locks or reads the file.
// A failure leaves the old file as it was; the result says which step
// failed and errno says why.
#pragma once

#include <cstdio>
#include <functional>

constexpr int REPLACE_OK = 0;
constexpr int REPLACE_NOTOPEN = -1;   // neither a fresh file nor the old one opens
constexpr int REPLACE_NOWRITE = -2;   // the writer or the file reported an error
constexpr int REPLACE_NORENAME = -3;  // the fresh file could not be put in place
constexpr int REPLACE_NOJOURNAL = -4; // rewritten in place, but its journal could
                                      // not be kept (lib/journal): untouched
constexpr int REPLACE_EXISTS = -5;    // createnewfile: the path names a file already

// Writes the new content of `path` with `writer`, which gets a stream and
// answers 0, or non-zero to abandon the rewrite; the old file is not
// touched before the content is complete.
//
// Where the directory may be written, the writer's stream goes straight
// into a fresh file there, unnamed while it is written (O_TMPFILE; else a
// hidden ".<name>.XXXXXX" of mode 0600), which takes the old file's owner,
// group and mode, is flushed to disk, gets a hidden name and is renamed
// over the old file: no reader ever sees the file torn.  A hidden name that a
// killed run left is removed by a later rewrite of the same file once it
// is a minute old and unlocked; no other name is ever removed.
//
// Where only the file may be written (the directory refuses with EACCES,
// EPERM or EROFS), the content is made in memory and the file rewritten
// in place: room for the new content is taken beyond the file's end, its
// old content goes into a journal (lib/journal; none can be kept:
// REPLACE_NOJOURNAL, errno EACCES without a spool directory), the content
// goes over the old one, the file is cut to its length and flushed, and
// the journal removed.  A kill midway leaves the journal, from which the
// next lock_path of the file (lib/filelock) makes it the old or the new
// content again; a write that fails midway puts the old content back.
// NUL bytes in the old content (a rewrite of an earlier release that was
// torn) are not the file's: each line is cut at its first one
// (journal_cut_at_nul), in the journal and when it is put back.
//
// A path that is a symbolic link has its target replaced, the link stays.
// A file that did not exist is created with mode 0666 less the umask.
// Takes no lock: a read-change-write holds lock_path's (lib/filelock)
// from its read to this rewrite.  REPLACE_OK or a failure code above.
int replacefile(const char* path, const std::function<int(FILE*)>& writer);

// Opens `path` for a reader that reads it whole, or keeps it open to read
// parts later.  A rewrite in place of the file that was killed is repaired
// first (lock_path).  Where some writer of the file may not write its
// directory, so may rewrite it in place, the descriptor holds a shared
// lock (lock_wait_read), which waits for a rewrite in progress and keeps
// the next one out until it is closed or released: the reader never sees
// one half done.  Where every writer may write the directory, rewrites are
// renames and nothing is locked.  A close-on-exec descriptor for reading,
// or -1 with errno set.
int replacefile_open_read(const char* path);
// Creates the file `path`, which must name nothing yet, with `writer`'s
// content: the content goes into a fresh file in the directory as above,
// which gets the name, mode 0666 less the umask, only once it is complete
// and only if the name is still free (link(2) never replaces), so that of
// two creators of one name only one succeeds and no reader sees the file
// half written.  REPLACE_OK, REPLACE_EXISTS (errno EEXIST) or a failure
// code above.
int createnewfile(const char* path, const std::function<int(FILE*)>& writer);
