// Tests of the catalogue cone: wrap-around in right ascension, the pole, the whole sky.
#include "solver/engine/catalog_cone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "engine_test_support.hpp"
#include "framework/angles.h"

namespace {

constexpr float rad(double degrees) { return static_cast<float>(degrees * rad_per_deg); }

TEST(CatalogCone, FlagsTheStarsWithinTheRadius) {
    engine_test::MemoryIndex index;
    index.stars = {{rad(359.5), 0},     {0, rad(1.5)},        {rad(0.5), rad(0.5)},
                   {rad(180), rad(89)}, {rad(10), rad(86)},   {rad(250), rad(84.9)},
                   {rad(1.2), 0},       {rad(0.7), rad(-0.7)}};
    index.build(1.0f);
    struct Case {
        const char* what;
        double ra, dec, radius;
        int count;
        uint8_t flags[8];
    };
    const Case cases[] = {
        // 359.5 deg wraps to 0.5 deg from the centre; 1.5 deg north is out by declination alone;
        // (0.7, -0.7) is 0.99 deg away, (1.2, 0) 1.2 deg.
        {"wrap-around", 0, 0, 1, 3, {1, 0, 1, 0, 0, 0, 0, 1}},
        {"pole takes every right ascension", 0, 90, 5, 2, {0, 0, 0, 1, 1, 0, 0, 0}},
        {"half the sky and more", 0, 0, 180, 8, {1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        engine_test::LogCapture log;
        IndexFile view{};
        int32_t count = kestil_solver_cone_catalog(&index.file, rad(c.ra), rad(c.dec),
                                                   rad(c.radius), &view);
        EXPECT_EQ(c.count, count);
        ASSERT_NE(nullptr, view.in_cone);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(c.flags[i], view.in_cone[i]) << i;
        // The view shares the index's arrays, owns only its flags and no mapping.
        EXPECT_EQ(index.file.stars, view.stars);
        EXPECT_EQ(index.file.buckets, view.buckets);
        EXPECT_EQ(index.file.quad_count, view.quad_count);
        EXPECT_EQ(nullptr, view.mapping);
        EXPECT_EQ(view.in_cone, view.owned[INDEX_OWNED_SLOTS - 1]);
        for (int slot = 0; slot < INDEX_OWNED_SLOTS - 1; ++slot) EXPECT_EQ(nullptr, view.owned[slot]);
        char line[160];
        snprintf(line, sizeof line,
                 "kestil_solver_cone_catalog: %d of 8 catalog stars within %.2f° of RA %.3f° Dec "
                 "%.3f°", c.count, c.radius, c.ra, c.dec);
        EXPECT_TRUE(log.contains(line)) << line;
        free(view.owned[INDEX_OWNED_SLOTS - 1]);
    }
}

TEST(CatalogCone, EmptyIndexGivesAFlagByteAndNoStar) {
    engine_test::MemoryIndex index;
    index.build(1.0f);
    IndexFile view{};
    EXPECT_EQ(0, kestil_solver_cone_catalog(&index.file, 0, 0, rad(10), &view));
    EXPECT_NE(nullptr, view.in_cone);
    free(view.owned[INDEX_OWNED_SLOTS - 1]);
}

}  // namespace
