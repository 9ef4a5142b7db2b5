// Tests of the solution fit: the tangent projection, parity and angle of known maps, outlier
// rejection, the minimum of 6 pairs.
#include "solver/engine/plate_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "framework/angles.h"

namespace {

// Gnomonic deprojection in double precision (Calabretta & Greisen 2002, eqs. 54 and 5), written
// independently of the code under test: the native spherical coordinates of (xi, eta) rotated
// to the celestial pole.
void sky_from_plane(double ra0, double dec0, double xi, double eta, double* ra, double* dec) {
    double rho = std::hypot(xi, eta);
    double c = std::atan(rho);
    double sin_c = std::sin(c), cos_c = std::cos(c);
    *dec = rho == 0 ? dec0 : std::asin(cos_c * std::sin(dec0) + eta * sin_c * std::cos(dec0) / rho);
    *ra = ra0 + std::atan2(xi * sin_c, rho * std::cos(dec0) * cos_c - eta * std::sin(dec0) * sin_c);
    *ra = std::fmod(*ra + 4 * pi, two_pi);
}

TEST(PlateFit, ProjectionRoundTripAndFarSide) {
    struct Case { double ra0, dec0, ra, dec; bool ok; };
    const Case cases[] = {
        {10, 20, 10.5, 20.3, true},  {359.8, 0, 0.3, -0.4, true}, {0.2, 0, 359.5, 0.1, true},
        {120, 89.5, 300, 89.2, true}, {0, 0, 180, 0, false},       {0, 0, 90.5, 0, false},
        {45, -60, 50, -61, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ra);
        float xi = 7, eta = 7;
        bool ok = project_tangent(static_cast<float>(c.ra0 * rad_per_deg), static_cast<float>(c.dec0 * rad_per_deg),
                                  static_cast<float>(c.ra * rad_per_deg), static_cast<float>(c.dec * rad_per_deg),
                                  &xi, &eta);
        ASSERT_EQ(c.ok, ok);
        if (!ok) {
            EXPECT_EQ(7.0f, xi);
            continue;
        }
        double ra = 0, dec = 0;
        sky_from_plane(c.ra0 * rad_per_deg, c.dec0 * rad_per_deg, xi, eta, &ra, &dec);
        // Single-precision trigonometry and storage: a few 1e-7 rad; a wrong formula is far off.
        EXPECT_NEAR(c.dec * rad_per_deg, dec, 2e-6);
        EXPECT_NEAR(0.0, std::remainder(c.ra * rad_per_deg - ra, two_pi) * std::cos(dec), 2e-6);
        float back_ra = 0, back_dec = 0;
        deproject_tangent(static_cast<float>(c.ra0 * rad_per_deg), static_cast<float>(c.dec0 * rad_per_deg),
                          xi, eta, &back_ra, &back_dec);
        EXPECT_GE(back_ra, 0.0f);
        EXPECT_LT(back_ra, static_cast<float>(two_pi));
        EXPECT_NEAR(dec, back_dec, 2e-6);
        EXPECT_NEAR(0.0, std::remainder(ra - back_ra, two_pi) * std::cos(dec), 2e-6);
    }
}

struct Field {
    std::vector<ImageStar> image;
    std::vector<CatalogStar> catalog;
    std::vector<StarMatch> pairs;
};

// Stars of a 1000 x 800 image mapped by xi = a x + b y, eta = c x + d y (x, y from the image
// centre) around (ra0, dec0); pairs listed in star order with the given votes.
Field make_field(double ra0, double dec0, double a, double b, double c, double d, int n,
                 uint32_t seed) {
    Field f;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> px(5, 995), py(5, 795);
    f.image.resize(static_cast<size_t>(n));
    f.catalog.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        ImageStar& s = f.image[static_cast<size_t>(i)];
        s = {1.0f, px(random), py(random)};
        double x = s.x - 500.0, y = s.y - 400.0, ra, dec;
        sky_from_plane(ra0, dec0, a * x + b * y, c * x + d * y, &ra, &dec);
        f.catalog[static_cast<size_t>(i)] = {static_cast<float>(ra), static_cast<float>(dec)};
    }
    for (int i = 0; i < n; ++i)
        f.pairs.push_back({&f.image[static_cast<size_t>(i)], &f.catalog[static_cast<size_t>(i)], 1});
    return f;
}

struct Solution {
    bool ok;
    float ra, dec, angle, scale, rms;
    int32_t parity, matched;
};

Solution solve(const Field& f, int n) {
    Solution s{};
    s.ok = kestil_solver_compute_center(f.pairs.data(), n, 1000, 800, &s.ra, &s.dec, &s.angle,
                                        &s.scale, &s.parity, &s.matched, &s.rms);
    return s;
}

TEST(PlateFit, ParityAndAngleOfKnownMaps) {
    const double s = 1e-5;  // about 2 arcseconds per pixel
    struct Case {
        const char* what;
        double a, b, c, d;
        int parity;
        double angle_deg;
    };
    const Case cases[] = {
        {"x to -xi, y to -eta", -s, 0, 0, -s, -1, 180},
        {"x to eta, y to -xi", 0, -s, s, 0, -1, 270},
        {"mirrored in x", s, 0, 0, -s, 1, 180},
        {"mirrored quarter turn", 0, -s, -s, 0, 1, 270},
        {"30 degrees", -s * std::cos(pi / 6), s * std::sin(pi / 6), -s * std::sin(pi / 6),
         -s * std::cos(pi / 6), -1, 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const double ra0 = 3.0, dec0 = 0.5;
        Field f = make_field(ra0, dec0, c.a, c.b, c.c, c.d, 30, 42);
        Solution sol = solve(f, 30);
        ASSERT_TRUE(sol.ok);
        EXPECT_EQ(c.parity, sol.parity);
        // Angles: float storage of the fit, well under 0.001 degree.
        EXPECT_NEAR(c.angle_deg, sol.angle / rad_per_deg, 1e-3);
        EXPECT_NEAR(s, sol.scale, s * 1e-4);  // single-precision least squares
        EXPECT_EQ(30, sol.matched);
        // Centre: float positions of about 3 rad carry 2.4e-7 rad steps.
        EXPECT_NEAR(dec0, sol.dec, 1e-6);
        EXPECT_NEAR(ra0, sol.ra, 1e-6 / std::cos(dec0));
        EXPECT_LT(sol.rms, 0.05 * s);
    }
}

TEST(PlateFit, OutliersAreDropped) {
    const double s = 1e-5;
    Field f = make_field(1.0, -0.3, 0, s, s, 0, 50, 7);
    // Ten pairs are 40 to 90 pixels off; two of them among the anchors.
    const int far[] = {2, 5, 11, 17, 23, 29, 31, 37, 43, 47};
    int k = 0;
    for (int i : far) {
        ImageStar& star = f.image[static_cast<size_t>(i)];
        star.x += 40.0f + 5.0f * k;
        star.y -= 30.0f + 3.0f * k;
        ++k;
    }
    Solution sol = solve(f, 50);
    ASSERT_TRUE(sol.ok);
    EXPECT_EQ(40, sol.matched);
    EXPECT_NEAR(-0.3, sol.dec, 1e-6);
}

TEST(PlateFit, FivePerfectPairsAreNotEnough) {
    const double s = 1e-5;
    Field f = make_field(2.0, 0.1, -s, 0, 0, -s, 5, 3);
    engine_test::LogCapture log;
    Solution sol = solve(f, 5);
    EXPECT_FALSE(sol.ok);
    EXPECT_TRUE(log.contains(
        "kestil_solver_compute_center: no consistent set of matches found (5 of 5)"));
    log.clear();
    EXPECT_FALSE(solve(f, 2).ok);  // fewer than 3 pairs: no log line at all
    EXPECT_TRUE(log.lines().empty());
}

TEST(PlateFit, SixPairsSolveAndTheLogLineReportsThem) {
    const double s = 1e-5;
    Field f = make_field(2.0, 0.1, -s, 0, 0, -s, 6, 3);
    engine_test::LogCapture log;
    Solution sol = solve(f, 6);
    ASSERT_TRUE(sol.ok);
    EXPECT_EQ(6, sol.matched);
    EXPECT_TRUE(log.contains("kestil_solver_compute_center: RA = 114.592°, DEC = 5.730°, rotation = 180.00°, scale = 2.06\"/pix, 6 of 6 matches"));
}

TEST(PlateFit, FitPlaneNeedsThreeRegularPoints) {
    const float x[] = {0, 1, 2, 0}, y[] = {0, 0, 0, 1}, z[] = {1, 3, 5, 4};
    float c[3] = {9, 9, 9};
    EXPECT_FALSE(fit_plane(x, y, z, 2, c));
    EXPECT_FALSE(fit_plane(x, y, z, 3, c));  // collinear: singular
    EXPECT_EQ(9.0f, c[0]);
    ASSERT_TRUE(fit_plane(x, y, z, 4, c));  // z = 1 + 2x + 3y exactly
    EXPECT_NEAR(1.0f, c[0], 1e-6);
    EXPECT_NEAR(2.0f, c[1], 1e-6);
    EXPECT_NEAR(3.0f, c[2], 1e-6);
}

}  // namespace
