// Tests of the image quads: the code of known shapes, invariance, the grid and the limit.
#include "solver/engine/image_quads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "framework/angles.h"

namespace {

int field(uint64_t code, int shift) { return static_cast<int16_t>(code >> shift & 0xFFFF); }

TEST(ImageQuads, SquareCode) {
    const ImageStar s[4] = {{1, 0, 0}, {1, 10, 0}, {1, 10, 10}, {1, 0, 10}};
    ImageQuad quad{};
    make_image_quad(&s[0], &s[1], &s[2], &s[3], &quad);
    // The first diagonal (s0, s2) is the base; both others lie at (0.5, +-0.5) of it.
    EXPECT_EQ(500, field(quad.code, 48));
    EXPECT_EQ(500, field(quad.code, 32));
    EXPECT_EQ(500, field(quad.code, 16));
    EXPECT_EQ(-500, field(quad.code, 0));
    EXPECT_EQ(0xFE0Cu, quad.code & 0xFFFF);
    EXPECT_FLOAT_EQ(std::sqrt(200.0f), quad.length);
    EXPECT_TRUE((quad.stars[0] == &s[0] && quad.stars[1] == &s[2]) ||
                (quad.stars[0] == &s[2] && quad.stars[1] == &s[0]));
}

// Frame coordinates of star p relative to the base a -> b, in double precision.
void frame(const ImageStar& a, const ImageStar& b, const ImageStar& p, double* x, double* y) {
    double vx = b.x - a.x, vy = b.y - a.y, l2 = vx * vx + vy * vy;
    *x = ((p.x - a.x) * vx + (p.y - a.y) * vy) / l2;
    *y = (vx * (p.y - a.y) - vy * (p.x - a.x)) / l2;
}

// A random quad is "robust" when no decision of the canonical form is close to a tie and no
// code value is close to a rounding boundary; single-precision noise of a transformed copy
// (about 1e-6 of the base) can then not change the code.
bool robust(const ImageQuad& q) {
    const ImageStar *a = q.stars[0], *b = q.stars[1], *s = q.stars[2], *t = q.stars[3];
    double d[6] = {};
    const ImageStar* all[4] = {a, b, s, t};
    int n = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) {
            double dx = all[i]->x - all[j]->x, dy = all[i]->y - all[j]->y;
            d[n++] = dx * dx + dy * dy;
        }
    std::sort(d, d + 6);
    if (d[5] - d[4] < 1e-3 * d[5]) return false;
    double values[4] = {q.x1, q.y1, q.x2, q.y2};
    for (double v : values) {
        double m = v * 1000.0;
        if (std::fabs(m - std::floor(m) - 0.5) < 0.05) return false;
        if (std::fabs(v) < 1e-3) return false;  // the mirror decision
    }
    if (std::fabs(q.x1 - q.x2) < 1e-3) return false;
    double rx1, ry1, rx2, ry2;  // the reversed base, for the choice between the directions
    frame(*b, *a, *s, &rx1, &ry1);
    frame(*b, *a, *t, &rx2, &ry2);
    return std::fabs(std::min(rx1, rx2) - q.x1) > 1e-3;
}

TEST(ImageQuads, CodeInvariantUnderSimilarityAndMirror) {
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> coordinate(0.0f, 1000.0f);
    std::uniform_real_distribution<double> angle(0.0, two_pi);
    std::uniform_real_distribution<double> zoom(0.05, 20.0);
    std::uniform_real_distribution<double> shift(-5000.0, 5000.0);
    int checked = 0;
    for (int trial = 0; trial < 4000 && checked < 1000; ++trial) {
        ImageStar s[4];
        for (ImageStar& star : s) star = {1.0f, coordinate(random), coordinate(random)};
        ImageQuad original{};
        make_image_quad(&s[0], &s[1], &s[2], &s[3], &original);
        if (!robust(original)) continue;
        ++checked;
        double th = angle(random), k = zoom(random), tx = shift(random), ty = shift(random);
        bool mirror = trial % 2 == 1;
        ImageStar moved[4];
        for (int i = 0; i < 4; ++i) {
            double x = mirror ? -s[i].x : s[i].x, y = s[i].y;
            moved[i] = {1.0f, static_cast<float>(k * (x * std::cos(th) - y * std::sin(th)) + tx),
                        static_cast<float>(k * (x * std::sin(th) + y * std::cos(th)) + ty)};
        }
        // Present the stars in another order too: the code must not depend on it.
        int order[4] = {2, 0, 3, 1};
        ImageQuad copy{};
        make_image_quad(&moved[order[0]], &moved[order[1]], &moved[order[2]], &moved[order[3]],
                        &copy);
        SCOPED_TRACE(trial);
        ASSERT_EQ(original.code, copy.code);
        // Canonical star order maps star for star.
        for (int a = 0; a < 4; ++a) EXPECT_EQ(original.stars[a] - s, copy.stars[a] - moved);
        EXPECT_NEAR(original.length * k, copy.length, 1e-4 * copy.length);  // float rounding
    }
    EXPECT_EQ(1000, checked);
}

TEST(ImageQuads, CodeFieldsStayInRange) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(0.0f, 100.0f);
    for (int trial = 0; trial < 2000; ++trial) {
        ImageStar s[4];
        for (ImageStar& star : s) star = {1.0f, coordinate(random), coordinate(random)};
        ImageQuad q{};
        make_image_quad(&s[0], &s[1], &s[2], &s[3], &q);
        ASSERT_GE(field(q.code, 48), 0);
        ASSERT_LE(field(q.code, 48), 1000);
        ASSERT_GE(field(q.code, 32), 0);
        ASSERT_LE(field(q.code, 32), 1000);
        ASSERT_GE(field(q.code, 16), 0);
        ASSERT_LE(field(q.code, 16), 1000);
        ASSERT_GE(field(q.code, 0), -1000);
        ASSERT_LE(field(q.code, 0), 1000);
        // The first non-base star is never to the right of the second.
        ASSERT_LE(q.x1, q.x2 + 1e-6f);
    }
}

struct QuadBuffer {
    std::unique_ptr<ImageQuad[]> quads{new ImageQuad[SOLVER_MAX_IMAGE_QUADS]};
};

TEST(ImageQuads, GridKeepsTheBrightestStarOfEachCell) {
    // 100 x 100 image, cell 10: 10 x 10 cells.
    struct Case {
        const char* what;
        std::vector<ImageStar> stars;
        int occupied;
        std::vector<int> used;  // indexes of the stars that must appear in the quads
    };
    const Case cases[] = {
        {"brighter later star takes the cell",
         {{2, 5, 5}, {1, 6, 6}, {1, 25, 5}, {1, 45, 5}, {1, 65, 5}}, 4, {1, 2, 3, 4}},
        {"equal brightness: the earlier stays",
         {{1, 5, 5}, {1, 6, 6}, {1, 25, 5}, {1, 45, 5}, {1, 65, 5}}, 4, {0, 2, 3, 4}},
        {"star on the right edge of the last column is dropped",
         {{1, 100, 5}, {1, 5, 5}, {1, 25, 5}, {1, 45, 5}, {1, 65, 5}}, 4, {1, 2, 3, 4}},
        {"star on the bottom edge is dropped",
         {{1, 5, 100}, {1, 5, 5}, {1, 25, 5}, {1, 45, 5}, {1, 65, 5}}, 4, {1, 2, 3, 4}},
        {"three cells give no quad", {{1, 5, 5}, {1, 6, 6}, {1, 25, 5}, {1, 45, 5}}, 3, {}},
    };
    QuadBuffer buffer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        engine_test::LogCapture log;
        int32_t occupied = -1;
        uint32_t n = kestil_solver_build_image_quads(c.stars.data(),
                                                     static_cast<int32_t>(c.stars.size()), 100,
                                                     100, 10, &occupied, buffer.quads.get());
        EXPECT_EQ(c.occupied, occupied);
        EXPECT_EQ(c.used.empty() ? 0u : 1u, n);
        char line[128];
        snprintf(line, sizeof line, "kestil_solver_build_image_quads: %d stars used to form %u quads",
                 c.occupied, n);
        EXPECT_TRUE(log.contains(line)) << line;
        if (n == 1) {
            std::vector<int> used;
            for (const ImageStar* s : buffer.quads[0].stars)
                used.push_back(static_cast<int>(s - c.stars.data()));
            std::sort(used.begin(), used.end());
            EXPECT_EQ(c.used, used);
        }
    }
}

TEST(ImageQuads, OnlyTheFirstKStarsAndAZeroCell) {
    const ImageStar stars[] = {{1, 5, 5}, {1, 25, 5}, {1, 45, 5}, {1, 65, 5}, {1, 85, 5}};
    QuadBuffer buffer;
    int32_t occupied = 0;
    EXPECT_EQ(1u, kestil_solver_build_image_quads(stars, 4, 100, 100, 10, &occupied,
                                                  buffer.quads.get()));
    EXPECT_EQ(5u, kestil_solver_build_image_quads(stars, 5, 100, 100, 10, &occupied,
                                                  buffer.quads.get()));
    EXPECT_EQ(0u, kestil_solver_build_image_quads(stars, 5, 9, 9, 0, &occupied,
                                                  buffer.quads.get()));
    EXPECT_EQ(0, occupied);
}

TEST(ImageQuads, HundredCellsAreCutAtTheLimitInCellOrder) {
    std::vector<ImageStar> stars;
    // One star per cell, listed from the last cell to the first, so list order and cell order
    // differ: the cut must follow the cells, the sort the list.
    for (int cell = 99; cell >= 0; --cell)
        stars.push_back({1.0f + static_cast<float>(cell), (cell % 10) * 10.0f + 3.0f + (cell % 3),
                         (cell / 10) * 10.0f + 4.0f + (cell % 7) * 0.5f});
    QuadBuffer buffer;
    int32_t occupied = 0;
    uint32_t n = kestil_solver_build_image_quads(stars.data(), 100, 100, 100, 10, &occupied,
                                                 buffer.quads.get());
    EXPECT_EQ(100, occupied);
    ASSERT_EQ(1000000u, n);
    // Lexicographic combinations: C(99,3) = 156849 begin with cell 0, and the first 1,000,000
    // end among those beginning with cell 6 (the sums of C(99-c,3) pass 1,000,000 at c = 6).
    int with_cell0 = 0;
    int highest_lowest_cell = 0;
    for (uint32_t q = 0; q < n; ++q) {
        int lowest = 99;
        for (const ImageStar* s : buffer.quads[q].stars) {
            int cell = 99 - static_cast<int>(s - stars.data());
            lowest = std::min(lowest, cell);
        }
        with_cell0 += lowest == 0;
        highest_lowest_cell = std::max(highest_lowest_cell, lowest);
    }
    EXPECT_EQ(156849, with_cell0);
    EXPECT_EQ(6, highest_lowest_cell);
    // Sorted by the list positions of the four stars.
    auto key = [&](const ImageQuad& q) {
        std::vector<long> k;
        for (const ImageStar* s : q.stars) k.push_back(s - stars.data());
        return k;
    };
    for (uint32_t q = 1; q < n; q += 997) ASSERT_LT(key(buffer.quads[q - 1]), key(buffer.quads[q]));
}

}  // namespace
