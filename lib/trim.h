// trim: removes trailing space characters in place.  Pure.
#pragma once

// Overwrites the trailing space characters of `text` with NULs, scanning back
// from the last character; the first character always stays, so a text of
// blanks keeps one.  Returns text (null for null).
char* trim(char* text);
