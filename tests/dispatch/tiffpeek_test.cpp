#include "dispatch/tiffpeek.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

#include <unistd.h>

#include "lib/string.h"
#include "tests/harness.h"
#include "tests/tiffwriter.h"

namespace {

using namespace tiffwriter;

struct FreeInfo {
    void operator()(FaxTiffInfo* info) const { std::free(info); }
};
using Info = std::unique_ptr<FaxTiffInfo, FreeInfo>;

// A record as plain values, so that whole records compare and print.
struct Fax {
    int pages = 0;
    long flags = -1;
    long time = 0;
    int duration = 0;
    std::optional<std::string> tsi, barcode, did, faxline;
    bool operator==(const Fax&) const = default;
};

std::ostream& operator<<(std::ostream& out, const std::optional<std::string>& text)
{
    return text ? out << '"' << *text << '"' : out << "null";
}

std::ostream& operator<<(std::ostream& out, const Fax& fax)
{
    return out << "{pages " << fax.pages << ", flags " << fax.flags << ", time " << fax.time
               << ", duration " << fax.duration << ", tsi " << fax.tsi << ", barcode "
               << fax.barcode << ", did " << fax.did << ", faxline " << fax.faxline << "}";
}

std::optional<std::string> text(const char* value)
{
    return value ? std::optional<std::string>(value) : std::nullopt;
}

Fax fax_of(const FaxTiffInfo& info)
{
    return {info.pages,     info.flags,         info.time,      info.duration,
            text(info.tsi), text(info.barcode), text(info.did), text(info.faxline)};
}

struct Peek {
    Info info;
    int code;
    int error;
};

Peek peek(const std::string& path)
{
    errno = 12345;
    Info info(tiffpeek(path.c_str()));
    int error = errno;
    return {std::move(info), tiffpeek_error, error};
}

Peek peek_bytes(const Sandbox& box, const std::string& bytes)
{
    box.write("fax.tif", bytes);
    return peek(box.path("fax.tif"));
}

std::string le16(uint16_t value)
{
    return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}
std::string le32(uint32_t value)
{
    return le16(static_cast<uint16_t>(value & 0xffff)) + le16(static_cast<uint16_t>(value >> 16));
}
std::string header(uint32_t directory) { return "II" + le16(42) + le32(directory); }
std::string entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    return le16(tag) + le16(type) + le32(count) + le32(value);
}

struct RecordCase {
    const char* name;
    std::vector<Entry> entries;
    Fax want;
};

TEST(TiffpeekTest, ReadsTheFaxTagsInBothByteOrders)
{
    const std::vector<Entry> all =
        faxtags(3, 5, 1700000000, 42, "+49 30 1234", "12345", "BC-1", "line0");
    const RecordCase cases[] = {
        {"all tags", all, {3, 5, 1700000000, 42, "+49 30 1234", "BC-1", "12345", "line0"}},
        {"count 4 in the entry, count 5 at the offset",
         {ascii(34201, "abc"), ascii(34204, "abcd")},
         {0, -1, 0, 0, "abc", {}, "abcd", {}}},
        {"flags, time and did missing",
         faxtags(2, -1, -1, 7, "tsi", "", "bar", "line"),
         {2, -1, 0, 7, "tsi", "bar", {}, "line"}},
        {"PageNumber with count 1", {shorts(297, {4})}, {}},
        {"wrong types and counts",
         {shorts(297, {1, 2, 3}), longs(297, {1, 2}), shorts(34200, {1}), longs(34206, {1, 2}),
          longs(34207, {9}), Entry{34204, BYTE, 3, std::string("12\0", 3)}},
         {}},
        {"later entries win; an ignored one changes nothing",
         {longs(34200, {1}), ascii(34204, "first"), longs(34200, {2}), ascii(34204, "2nd"),
          shorts(34204, {7}), longs(34206, {8}), shorts(34206, {9})},
         {0, 2, 8, 0, {}, {}, "2nd", {}}},
        {"values as signed numbers",
         {shorts(297, {0, 65535}), longs(34200, {0xffffffff}), longs(34206, {0x80000000}),
          shorts(34207, {40000})},
         {-1, -1, INT32_MIN, 40000 - 65536, {}, {}, {}, {}}},
        {"empty strings and a missing NUL",
         {Entry{34201, ASCII, 0, ""}, ascii(34203, ""), Entry{34204, ASCII, 3, "xyz"}},
         {0, -1, 0, 0, "", "", "xyz", {}}},
        // The count decides where the string is, its low 16 bits how long.
        {"only the low 16 bits of the count",
         {Entry{34204, ASCII, 0x10005, std::string("abcd\0", 5)},
          Entry{34205, ASCII, 0x10003, "abcdefgh"}},
         {0, -1, 0, 0, {}, {}, "abcd", "abc"}},
    };
    Sandbox box;
    for (const RecordCase& c : cases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (big ? " (MM)" : " (II)"));
            Peek got = peek_bytes(box, tiff(c.entries, big));
            ASSERT_NE(got.info, nullptr) << got.code;
            EXPECT_EQ(got.code, PEEK_OK);
            EXPECT_EQ(fax_of(*got.info), c.want);
        }
    }
}

TEST(TiffpeekTest, FailsWithTheReason)
{
    Sandbox box;
    box.write("dir/file", "");
    struct Case {
        const char* name;
        std::string path;
        std::string bytes; // written to path unless empty
        int code;
        int error;
    };
    const Case cases[] = {
        {"text file", "fax.tif", "Hello, world\n", PEEK_NOTTIFF, 0},
        {"bad magic", "fax.tif", "II" + le16(43) + le32(8), PEEK_NOTTIFF, 0},
        {"magic in the other order", "fax.tif", "MM" + le16(42) + le32(8), PEEK_NOTTIFF, 0},
        {"one byte", "fax.tif", "I", PEEK_NOTTIFF, 0},
        {"ends in the magic", "fax.tif", std::string("MM\0", 3), PEEK_EOF, 0},
        {"missing file", "nofile.tif", "", PEEK_OK, ENOENT},
        {"a directory", "dir", "", PEEK_READERROR, EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.bytes.empty())
            box.write(c.path, c.bytes);
        Peek got = peek(box.path(c.path));
        EXPECT_EQ(got.info, nullptr);
        EXPECT_EQ(got.code, c.code);
        EXPECT_EQ(got.error, c.error);
    }
}

TEST(TiffpeekTest, ReadsNumbersInTheFileOrder)
{
    char bytes[] = "\x01\x02\x03\x04\x05";
    FILE* file = fmemopen(bytes, 5, "r");
    ASSERT_NE(file, nullptr);
    tiffpeek_error = PEEK_OK;
    EXPECT_EQ(tiff_read16(file, "II"), 0x0201);
    EXPECT_EQ(tiff_read16(file, "MM"), 0x0304);
    EXPECT_EQ(tiffpeek_error, PEEK_OK);
    EXPECT_EQ(tiff_read32(file, "II"), 0u); // only one byte left
    EXPECT_EQ(tiffpeek_error, PEEK_EOF);
    std::rewind(file);
    tiffpeek_error = PEEK_OK;
    EXPECT_EQ(tiff_read32(file, "MM"), 0x01020304u);
    EXPECT_EQ(tiffpeek_error, PEEK_OK);
    std::fclose(file);
}

// Every prefix of a valid file: the directory either is whole (a record,
// with each string cut where the file ends) or is not (null, end of file).
TEST(TiffpeekTest, TruncatedFilesGiveNullOrTheBytesThatAreThere)
{
    const std::vector<Entry> entries = faxtags(2, 3, 1000, 5, "TSI 1", "4711", "BC", "line");
    const std::string full = tiff(entries);
    // The last entry is the duration, whose SHORT fills half its field.
    const std::size_t directory_end = 8 + 2 + 12 * entries.size() - 2;
    auto cut_string = [&](const std::string& value, std::size_t cut) {
        std::size_t at = full.find(value + '\0');
        std::size_t there = cut > at ? cut - at : 0;
        return value.substr(0, std::min(there, value.size()));
    };
    Sandbox box;
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Peek got = peek_bytes(box, full.substr(0, cut));
        if (cut < directory_end) {
            EXPECT_EQ(got.info, nullptr);
            // Under two bytes there is no byte-order mark to be cut.
            EXPECT_EQ(got.code, cut < 2 ? PEEK_NOTTIFF : PEEK_EOF);
            continue;
        }
        ASSERT_NE(got.info, nullptr);
        Fax want{2,
                 3,
                 1000,
                 5,
                 cut_string("TSI 1", cut),
                 cut_string("BC", cut),
                 cut_string("4711", cut),
                 cut_string("line", cut)};
        EXPECT_EQ(fax_of(*got.info), want);
    }
}

TEST(TiffpeekTest, HostileValuesEndPromptly)
{
    std::string all_entries = header(8) + le16(65535);
    for (int i = 0; i < 65534; ++i)
        all_entries += entry(1, SHORT, 1, 0);
    all_entries += entry(34204, ASCII, 3, 0x6b6f) + le32(0); // "ok"
    const uint32_t filler = 8 + 2 + 4 * 12 + 4;
    std::string longest = header(8) + le16(4);
    for (uint16_t tag : std::initializer_list<uint16_t>{34201, 34203, 34204, 34205})
        longest += entry(tag, ASCII, 0xffffffff, filler);
    longest += le32(0) + std::string(70000, 'x');

    struct Case {
        const char* name;
        std::string bytes;
        int code;
        std::optional<std::string> did; // with a record
    };
    const Case cases[] = {
        {"directory near 2^32", header(0xffffffff), PEEK_EOF, {}},
        {"directory past the end", header(4096), PEEK_EOF, {}},
        {"directory at the header", header(0), PEEK_EOF, {}},
        {"65535 entries in a short file",
         header(8) + le16(65535) + entry(34204, ASCII, 3, 0x6161),
         PEEK_EOF,
         {}},
        {"count and offset all ones",
         header(8) + le16(1) + entry(34204, ASCII, 0xffffffff, 0xffffffff) + le32(0), PEEK_OK, ""},
        {"offset plus length past 2^32",
         header(8) + le16(1) + entry(34204, ASCII, 0xffff, 0xfffffff0) + le32(0), PEEK_OK, ""},
        {"huge count from the start of the file",
         header(8) + le16(1) + entry(34204, ASCII, 0xffffffff, 0) + le32(0), PEEK_OK, "II*"},
        {"65535 entries all there", all_entries, PEEK_OK, "ok"},
    };
    Sandbox box;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peek got = peek_bytes(box, c.bytes);
        EXPECT_EQ(got.code, c.code);
        ASSERT_EQ(got.info != nullptr, c.did.has_value());
        if (got.info) {
            EXPECT_EQ(text(got.info->did), c.did);
        }
    }

    Peek got = peek_bytes(box, longest);
    ASSERT_NE(got.info, nullptr);
    for (const char* value : {got.info->tsi, got.info->barcode, got.info->did, got.info->faxline})
        EXPECT_EQ(std::string(value), std::string(65535, 'x'));
}

// The last value tiffdump shows for each tag, as in
// "34204 (0x859c) ASCII (2) 6<12345\0>" or "PageNumber (297) SHORT (3) 2<0 3>".
std::map<long, std::string> tiffdump_values(const std::string& path)
{
    std::map<long, std::string> values;
    std::string dump = shell_output("tiffdump " + shellword(path) + " 2>/dev/null");
    for (const std::string& line : lines_of(dump)) {
        std::size_t open = line.find('<'), close = line.rfind('>');
        if (line.empty() || open == std::string::npos || close < open)
            continue;
        // Known tags come by name with the number in brackets.
        std::size_t number = 0;
        if (!std::isdigit(static_cast<unsigned char>(line[0]))) {
            number = line.find(" (");
            if (number == std::string::npos)
                continue;
            number += 2;
        }
        long tag = std::strtol(line.c_str() + number, nullptr, 10);
        values[tag] = line.substr(open + 1, close - open - 1);
    }
    return values;
}

// The record that tiffdump's values stand for.
Fax fax_from_tiffdump(const std::map<long, std::string>& values)
{
    Fax fax;
    auto number = [&](long tag) { return std::strtoul(values.at(tag).c_str(), nullptr, 10); };
    auto string = [&](long tag) -> std::optional<std::string> {
        if (!values.count(tag))
            return std::nullopt;
        std::string value = values.at(tag);
        if (value.size() >= 2 && value.compare(value.size() - 2, 2, "\\0") == 0)
            value.resize(value.size() - 2);
        return value;
    };
    if (values.count(297)) {
        const std::string& pages = values.at(297); // "this total"
        unsigned long total = std::strtoul(pages.c_str() + pages.find(' '), nullptr, 10);
        fax.pages = static_cast<int16_t>(total);
    }
    if (values.count(34200))
        fax.flags = static_cast<int32_t>(number(34200));
    if (values.count(34206))
        fax.time = static_cast<int32_t>(number(34206));
    if (values.count(34207))
        fax.duration = static_cast<int16_t>(number(34207));
    fax.tsi = string(34201);
    fax.barcode = string(34203);
    fax.did = string(34204);
    fax.faxline = string(34205);
    return fax;
}

TEST(TiffpeekTest, AgreesWithTiffdump)
{
    if (!have_program("tiffdump"))
        GTEST_SKIP() << "tiffdump is not installed";
    std::vector<Entry> twice = faxtags(1, 1, 2, 3, "tsi", "first", "", "");
    twice.push_back(ascii(34204, "second"));
    const std::vector<Entry> cases[] = {
        faxtags(1, 0, 1700000000, 30, "+1 212 555 0100", "5551234", "BC-77", "line1"),
        faxtags(12, 4294967295, 0, 65535, "ABC", "1", "", ""),
        faxtags(-1, -1, -1, -1, "", "12345", "", ""),
        twice,
    };
    Sandbox box;
    for (const std::vector<Entry>& entries : cases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::to_string(&entries - cases) + (big ? " (MM)" : " (II)"));
            Peek got = peek_bytes(box, tiff(entries, big, true));
            ASSERT_NE(got.info, nullptr);
            std::map<long, std::string> dumped = tiffdump_values(box.path("fax.tif"));
            ASSERT_EQ(dumped.count(256), 1u) << "tiffdump did not read the file";
            EXPECT_EQ(fax_of(*got.info), fax_from_tiffdump(dumped));
        }
    }
}

std::string faxtiff_path()
{
    const char* given = std::getenv("ZEL_FAXTIFF");
    return given && *given ? given : program_path("faxtiff");
}

// A fax as libtiff writes it: sorted entries, values before the directory,
// a real Group 3 page.
TEST(TiffpeekTest, ReadsAFaxWrittenByLibtiff)
{
    const std::string helper = faxtiff_path();
    if (access(helper.c_str(), X_OK) != 0)
        GTEST_SKIP() << helper << " is not built";
    const Fax want{1, 7, 1700000000, 65, "+1 555 0100", "BC9", "4711", "ttyS0"};
    Sandbox box;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        std::string path = box.path("fax.tif");
        std::string command =
            shellword(helper) + (big ? " -b " : " ") + shellword(path) + " 7 1700000000 65";
        for (const auto& value : {want.tsi, want.barcode, want.did, want.faxline})
            command += " " + shellword(*value);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        Peek got = peek(path);
        ASSERT_NE(got.info, nullptr) << got.code;
        EXPECT_EQ(fax_of(*got.info), want);
        if (have_program("tiffdump")) {
            EXPECT_EQ(fax_from_tiffdump(tiffdump_values(path)), want);
        }
        if (have_program("tiffinfo")) {
            std::vector<std::string> info =
                lines_of(shell_output("tiffinfo " + shellword(path) + " 2>/dev/null"));
            for (const char* line :
                 {"  Compression Scheme: CCITT Group 3", "  Page Number: 0-1", "  Tag 34200: 7",
                  "  Tag 34206: 1700000000", "  Tag 34207: 65", "  Tag 34201: +1 555 0100",
                  "  Tag 34203: BC9", "  Tag 34204: 4711", "  Tag 34205: ttyS0"})
                EXPECT_NE(std::find(info.begin(), info.end(), line), info.end()) << line;
        }
    }
}

} // namespace
