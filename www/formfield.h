// formfield: the form-field list that a posted form is decoded into and
// that handlers read with formvalue.  Owns the list (its head is a static
// FormField, not allocated) and the count of fields allocated since it was
// started; both form decoders fill it.  Nothing here writes or exits: out
// of memory is a null field, for the decoder to report.
#pragma once

#include <cstdint>

struct FormField {
    int16_t file = 0;     // 1: value is the path of an uploaded part's file
    int16_t altgroup = 0; // number of its multipart/alternative group, or 0
    char* contenttype = nullptr;
    char* name = nullptr;
    char* filename = nullptr; // the browser's file name of an upload
    char* value = nullptr;
    FormField* prev = nullptr;
    FormField* next = nullptr;
};

// The list head (not allocated; empty for urlencoded forms) and its fields.
extern FormField formhead;

// The most fields one form may have: no form of these pages comes near,
// and each field costs memory and a line of every listing.
constexpr int FORM_FIELDS_MAX = 5000;

// A decoded name or value stops at this many bytes.
constexpr int FIELD_MAX = 10279;

// Starts an empty list at the head.
void newformlist();
// Appends a zeroed field after the tail; null when out of memory.  Beyond
// FORM_FIELDS_MAX fields nothing is appended: a field of no list is handed
// out (emptied each time) and formoverflow() turns true.
FormField* addformfield();
bool formoverflow();
// Fields allocated since the list was started (the head not counted).
int formfieldcount();

// The value of the first non-file field named exactly `name`, or null.
const char* formvalue(const char* name);
