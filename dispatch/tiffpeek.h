// tiffpeek: the facts of a received fax from the private tags of its TIFF
// file's first image directory.  Reads only the header and that directory
// (never image data, never writes).  A failure is a null record, with the
// reason in errno (opening) or in tiffpeek_error.
//
// Layout read (TIFF 6.0), all numbers in the file's byte order:
//   0  2 bytes  "II" little-endian or "MM" big-endian
//   2  16-bit   42
//   4  32-bit   offset of the first image directory
//   directory:  16-bit entry count, then 12-byte entries:
//               tag (16), type (16), count (32), value or offset (32)
// Tags taken (an entry of another type or count is ignored; a later entry
// of the same tag wins):
//   297   PageNumber SHORT x2  pages = the second value
//   34200 LONG x1  flags       34206 LONG x1  time (seconds since the epoch)
//   34207 SHORT x1 duration    34201 ASCII tsi   34203 ASCII barcode
//   34204 ASCII did            34205 ASCII faxline
// An ASCII value of fewer than 5 bytes sits in the entry itself, else at
// the offset; only the low 16 bits of its count are taken.
#pragma once

#include <cstdint>
#include <cstdio>

// tiffpeek_error values.
constexpr int PEEK_OK = 0;
constexpr int PEEK_READERROR = 1;
constexpr int PEEK_NOTTIFF = 5;
constexpr int PEEK_EOF = 6;

// Why the last peek failed.
extern int tiffpeek_error;

// One malloc'd block: the fixed fields, then the strings they point to.
// The caller releases it with free().
struct FaxTiffInfo {
    int16_t pages;    // 0 when absent
    int32_t flags;    // -1 when absent
    int32_t time;     // 0 when absent
    int16_t duration; // 0 when absent
    char* tsi;        // null when absent
    char* barcode;
    char* did;
    char* faxline;
};

// The record of the fax file at `path`, or null.  A file whose first two
// bytes are not a byte-order mark, or that has fewer, or whose magic is not
// 42, is PEEK_NOTTIFF; one that ends later is PEEK_EOF.
FaxTiffInfo* tiffpeek(const char* path);

// Two or four bytes at the file's position, combined in `order` ("II" or
// "MM").  A read error sets tiffpeek_error to PEEK_READERROR, the end of
// the file to PEEK_EOF (the value is then 0).
uint16_t tiff_read16(FILE* file, const char* order);
uint32_t tiff_read32(FILE* file, const char* order);
