// wwwinput: the posted form of an action, decoded from standard input into
// the form-field list that handlers read with formvalue, and the
// diagnostic listings (form listing, environment and body dump).  Owns the
// list (its head is a static FormField) and the encoding in use.  Request
// errors are written as page text and answered with a negative code;
// running out of memory for a field ends the process (status 255).
#pragma once

#include <cstdint>
#include <cstdio>

struct FormField {
    int16_t file = 0;          // 1: value is the path of an uploaded part's file
    int16_t altgroup = 0;      // number of its multipart/alternative group, or 0
    char* contenttype = nullptr;
    char* name = nullptr;
    char* filename = nullptr;  // the browser's file name of an upload
    char* value = nullptr;
    FormField* prev = nullptr;
    FormField* next = nullptr;
};

// The list head (not allocated; empty for urlencoded forms) and its fields.
extern FormField formhead;

// form_encoding values.
constexpr int FORM_NONE = 0;
constexpr int FORM_URLENCODED = 1;
constexpr int FORM_MULTIPART = 2;
extern int form_encoding;

// decodeform results besides a field count.
constexpr int FORM_BADMETHOD = -1;   // WF090
constexpr int FORM_NOTYPE = -1;      // WF091
constexpr int FORM_BADTYPE = -11;    // WF092
constexpr int FORM_TOOMANY = -12;    // WF093: more than FORM_FIELDS_MAX fields

// The most fields one form may have: no form of these pages comes near,
// and each field costs memory and a line of every listing.
constexpr int FORM_FIELDS_MAX = 5000;

// readformfield results.
constexpr int FIELD_OK = 0;
constexpr int FIELD_NOMEM = -1;
constexpr int FIELD_TOOLONG = -2;
// A decoded name or value stops at this many bytes.
constexpr int FIELD_MAX = 10279;

// Starts an empty list at the head.
void newformlist();
// Appends a zeroed field after the tail; out of memory ends the process.
// Beyond FORM_FIELDS_MAX fields nothing is appended: a field of no list is
// handed out (emptied each time) and formoverflow() turns true.
FormField* addformfield();
bool formoverflow();
// Fields allocated since the list was started (the head not counted).
int formfieldcount();

// Reads and decodes the body of a POST (REQUEST_METHOD, CONTENT_TYPE,
// CONTENT_LENGTH; an absent, negative or non-numeric length is 0).  The
// number of fields, or a negative code after its page text.
int decodeform();

// Reads one urlencoded field of at most *remaining bytes from `in` into
// fresh copies *name and *value (value null when the field has no '=');
// *remaining is lowered by the bytes read.  FIELD_OK or a code above.
int readformfield(FILE* in, long* remaining, char** name, char** value);

// The value of the first non-file field named exactly `name`, or null.
const char* formvalue(const char* name);

// "<h2>Listing of Form Data (count)</h2><pre>", the fields, "</pre>".
void listform(int count);
// One numbered line per field from `first` on.
void dumpfields(FILE* out, const FormField* first);

// The environment, then CONTENT_LENGTH bytes of standard input, as a page;
// the body is also copied to `copypath` when given.
void echorequest(char** envp, const char* copypath);
