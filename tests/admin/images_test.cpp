// The built-in pictures as compiled: what a browser reads first of each
// (GIF screen descriptor and trailer, JPEG markers up to the scan), and,
// where ImageMagick is installed, what a real decoder makes of them.
#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "admin/images.h"
#include "tests/harness.h"

namespace {

std::string bytes_of(const unsigned char* data, std::size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

unsigned be16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

struct JpegFrames {
    int baseline = 0;         // SOF0 segments seen
    bool progressive = false; // an SOF2 segment seen
    bool reached_scan = false;
    unsigned height = 0, width = 0, components = 0;
};

// Walks the marker segments from after SOI up to the first SOS; every
// segment there carries a length, so the walk never reads scan data.
JpegFrames jpeg_frames(const unsigned char* p, std::size_t size)
{
    JpegFrames frames;
    std::size_t at = 2;
    while (at + 4 <= size && p[at] == 0xFF) {
        const unsigned char marker = p[at + 1];
        if (marker == 0xDA) {
            frames.reached_scan = true;
            break;
        }
        const std::size_t length = be16(p + at + 2);
        if (marker == 0xC0 && at + 10 <= size) {
            ++frames.baseline;
            frames.height = be16(p + at + 5);
            frames.width = be16(p + at + 7);
            frames.components = p[at + 9];
        }
        if (marker == 0xC2)
            frames.progressive = true;
        at += 2 + length;
    }
    return frames;
}

TEST(ImagesTest, LogoIsGif87aOfItsSize)
{
    EXPECT_EQ(bytes_of(logo_gif, 6), "GIF87a");
    EXPECT_EQ(logo_gif[6] | (logo_gif[7] << 8), 432);
    EXPECT_EQ(logo_gif[8] | (logo_gif[9] << 8), 78);
    EXPECT_EQ(logo_gif[LOGO_GIF_SIZE - 1], 0x3B);
}

TEST(ImagesTest, HomeButtonIsBaselineColourJfif)
{
    EXPECT_EQ(bytes_of(home_jpeg, 4), "\xFF\xD8\xFF\xE0");
    EXPECT_EQ(bytes_of(home_jpeg + 6, 5), std::string("JFIF\0", 5));
    EXPECT_EQ(bytes_of(home_jpeg + HOME_JPEG_SIZE - 2, 2), "\xFF\xD9");

    const JpegFrames frames = jpeg_frames(home_jpeg, HOME_JPEG_SIZE);
    EXPECT_TRUE(frames.reached_scan);
    EXPECT_EQ(frames.baseline, 1);
    EXPECT_FALSE(frames.progressive);
    EXPECT_EQ(frames.height, 36u);
    EXPECT_EQ(frames.width, 118u);
    EXPECT_EQ(frames.components, 3u);
}

TEST(ImagesTest, IdentifyDecodesBoth)
{
    if (!have_program("identify"))
        GTEST_SKIP() << "ImageMagick's identify is not installed";
    Sandbox box;
    box.write("logo.gif", bytes_of(logo_gif, LOGO_GIF_SIZE));
    box.write("home.jpg", bytes_of(home_jpeg, HOME_JPEG_SIZE));
    EXPECT_EQ(shell_output("identify -format '%m %w %h' '" + box.path("logo.gif") + "'"),
              "GIF 432 78");
    EXPECT_EQ(shell_output("identify -format '%m %w %h' '" + box.path("home.jpg") + "'"),
              "JPEG 118 36");
}

} // namespace
