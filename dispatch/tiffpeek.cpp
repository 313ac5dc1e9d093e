#include "dispatch/tiffpeek.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include <sys/types.h>

int tiffpeek_error = PEEK_OK;

namespace {

constexpr uint16_t TYPE_ASCII = 2;
constexpr uint16_t TYPE_SHORT = 3;
constexpr uint16_t TYPE_LONG = 4;

constexpr uint16_t TAG_PAGENUMBER = 297;
constexpr uint16_t TAG_FLAGS = 34200;
constexpr uint16_t TAG_TSI = 34201;
constexpr uint16_t TAG_BARCODE = 34203;
constexpr uint16_t TAG_DID = 34204;
constexpr uint16_t TAG_FAXLINE = 34205;
constexpr uint16_t TAG_TIME = 34206;
constexpr uint16_t TAG_DURATION = 34207;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Where an ASCII value lies; offsets are kept in 64 bits so that an
// offset near 2^32 plus a length cannot wrap back into the file.
struct StringRef {
    bool present = false;
    uint64_t offset = 0;
    uint32_t length = 0;
};

enum StringSlot { SLOT_TSI, SLOT_BARCODE, SLOT_DID, SLOT_FAXLINE, SLOT_COUNT };

struct Directory {
    FaxTiffInfo fixed{0, -1, 0, 0, nullptr, nullptr, nullptr, nullptr};
    std::array<StringRef, SLOT_COUNT> strings{};
};

// A move to an offset that cannot exist in this file system behaves like a
// move past the end: the next read finds the end of the file.
bool seek_to(FILE* file, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        tiffpeek_error = PEEK_EOF;
        return false;
    }
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        tiffpeek_error = PEEK_READERROR;
        return false;
    }
    return true;
}

// The peek code of a short read.
int short_read_code(FILE* file) { return std::ferror(file) ? PEEK_READERROR : PEEK_EOF; }

uint32_t read_bytes(FILE* file, const char* order, int size)
{
    unsigned char bytes[4];
    if (std::fread(bytes, 1, size, file) != static_cast<std::size_t>(size)) {
        tiffpeek_error = short_read_code(file);
        return 0;
    }
    bool big = order[0] == 'M';
    uint32_t value = 0;
    for (int i = 0; i < size; ++i)
        value |= static_cast<uint32_t>(bytes[i]) << (big ? 8 * (size - 1 - i) : 8 * i);
    return value;
}

int string_slot(uint16_t tag)
{
    switch (tag) {
    case TAG_TSI:
        return SLOT_TSI;
    case TAG_BARCODE:
        return SLOT_BARCODE;
    case TAG_DID:
        return SLOT_DID;
    case TAG_FAXLINE:
        return SLOT_FAXLINE;
    default:
        return -1;
    }
}

// Takes the value of one entry, the file positioned at its value field.
// False on a read problem.
bool take_entry(FILE* file, const char* order, uint64_t field, uint16_t tag, uint16_t type,
                uint32_t count, Directory& dir)
{
    FaxTiffInfo& info = dir.fixed;
    if (tag == TAG_PAGENUMBER && type == TYPE_SHORT && count == 2) {
        tiff_read16(file, order); // this page's number
        uint16_t pages = tiff_read16(file, order);
        if (tiffpeek_error != PEEK_OK)
            return false;
        info.pages = static_cast<int16_t>(pages);
    } else if ((tag == TAG_FLAGS || tag == TAG_TIME) && type == TYPE_LONG && count == 1) {
        uint32_t value = tiff_read32(file, order);
        if (tiffpeek_error != PEEK_OK)
            return false;
        (tag == TAG_FLAGS ? info.flags : info.time) = static_cast<int32_t>(value);
    } else if (tag == TAG_DURATION && type == TYPE_SHORT && count == 1) {
        uint16_t value = tiff_read16(file, order);
        if (tiffpeek_error != PEEK_OK)
            return false;
        info.duration = static_cast<int16_t>(value);
    } else if (int slot = string_slot(tag); slot >= 0 && type == TYPE_ASCII) {
        StringRef ref{true, field, count & 0xffff};
        if (count >= 5) {
            ref.offset = tiff_read32(file, order);
            if (tiffpeek_error != PEEK_OK)
                return false;
        }
        dir.strings[slot] = ref;
    }
    return true;
}

// Walks the first directory.  False on a read problem (tiffpeek_error
// tells which); a huge entry count in a short file thus ends at the first
// entry that is not there.
bool read_directory(FILE* file, const char* order, Directory& dir)
{
    uint64_t start = tiff_read32(file, order);
    if (tiffpeek_error != PEEK_OK || !seek_to(file, start))
        return false;
    uint16_t entries = tiff_read16(file, order);
    if (tiffpeek_error != PEEK_OK)
        return false;
    for (uint32_t i = 0; i < entries; ++i) {
        uint64_t entry = start + 2 + 12 * uint64_t{i};
        if (!seek_to(file, entry))
            return false;
        uint16_t tag = tiff_read16(file, order);
        uint16_t type = tiff_read16(file, order);
        uint32_t count = tiff_read32(file, order);
        if (tiffpeek_error != PEEK_OK)
            return false;
        if (!take_entry(file, order, entry + 8, tag, type, count, dir))
            return false;
    }
    return true;
}

// Reads one string into `out` (room for length + 1).  Bytes past the end
// of the file are simply missing; false only on a read error.
bool read_string(FILE* file, const StringRef& ref, char* out)
{
    std::size_t got = 0;
    if (seek_to(file, ref.offset))
        got = std::fread(out, 1, ref.length, file);
    else if (tiffpeek_error == PEEK_READERROR)
        return false;
    out[got] = '\0';
    if (got < ref.length && std::ferror(file)) {
        tiffpeek_error = PEEK_READERROR;
        return false;
    }
    tiffpeek_error = PEEK_OK;
    return true;
}

// The record in one block: the fixed fields, then each string present.
FaxTiffInfo* build_record(FILE* file, const Directory& dir)
{
    std::size_t size = sizeof(FaxTiffInfo);
    for (const StringRef& ref : dir.strings)
        if (ref.present)
            size += std::size_t{ref.length} + 1;
    void* block = std::malloc(size);
    if (block == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    auto* info = new (block) FaxTiffInfo(dir.fixed);
    char* next = static_cast<char*>(block) + sizeof(FaxTiffInfo);
    std::array<char**, SLOT_COUNT> fields{&info->tsi, &info->barcode, &info->did, &info->faxline};
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        const StringRef& ref = dir.strings[slot];
        if (!ref.present)
            continue;
        if (!read_string(file, ref, next)) {
            std::free(block);
            return nullptr;
        }
        *fields[slot] = next;
        next += std::size_t{ref.length} + 1;
    }
    return info;
}

FaxTiffInfo* peek(FILE* file)
{
    char order[3] = {0, 0, 0};
    // A file too short for the byte-order mark has none: it is no TIFF
    // file, not a TIFF file cut short.
    if (std::fread(order, 1, 2, file) != 2 && std::ferror(file)) {
        tiffpeek_error = PEEK_READERROR;
        return nullptr;
    }
    if (std::strcmp(order, "II") != 0 && std::strcmp(order, "MM") != 0) {
        tiffpeek_error = PEEK_NOTTIFF;
        return nullptr;
    }
    tiffpeek_error = PEEK_OK;
    uint16_t magic = tiff_read16(file, order);
    if (tiffpeek_error != PEEK_OK)
        return nullptr;
    if (magic != 42) {
        tiffpeek_error = PEEK_NOTTIFF;
        return nullptr;
    }
    Directory dir;
    if (!read_directory(file, order, dir))
        return nullptr;
    return build_record(file, dir);
}

} // namespace

FaxTiffInfo* tiffpeek(const char* path)
{
    tiffpeek_error = PEEK_OK;
    // The caller logs errno with a null result: it should name this peek's
    // failure, not something older.
    errno = 0;
    File file(std::fopen(path, "re"));
    if (!file)
        return nullptr;
    int opened_errno = errno;
    FaxTiffInfo* info = peek(file.get());
    // A file that is not a TIFF or ends early has no system error of its
    // own; a read error or a lack of memory keeps the one that was set.
    int saved = errno;
    if (tiffpeek_error == PEEK_NOTTIFF || tiffpeek_error == PEEK_EOF)
        saved = opened_errno;
    file.reset();
    errno = saved;
    return info;
}

uint16_t tiff_read16(FILE* file, const char* order)
{
    return static_cast<uint16_t>(read_bytes(file, order, 2));
}

uint32_t tiff_read32(FILE* file, const char* order) { return read_bytes(file, order, 4); }
