// Urlencoded form decoding, as a POST reaches decodeform on standard input.
// Every decoded field, encoded again and posted again, must decode to the
// same names and values; a field never holds more than FIELD_MAX bytes,
// and a form of more fields than FORM_FIELDS_MAX is refused whole.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "tests/fuzz/formfields.h"
#include "tests/fuzz/fuzzing.h"
#include "www/wwwinput.h"

namespace {

// Decodes `body` as the post of a form; the fields, the list released.
std::vector<FieldCopy> post(std::string_view body, long length, int* count)
{
    FuzzStream in(body);
    std::string text = std::to_string(length);
    setenv("CONTENT_LENGTH", text.c_str(), 1);
    FILE* saved = stdin;
    stdin = in.get();
    *count = decodeform();
    stdin = saved;
    if (*count == FORM_TOOMANY) {
        // The fields past the limit are dropped, the first ones kept; each
        // field but the last ends at an '&'.
        FUZZ_CHECK(formoverflow() && formfieldcount() == FORM_FIELDS_MAX);
        FUZZ_CHECK(std::count(body.begin(), body.end(), '&') >= FORM_FIELDS_MAX);
    } else {
        FUZZ_CHECK(*count == formfieldcount() && !formoverflow());
    }
    std::vector<FieldCopy> fields = fieldcopies(formhead.next);
    releaseform();
    return fields;
}

void encode(std::string& out, const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (c == ' ') {
            out += '+';
        } else if (std::isalnum(c) || std::strchr("-._~", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static bool started = [] {
        setenv("REQUEST_METHOD", "POST", 1);
        setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
        return true;
    }();
    (void)started;
    std::string_view body = fuzz_bytes(data, size);
    int count = 0;
    std::vector<FieldCopy> fields = post(body, static_cast<long>(body.size()), &count);
    if (count == FORM_TOOMANY)
        return 0;
    FUZZ_CHECK(static_cast<std::size_t>(count) == fields.size());

    std::string again;
    bool whole = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldCopy& f = fields[i];
        FUZZ_CHECK(!f.file);
        FUZZ_CHECK(f.name.size() < FIELD_MAX && f.value.size() < FIELD_MAX);
        // A name or value cut at the limit does not come back whole.
        whole =
            whole && f.has_name && f.name.size() + 1 < FIELD_MAX && f.value.size() + 1 < FIELD_MAX;
        if (i > 0)
            again += '&';
        encode(again, f.name);
        if (f.has_value) {
            again += '=';
            encode(again, f.value);
        }
    }
    // An empty last field (a body ending in "&&") has no encoding of its own.
    if (!whole || fields.empty() || (fields.back().name.empty() && !fields.back().has_value))
        return 0;
    std::vector<FieldCopy> back = post(again, static_cast<long>(again.size()), &count);
    FUZZ_CHECK(back.size() == fields.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        FUZZ_CHECK(back[i].has_value == fields[i].has_value);
        FUZZ_CHECK(back[i].name == fields[i].name);
        FUZZ_CHECK(back[i].value == fields[i].value);
    }
    return 0;
}
