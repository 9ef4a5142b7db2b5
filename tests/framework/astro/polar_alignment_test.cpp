// Tests of framework/astro/polar_alignment.
#include "framework/astro/polar_alignment.h"

#include <gtest/gtest.h>

#include <cmath>

#include "framework/angles.h"
#include "framework/astro/coordinates.h"

namespace {

TEST(PolarError, ApplyThenCorrectReturnsThePosition) {
    for (double u : {-0.1, 0.0, 0.02, 0.15})
        for (double v : {-0.05, 0.0, 0.07})
            for (double ha = 0.2; ha < 2 * pi; ha += 1.1)
                for (double dec : {-1.2, -0.3, 0.0, 0.8, 1.4}) {
                    const SphericalPoint p{ha, dec, 1.0};
                    SphericalPoint seen{}, back{};
                    kestil_apply_polar_error(&seen, &p, u, v);
                    kestil_correct_polar_error(&back, &seen, u, v);
                    // Five rotations and two conversions: round-off, 1e-14 rad.
                    EXPECT_NEAR(0.0, std::remainder(back.lon - ha, 2 * pi), 1e-14);
                    EXPECT_NEAR(dec, back.lat, 1e-14);
                    EXPECT_EQ(1.0, back.r);
                    if (u != 0.0 || v != 0.0) {  // the error does move the position
                        EXPECT_GT(kestil_gc_distance_spherical(&p, &seen), 1e-3);
                    }
                }
}

TEST(PolarError, ThreePositionRefusals) {
    const SphericalPoint a{0.5, 0.1, 1}, b{0.5, 0.2, 1}, c{0.5, 0.3, 1}, d{1.5, 0.3, 1};
    double d12 = 0, d13 = 0, u = 7, v = 7;
    EXPECT_FALSE(kestil_polar_alignment_error_3p(&a, &b, &c, &d12, &d13, &u, &v));  // same HA
    EXPECT_FALSE(kestil_polar_alignment_error_3p(&a, &b, &d, &d12, &d13, &u, &v));  // two same
    EXPECT_FALSE(kestil_polar_alignment_error_3p(&a, &b, nullptr, &d12, &d13, &u, &v));
    EXPECT_FALSE(kestil_polar_alignment_error_3p(&a, &d, &c, &d12, &d13, &u, nullptr));
    EXPECT_EQ(7.0, u);  // untouched when refused
    EXPECT_EQ(7.0, v);
}

TEST(PolarError, ThreePositionsAtZeroNinetyAndOneEighty) {
    // D = -2; u = -d13 / 2 and v = d13 / 2 - d12.
    struct Case { double lat1, lat2, lat3; };
    const Case cases[] = {{0.1, 0.12, 0.15}, {-0.4, -0.41, -0.38}, {1.0, 1.0, 1.0}};
    for (const Case& c : cases) {
        const SphericalPoint p1{0.0, c.lat1, 1}, p2{pi / 2, c.lat2, 1}, p3{pi, c.lat3, 1};
        double d12 = 0, d13 = 0, u = 0, v = 0;
        ASSERT_TRUE(kestil_polar_alignment_error_3p(&p1, &p2, &p3, &d12, &d13, &u, &v));
        EXPECT_DOUBLE_EQ(c.lat2 - c.lat1, d12);
        EXPECT_DOUBLE_EQ(c.lat3 - c.lat1, d13);
        // cos(pi/2) is 6e-17, not 0: the solution carries round-off of that order.
        EXPECT_NEAR(-d13 / 2, u, 1e-15);
        EXPECT_NEAR(d13 / 2 - d12, v, 1e-15);
    }
}

TEST(PolarError, ThreePositionsRecoverAnAppliedError) {
    // A small error applied to a star at three hour angles moves its declination by
    // u cos(-H) + v sin(-H) to first order: the estimate recovers (u, v) up to terms of the
    // order of the error squared (a few 1e-5 rad here).
    for (double u : {-0.004, 0.003})
        for (double v : {-0.002, 0.005})
            for (double dec : {0.2, 0.9}) {
                const double hour_angles[3] = {-0.6, 0.1, 0.9};
                SphericalPoint seen[3];
                for (int k = 0; k < 3; ++k) {
                    const SphericalPoint p{hour_angles[k], dec, 1.0};
                    kestil_apply_polar_error(&seen[k], &p, u, v);
                }
                double d12 = 0, d13 = 0, eu = 0, ev = 0;
                ASSERT_TRUE(kestil_polar_alignment_error_3p(&seen[0], &seen[1], &seen[2], &d12,
                                                            &d13, &eu, &ev));
                EXPECT_NEAR(u, eu, 1e-4) << u << " " << v << " " << dec;
                EXPECT_NEAR(v, ev, 1e-4) << u << " " << v << " " << dec;
            }
}

TEST(PolarError, ReestimationConvergesToAKnownError) {
    // One position leaves a valley of near-solutions; the coarse first pass can settle in the
    // wrong part of it for some geometries, so these cases are ones whose valley floor the
    // 0.2 degree grid resolves.
    struct Case { double u_deg, v_deg, ha, dec; bool ok; };
    const Case cases[] = {{0.0, 0.0, 1.0, 0.5, true},    {1.234, -0.567, 0.3, 0.7, true},
                          {-3.3, 2.1, 1.0, 0.3, true},   {0.05, 0.0101, 4.0, 1.1, true},
                          {9.3, -9.1, 0.8, 0.3, true},   {-6.0, -7.0, 0.3, 0.7, true},
                          {-2.0, 3.0, 5.5, 0.9, true},   {9.8, 0.5, 0.3, 0.7, false},
                          {0.5, -9.7, 1.5, 0.2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.u_deg << " " << c.v_deg);
        const SphericalPoint target{c.ha, c.dec, 1.0};
        SphericalPoint measured{};
        kestil_apply_polar_error(&measured, &target, c.u_deg * rad_per_deg, c.v_deg * rad_per_deg);
        double u = 99, v = 99;
        EXPECT_EQ(c.ok, kestil_reestimate_polar_error(&measured, &target, &u, &v));
        // The last pass steps by 0.0002 degree.
        EXPECT_NEAR(c.u_deg, u / rad_per_deg, 0.0002);
        EXPECT_NEAR(c.v_deg, v / rad_per_deg, 0.0002);
    }
    const SphericalPoint p{1.0, 0.5, 1.0};
    double u = 7;
    EXPECT_FALSE(kestil_reestimate_polar_error(&p, &p, &u, nullptr));
    EXPECT_EQ(7.0, u);
}

TEST(PolarError, SearchRefusesUnusableGrids) {
    const SphericalPoint p{1.0, 0.5, 1.0};
    struct Case { double from, to, step; };
    const Case cases[] = {{-0.1, 0.1, 0.0}, {-0.1, 0.1, -0.01}, {-0.1, 0.1, NAN},
                          {-INFINITY, 0.1, 0.01}, {0.1, -0.1, 0.01},
                          {-0.1, 0.1, 1e-9}};  // 2e8 points: refused rather than run for hours
    for (const Case& c : cases) {
        double u = 7, v = 7;
        search_polar_error(&p, &p, c.from, c.to, c.step, -0.1, 0.1, 0.01, &u, &v);
        search_polar_error(&p, &p, -0.1, 0.1, 0.01, c.from, c.to, c.step, &u, &v);
        EXPECT_EQ(7.0, u);  // nothing searched, nothing written
        EXPECT_EQ(7.0, v);
    }
    // A usable grid finds the first point nearest the answer in (v, u) order.
    double u = 7, v = 7;
    search_polar_error(&p, &p, -0.1, 0.1, 0.05, -0.1, 0.1, 0.05, &u, &v);
    EXPECT_NEAR(0.0, u, 1e-15);  // -0.1 + 2 * 0.05 in floating point
    EXPECT_NEAR(0.0, v, 1e-15);
}

}  // namespace
