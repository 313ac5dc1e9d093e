// frommime: the MIME reader behind multipart/form-data posts.  Reads one
// body (nested and alternative multiparts, message parts, and the transfer
// decodings of www/mimedecode) into the form-field list; uploads go to
// files of their own that www/tempfiles makes in the temporary directory
// and alone removes.  Diagnostics about the input go to standard error;
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

// Reads the multipart body on `in`, never more than `length` bytes
// (negative: up to end of input), into the list at `head` (the form
// list's head), after sweeping the temporary directory's old files
// (sweeptempfiles).  `boundary` is the text after "boundary=" in the
// request's content type, quoted or not; null when there is none.  A
// body that ends before its closing boundary ends the parse; the part it
// cut keeps what was read of it.  A text value of FIELD_MAX bytes or more
// is read and dropped: the field keeps its name and has no value.  The
// number of fields allocated, the head not counted.
int extractform(FILE* in, FormField* head, const char* boundary, long length = -1);

// `text` without its double quotes when it begins with one: the characters
// up to the next unescaped quote, each backslash dropped and the character
// after it kept.  Other texts come back as they are.
std::string unquote(std::string_view text);

// Writes "extractmime: <message>" to standard output and exits with 255.
[[noreturn]] void mimefatal(const char* message);
