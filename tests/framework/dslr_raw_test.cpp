// Tests of the camera raw mosaic: DNG files from the test writer decoded by LibRaw, and data
// LibRaw refuses.
#include "framework/dslr_raw.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/dng/dng_writer.h"

namespace {

class DslrRaw : public ::testing::Test {
protected:
    std::vector<uint8_t> write_dng(const std::vector<uint16_t>& mosaic, int width, int height,
                                   const char* pattern, int bits) {
        const std::string path = root + "/test.dng";
        const char* message = nullptr;
        EXPECT_TRUE(write_cfa_dng(path.c_str(), mosaic.data(), width, height, pattern, bits,
                                  &message)) << (message ? message : "");
        return test_support::read_bytes(path);
    }
    test_support::TempDir dir{"dslr_raw_test"};
    const std::string root = dir.path();
    test_support::LogCapture log_lines;
};

// A mosaic whose every sample tells its position, within 14 bits.
std::vector<uint16_t> position_mosaic(int width, int height) {
    std::vector<uint16_t> mosaic(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) mosaic[size_t(y) * width + x] = uint16_t((y * 131 + x * 7) % 16384);
    return mosaic;
}

TEST_F(DslrRaw, DecodesTheWrittenMosaicAtNativeValues) {
    struct Case { int width, height; const char* pattern; int bits; };
    const Case cases[] = {{64, 48, "RGGB", 14}, {50, 30, "BGGR", 12}, {40, 40, "GRBG", 16},
                          {33, 27, "GBRG", 14}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        std::vector<uint16_t> mosaic = position_mosaic(c.width, c.height);
        for (uint16_t& v : mosaic) v = uint16_t(v & ((1u << c.bits) - 1));
        mosaic[0] = uint16_t((1u << c.bits) - 1);  // the white level itself
        const std::vector<uint8_t> file = write_dng(mosaic, c.width, c.height, c.pattern, c.bits);
        DslrRawImage image;
        ASSERT_EQ(0, kestil_dslr_raw_process_image(file.data(), file.size(), &image));
        EXPECT_EQ(c.width, image.width);
        EXPECT_EQ(c.height, image.height);
        EXPECT_EQ(16, image.bits);
        EXPECT_EQ(1, image.colors);
        EXPECT_FALSE(image.debayered);
        EXPECT_STREQ(c.pattern, image.bayer_pattern);
        ASSERT_EQ(uint64_t(c.width) * c.height * 2, image.size);
        ASSERT_NE(nullptr, image.data);
        EXPECT_EQ(0, std::memcmp(mosaic.data(), image.data, image.size));
        free(image.data);
    }
}

TEST_F(DslrRaw, RefusesDataThatIsNoCameraRawFile) {
    const std::string text = "This is a plain text file, not a camera raw file.\n";
    const uint8_t two[2] = {0x12, 0x34};
    struct Case { const void* data; uint64_t size; const char* what; };
    const Case cases[] = {{text.data(), text.size(), "text"}, {two, 2, "two bytes"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_lines.clear();
        DslrRawImage image;
        std::memset(&image, 0x5A, sizeof(image));  // reset on entry
        EXPECT_NE(0, kestil_dslr_raw_process_image(c.data, c.size, &image));
        EXPECT_EQ(nullptr, image.data);
        EXPECT_EQ(0, image.width);
        EXPECT_EQ(16, image.bits);
        EXPECT_EQ(0, image.colors);
        EXPECT_EQ('\0', image.bayer_pattern[0]);
        ASSERT_EQ(1u, log_lines.lines().size());
        EXPECT_NE(std::string::npos, log_lines.lines()[0].find("libraw_open_buffer failed"));
    }
}

TEST_F(DslrRaw, EveryTruncationEndsCleanly) {
    const int width = 32, height = 24;
    const std::vector<uint8_t> file = write_dng(position_mosaic(width, height), width, height,
                                                "RGGB", 14);
    ASSERT_GT(file.size(), size_t(width * height * 2));
    // Every length through the header, then every 61st byte through the samples.
    const size_t header = file.size() - width * height * 2;
    for (size_t length = 0; length < file.size(); length += length < header + 8 ? 1 : 61) {
        std::vector<uint8_t> prefix(file.begin(), file.begin() + length);
        DslrRawImage image;
        const int status = kestil_dslr_raw_process_image(prefix.data(), length, &image);
        if (status == 0) {
            // LibRaw may decode a file with missing samples; the size still holds.
            EXPECT_EQ(width, image.width) << length;
            EXPECT_EQ(height, image.height) << length;
        } else {
            EXPECT_EQ(nullptr, image.data) << length;
        }
        free(image.data);
    }
}

}  // namespace
