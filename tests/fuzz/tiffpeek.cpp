// The TIFF tag reader, on the input as a fax file.  A second reader here,
// written from the tag layout over the bytes in memory, says what the
// record must hold, or which failure the peek must report.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "dispatch/tiffpeek.h"
#include "tests/fuzz/fuzzing.h"

namespace {

struct Expected {
    int error = PEEK_OK; // PEEK_OK: a record
    int16_t pages = 0;
    int32_t flags = -1;
    int32_t time = 0;
    int16_t duration = 0;
    std::array<std::optional<std::string>, 4> strings; // tsi, barcode, did, faxline
};

class Bytes {
public:
    Bytes(std::string_view bytes, bool big) : bytes_(bytes), big_(big) {}

    // The value of `size` bytes at `at`; nothing when the file ends first.
    std::optional<uint32_t> number(uint64_t at, int size) const
    {
        if (at + static_cast<uint64_t>(size) > bytes_.size())
            return std::nullopt;
        uint32_t value = 0;
        for (int i = 0; i < size; ++i) {
            auto byte = static_cast<uint32_t>(
                static_cast<unsigned char>(bytes_[at + static_cast<uint64_t>(i)]));
            value |= byte << (big_ ? 8 * (size - 1 - i) : 8 * i);
        }
        return value;
    }

    // What a string of `length` bytes at `at` reads as: the bytes there are,
    // up to the first NUL.
    std::string text(uint64_t at, uint32_t length) const
    {
        if (at >= bytes_.size())
            return "";
        std::string s(bytes_.substr(at, length));
        return s.substr(0, s.find('\0'));
    }

private:
    std::string_view bytes_;
    bool big_;
};

int slot(uint16_t tag)
{
    switch (tag) {
    case 34201:
        return 0;
    case 34203:
        return 1;
    case 34204:
        return 2;
    case 34205:
        return 3;
    default:
        return -1;
    }
}

Expected expect(std::string_view file)
{
    Expected e;
    std::string_view order = file.substr(0, 2);
    if (order != "II" && order != "MM") {
        e.error = PEEK_NOTTIFF;
        return e;
    }
    Bytes b(file, order == "MM");
    auto magic = b.number(2, 2);
    auto start = b.number(4, 4);
    if (magic && *magic != 42) {
        e.error = PEEK_NOTTIFF;
        return e;
    }
    auto count = start ? b.number(*start, 2) : std::nullopt;
    if (!magic || !start || !count) {
        e.error = PEEK_EOF;
        return e;
    }
    struct Ref {
        uint64_t at;
        uint32_t length;
    };
    std::array<std::optional<Ref>, 4> refs;
    for (uint32_t i = 0; i < *count; ++i) {
        uint64_t entry = uint64_t{*start} + 2 + 12 * uint64_t{i};
        auto tag = b.number(entry, 2), type = b.number(entry + 2, 2), n = b.number(entry + 4, 4);
        if (!tag || !type || !n) {
            e.error = PEEK_EOF;
            return e;
        }
        std::optional<uint32_t> value;
        int s = slot(static_cast<uint16_t>(*tag));
        if (*tag == 297 && *type == 3 && *n == 2) {
            value = b.number(entry + 10, 2);
            if (value)
                e.pages = static_cast<int16_t>(*value);
        } else if ((*tag == 34200 || *tag == 34206) && *type == 4 && *n == 1) {
            value = b.number(entry + 8, 4);
            if (value)
                (*tag == 34200 ? e.flags : e.time) = static_cast<int32_t>(*value);
        } else if (*tag == 34207 && *type == 3 && *n == 1) {
            value = b.number(entry + 8, 2);
            if (value)
                e.duration = static_cast<int16_t>(*value);
        } else if (s >= 0 && *type == 2) {
            value = *n >= 5 ? b.number(entry + 8, 4)
                            : std::optional<uint32_t>(static_cast<uint32_t>(entry + 8));
            if (value)
                refs[static_cast<std::size_t>(s)] = Ref{*n >= 5 ? *value : entry + 8, *n & 0xffff};
        } else {
            continue;
        }
        if (!value) {
            e.error = PEEK_EOF;
            return e;
        }
    }
    for (std::size_t s = 0; s < refs.size(); ++s)
        if (refs[s])
            e.strings[s] = b.text(refs[s]->at, refs[s]->length);
    return e;
}

void check_string(const char* got, const std::optional<std::string>& wanted)
{
    FUZZ_CHECK((got != nullptr) == wanted.has_value());
    if (got != nullptr)
        FUZZ_CHECK(*wanted == got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string path = fuzz_put("fax.tif", "");
    std::string_view file = fuzz_bytes(data, size);
    fuzz_put("fax.tif", file);
    FaxTiffInfo* info = tiffpeek(path.c_str());
    Expected e = expect(file);
    if (e.error != PEEK_OK) {
        FUZZ_CHECK(info == nullptr);
        FUZZ_CHECK(tiffpeek_error == e.error);
        // Neither a short file nor a foreign one is a system error.
        FUZZ_CHECK(errno == 0);
        return 0;
    }
    FUZZ_CHECK(info != nullptr);
    FUZZ_CHECK(info->pages == e.pages && info->flags == e.flags);
    FUZZ_CHECK(info->time == e.time && info->duration == e.duration);
    check_string(info->tsi, e.strings[0]);
    check_string(info->barcode, e.strings[1]);
    check_string(info->did, e.strings[2]);
    check_string(info->faxline, e.strings[3]);
    std::free(info);
    return 0;
}
