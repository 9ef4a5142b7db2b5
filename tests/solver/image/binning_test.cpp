// Tests of the box-average binning.
#include "solver/image/binning.h"

#include <gtest/gtest.h>

#include <vector>

#include "image_test_support.hpp"

namespace {

using image_test::box_average;
using image_test::ImagePtr;

TEST(Binning, SmallCellsAndRemainders) {
    struct Case { std::vector<uint16_t> source; uint32_t width, height; int32_t factor;
                  std::vector<uint16_t> expected; const char* what; };
    const Case cases[] = {
        {{1, 2, 3, 4}, 2, 2, 2, {2}, "10 / 4 truncates"},
        {{65535, 65535, 65535, 65535}, 2, 2, 2, {65535}, "white stays white"},
        // 5 x 3: the last column and the last row are dropped, whatever they hold.
        {{4, 8, 1, 3, 65535,  8, 4, 3, 1, 65535,  65535, 65535, 65535, 65535, 65535}, 5, 3, 2,
         {6, 2}, "remainders ignored"},
        {{7, 8, 9}, 3, 1, 1, {7, 8, 9}, "factor 1 copies"},
        {{1, 1, 1, 1, 1, 1, 1, 1, 2}, 3, 3, 3, {1}, "10 / 9 truncates"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint16_t> out(c.expected.size() + 1, 0xABCD);
        bin_pixels(c.source.data(), c.width, c.height, c.factor, out.data());
        EXPECT_EQ(0xABCD, out.back());  // nothing written past the binned size
        out.pop_back();
        EXPECT_EQ(c.expected, out);
    }
}

TEST(Binning, LargestFactorDoesNotOverflow) {
    const std::vector<uint16_t> white(16 * 16, 65535);
    uint16_t out = 0;
    bin_pixels(white.data(), 16, 16, 16, &out);
    EXPECT_EQ(65535, out);
}

TEST(Binning, InPlaceEqualsSeparateAndTheReference) {
    const uint32_t width = 37, height = 29;
    std::vector<uint16_t> source(width * height);
    for (size_t i = 0; i < source.size(); ++i) source[i] = uint16_t(i * 40503u + (i >> 3) * 977u);
    for (int32_t factor = 1; factor <= 16; ++factor) {
        SCOPED_TRACE(factor);
        const std::vector<uint16_t> expected = box_average(source, width, height, size_t(factor));
        std::vector<uint16_t> separate(expected.size());
        bin_pixels(source.data(), width, height, factor, separate.data());
        EXPECT_EQ(expected, separate);

        ImagePtr image(new_solver_image(width, height));
        std::copy(source.begin(), source.end(), image->pixels);
        kestil_solver_bin_image(image.get(), factor);
        EXPECT_EQ(width / uint32_t(factor), image->width);
        EXPECT_EQ(height / uint32_t(factor), image->height);
        EXPECT_EQ(expected, std::vector<uint16_t>(image->pixels, image->pixels + expected.size()));
    }
}

TEST(Binning, ImageOfAnotherLayoutIsLeftAlone) {
    ImagePtr image(new_solver_image(4, 4));
    image->pixels[0] = 99;
    image->signature = PIXEL_FORMAT_RAW3;
    kestil_solver_bin_image(image.get(), 2);
    EXPECT_EQ(4u, image->width);
    EXPECT_EQ(99, image->pixels[0]);
    image->signature = PIXEL_FORMAT_RAW2;
    kestil_solver_bin_image(image.get(), 1);
    EXPECT_EQ(4u, image->width);
    EXPECT_EQ(99, image->pixels[0]);
}

}  // namespace
