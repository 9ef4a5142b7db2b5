// Tests of the noise filter: noise estimate, defective-pixel repair, Gaussian smoothing.
#include "solver/image/noise_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "image_test_support.hpp"

namespace {

using image_test::ImagePtr;

constexpr uint32_t side = 16;

// A background whose horizontal neighbour differences are all 1: smallest and median
// difference 1, so the estimated noise is 1 / 0.9538870478206527 = 1.048.
std::vector<uint16_t> checkerboard(uint32_t width, uint32_t height) {
    std::vector<uint16_t> pixels(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) pixels[y * width + x] = uint16_t(1000 + (x + y) % 2);
    return pixels;
}

ImagePtr image_of(const std::vector<uint16_t>& pixels, uint32_t width, uint32_t height) {
    ImagePtr image(new_solver_image(width, height));
    std::copy(pixels.begin(), pixels.end(), image->pixels);
    return image;
}

std::vector<uint16_t> filtered(const std::vector<uint16_t>& pixels, uint32_t width, uint32_t height) {
    const ImagePtr image = image_of(pixels, width, height);
    HeapBlock<uint16_t> out(filtered_image(image.get()));
    if (!out) return {};
    return std::vector<uint16_t>(out.get(), out.get() + pixels.size());
}

TEST(NoiseFilter, SmallOrForeignImagesAreNotFiltered) {
    struct Case { uint32_t width, height, signature; bool filtered; };
    const Case cases[] = {{2, 100, PIXEL_FORMAT_RAW2, false}, {100, 2, PIXEL_FORMAT_RAW2, false},
                          {3, 3, PIXEL_FORMAT_RAW2, true}, {3, 3, PIXEL_FORMAT_RAW1, true},
                          {8, 8, PIXEL_FORMAT_RAW3, false}, {8, 8, PIXEL_FORMAT_RAW6, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        ImagePtr image(new_solver_image(c.width, c.height));
        image->signature = c.signature;
        HeapBlock<uint16_t> out(filtered_image(image.get()));
        EXPECT_EQ(c.filtered, out != nullptr);
    }
}

TEST(NoiseFilter, FlatImagesComeBackUnchanged) {
    EXPECT_EQ(std::vector<uint16_t>(side * side, 1234), filtered(std::vector<uint16_t>(side * side, 1234), side, side));
    EXPECT_EQ(std::vector<uint16_t>(side * side, 65535), filtered(std::vector<uint16_t>(side * side, 65535), side, side));
    // "RAW1" samples are bytes, read as 0..255 without expansion.
    ImagePtr image(new_solver_image(side, side));
    image->signature = PIXEL_FORMAT_RAW1;
    std::memset(image->pixels, 200, side * side);
    HeapBlock<uint16_t> out(filtered_image(image.get()));
    ASSERT_TRUE(out);
    for (size_t i = 0; i < side * side; ++i) ASSERT_EQ(200, out.get()[i]) << i;
}

TEST(NoiseFilter, RepairsAndNonRepairs) {
    const float sigma = float(1 / 0.9538870478206527);
    struct Spot { uint32_t x, y; };
    struct Case { std::vector<Spot> hot; uint32_t replaced; std::vector<std::pair<Spot, uint16_t>> after;
                  const char* what; };
    const Case cases[] = {
        // Neighbours of an even pixel: four diagonals of 1000, four sides of 1001.
        {{{8, 8}}, 1, {{{8, 8}, 1000}}, "single hot pixel: mean of the 4th and 5th neighbour"},
        {{{7, 8}}, 1, {{{7, 8}, 1000}}, "odd pixel: sides 1000, diagonals 1001"},
        {{{8, 8}, {9, 8}}, 2, {{{8, 8}, 1000}, {{9, 8}, 1001}}, "horizontal pair both repaired"},
        {{{8, 8}, {8, 9}}, 2, {{{8, 8}, 1000}, {{8, 9}, 1001}}, "vertical pair both repaired"},
        {{{8, 8}, {9, 8}, {8, 9}, {9, 9}}, 0, {}, "2 x 2 cluster kept"},
        {{{7, 7}, {8, 7}, {9, 7}, {7, 8}, {8, 8}, {9, 8}, {7, 9}, {8, 9}, {9, 9}}, 0, {},
         "3 x 3 plateau kept"},
        {{{0, 8}}, 0, {}, "left border"},
        {{{8, 0}}, 0, {}, "top border"},
        {{{15, 15}}, 0, {}, "corner"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint16_t> source = checkerboard(side, side);
        for (const Spot& s : c.hot) source[s.y * side + s.x] += 1000;
        std::vector<uint16_t> repaired(source.size());
        EXPECT_EQ(c.replaced, replace_defective_pixels(source.data(), repaired.data(), side, side, sigma));
        std::vector<uint16_t> expected = source;
        for (const auto& [s, value] : c.after) expected[s.y * side + s.x] = value;
        EXPECT_EQ(expected, repaired);
    }
}

TEST(NoiseFilter, ThresholdIsTenSigmaAboveTheDarkestNeighbour) {
    struct Case { uint16_t excess; float sigma; uint32_t replaced; };
    // Darkest neighbour 1000: the excess must reach 10 sigma.
    const Case cases[] = {{100, 10.0f, 1}, {99, 10.0f, 0}, {1000, 100.0f, 1}, {1000, 100.1f, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.excess << " over sigma " << c.sigma);
        std::vector<uint16_t> source(side * side, 1000);
        source[8 * side + 8] = uint16_t(1000 + c.excess);
        std::vector<uint16_t> out(source.size());
        EXPECT_EQ(c.replaced, replace_defective_pixels(source.data(), out.data(), side, side, c.sigma));
    }
}

TEST(NoiseFilter, RepairCountAddsUpThePasses) {
    // Pass 1 repairs the peak (its vertical pair is dark) and the two bright pixels above and
    // below its right neighbour (their horizontal pairs are dark); the right neighbour, shielded
    // in both directions until then, falls in pass 2; pass 3 finds nothing. 3 + 1 = 4.
    std::vector<uint16_t> source(side * side, 1000);
    source[8 * side + 8] = 3000;
    source[8 * side + 9] = 1500;
    source[7 * side + 9] = 1500;
    source[9 * side + 9] = 1500;
    std::vector<uint16_t> out(source.size());
    EXPECT_EQ(4u, replace_defective_pixels(source.data(), out.data(), side, side, 1.0f));
    EXPECT_EQ(std::vector<uint16_t>(side * side, 1000), out);
}

TEST(NoiseFilter, NoiseEstimateDecidesTheRepair) {
    // Checkerboard noise 1.048: a spike of 1000 is repaired, then smoothed into the background.
    std::vector<uint16_t> pixels = checkerboard(side, side);
    pixels[8 * side + 8] += 1000;
    const std::vector<uint16_t> quiet = filtered(pixels, side, side);
    ASSERT_EQ(pixels.size(), quiet.size());
    // The background smooths to about 1000.5; either rounding of it is right.
    for (size_t i = 0; i < quiet.size(); ++i) ASSERT_TRUE(quiet[i] == 1000 || quiet[i] == 1001) << i;
    // Flat background: the spike is the smallest non-zero difference, so sigma is the spike
    // height and nothing is repaired: the centre keeps 1000 x 0.3990503^2 = 159.2 above 500.
    std::vector<uint16_t> flat(side * side, 500);
    flat[8 * side + 8] = 1500;
    const std::vector<uint16_t> spiky = filtered(flat, side, side);
    ASSERT_EQ(flat.size(), spiky.size());
    EXPECT_EQ(659, spiky[8 * side + 8]);
}

TEST(NoiseFilter, SmallestStepSetsTheNoiseFloor) {
    // Steps in columns 0, 5, 10, 15 only: most differences are 0 (median 1), the smallest
    // non-zero one is the step. With 8-bit data expanded by 257 the step is 257, ten sigma is
    // 2570 and a spike of 2000 stays; with steps of 1 the same spike is repaired.
    struct Case { uint16_t step; bool repaired; };
    for (const Case& c : {Case{257, false}, Case{1, true}}) {
        SCOPED_TRACE(c.step);
        std::vector<uint16_t> background(side * side, 25700);
        for (uint32_t y = 0; y < side; ++y)
            for (uint32_t x = 0; x < side; x += 5) background[y * side + x] += c.step;
        std::vector<uint16_t> spiked = background;
        spiked[8 * side + 8] += 2000;
        const std::vector<uint16_t> plain = filtered(background, side, side);
        const std::vector<uint16_t> result = filtered(spiked, side, side);
        ASSERT_EQ(plain.size(), result.size());
        if (c.repaired) {
            EXPECT_EQ(plain, result);
        } else {
            EXPECT_GT(result[8 * side + 8], plain[8 * side + 8] + 300);  // 2000 x 0.399^2 = 318
        }
    }
}

TEST(NoiseFilter, GaussianImpulseResponseAndEdges) {
    // Weights 0.0044330, 0.0540056, 0.2420362, 0.3990503 (independently: exp(-i^2/2)/2.50663);
    // products rounded to the nearest count.
    const uint32_t n = 9;
    std::vector<uint16_t> impulse(n * n, 0);
    impulse[4 * n + 4] = 10000;
    std::vector<uint16_t> out(n * n);
    gaussian_smooth(impulse.data(), out.data(), n, n);
    struct Case { uint32_t x, y; uint16_t expected; };
    const Case cases[] = {{4, 4, 1592}, {5, 4, 966}, {4, 6, 216}, {7, 4, 18}, {5, 5, 586},
                          {8, 8, 0}, {0, 4, 0}};
    for (const Case& c : cases) EXPECT_EQ(c.expected, out[c.y * n + c.x]) << c.x << "," << c.y;
    // In a corner the repeated edge sample takes the weights beyond the border:
    // (0.3990503 + 0.2420362 + 0.0540056 + 0.0044330)^2 x 10000 = 4893.3.
    std::vector<uint16_t> corner(n * n, 0);
    corner[0] = 10000;
    gaussian_smooth(corner.data(), out.data(), n, n);
    EXPECT_EQ(4893, out[0]);
}

}  // namespace

namespace {

// The repair written plainly: a full snapshot and a test of every interior pixel each pass.
// The library skips work (pre-test, passes limited to the previous writes); results must agree.
uint32_t plain_repair(const std::vector<uint16_t>& source, std::vector<uint16_t>& out,
                      size_t w, size_t h, float sigma) {
    out = source;
    uint32_t total = 0;
    for (int pass = 0; pass < 4; ++pass) {
        const std::vector<uint16_t> s = out;
        uint32_t replaced = 0;
        for (size_t y = 1; y + 1 < h; ++y)
            for (size_t x = 1; x + 1 < w; ++x) {
                auto at = [&](size_t cx, size_t cy) { return int(s[cy * w + cx]); };
                int n[8] = {at(x - 1, y - 1), at(x, y - 1), at(x + 1, y - 1), at(x - 1, y),
                            at(x + 1, y), at(x - 1, y + 1), at(x, y + 1), at(x + 1, y + 1)};
                const int m = *std::min_element(n, n + 8);
                const float d = float(at(x, y) - m);
                if (10.0f * sigma > d) continue;
                const bool horizontal = 0.1 * d > double(float(std::max(n[3], n[4]) - m));
                const bool vertical = 0.1 * d > double(float(std::max(n[1], n[6]) - m));
                if (!horizontal && !vertical) continue;
                std::sort(n, n + 8);
                out[y * w + x] = uint16_t((n[3] + n[4]) / 2);
                ++replaced;
            }
        total += replaced;
        if (!replaced) break;
    }
    return total;
}

TEST(NoiseFilter, RepairAgreesWithThePlainAlgorithm) {
    struct Case { size_t w, h; uint32_t hot_one_in; int cluster; float sigma; const char* what; };
    const Case cases[] = {
        {61, 47, 50, 1, 3.0f, "scattered single defects"},
        {61, 47, 20, 3, 3.0f, "clusters repaired over several passes"},
        {64, 64, 3, 2, 2.0f, "defects everywhere: full passes after the first"},
        {3, 40, 5, 1, 1.0f, "three columns"},
        {40, 3, 5, 1, 1.0f, "three rows"},
        {33, 29, 9, 2, std::numeric_limits<float>::quiet_NaN(), "NaN sigma passes every pixel"},
        {33, 29, 9, 2, 1e30f, "huge sigma passes none"},
    };
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint16_t> source(c.w * c.h);
        for (uint16_t& v : source) v = uint16_t(500 + (next() >> 28));
        for (size_t i = 0; i < source.size(); ++i) {
            if (next() % c.hot_one_in) continue;
            const uint16_t level = uint16_t(2000 + (next() >> 20));
            for (int dy = 0; dy < c.cluster; ++dy)
                for (int dx = 0; dx < c.cluster; ++dx)
                    if (next() % 2 || (dx == 0 && dy == 0))
                        source[(i + dy * c.w + dx) % source.size()] = level;
        }
        std::vector<uint16_t> expected, actual(source.size());
        const uint32_t count = plain_repair(source, expected, c.w, c.h, c.sigma);
        EXPECT_EQ(count, replace_defective_pixels(source.data(), actual.data(), int(c.w),
                                                  int(c.h), c.sigma));
        EXPECT_EQ(expected, actual);
        // Repairing in place reads a snapshot too.
        std::vector<uint16_t> in_place = source;
        EXPECT_EQ(count, replace_defective_pixels(in_place.data(), in_place.data(), int(c.w),
                                                  int(c.h), c.sigma));
        EXPECT_EQ(expected, in_place);
    }
}

TEST(NoiseFilter, PixelRepairedToItsOwnValueCountsEveryPass) {
    // Dark above and below, bright left, right and diagonally: the pixel is a one-pixel-high
    // ridge vertically, and the median of its neighbours is its own value, so every one of the
    // four passes "repairs" it again.
    std::vector<uint16_t> source(5 * 5, 5000);
    for (size_t x = 0; x < 5; ++x) source[1 * 5 + x] = source[3 * 5 + x] = 100;
    for (size_t x : {size_t(0), size_t(2), size_t(4)}) source[1 * 5 + x] = source[3 * 5 + x] = 5000;
    source[1 * 5 + 2] = source[3 * 5 + 2] = 100;
    std::vector<uint16_t> expected, actual(source.size());
    const uint32_t count = plain_repair(source, expected, 5, 5, 1.0f);
    EXPECT_EQ(count, replace_defective_pixels(source.data(), actual.data(), 5, 5, 1.0f));
    EXPECT_EQ(expected, actual);
    EXPECT_GE(count, 4u);
}

TEST(NoiseFilter, SmoothingOfNarrowImagesMatchesTheClampedSums) {
    const std::array<double, 7> weights = {0.0044330, 0.0540056, 0.2420362, 0.3990503,
                                           0.2420362, 0.0540056, 0.0044330};
    for (size_t w : {1, 2, 3, 5, 6, 7, 8, 13}) {
        const size_t h = 9;
        SCOPED_TRACE(w);
        std::vector<uint16_t> source(w * h);
        for (size_t i = 0; i < source.size(); ++i) source[i] = uint16_t((i * 40503u) % 60000);
        std::vector<uint16_t> out(source.size());
        gaussian_smooth(source.data(), out.data(), int(w), int(h));
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) {
                double sum = 0;
                for (int j = -3; j <= 3; ++j)
                    for (int i = -3; i <= 3; ++i) {
                        const size_t cx = size_t(std::clamp<long>(long(x) + i, 0, long(w) - 1));
                        const size_t cy = size_t(std::clamp<long>(long(y) + j, 0, long(h) - 1));
                        sum += source[cy * w + cx] * weights[i + 3] * weights[j + 3];
                    }
                // Seven-digit weights and single-precision sums: within 0.02 of a count.
                EXPECT_NEAR(sum, double(out[y * w + x]), 0.52) << x << "," << y;
            }
    }
}

}  // namespace
