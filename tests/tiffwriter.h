// tiffwriter: writes the TIFF files that the tests feed to the fax
// readers: a header in either byte order, one image directory of the
// entries given (in the order given, so duplicates and odd types are
// possible), values that do not fit the entry placed behind the directory,
// and optionally a real one-strip bilevel image so that other TIFF readers
// accept the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tiffwriter {

constexpr uint16_t BYTE = 1, ASCII = 2, SHORT = 3, LONG = 4;

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::string data; // the value's bytes in host order for SHORT/LONG
                      // (use the helpers); ASCII as given, NUL included
};

Entry shorts(uint16_t tag, std::vector<uint16_t> values);
Entry longs(uint16_t tag, std::vector<uint32_t> values);
// An ASCII entry of `text` and its terminating NUL (count = size + 1).
Entry ascii(uint16_t tag, const std::string& text);

// The fax tags: pages, flags, time, duration, tsi, did, barcode, faxline
// (an empty string leaves that tag out; flags/time/duration < 0 too).
std::vector<Entry> faxtags(int pages, long flags, long time, int duration, const std::string& tsi,
                           const std::string& did, const std::string& barcode,
                           const std::string& faxline);

// The file's bytes.  `bigendian` writes "MM".  With `image`, the entries
// are joined by the tags of a 16 x 2 bilevel uncompressed strip (width,
// length, bits, compression, photometric, strip offsets, rows per strip,
// strip byte counts), sorted by tag as readers expect.
std::string tiff(const std::vector<Entry>& entries, bool bigendian = false, bool image = false);

} // namespace tiffwriter
