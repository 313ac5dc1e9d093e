// frommime: multipart/form-data bodies, read into the form-field list.
// Not yet a MIME reader: extractform starts an empty list and reads
// nothing, so a multipart post yields no fields.
#pragma once

#include <cstdio>

#include "www/wwwinput.h"

// Reads the multipart body on `in` into the list at `head`; the number of
// fields allocated.
int extractform(FILE* in, FormField* head, const char* boundary);
