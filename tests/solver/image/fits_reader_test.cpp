// Tests of the FITS reader over files written by cfitsio and hand-made headers.
#include "solver/image/fits_reader.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fits_test_writer.hpp"
#include "image_test_support.hpp"
#include "solver/image/binning.h"

namespace {

using namespace image_test;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(FitsReader, SinglePlaneEncodingsAndRanges) {
    FitsLayout unsigned_writer = row(USHORT_IMG, {0, 1, 32768, 65535});
    unsigned_writer.physical = true;
    struct Case { FitsLayout layout; std::vector<uint16_t> expected; const char* what; };
    const Case cases[] = {
        {row(SHORT_IMG, {-1, 0, 1000, 32767, -32768}), {65535, 0, 1000, 32767, 32768},
         "16-bit without scaling is unsigned"},
        {unsigned_writer, {0, 1, 32768, 65535}, "BZERO 32768 from the unsigned writer"},
        {scaled(row(SHORT_IMG, {0, 1000, 32767}), 0, 2), {0, 2000, 65534},
         "BSCALE 2 inside 0..65535: scanned, not stretched"},
        {scaled(row(SHORT_IMG, {-10, 0, 1000}), 0, 2), {0, 649, 65535},
         "BSCALE 2 leaving the range: stretched from -20"},
        {row(BYTE_IMG, {0, 128, 255}), {0, 128, 255}, "8-bit is not expanded"},
        {scaled(row(BYTE_IMG, {10, 100, 255}), -10, 1), {0, 90, 245},
         "BZERO -10, darkest 10: shifted only"},
        {scaled(row(BYTE_IMG, {5, 105, 255}), -10, 1), {0, 26214, 65535},
         "BZERO -10, darkest 5: -5..245 stretched by 65535 / 250"},
        {row(FLOAT_IMG, {-1.0, 0.0, 1.0}), {0, 32768, 65535}, "floats -1..1 stretched"},
        {row(FLOAT_IMG, {-1.0, nan, 1.0}), {0, 32768, 65535}, "NaN reads as 0"},
        {row(FLOAT_IMG, {-5.0, -5.0, -5.0}), {0, 0, 0}, "constant negative: shift -5, scale 1"},
        {row(FLOAT_IMG, {0.0, 1234.25, 65535.0}), {0, 1234, 65535}, "floats spanning 0..65535 kept"},
        {row(DOUBLE_IMG, {1000, 1255, 1100.25}), {1000, 1255, 1100}, "a span of 255 kept"},
        // A narrower span inside 0..65535 is stretched from its finite values (rounding 0..1
        // as it stands left two levels): 0.25 x 65535 + 0.5 = 16384.25.
        {row(FLOAT_IMG, {0.0, 0.25, 0.49, 0.5, 1.0}), {0, 16384, 32112, 32768, 65535},
         "floats in 0..1 stretched"},
        {row(DOUBLE_IMG, {1000, 1254, 1100}), {0, 65535, 25801}, "a span of 254 stretched"},
        {row(FLOAT_IMG, {nan, 2.0, 3.0}), {0, 0, 65535}, "NaN outside a narrow range, then 0"},
        {row(FLOAT_IMG, {inf, 5.0, 7.0}), {0, 0, 65535}, "infinity too"},
        {row(FLOAT_IMG, {0.5, 0.5}), {0, 0}, "constant inside 0..65535: 0"},
        {row(LONG_IMG, {0, 14000, 70000}), {0, 13107, 65535}, "32-bit stretched from 0"},
        {row(LONG_IMG, {0, 1000, 65535}), {0, 1000, 65535}, "32-bit inside the range"},
        {row(DOUBLE_IMG, {-1e6, -5e5, 1e6}), {0, 16384, 65535}, "doubles stretched"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(write_fits(c.layout), 1);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(c.expected, r.pixels());
        EXPECT_EQ(int32_t(c.expected.size()), r.width);
        EXPECT_EQ(1, r.height);
        EXPECT_FALSE(r.bayer);
    }
}

TEST(FitsReader, UnsignedWriterStoresTheOffsetSamples) {
    FitsLayout layout = row(USHORT_IMG, {0, 65535});
    layout.physical = true;
    const Bytes file = write_fits(layout);
    FitsInfo info;
    bool bayer = false;
    const char* message = nullptr;
    ASSERT_TRUE(parse_fits_header(file.data(), int32_t(file.size()), &info, &bayer, &message));
    EXPECT_EQ(FITS_S16_SCALED, info.sample_type);
    EXPECT_EQ(32768.0, info.bzero);
    EXPECT_EQ(0x80, info.data[0]);  // 0 is stored as -32768
    EXPECT_EQ(0x00, info.data[1]);
    EXPECT_EQ(0.0, read_fits_sample(info.data, &info));
    EXPECT_EQ(65535.0, read_fits_sample(info.data + 2, &info));
}

FitsLayout planes(int bitpix, long width, const std::vector<std::vector<double>>& list) {
    FitsLayout s{bitpix, {width, 1, long(list.size())}, {}};
    for (const auto& plane : list) s.values.insert(s.values.end(), plane.begin(), plane.end());
    return s;
}

TEST(FitsReader, PlanesAreCombined) {
    struct Case { FitsLayout layout; std::vector<uint16_t> expected; const char* what; };
    const Case cases[] = {
        {planes(SHORT_IMG, 4, {{1000, 0, 0, 1000}, {0, 1000, 0, 1000}, {0, 0, 1000, 1000}}),
         {299, 587, 114, 1000}, "three planes weighted 0.299, 0.587, 0.114"},
        {planes(SHORT_IMG, 2, {{100, 101}, {300, 200}}), {200, 151}, "two planes: the mean"},
        {planes(FLOAT_IMG, 2, {{-1, 1}, {-1, 1}, {-1, 1}}), {0, 65535},
         "combined range stretched"},
        {planes(FLOAT_IMG, 3, {{0, 1, 0.5}, {0, 1, nan}}), {0, 65535, 16384},
         "narrow combined range stretched, NaN counting 0: 0.25 x 65535 + 0.5"},
        {planes(BYTE_IMG, 1, {{4}, {8}, {12}, {16}}), {10}, "four planes: the mean"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(write_fits(c.layout), 1);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(c.expected, r.pixels());
    }
}

TEST(FitsReader, BinningWhileConvertingEqualsConvertingThenBinning) {
    const long width = 11, height = 7;
    std::vector<double> ramp;
    for (long i = 0; i < width * height; ++i) ramp.push_back(double((i * 7919) % 4001) - 1000);
    std::vector<double> three = ramp;
    for (double v : ramp) three.push_back(v * 2);
    for (double v : ramp) three.push_back(-v);
    const FitsLayout specs[] = {
        FitsLayout{SHORT_IMG, {width, height}, ramp},                    // unsigned fast path
        scaled(FitsLayout{SHORT_IMG, {width, height}, ramp}, 32768, 1),  // signed fast path
        FitsLayout{FLOAT_IMG, {width, height}, ramp},                    // stretched floats
        scaled(FitsLayout{LONG_IMG, {width, height}, ramp}, 1000, 1),    // scanned, kept
        FitsLayout{SHORT_IMG, {width, height, 3}, three},                // combined planes
    };
    for (const FitsLayout& layout : specs) {
        const Bytes file = write_fits(layout);
        const Loaded full = load(file, 1);
        ASSERT_TRUE(full.image) << full.text();
        for (int32_t factor = 2; factor <= 7; ++factor) {
            SCOPED_TRACE(testing::Message() << "BITPIX " << layout.bitpix << ", factor " << factor);
            const Loaded binned = load(file, factor);
            ASSERT_TRUE(binned.image) << binned.text();
            EXPECT_EQ(box_average(full.pixels(), width, height, size_t(factor)), binned.pixels());
            EXPECT_EQ(width, binned.width);
        }
    }
}

TEST(FitsReader, BayerCardMakesTheFactorEven) {
    FitsLayout layout{SHORT_IMG, {8, 8}, std::vector<double>(64, 100)};
    layout.bayer = true;
    const Bytes file = write_fits(layout);
    struct Case { int32_t downsample, factor; };
    for (const Case& c : {Case{1, 2}, Case{2, 2}, Case{3, 4}}) {
        const Loaded r = load(file, c.downsample);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_TRUE(r.bayer);
        EXPECT_EQ(c.factor, r.factor);
        EXPECT_EQ(8u / uint32_t(c.factor), r.image->width);
    }
}

TEST(FitsReader, EveryTruncationOfATwoBlockHeaderFile) {
    FitsLayout layout{SHORT_IMG, {5, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};
    layout.comment_cards = 40;  // END lands in the second block
    const Bytes file = write_fits(layout);
    ASSERT_EQ(size_t(3 * 2880), file.size());
    for (size_t length = 0; length <= file.size(); ++length) {
        SCOPED_TRACE(length);
        const Loaded r = load(file, 1, length);
        if (length < 9) {
            ASSERT_EQ("Unsupported image format", r.text());  // not recognised as FITS
        } else if (length < 5760) {
            ASSERT_EQ("Truncated FITS header", r.text());
        } else if (length < 5760 + 30) {
            ASSERT_EQ("Truncated FITS image", r.text());
        } else {
            ASSERT_TRUE(r.image) << r.text();
            EXPECT_EQ(15, r.image->pixels[14]);
        }
    }
}

// A header from the given cards, END and blank padding to the block, then data bytes.
Bytes fits_header(const std::vector<std::string>& cards, size_t data_bytes,
                  const std::vector<std::string>& after_end = {}) {
    std::string text;
    auto add = [&text](const std::string& card) { text += card + std::string(80 - card.size(), ' '); };
    add("SIMPLE  =                    T");
    for (const std::string& card : cards) add(card);
    add("END");
    for (const std::string& card : after_end) add(card);
    text.resize((text.size() + 2879) / 2880 * 2880, ' ');
    Bytes bytes(text.begin(), text.end());
    bytes.resize(bytes.size() + data_bytes, 0);
    return bytes;
}

TEST(FitsReader, HeaderRules) {
    const std::string b16 = "BITPIX  =                   16";
    const std::string n2 = "NAXIS   =                    2";
    const std::string w3 = "NAXIS1  =                    3";
    const std::string h2 = "NAXIS2  =                    2";
    struct Case { std::vector<std::string> cards; const char* message; int planes;
                  std::vector<std::string> after_end; const char* what; };
    const Case cases[] = {
        {{b16, n2, w3, h2}, nullptr, 1, {}, "minimal"},
        {{b16, n2, "NAXIS1  =               3.0000", h2}, nullptr, 1, {}, "whole real width"},
        {{b16, n2, "NAXIS1  = 3 / width in pixels", h2}, nullptr, 1, {}, "comment after value"},
        {{b16, n2, "NAXIS1  =  3E0", h2}, nullptr, 1, {}, "exponent"},
        {{b16, n2, "NAXIS1  =                  3.5", h2}, "Unsupported FITS image", 1, {},
         "fractional width"},
        {{b16, n2, "NAXIS1  =                    0", h2}, "Unsupported FITS image", 1, {},
         "width 0"},
        {{b16, n2, "NAXIS1  =                65536", h2}, "Unsupported FITS image", 1, {},
         "width 65536"},
        {{b16, n2, "NAXIS1  = 'three'", h2}, "Unsupported FITS image", 1, {},
         "unreadable width ignored"},
        {{b16, n2, w3, h2, "NAXIS1  =                 junk"}, nullptr, 1, {},
         "unreadable later card keeps the earlier value"},
        {{b16, n2, "NAXIS1  =                    9", w3, h2}, nullptr, 1, {},
         "later card overrides"},
        {{"BITPIX  =                   12", n2, w3, h2}, "Unsupported FITS image", 1, {},
         "BITPIX 12"},
        {{n2, w3, h2}, "Unsupported FITS image", 1, {}, "no BITPIX"},
        {{"BITPIXX =                   16", n2, w3, h2}, "Unsupported FITS image", 1, {},
         "longer keyword is another card"},
        {{b16, "NAXIS   =                    1", w3, h2}, "Unsupported FITS image", 1, {},
         "NAXIS 1"},
        {{b16, "NAXIS   =                    4", w3, h2}, "Unsupported FITS image", 1, {},
         "NAXIS 4"},
        {{b16, "NAXIS   =                    3", w3, h2, "NAXIS3  =                   16"},
         nullptr, 16, {}, "16 planes"},
        {{b16, "NAXIS   =                    3", w3, h2, "NAXIS3  =                   17"},
         "Unsupported FITS image", 1, {}, "17 planes"},
        {{b16, n2, w3, h2, "NAXIS3  =                    2"}, nullptr, 2, {},
         "NAXIS3 read with NAXIS 2"},
        {{b16, n2, w3, h2}, nullptr, 1, {"BITPIX  =                   99"},
         "cards after END ignored"},
        {{b16, n2, w3, "NAXIS2  =                65535"}, "Truncated FITS image", 1, {},
         "data missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes file = fits_header(c.cards, size_t(3 * 2 * 2 * c.planes), c.after_end);
        FitsInfo info;
        bool bayer = false;
        const char* message = nullptr;
        const bool ok = parse_fits_header(file.data(), int32_t(file.size()), &info, &bayer, &message);
        if (c.message) {
            EXPECT_FALSE(ok);
            EXPECT_STREQ(c.message, message);
            continue;
        }
        ASSERT_TRUE(ok) << message;
        EXPECT_EQ(16, info.bitpix);
        EXPECT_EQ(c.planes, info.planes);
        EXPECT_EQ(file.data() + 2880, info.data);
    }
}

TEST(FitsReader, InfiniteScalingReadsAsZero) {
    // 1E999 reads as infinity: every physical value is infinite or NaN, hence 0.
    for (const char* card : {"BZERO   =                1E999", "BSCALE  =                1E999"}) {
        SCOPED_TRACE(card);
        Bytes file = fits_header({"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 3", "NAXIS2  = 1", card}, 6);
        file[file.size() - 1] = 7;  // samples 0, 0, 7
        const Loaded r = load(file, 1);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(std::vector<uint16_t>({0, 0, 0}), r.pixels());
    }
}

TEST(FitsReader, BayerCardAnywhereBeforeEnd) {
    const std::vector<std::string> cards = {"BAYERPAT= 'GRBG'", "BITPIX  = 8", "NAXIS   = 2",
                                            "NAXIS1  = 4", "NAXIS2  = 4"};
    const Loaded r = load(fits_header(cards, 16), 1);
    ASSERT_TRUE(r.image) << r.text();
    EXPECT_TRUE(r.bayer);
    EXPECT_EQ(2, r.factor);
    const Loaded after = load(fits_header({"BITPIX  = 8", "NAXIS   = 2", "NAXIS1  = 4",
                                           "NAXIS2  = 4"}, 16, {"BAYERPAT= 'GRBG'"}), 1);
    ASSERT_TRUE(after.image) << after.text();
    EXPECT_FALSE(after.bayer);
}

TEST(FitsReader, ShortFilesAndHugeClaims) {
    Bytes short_header(2879, ' ');
    std::memcpy(short_header.data(), "SIMPLE  =                    T", 30);
    EXPECT_EQ("Truncated FITS header", load(short_header, 1).text());
    Bytes no_end(2880 + 100, ' ');
    std::memcpy(no_end.data(), "SIMPLE  =                    T", 30);
    EXPECT_EQ("Truncated FITS header", load(no_end, 1).text());

    const Bytes huge = fits_header({"BITPIX  = -64", "NAXIS   = 3", "NAXIS1  = 65535",
                                    "NAXIS2  = 65535", "NAXIS3  = 16"}, 4096);
    AllocationWatch watch;
    EXPECT_EQ("Truncated FITS image", load(huge, 2).text());
    if (AllocationWatch::available()) {
        EXPECT_LT(watch.largest(), size_t(1) << 20);
    }
}

TEST(FitsReader, CorruptedHeaderBytesEndCleanly) {
    FitsLayout layout{FLOAT_IMG, {6, 4, 2}, std::vector<double>(48, 3.5)};
    const Bytes file = write_fits(layout);
    const char replacements[] = {'\0', '=', '/', '9', '-', ' ', 'E', '\xFF'};
    size_t loaded = 0;
    for (size_t position = 0; position < 800; ++position)
        for (char replacement : replacements) {
            Bytes corrupt = file;
            corrupt[position] = uint8_t(replacement);
            const Loaded r = load(corrupt, 2);
            if (r.image) {
                ++loaded;
                EXPECT_LE(r.image->width * r.image->height, 1u << 20);
            } else {
                ASSERT_NE(nullptr, r.message) << position;
            }
        }
    EXPECT_GT(loaded, 0u);
}

}  // namespace
