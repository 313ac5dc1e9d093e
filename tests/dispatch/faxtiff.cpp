// faxtiff: writes a received fax as the receive side stores it, through
// libtiff: one CCITT Group 3 bilevel page of 1728 x 20 pixels, page 0 of 1,
// with the private fax tags.  Exits 0 when the file was written, 1 (with a
// message) when not, 2 on a wrong command line.
//
//   faxtiff [-b] FILE FLAGS TIME DURATION TSI BARCODE DID FAXLINE
//
// -b writes a big-endian file.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <tiffio.h>

namespace {

constexpr uint32_t kWidth = 1728;
constexpr uint32_t kRows = 20;

// libtiff must know the private tags' types to write them.
const TIFFFieldInfo kFaxFields[] = {
    {34200, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxFlags")},
    {34201, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxTsi")},
    {34203, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxBarcode")},
    {34204, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxDid")},
    {34205, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxLine")},
    {34206, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxTime")},
    {34207, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("FaxDuration")},
};

bool set_image_tags(TIFF* tif)
{
    return TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth) &&
           TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kRows) &&
           TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1) &&
           TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3) &&
           TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, 0) &&
           TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
           TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB) &&
           TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kRows) &&
           TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0) &&
           TIFFSetField(tif, TIFFTAG_YRESOLUTION, 196.0) &&
           TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
           TIFFSetField(tif, TIFFTAG_PAGENUMBER, 0, 1);
}

bool set_fax_tags(TIFF* tif, char** values)
{
    return TIFFSetField(tif, 34200, static_cast<uint32_t>(std::strtoul(values[0], nullptr, 10))) &&
           TIFFSetField(tif, 34206, static_cast<uint32_t>(std::strtoul(values[1], nullptr, 10))) &&
           TIFFSetField(tif, 34207, static_cast<uint16_t>(std::strtoul(values[2], nullptr, 10))) &&
           TIFFSetField(tif, 34201, values[3]) && TIFFSetField(tif, 34203, values[4]) &&
           TIFFSetField(tif, 34204, values[5]) && TIFFSetField(tif, 34205, values[6]);
}

// A few black bars, so that the coder has runs of both colours.
bool write_page(TIFF* tif)
{
    std::vector<unsigned char> row(kWidth / 8);
    for (uint32_t y = 0; y < kRows; ++y) {
        for (std::size_t x = 0; x < row.size(); ++x)
            row[x] = (x / 8 + y / 4) % 3 == 0 ? 0xff : 0x00;
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bool big = argc > 1 && std::strcmp(argv[1], "-b") == 0;
    char** args = argv + 1 + (big ? 1 : 0);
    if (argc - 1 - (big ? 1 : 0) != 8) {
        std::fprintf(stderr,
                     "usage: faxtiff [-b] FILE FLAGS TIME DURATION TSI BARCODE DID FAXLINE\n");
        return 2;
    }
    TIFF* tif = TIFFOpen(args[0], big ? "wb" : "wl");
    if (tif == nullptr)
        return 1;
    bool ok = TIFFMergeFieldInfo(tif, kFaxFields, sizeof kFaxFields / sizeof kFaxFields[0]) == 0 &&
              set_image_tags(tif) && set_fax_tags(tif, args + 1) && write_page(tif) &&
              TIFFWriteDirectory(tif);
    TIFFClose(tif);
    if (!ok) {
        std::fprintf(stderr, "faxtiff: cannot write %s\n", args[0]);
        return 1;
    }
    return 0;
}
