// Tests of format detection and the raw image path of kestil_solver_load_image.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "image_test_support.hpp"
#include "solver/image/binning.h"
#include "solver/image/solver_image.h"

namespace {

using namespace image_test;

Bytes raw_file(const char* signature, uint32_t width, uint32_t height, const Bytes& pixels,
               const std::string& trailer = "") {
    Bytes bytes(signature, signature + 4);
    for (uint32_t v : {width, height})
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return bytes;
}

// Little-endian 16-bit samples as bytes.
Bytes le16(const std::vector<uint16_t>& samples) {
    Bytes bytes;
    for (uint16_t s : samples) {
        bytes.push_back(uint8_t(s));
        bytes.push_back(uint8_t(s >> 8));
    }
    return bytes;
}

std::vector<uint16_t> ramp(size_t count) {
    std::vector<uint16_t> samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = uint16_t(i * 2654435761u >> 16);
    return samples;
}

TEST(LoadImage, ConvertsEveryRawLayout) {
    struct Case { const char* signature; Bytes pixel; uint16_t expected; const char* what; };
    const Case cases[] = {
        {"RAW1", {255}, 65535, "8-bit white expands by 257"},
        {"RAW1", {1}, 257, "8-bit one"},
        {"RAW2", {0x34, 0x12}, 0x1234, "16-bit little-endian"},
        {"RAW2", {0xFF, 0xFF}, 65535, "16-bit white"},
        {"RAW3", {255, 255, 255}, 65535, "8-bit colour white"},
        {"RAW3", {255, 0, 0}, 19595, "red weight"},
        {"RAW3", {0, 255, 0}, 38469, "green weight"},
        {"RAW3", {0, 0, 255}, 7471, "blue weight"},
        {"RAW6", {0xE8, 0x03, 0xD0, 0x07, 0xB8, 0x0B}, 1815, "16-bit colour 1000, 2000, 3000"},
        {"RAW6", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 65535, "16-bit colour white"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(raw_file(c.signature, 1, 1, c.pixel), 1);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(uint32_t(PIXEL_FORMAT_RAW2), r.image->signature);
        EXPECT_EQ(1u, r.image->width);
        EXPECT_EQ(1u, r.image->height);
        EXPECT_EQ(c.expected, r.image->pixels[0]);
        EXPECT_EQ(1, r.factor);
        EXPECT_EQ(1, r.width);
        EXPECT_EQ(1, r.height);
        EXPECT_FALSE(r.bayer);
    }
}

TEST(LoadImage, BayerTrailerMakesTheFactorEven) {
    const std::vector<uint16_t> samples = ramp(8 * 8);
    const Bytes mono16 = le16(samples);
    const Bytes mono8(64, 7), colour8(3 * 64, 7);
    struct Case { const char* signature; const Bytes* pixels; std::string trailer;
                  int32_t downsample; bool bayer; int32_t factor; const char* what; };
    const Case cases[] = {
        {"RAW2", &mono16, "", 1, false, 1, "no trailer"},
        {"RAW2", &mono16, "BAYERPAT", 1, true, 2, "factor 1 raised to 2"},
        {"RAW2", &mono16, "BAYERPAT", 0, true, 2, "factor 0 raised to 2"},
        {"RAW2", &mono16, "BAYERPAT", 2, true, 2, "even factor kept"},
        {"RAW2", &mono16, "BAYERPAT", 3, true, 4, "odd factor 3 raised to 4"},
        {"RAW2", &mono16, "xyzBAYERPAT", 1, true, 2, "pattern ends with the file"},
        {"RAW2", &mono16, "BAYERPATxyz", 1, true, 2, "pattern opens the trailer"},
        {"RAW2", &mono16, "BAYERPA", 1, false, 1, "7-byte trailer never searched"},
        {"RAW2", &mono16, "BAYERPA T", 1, false, 1, "broken pattern"},
        {"RAW2", &mono16, "", 3, false, 3, "odd factor without Bayer"},
        {"RAW1", &mono8, "FITS BAYERPAT = 'RGGB'", 1, true, 2, "8-bit mono trailer"},
        {"RAW3", &colour8, "BAYERPAT", 1, false, 1, "colour trailer ignored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(raw_file(c.signature, 8, 8, *c.pixels, c.trailer), c.downsample);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(c.bayer, r.bayer);
        EXPECT_EQ(c.factor, r.factor);
        EXPECT_EQ(8u / c.factor, r.image->width);
        EXPECT_EQ(8, r.width);
        if (c.pixels == &mono16) {
            EXPECT_EQ(box_average(samples, 8, 8, size_t(c.factor)), r.pixels());
        }
    }
}

TEST(LoadImage, PatternHalfInThePixelsIsNoTrailerMatch) {
    // The pixels end with "BAYE" and the trailer holds "RPAT" and more: only the trailer counts.
    Bytes pixels(16, 0);
    std::memcpy(pixels.data() + 12, "BAYE", 4);
    const Loaded r = load(raw_file("RAW2", 4, 2, pixels, "RPATRPAT"), 1);
    ASSERT_TRUE(r.image) << r.text();
    EXPECT_FALSE(r.bayer);
    EXPECT_EQ(1, r.factor);
}

TEST(LoadImage, LargestFactorWithBayerIsLoweredToEven) {
    const Loaded r = load(raw_file("RAW2", 2, 2, Bytes(8, 0), "BAYERPAT"), INT_MAX);
    EXPECT_FALSE(r.image);
    EXPECT_EQ(INT_MAX - 1, r.factor);
    EXPECT_EQ("Image is too small for downsampling", r.text());
}

TEST(LoadImage, RawFailuresAndSizes) {
    struct Case { Bytes bytes; int32_t downsample; const char* message; uint32_t width, height;
                  const char* what; };
    const Case cases[] = {
        {raw_file("RAW2", 0, 5, {}), 1, "Invalid or truncated RAW image", 0, 0, "width 0"},
        {raw_file("RAW2", 4, 4, Bytes(31, 0)), 1, "Invalid or truncated RAW image", 0, 0,
         "one byte short"},
        {raw_file("RAW2", 65536, 1, Bytes(131072, 0)), 1, "Unsupported RAW image geometry", 0, 0,
         "width 65536"},
        {raw_file("RAW1", 1, 65536, Bytes(65536, 0)), 1, "Unsupported RAW image geometry", 0, 0,
         "height 65536"},
        {raw_file("RAW2", 1, 1, Bytes(2, 0)), 2, "Image is too small for downsampling", 0, 0,
         "1 x 1 by 2"},
        {raw_file("RAW3", 1, 1, Bytes(3, 0)), 2, "Image is too small for downsampling", 0, 0,
         "1 x 1 colour by 2"},
        {raw_file("RAW2", 3, 5, Bytes(30, 0)), 2, nullptr, 1, 2, "3 x 5 by 2"},
        {raw_file("RAW6", 3, 5, Bytes(90, 0)), 2, nullptr, 1, 2, "3 x 5 colour by 2"},
        {raw_file("RAW2", 16, 1, Bytes(32, 0)), 16, "Image is too small for downsampling", 0, 0,
         "16 x 1 by 16"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(c.bytes, c.downsample);
        if (c.message) {
            EXPECT_FALSE(r.image);
            EXPECT_EQ(c.message, r.text());
            EXPECT_EQ(-7, r.width);  // written only on success
            EXPECT_EQ(-7, r.height);
            continue;
        }
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(c.width, r.image->width);
        EXPECT_EQ(c.height, r.image->height);
    }
}

TEST(LoadImage, HugeClaimsAreRefusedWithoutAllocatingThem) {
    struct Case { Bytes bytes; const char* message; const char* what; };
    const Case cases[] = {
        {raw_file("RAW2", 65535, 65535, Bytes(4096, 0)), "Invalid or truncated RAW image",
         "RAW2 65535 x 65535 with 4 KB"},
        {raw_file("RAW6", 65535, 65535, Bytes(4096, 0)), "Invalid or truncated RAW image",
         "RAW6 65535 x 65535 with 4 KB"},
        {raw_file("RAW1", 32768, 65535, Bytes(4096, 0)), "Invalid or truncated RAW image",
         "RAW1 2 GB claim"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AllocationWatch watch;
        const Loaded r = load(c.bytes, 2);
        EXPECT_EQ(c.message, r.text());
        if (AllocationWatch::available()) {
            EXPECT_LT(watch.largest(), size_t(1) << 20);
        }
    }
}

TEST(LoadImage, Raw2AtAnOddAddressBinsLikeAnAlignedCopy) {
    const std::vector<uint16_t> samples = ramp(9 * 7);
    const Bytes file = raw_file("RAW2", 9, 7, le16(samples));
    Bytes shifted(file.size() + 1);
    std::memcpy(shifted.data() + 1, file.data(), file.size());
    for (int32_t factor : {1, 2, 3}) {
        SCOPED_TRACE(factor);
        const Loaded r = load(shifted.data() + 1, int32_t(file.size()), factor);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(box_average(samples, 9, 7, size_t(factor)), r.pixels());
    }
}

TEST(LoadImage, ColourLayoutsAreConvertedThenBinned) {
    // 4 x 2 RAW1 pixels: binned by 2 after the x 257 expansion.
    const Bytes pixels = {0, 255, 10, 11, 255, 255, 12, 13};
    const Loaded r = load(raw_file("RAW1", 4, 2, pixels), 2);
    ASSERT_TRUE(r.image) << r.text();
    const std::vector<uint16_t> expected = {uint16_t(3 * 65535 / 4), uint16_t(46 * 257 / 4)};
    EXPECT_EQ(expected, r.pixels());
}

TEST(LoadImage, EveryTruncationOfARawFileIsRefused) {
    const Bytes file = raw_file("RAW2", 5, 4, le16(ramp(20)), "BAYERPAT");
    for (size_t length = 0; length <= file.size(); ++length) {
        SCOPED_TRACE(length);
        const Loaded r = load(file, 2, length);
        if (length < 4) {
            EXPECT_EQ("Unsupported image format", r.text());  // too short to be recognised
        } else if (length < 12 + 40) {
            EXPECT_EQ("Invalid or truncated RAW image", r.text());
        } else {
            ASSERT_TRUE(r.image) << r.text();
            EXPECT_EQ(length == file.size(), r.bayer);
        }
    }
}

TEST(LoadImage, DetectionOrder) {
    const std::string text = "Plain text, no image in here.\n";
    const Bytes fits_one_space = [] {
        Bytes b(2880, ' ');
        std::memcpy(b.data(), "SIMPLE =", 8);
        return b;
    }();
    struct Case { Bytes bytes; const char* message; const char* what; };
    const Case cases[] = {
        {Bytes(text.begin(), text.end()), "Unsupported image format", "plain text"},
        {Bytes{0x52, 0x41}, "Unsupported image format", "two bytes"},
        {Bytes{}, "Unsupported image format", "empty"},
        {Bytes{'R', 'A', 'W', '2'}, "Invalid or truncated RAW image", "raw signature alone"},
        {Bytes{'R', 'A', 'W', '4', 0, 0, 0, 0, 0, 0, 0, 0}, "Unsupported image format",
         "unknown raw layout"},
        {fits_one_space, "Unsupported image format", "SIMPLE with one space is no FITS"},
        {Bytes{'S', 'I', 'M', 'P', 'L', 'E', ' ', ' ', '='}, "Truncated FITS header",
         "FITS signature alone"},
        {Bytes{0xFF, 0xD8, 0xFF}, "Broken JPEG image", "JPEG signature alone"},
        {Bytes{0xFF, 0xD8}, "Unsupported image format", "two JPEG bytes go to camera raw"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        const Loaded r = load(c.bytes, 2);
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(r.image);
        EXPECT_EQ(c.message, r.text());
        EXPECT_FALSE(r.bayer);
    }
    bool bayer = true;
    int32_t factor = 0, width = 0, height = 0;
    const char* message = nullptr;
    EXPECT_EQ(nullptr, kestil_solver_load_image(nullptr, 10, 1, &factor, &width, &height, &bayer,
                                                &message));
    EXPECT_STREQ("Invalid image data", message);
    EXPECT_FALSE(bayer);
    const Bytes raw = raw_file("RAW1", 1, 1, {1});
    EXPECT_EQ(nullptr, kestil_solver_load_image(raw.data(), -1, 1, &factor, &width, &height,
                                                &bayer, &message));
    EXPECT_STREQ("Invalid image data", message);
}

}  // namespace
