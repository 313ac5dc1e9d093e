// paramfile: files of named sections holding name = value lines whose names
// come from a fixed table (the users file is one).  The in-memory form keeps
// every line of the file in order, comments and faulty lines included, so a
// file read and written back keeps them.  Lists, sections, entries and their
// texts belong to the caller (paramfile_free): what a read puts in a list is
// cut from large blocks that the list releases, what is set in memory is
// malloc'd; out of memory makes paramfile_load answer null and the editing
// calls fail.  A ParamText keeps a file open with the place of each header
// line, so that a run which needs a few of its sections reads those alone;
// a list read with its sections unread holds the file's bytes, reads a
// section when a call needs its entries, and writes an untouched one back
// by copying its bytes.
//
// File syntax, one line at a time (1023 characters of a line are read as
// the line; the rest of a longer comment or faulty line stays in its text,
// the rest of a longer parameter or header line is dropped):
//   blank, tab, newline or '#' first   comment, kept verbatim
//   '['                                section header "[name]..."
//   anything else                      name, space character(s), '=', value;
//                                      the value plain, or in ' or " quotes
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "lib/fd.h"

// A null-terminated array of parameter names; a name's index is its 1-based
// position, 0 means "not in the table".
using ParamNameTable = const char* const*;

// Entry kinds other than a table index.
constexpr int16_t PARAM_COMMENT = 0;   // comment, header line, empty line
constexpr int16_t PARAM_UNKNOWN = -1;  // a name not in the table
constexpr int16_t PARAM_NOEQUALS = -2; // a known name without '='

// Value kinds, so a rewrite quotes as the file did.
constexpr int8_t PARAM_PLAIN = 0;
constexpr int8_t PARAM_SQUOTED = 1;
constexpr int8_t PARAM_DQUOTED = 2;

// What of an entry or section lies in its list's blocks rather than in
// memory of its own; only the calls below change texts that a read made.
constexpr uint8_t PARAM_HELD_ENTRY = 1;
constexpr uint8_t PARAM_HELD_TEXT = 2;

struct ParamEntry {
    int16_t index = 0;    // table index, or one of the kinds above
    int8_t quote = 0;     // value kind
    uint8_t held = 0;     // PARAM_HELD_* bits
    int32_t line = 0;     // line number in the file; 0 when set in memory
                          // or read by paramtext_section
    char* text = nullptr; // the value (index > 0), the whole line
                          // (comments, faulty lines), or null
    ParamEntry* next = nullptr;
};

struct ParamStore; // the blocks of a list that a read made

struct ParamSection {
    char* name = nullptr; // null only for the first, nameless section
    ParamEntry* entries = nullptr;
    ParamSection* next = nullptr;
    ParamStore* store = nullptr; // a read list's blocks: in its first
                                 // section, which owns them, and in an
                                 // unread section
    const char* raw = nullptr;   // an unread section's lines in the file
    std::size_t raw_size = 0;    // (paramfile_read_unread)
    uint8_t held = 0;            // PARAM_HELD_ENTRY the section, PARAM_HELD_TEXT
                                 // its name
    uint8_t raw_flags = 0;       // paramfile's own, for an unread section
};

// A file as opened, and where its header lines start.  Renaming a new
// file over it leaves what this reads unchanged.
struct ParamHeader {
    off_t offset;
    uint32_t hash; // of the name
};
struct ParamText {
    Fd fd;
    std::vector<ParamHeader> headers;
};

// The users file's name table and its indices.
extern const char* const users_param_names[];
enum UsersParam : int {
    USER_DELIVERY_EMAIL = 1,
    USER_DELIVERY_PROGRAM,
    USER_DID,
    USER_FROM_EMAIL,
    USER_FULL_NAME,
    USER_IP_RANGE_LOWER,
    USER_IP_RANGE_UPPER,
    USER_MAIL_FORMAT,
    USER_PASSWORD,
    USER_PRIVILEGES,
    USER_IMAGE_FORMAT,
    USER_URL_DELIVERY,
    USER_DEFAULT_STYLE,
};

// Reads the file at `path`; at most `maximum` named sections (0: no limit;
// reading stops at the header after the last one).  The list always starts
// with the nameless section.  Null when the file cannot be opened, memory
// runs out, or a header line has no ']'.
ParamSection* paramfile_load(const char* path, ParamNameTable table, int maximum);
// paramfile_load from a stream open for reading, which the caller closes.
ParamSection* paramfile_read(FILE* file, ParamNameTable table, int maximum);

// paramfile_read (no maximum) of the file open as `fd`, read from its
// start into the list, whose named sections stay unread until a call below
// needs their entries (the read changes the section, a const one too).
// paramfile_write copies the lines of an unread section as they are when
// a read and write-back would give the same bytes.  Should memory run out
// when a section is read for paramfile_get, paramfile_match_value or
// paramfile_each, `unreadable` is called (it must not return; without one
// the run aborts); paramfile_set and paramfile_write fail instead.
// Entries read so have no line numbers.  Null, errno set, when reading
// fails or (EINVAL) a header line has no ']'.
ParamSection* paramfile_read_unread(int fd, ParamNameTable table, void (*unreadable)() = nullptr);

// A named section's name and its first value of a parameter, as
// paramfile_get answers it (data() null when there is none); both live
// until the call returns.
using ParamValueEach = std::function<void(std::string_view name, std::string_view value)>;

// Calls `each` with every named section of `list` in order; an unread one
// stays unread.  False when memory runs out or `index` is not in the table.
bool paramfile_each(const ParamSection* list, ParamNameTable table, int index,
                    const ParamValueEach& each);

// Opens the file at `path` for `text` and checks every header line as
// paramfile_load (no maximum) does, in one pass over the file that parses
// no other line: false (nothing kept) when paramfile_load would answer
// null for reading or a header.
bool paramtext_load(const char* path, ParamText& text);
// The same with the file open for reading as `fd` (-1: none), which `text`
// takes and closes; a lock the descriptor holds lasts as long.
bool paramtext_load(int fd, ParamText& text);
// Closes the file and forgets its headers.
void paramtext_close(ParamText& text);
// paramfile_read of the file from its start: the same list.
ParamSection* paramtext_list(const ParamText& text, ParamNameTable table);
// Calls `each` with every named section of the file in order and its
// first value of parameter `index`, as the whole list has them; only the
// lines that may hold that value are read.  False when reading fails,
// memory runs out or `index` is not in the table.
bool paramtext_each(const ParamText& text, ParamNameTable table, int index,
                    const ParamValueEach& each);
// The first section named exactly `name`, read alone into a list of its
// own (a nameless section, then that one) put in *list, which the caller
// releases; its entries are those of the whole list's section (the next
// header line's empty one included), with no line numbers.  1 found, 0 no such section, -1 out of memory (*list null
// unless found).
int paramtext_section(ParamText& text, ParamNameTable table, const char* name, ParamSection** list);

// Writes the list: "[name]\n" before each named section, each value as
// "name = value\n" in its kind's quotes, other texts verbatim.  A name or
// value is written up to its first newline, so no text set in memory can
// add a line to the file.  What is written reads back the same: a plain
// value that begins with a space character or a quote is written in double
// quotes, a value is cut where its line would outgrow the 1023 characters
// read of a line, and a last line without its newline gets one when more
// follows it.  0; -1 when the stream reported a write error, or (errno
// EINVAL, nothing written) when a section name holds a ']' or is too long
// for its header line.
int paramfile_write(FILE* file, const ParamSection* list, ParamNameTable table);
// Whether paramfile_write writes `value` of the parameter `index` whole, in
// any quotes, so that it reads back unchanged; and a section name whole.
bool paramfile_fits(ParamNameTable table, int index, const char* value);
bool paramfile_name_fits(const char* name);

int paramfile_index(ParamNameTable table, const char* name);

// The text of the section's first entry with `index`, or null.
const char* paramfile_get(const ParamSection* section, int index);

// Sets (non-empty value: the first entry of the name gets a copy, or a new
// plain entry goes first in the section) or removes (null or empty value:
// the first entry of the name) a value.  1 done, 0 name not in the table,
// nothing to remove, or out of memory.
int paramfile_set(ParamSection* section, ParamNameTable table, const char* name, const char* value);

// Gives a section a copy of `name`; false when memory runs out (the old
// name stays).
bool paramfile_rename_section(ParamSection* section, const char* name);

// The first section named exactly `name`; the nameless one is never found.
ParamSection* paramfile_find_section(ParamSection* list, const char* name);
ParamSection* paramfile_next_section(const ParamSection* section);
int paramfile_count_sections(const ParamSection* list);

// Appends a section with no name and no entries at the end of *slot (or as
// *slot when that is empty); null when memory runs out.
ParamSection* paramfile_add_section(ParamSection** slot);

// Unlinks `section` from *slot and releases it with its entries.
void paramfile_remove_section(ParamSection** slot, ParamSection* section);

// The first named section with an entry of `index` whose text starts with
// '*' or equals `value` exactly; every entry of the index is tried.
ParamSection* paramfile_match_value(ParamSection* list, int index, const char* value);

// Releases a whole list.
void paramfile_free(ParamSection* list);
