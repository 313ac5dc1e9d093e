// frommime: the MIME reader behind multipart/form-data posts.  Reads one
// body (nested and alternative multiparts, message parts, base64,
// quoted-printable and uuencoded contents) into the form-field list;
// uploads go to files of their own in the temporary directory, which this
// module creates (exclusively, mode 0600) and alone removes: at the end of
// the request, from the handler of a signal that ends it (SIGTERM, SIGHUP,
// SIGINT, SIGPIPE, where the process would die of them anyway), and, for
// a process killed outright, at a later process's first extraction once
// they are old.  Diagnostics about the input go to standard error;
// running out of memory or of temporary files ends the process
// (mimefatal, status 255).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "www/formfield.h"

// Bounds on what one body may make the reader hold.  A longer boundary is
// taken as no boundary, a deeper part as a leaf, and a longer header block
// is cut there (the rest of it is read and dropped).
constexpr std::size_t MIME_BOUNDARY_MAX = 200;
constexpr int MIME_DEPTH_MAX = 32;
constexpr std::size_t MIME_HEADER_MAX = 65536;
// At most this many temporary files in one process (a file for every field
// of the largest form, and the alternatives' files); the body that would
// need one more ends the process.
constexpr std::size_t MIME_TEMPFILES_MAX = 8192;
// A file of ours this many seconds old belongs to no running request.
constexpr long MIME_TEMPFILE_AGE = 3600;

// Reads the multipart body on `in`, never more than `length` bytes
// (negative: up to end of input), into the list at `head` (the form
// list's head).  The process's first extraction first removes the files
// named like ours that the running user owns and that are older than
// MIME_TEMPFILE_AGE.  `boundary` is the text after "boundary=" in the request's
// content type, quoted or not; null when there is none.  A body that ends
// before its closing boundary ends the parse; the part it cut keeps what
// was read of it.  A text value of FIELD_MAX bytes or more is read and
// dropped: the field keeps its name and has no value.  The number of
// fields allocated, the head not counted.
int extractform(FILE* in, FormField* head, const char* boundary, long length = -1);

// `text` without its double quotes when it begins with one: the characters
// up to the next unescaped quote, each backslash dropped and the character
// after it kept.  Other texts come back as they are.
std::string unquote(std::string_view text);

// Removes every temporary file that the extraction created in this
// process (uploads and squirrelled alternatives), once; a forked child
// removes nothing.
void removetempfiles();
// Temporary files created and not yet removed.
int tempfilecount();

// Writes "extractmime: <message>" to standard output and exits with 255.
[[noreturn]] void mimefatal(const char* message);
