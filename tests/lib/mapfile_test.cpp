#include "lib/mapfile.h"

#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/fd.h"
#include "tests/harness.h"

// A file cut short while it is scanned ends the scan at the first read past
// its new end, and a later SIGBUS outside a scan is not caught.
TEST(MapFile, ScanOfAFileCutShortEndsThere)
{
    Sandbox box;
    box.write("status.db", std::string(3 * 4096, 'r'));
    Fd fd(::open(box.path("status.db").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0);

    std::size_t seen = 0;
    EXPECT_EQ(map_scan(fd.get(), 0, 1 << 20,
                       [&](const char* bytes, std::size_t size) {
                           seen = size;
                           return bytes[size - 1] == 'r';
                       }),
              MapScan::done);
    EXPECT_EQ(seen, 3u * 4096);
    EXPECT_EQ(
        map_scan(fd.get(), 4096, 4096, [](const char*, std::size_t size) { return size == 4096; }),
        MapScan::done);

    volatile char last = 0;
    EXPECT_EQ(map_scan(fd.get(), 0, 1 << 20,
                       [&](const char* bytes, std::size_t size) {
                           EXPECT_EQ(::ftruncate(fd.get(), 100), 0);
                           last = bytes[size - 1]; // past the new end
                           return true;
                       }),
              MapScan::cut);
    EXPECT_EQ(last, 0);

    EXPECT_EQ(map_scan(fd.get(), 4096, 1, [](const char*, std::size_t) { return true; }),
              MapScan::unmapped);
    EXPECT_EQ(map_scan(-1, 0, 1, [](const char*, std::size_t) { return true; }), MapScan::unmapped);
}
