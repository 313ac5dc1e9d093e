// Writes a received-fax TIFF file with the receive side's tags, for the
// dispatcher benchmark: make_fax PATH DID [TSI].
#include <cstdio>
#include <ctime>
#include <string>

#include "tests/tiffwriter.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: make_fax PATH DID [TSI]\n", stderr);
        return 2;
    }
    std::string bytes = tiffwriter::tiff(
        tiffwriter::faxtags(3, 0, static_cast<long>(std::time(nullptr)), 41,
                            argc > 3 ? argv[3] : "+1 555 0100", argv[2], "", "ttyS0"),
        false, true);
    FILE* file = std::fopen(argv[1], "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0)
        return 1;
    return 0;
}
