// Tests of the raw image validation: every header field and the size limits.
#include "framework/raw_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> raw_header(const char* signature, uint32_t width, uint32_t height,
                                size_t pixel_bytes) {
    std::vector<uint8_t> bytes(12 + pixel_bytes, 0);
    std::memcpy(bytes.data(), signature, 4);
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = uint8_t(width >> (8 * i));
        bytes[8 + i] = uint8_t(height >> (8 * i));
    }
    return bytes;
}

TEST(RawImage, ValidatesHeaderAndSize) {
    struct Case { const char* signature; uint32_t width, height; size_t pixel_bytes; bool ok;
                  const char* what; };
    const Case cases[] = {
        {"RAW1", 3, 2, 6, true, "8-bit mono, exact size"},
        {"RAW2", 3, 2, 12, true, "16-bit mono, exact size"},
        {"RAW3", 3, 2, 18, true, "8-bit colour"},
        {"RAW6", 3, 2, 36, true, "16-bit colour"},
        {"RAW2", 3, 2, 40, true, "trailer after the pixels"},
        {"RAW2", 3, 2, 11, false, "one byte short"},
        {"RAW6", 3, 2, 35, false, "colour one byte short"},
        {"RAW4", 3, 2, 100, false, "unknown layout"},
        {"raw2", 3, 2, 100, false, "lower case signature"},
        {"RAW2", 0, 2, 100, false, "width 0"},
        {"RAW2", 3, 0, 100, false, "height 0"},
        // 2147483647 / 2 = 1073741823 is the widest row; the next one overflows the count.
        {"RAW2", 1073741824, 1, 100, false, "row bytes beyond 2^31"},
        {"RAW2", 65536, 16384, 100, false, "pixel bytes exactly 2^31"},
        {"RAW6", 357913942, 1, 100, false, "colour row beyond 2^31"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> bytes = raw_header(c.signature, c.width, c.height,
                                                      c.pixel_bytes);
        EXPECT_EQ(c.ok, kestil_validate_raw_image(bytes.data(), int32_t(bytes.size())));
    }
}

TEST(RawImage, RefusesMissingOrShortBuffers) {
    const std::vector<uint8_t> bytes = raw_header("RAW1", 1, 1, 1);
    EXPECT_FALSE(kestil_validate_raw_image(nullptr, 13));
    EXPECT_FALSE(kestil_validate_raw_image(bytes.data(), -1));
    for (int32_t size = 0; size < 13; ++size) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + size);
        EXPECT_FALSE(kestil_validate_raw_image(prefix.data(), size)) << size;
    }
    EXPECT_TRUE(kestil_validate_raw_image(bytes.data(), 13));
}

}  // namespace
