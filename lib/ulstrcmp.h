// ulstrcmp: comparison and search that ignore case (characters are compared
// after tolower).  Null strings are tolerated as in nullstrcmp.  Pure.
#pragma once

// As nullstrcmp, but the difference of the first differing folded characters.
int ulstrcmp(const char* a, const char* b);

// ulstrcmp of at most n characters; 0 when n <= 0.
int ulstrncmp(const char* a, const char* b, int n);

// The first place in `text` where `pattern` occurs, ignoring case, or null.
// A null or empty pattern gives `text` itself; a null or empty text with a
// non-empty pattern counts as a match and gives `pattern`.
const char* ulstrstr(const char* text, const char* pattern);

// ulstrstr in which neither the scan nor a match may reach the address `end`
// (null: no bound).
const char* ulstrnstr(const char* text, const char* pattern, const char* end);
