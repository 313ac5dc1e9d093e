// string: copies and comparisons that tolerate absent (null) strings, and the
// quoting pair that lets a value with blanks or control characters survive a
// write and a re-read of a key = value file: quotestr writes it, splitargs
// reads it back.  Copies come from malloc and belong to the caller; out of
// memory gives null.  Nothing here keeps state between calls.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A malloc'd copy of `text`; null for a null text or when memory runs out.
char* strsave(const char* text);

// Replaces the string held in *slot (released with free) by a copy of
// `text`; returns the new copy, which may be null.  `text` may be *slot.
char* strreplace(char** slot, const char* text);

// strcmp in which null sorts before every string (two nulls are equal).
int nullstrcmp(const char* a, const char* b);

// Writes an escaped form of `text` into `out` (room for `size` bytes, NUL
// included): backslash and double quote get a backslash in front, a tab and
// printable characters stay, any other byte becomes a backslash and three
// octal digits.  The result is in double quotes when `always` is set or the
// text holds a blank or a tab; a null or empty text gives "" (two quotes).
// Always NUL-terminated when size > 0; a text that does not fit is cut at a
// character boundary, never inside an escape.  Returns out.
char* quotestr(const char* text, char* out, std::size_t size, bool always);

// quotestr that quotes only a text holding a blank or a tab.
char* quotestr_if_needed(const char* text, char* out, std::size_t size);

// Splits `buffer` in place into at most `max` tokens separated by runs of
// characters of `separators` (an empty set makes one token of everything).
// Single quotes group literally; double quotes group and allow escapes;
// a backslash escapes: b e f n r t, up to three octal digits, or the next
// character itself.  argv[i] points into the buffer.  Returns the number of
// tokens started (at most max).
int splitargs(char* buffer, char** argv, int max, const char* separators);

// 1 when c (not NUL) occurs in the NUL-terminated `set`, else 0.
int charinset(int c, const char* set);

// `text` as one word of a shell command line: as it stands when every
// character is one the shell takes literally (letters, digits, "/._-+=:,@%"),
// so ordinary command lines read plainly; otherwise in single quotes, a
// quote inside written '\''.  An empty text gives ''.
std::string shellword(std::string_view text);

// `text` for the inside of a single-quoted shell word, where nothing has a
// meaning but the quote itself: each ' written '\'' (closed, escaped and
// reopened), everything else as it stands.
std::string shellword_inner(std::string_view text);
