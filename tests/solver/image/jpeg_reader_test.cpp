// Tests of the JPEG reader over streams made by libjpeg's compressor.
#include "solver/image/jpeg_reader.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "image_test_support.hpp"
#include "tools/jpeg/jpeg_writer.hpp"

namespace {

using namespace image_test;

// Compresses width x height pixels of in_space (components interleaved) at quality 100,
// stored in the colour space jpeg_space.
Bytes compress(int width, int height, J_COLOR_SPACE in_space, int components,
               J_COLOR_SPACE jpeg_space, const std::vector<uint8_t>& pixels) {
    kestil_jpeg::JpegLayout layout{width, height, components, in_space, jpeg_space, 100};
    const size_t row_size = size_t(width) * components;
    Bytes bytes;
    EXPECT_TRUE(kestil_jpeg::encode_jpeg(
        layout,
        [&](int y, uint8_t* row) {
            std::copy_n(pixels.begin() + std::ptrdiff_t(size_t(y) * row_size), row_size, row);
        },
        &bytes));
    return bytes;
}

// A flat image of one colour: DC-only blocks at quality 100 decode exactly.
Bytes flat(J_COLOR_SPACE in_space, J_COLOR_SPACE jpeg_space, std::vector<uint8_t> colour) {
    const int side = 16;
    std::vector<uint8_t> pixels;
    for (int i = 0; i < side * side; ++i) pixels.insert(pixels.end(), colour.begin(), colour.end());
    return compress(side, side, in_space, int(colour.size()), jpeg_space, pixels);
}

TEST(JpegReader, ColourReduction) {
    struct Case { J_COLOR_SPACE in, stored; std::vector<uint8_t> colour; uint16_t expected;
                  const char* what; };
    const Case cases[] = {
        {JCS_GRAYSCALE, JCS_GRAYSCALE, {255}, 65535, "grey white"},
        {JCS_GRAYSCALE, JCS_GRAYSCALE, {0}, 0, "grey black"},
        {JCS_GRAYSCALE, JCS_GRAYSCALE, {100}, 25700, "grey 100 x 257"},
        {JCS_RGB, JCS_RGB, {255, 0, 0}, 19595, "red"},
        {JCS_RGB, JCS_RGB, {0, 255, 0}, 38469, "green"},
        {JCS_RGB, JCS_RGB, {0, 0, 255}, 7471, "blue"},
        {JCS_RGB, JCS_RGB, {255, 255, 255}, 65535, "white"},
        {JCS_RGB, JCS_YCbCr, {128, 128, 128}, 32896, "YCbCr grey decodes to RGB"},
        // (100 + 200 + 50 + 255) / 4 = 151.25; x 257 = 38871.25
        {JCS_CMYK, JCS_CMYK, {100, 200, 50, 255}, 38871, "CMYK: plain mean of four"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(flat(c.in, c.stored, c.colour), 1);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(16, r.width);
        EXPECT_EQ(16, r.height);
        EXPECT_EQ(std::vector<uint16_t>(256, c.expected), r.pixels());
        EXPECT_FALSE(r.bayer);
    }
}

TEST(JpegReader, NeverABayerMosaic) {
    const Bytes grey = flat(JCS_GRAYSCALE, JCS_GRAYSCALE, {77});
    for (int32_t downsample : {1, 3, 5}) {
        const Loaded r = load(grey, downsample);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_FALSE(r.bayer);
        EXPECT_EQ(downsample, r.factor);
        EXPECT_EQ(16u / uint32_t(downsample), r.image->width);
        EXPECT_EQ(uint16_t(77 * 257), r.image->pixels[0]);
    }
    EXPECT_EQ("Image is too small for downsampling", load(grey, 17).text());
}

std::vector<uint8_t> texture(int width, int height) {
    std::vector<uint8_t> pixels(size_t(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t((i * 2654435761u) >> 24);
    return pixels;
}

TEST(JpegReader, StreamCutInTheScanStillDecodes) {
    const Bytes whole = compress(64, 64, JCS_GRAYSCALE, 1, JCS_GRAYSCALE, texture(64, 64));
    const Bytes cut(whole.begin(), whole.begin() + long(whole.size() / 2));
    testing::internal::CaptureStderr();
    const Loaded r = load(cut, 1);
    const std::string warnings = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(r.image) << r.text();
    EXPECT_EQ(64, r.width);
    EXPECT_EQ(64, r.height);
    // The library's first warning, written by its standard handler with a line end.
    EXPECT_NE(std::string::npos, warnings.find("Premature end of JPEG file\n")) << warnings;
}

TEST(JpegReader, EveryTruncationEndsCleanly) {
    const Bytes whole = compress(24, 16, JCS_RGB, 3, JCS_YCbCr, texture(72, 16));
    size_t decoded = 0;
    for (size_t length = 3; length <= whole.size(); ++length) {
        SCOPED_TRACE(length);
        testing::internal::CaptureStderr();
        const Loaded r = load(whole, 1, length);
        testing::internal::GetCapturedStderr();
        if (r.image) {
            ++decoded;
            EXPECT_EQ(24u, r.image->width);
        } else {
            ASSERT_EQ("Broken JPEG image", r.text());
        }
    }
    EXPECT_GT(decoded, 0u);
}

TEST(JpegReader, CorruptedBytesEndCleanly) {
    const Bytes whole = compress(24, 16, JCS_RGB, 3, JCS_YCbCr, texture(72, 16));
    for (size_t position = 3; position < whole.size(); ++position)
        for (uint8_t replacement : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x7F)}) {
            Bytes corrupt = whole;
            corrupt[position] = replacement;
            testing::internal::CaptureStderr();
            const Loaded r = load(corrupt, 2);
            testing::internal::GetCapturedStderr();
            if (!r.image) {
                ASSERT_TRUE(r.text() == "Broken JPEG image" || r.text() == "Unsupported JPEG image" ||
                            r.text() == "Image is too small for downsampling") << r.text();
            }
        }
}

// Offset of the two-byte width in the first SOF0 segment.
size_t sof_width_offset(const Bytes& jpeg) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) return i + 7;
    return 0;
}

TEST(JpegReader, WidestImages) {
    // libjpeg decodes up to 65500 pixels a side; a header claiming more is a library error.
    const int wide = 65500;
    const Bytes widest = compress(wide, 1, JCS_GRAYSCALE, 1, JCS_GRAYSCALE, std::vector<uint8_t>(wide, 255));
    const Loaded r = load(widest, 1);
    ASSERT_TRUE(r.image) << r.text();
    EXPECT_EQ(wide, r.width);
    EXPECT_EQ(65535, r.image->pixels[wide - 1]);
    Bytes wider = widest;
    const size_t at = sof_width_offset(wider);
    ASSERT_NE(0u, at);
    wider[at] = 0xFF;
    wider[at + 1] = 0xFF;  // 65535
    EXPECT_EQ("Broken JPEG image", load(wider, 1).text());
    const Bytes signature_only = {0xFF, 0xD8, 0xFF};
    EXPECT_EQ("Broken JPEG image", load(signature_only, 1).text());
    // Tables but no frame: the header read requires an image.
    const Bytes tables_only = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ("Broken JPEG image", load(tables_only, 1).text());
}

}  // namespace
