// tempfiles: the files the MIME reader stores uploads in, "mm." and six
// random letters or digits in the temporary directory, created
// exclusively with mode 0600.  This module alone removes them: on
// request (removetempfiles), from the handler of a signal that ends the
// process (SIGTERM, SIGHUP, SIGINT, SIGPIPE, where the process would die
// of them anyway), and, for a process killed outright, at a later
// process's sweep once they are old.  A file that cannot be made is
// reported with a result code.
#pragma once

#include <cstddef>
#include <string>

// At most this many temporary files in one process (a file for every field
// of the largest form, and the alternatives' files); the body that would
// need one more ends the process.
constexpr std::size_t MIME_TEMPFILES_MAX = 8192;
// A file of ours this many seconds old belongs to no running request.
constexpr long MIME_TEMPFILE_AGE = 3600;

// Results of createtempfile.
constexpr int TEMPFILE_OK = 0;
constexpr int TEMPFILE_CANNOT = -1;  // the directory does not open, or no new name was free
constexpr int TEMPFILE_TOOMANY = -2; // MIME_TEMPFILES_MAX files are made and not removed

// A new file, open for reading and writing; its path is `dir`, "/" and
// its name.
struct TempFile {
    int fd = -1;
    std::string path;
};

// Makes a new file in `dir`, the directory of the files not yet removed
// when there are any (a later `dir` then waits until they are gone).  The
// first call sets the handlers of the ending signals that are at their
// defaults.
int createtempfile(const std::string& dir, TempFile* file);

// Once in a process: removes the files in `dir` named like ours that the
// running user owns and that are older than MIME_TEMPFILE_AGE.  Links and
// other kinds of files are never followed nor removed.
void sweeptempfiles(const std::string& dir);

// Removes every file created in this process, once; a forked child
// removes nothing.
void removetempfiles();
// Temporary files created and not yet removed.
int tempfilecount();
