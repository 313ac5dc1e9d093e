// wwwinput: the posted form of an action, decoded from standard input into
// the form-field list (formfield; multipart bodies through frommime), and
// the diagnostic listings (form listing, environment and body dump).  Owns
// the encoding in use.  Request errors are written as page text and
// answered with a negative code; running out of memory for a field ends
// the process (mimefatal, status 255).
#pragma once

#include <cstdio>

#include "www/formfield.h"

// form_encoding values.
constexpr int FORM_NONE = 0;
constexpr int FORM_URLENCODED = 1;
constexpr int FORM_MULTIPART = 2;
extern int form_encoding;

// decodeform results besides a field count.
constexpr int FORM_BADMETHOD = -1; // WF090
constexpr int FORM_NOTYPE = -1;    // WF091
constexpr int FORM_BADTYPE = -11;  // WF092
constexpr int FORM_TOOMANY = -12;  // WF093: more than FORM_FIELDS_MAX fields

// readformfield results.
constexpr int FIELD_OK = 0;
constexpr int FIELD_NOMEM = -1;
constexpr int FIELD_TOOLONG = -2;

// Reads and decodes the body of a POST (REQUEST_METHOD, CONTENT_TYPE,
// CONTENT_LENGTH; an absent, negative or non-numeric length is 0).  The
// number of fields, or a negative code after its page text.
int decodeform();

// Reads one urlencoded field of at most *remaining bytes from `in` into
// fresh copies *name and *value (value null when the field has no '=');
// *remaining is lowered by the bytes read.  FIELD_OK or a code above.
int readformfield(FILE* in, long* remaining, char** name, char** value);

// "<h2>Listing of Form Data (count)</h2><pre>", the fields, "</pre>".
void listform(int count);
// One numbered line per field from `first` on.
void dumpfields(FILE* out, const FormField* first);

// The environment, then CONTENT_LENGTH bytes of standard input, as a page;
// the body is also copied to `copypath` when given.
void echorequest(char** envp, const char* copypath);
