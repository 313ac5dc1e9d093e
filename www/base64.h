// base64: the standard alphabet (A-Z a-z 0-9 + /) with '=' padding, as the
// stored password digest and the HTTP Basic credentials use it.  Pure; the
// decoder takes its input as valid and reports nothing.
#pragma once

#include <cstddef>

// Decodes `text` in place and NUL-terminates the bytes; returns the
// terminator's position.  White space between characters is skipped.  It
// stops at the end of the text, inside an unfinished group of four, or at
// a group whose first or second character is '='; a '=' third or fourth
// yields the group's one or two bytes and ends the data.
char* base64_decode(char* text);

// Writes 4 characters for every 3 bytes, the last group padded with '=';
// ((count + 2) / 3) * 4 characters and no terminator.
void base64_encode(const unsigned char* bytes, std::size_t count, char* out);

// The 6-bit value of an alphabet character, or -1 (for decoders that
// stream).
int base64_sextet(unsigned char c);
