// Tests of tools/jpeg: the stream decodes to the rows given, and a layout libjpeg refuses comes
// back as its message instead of ending the process.
#include "tools/jpeg/jpeg_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>  // after <cstdio>: it uses size_t and FILE

namespace {

// The samples of a grey stream, decoded by libjpeg.
std::vector<uint8_t> decode_grey(const std::vector<uint8_t>& stream, int* width, int* height) {
    jpeg_decompress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    *width = static_cast<int>(info.output_width);
    *height = static_cast<int>(info.output_height);
    std::vector<uint8_t> samples(static_cast<size_t>(*width) * *height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = samples.data() + static_cast<size_t>(info.output_scanline) * *width;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return samples;
}

TEST(JpegWriter, FlatRowsDecodeExactly) {
    // Flat 8 x 8 blocks are DC only: at quality 100 each decodes to its exact value.
    kestil_jpeg::JpegLayout layout{24, 16, 1, JCS_GRAYSCALE, JCS_UNKNOWN, 100};
    std::vector<uint8_t> stream;
    ASSERT_TRUE(kestil_jpeg::encode_jpeg(
        layout, [](int y, uint8_t* row) { std::fill(row, row + 24, uint8_t(y < 8 ? 40 : 200)); },
        &stream));
    int width = 0, height = 0;
    std::vector<uint8_t> samples = decode_grey(stream, &width, &height);
    ASSERT_EQ(24, width);
    ASSERT_EQ(16, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(y < 8 ? 40 : 200, samples[static_cast<size_t>(y) * width + x]) << x << " " << y;
}

TEST(JpegWriter, RefusedLayoutsReturnTheReason) {
    const struct {
        kestil_jpeg::JpegLayout layout;
        const char* what;
    } cases[] = {
        {{16, 16, 1, JCS_RGB, JCS_UNKNOWN, 90}, "one component given as RGB"},
        {{16, 16, 3, JCS_RGB, JCS_GRAYSCALE + 100, 90}, "unknown stored colour space"},
        {{70000, 4, 1, JCS_GRAYSCALE, JCS_UNKNOWN, 90}, "wider than JPEG allows"},
        {{0, 4, 1, JCS_GRAYSCALE, JCS_UNKNOWN, 90}, "no pixels"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> stream{1, 2, 3};
        std::string message;
        EXPECT_FALSE(kestil_jpeg::encode_jpeg(
            c.layout, [](int, uint8_t* row) { row[0] = 0; }, &stream, &message))
            << c.what;
        EXPECT_TRUE(stream.empty()) << c.what;
        EXPECT_FALSE(message.empty()) << c.what;
    }
}

}  // namespace
