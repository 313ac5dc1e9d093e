#include "tests/tiffwriter.h"

#include <algorithm>
#include <cstring>

namespace tiffwriter {

namespace {

struct Out {
    bool big;
    std::string bytes;

    void put(uint32_t value, int size)
    {
        for (int i = 0; i < size; ++i) {
            int shift = big ? 8 * (size - 1 - i) : 8 * i;
            bytes += static_cast<char>((value >> shift) & 0xff);
        }
    }
    void put16(uint32_t value) { put(value, 2); }
    void put32(uint32_t value) { put(value, 4); }
};

int typesize(uint16_t type) { return type == SHORT ? 2 : type == LONG ? 4 : 1; }

// The value bytes of an entry in the file's byte order.
std::string encoded(const Entry& entry, bool big)
{
    int size = typesize(entry.type);
    if (size == 1)
        return entry.data;
    Out out{big, ""};
    for (std::size_t i = 0; i + size <= entry.data.size(); i += size) {
        // Through a value of the entry's own width, so that the bytes mean
        // the same number on a big-endian host too.
        uint32_t value = 0;
        if (size == 2) {
            uint16_t shortvalue = 0;
            std::memcpy(&shortvalue, entry.data.data() + i, 2);
            value = shortvalue;
        } else {
            std::memcpy(&value, entry.data.data() + i, 4);
        }
        out.put(value, size);
    }
    return out.bytes;
}

std::vector<Entry> with_image(std::vector<Entry> entries, uint32_t strip)
{
    entries.push_back(longs(256, {16}));    // ImageWidth
    entries.push_back(longs(257, {2}));     // ImageLength
    entries.push_back(shorts(258, {1}));    // BitsPerSample
    entries.push_back(shorts(259, {1}));    // Compression: none
    entries.push_back(shorts(262, {0}));    // Photometric: white is zero
    entries.push_back(longs(273, {strip})); // StripOffsets
    entries.push_back(longs(278, {2}));     // RowsPerStrip
    entries.push_back(longs(279, {4}));     // StripByteCounts
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    return entries;
}

} // namespace

Entry shorts(uint16_t tag, std::vector<uint16_t> values)
{
    return {tag, SHORT, static_cast<uint32_t>(values.size()),
            std::string(reinterpret_cast<const char*>(values.data()), values.size() * 2)};
}

Entry longs(uint16_t tag, std::vector<uint32_t> values)
{
    return {tag, LONG, static_cast<uint32_t>(values.size()),
            std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4)};
}

Entry ascii(uint16_t tag, const std::string& text)
{
    return {tag, ASCII, static_cast<uint32_t>(text.size() + 1), text + std::string(1, '\0')};
}

std::vector<Entry> faxtags(int pages, long flags, long time, int duration, const std::string& tsi,
                           const std::string& did, const std::string& barcode,
                           const std::string& faxline)
{
    std::vector<Entry> entries;
    if (pages >= 0)
        entries.push_back(shorts(297, {0, static_cast<uint16_t>(pages)}));
    if (flags >= 0)
        entries.push_back(longs(34200, {static_cast<uint32_t>(flags)}));
    if (!tsi.empty())
        entries.push_back(ascii(34201, tsi));
    if (!barcode.empty())
        entries.push_back(ascii(34203, barcode));
    if (!did.empty())
        entries.push_back(ascii(34204, did));
    if (!faxline.empty())
        entries.push_back(ascii(34205, faxline));
    if (time >= 0)
        entries.push_back(longs(34206, {static_cast<uint32_t>(time)}));
    if (duration >= 0)
        entries.push_back(shorts(34207, {static_cast<uint16_t>(duration)}));
    return entries;
}

std::string tiff(const std::vector<Entry>& given, bool bigendian, bool image)
{
    // Header, then the strip (4 bytes) when there is one, then the
    // directory, then the values that do not fit their entries.
    const uint32_t strip = 8;
    const uint32_t directory = image ? 12 : 8;
    std::vector<Entry> entries = image ? with_image(given, strip) : given;
    Out out{bigendian, bigendian ? "MM" : "II"};
    out.put16(42);
    out.put32(directory);
    if (image)
        out.bytes += std::string("\x0f\xf0\xf0\x0f", 4);
    uint32_t behind = directory + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    std::string extra;
    out.put16(static_cast<uint32_t>(entries.size()));
    for (const Entry& entry : entries) {
        out.put16(entry.tag);
        out.put16(entry.type);
        out.put32(entry.count);
        std::string value = encoded(entry, bigendian);
        if (value.size() <= 4) {
            value.resize(4, '\0');
            out.bytes += value;
        } else {
            out.put32(behind + static_cast<uint32_t>(extra.size()));
            extra += value;
            if (extra.size() % 2)
                extra += '\0'; // values start on a word boundary
        }
    }
    out.put32(0); // no next directory
    return out.bytes + extra;
}

} // namespace tiffwriter
