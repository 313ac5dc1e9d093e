// journal: what makes a rewrite in place (lib/replacefile) recoverable
// after a kill.  Before the first byte of the file is overwritten, its old
// content and the new content's length and checksum are kept on disk in
// a journal in the spool directory; the journal goes once the file is on
// disk.  A run that holds the file's lock and still finds one (its writer
// died) repairs the file from it and says so in the system log.  Owns the
// journals' directory name; failures are errno values.
//
// One journal a file: "<dir>/zel-rewrite.<dev>.<ino>", the file's device
// and inode in lower-case hexadecimal, created exclusively with mode 0600.
// Its bytes, numbers in the host's byte order:
//
//   offset   size  field
//   0        8     "ZELRWJ1\n"
//   8        8     the file's device (st_dev)
//   16       8     the file's inode (st_ino)
//   24       8     O, the length of the old content
//   32       8     N, the length of the new content
//   40       4     the CRC-32 of the new content
//   44       4     P, the length of the path
//   48       P     the file's path as the writer named it, no NUL
//   48+P     O     the old content
//   48+P+O   4     the CRC-32 of every byte before it
//
// CRC-32 is the IEEE 802.3 one (zlib's crc32).  A journal of another
// length, or whose last field does not match, was cut short by a kill
// before the rewrite wrote a byte of the file: it is removed and the file
// left as it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <sys/stat.h>

// Where the journals go: the spool directory.  Null or empty: nowhere, so
// journal_begin refuses every rewrite in place.
void journal_setdir(const char* dir);

// A journal kept on disk, until journal_end removes it.
struct Journal {
    std::string path;
};

// Keeps the journal of the rewrite of the file `st` (named `path`) from
// `old` to `fresh`, flushed to disk with its name in the directory.  0, or
// an errno value with nothing left behind: EACCES when no directory is
// set; EEXIST when the file has a journal already (an earlier one that
// could not be repaired); else why it could not be written.  Each failure
// is logged with the directory, as it is the administrator's to fix.
int journal_begin(Journal& journal, const char* path, const struct stat& st, std::string_view old,
                  std::string_view fresh);

// Removes the journal, once the file is on disk.
void journal_end(Journal& journal);

// Whether the file `st` has a journal (a stat of its name; false when no
// directory is set).
bool journal_pending(const struct stat& st);

// Repairs the file open as `fd` (its fstat `st`) when its journal is still there; the
// caller holds the file's exclusive lock, so the journal's writer is gone.
// The file keeps the new content when it has exactly that (length and
// checksum), else gets the old content back; then it is flushed and the
// journal removed.  A journal that is not one (cut short, another file's,
// made by a user who could not write the file, or that no kill could have
// left beside a file of that size) is removed and the file left alone.
// One line in the system log says which file and what was done, also when
// the repair fails (a descriptor for reading only, a write error); the
// journal then stays for a later run.
void journal_repair(int fd, const struct stat& st);

// Cuts each line of `content` at its first NUL byte, as every reader of the
// files reads it.  The files' own lines hold none: a NUL is what a torn
// rewrite of an earlier release left (a tail of zeros that a reservation
// of room had grown the file by), so a journal never keeps one and no
// rewrite or repair ever writes one back.
void journal_cut_at_nul(std::string& content);

// The CRC-32 of `bytes` continued from `crc` (0 to start).
std::uint32_t journal_crc32(std::string_view bytes, std::uint32_t crc = 0);
