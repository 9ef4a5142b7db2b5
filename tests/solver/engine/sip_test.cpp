// Tests of the SIP plate: pixel <-> sky through hand-computed cases and round trips of every
// kind of plate, and the refinement after a solve on synthetic fields with known distortion
// (recovered at the corners), without distortion (no terms) and with too few matches.
#include "solver/engine/sip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

// A synthetic field: stars at random linear positions of a TAN plate, seen through a radial
// distortion about the reference pixel (as the simulator renders it: r' = r (1 + k (r / rc)^2),
// rc the half diagonal) and an optional quadratic one, with Gaussian centroid noise; some index
// stars undetected and some detections without an index star.
struct Field {
    SolverWcs truth;                  // the linear plate
    double k = 0.0;                   // radial distortion at the corner, fraction of rc
    double quadratic = 0.0;           // x' = x + quadratic u v (pixels^-1)
    int width = 4000, height = 3000;
    std::vector<SolverStar> detections, index_stars;

    double rc() const { return 0.5 * std::hypot(width, height); }
    void distort(double u, double v, double* ud, double* vd) const {
        const double f = 1.0 + k * (u * u + v * v) / (rc() * rc());
        *ud = u * f + quadratic * u * v;
        *vd = v * f;
    }
    // The true sky position of a pixel: the linear offsets whose distortion is the pixel's,
    // by Newton steps on the (analytic) distortion, then the linear plate.
    void sky_of_pixel(double x, double y, double* ra, double* dec) const {
        const double tu = x - truth.crpix[0], tv = y - truth.crpix[1];
        double u = tu, v = tv;
        for (int i = 0; i < 50; ++i) {
            double ud, vd;
            distort(u, v, &ud, &vd);
            const double r2 = (u * u + v * v) / (rc() * rc());
            const double j11 = 1 + k * r2 + 2 * k * u * u / (rc() * rc()) + quadratic * v;
            const double j12 = 2 * k * u * v / (rc() * rc()) + quadratic * u;
            const double j21 = 2 * k * u * v / (rc() * rc());
            const double j22 = 1 + k * r2 + 2 * k * v * v / (rc() * rc());
            const double det = j11 * j22 - j12 * j21;
            u -= (j22 * (ud - tu) - j12 * (vd - tv)) / det;
            v -= (j11 * (vd - tv) - j21 * (ud - tu)) / det;
        }
        kestil_solver_wcs_pixel_to_sky(&truth, u + truth.crpix[0], v + truth.crpix[1], ra, dec);
    }
};

Field make_field(double ra, double dec, double scale, double angle, int parity, double k,
                 double quadratic, int stars, double noise_px, double spread, uint32_t seed) {
    Field f;
    f.truth = tan_wcs(ra, dec, scale, angle, parity);
    f.k = k;
    f.quadratic = quadratic;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, noise_px);
    while (static_cast<int>(f.index_stars.size()) < stars) {
        // Uniform over the middle `spread` of each side (1 = the whole image).
        const double u = (unit(random) - 0.5) * spread * f.width;
        const double v = (unit(random) - 0.5) * spread * f.height;
        double ud, vd;
        f.distort(u, v, &ud, &vd);
        const double x = ud + f.truth.crpix[0], y = vd + f.truth.crpix[1];
        if (x < 0.5 || x > f.width + 0.5 || y < 0.5 || y > f.height + 0.5) continue;
        SolverStar star{};
        kestil_solver_wcs_pixel_to_sky(&f.truth, u + f.truth.crpix[0], v + f.truth.crpix[1],
                                       &star.ra, &star.dec);
        f.index_stars.push_back(star);
        if (unit(random) < 0.15) continue;  // not detected
        f.detections.push_back({x + noise(random), y + noise(random), 0, 0, 100.0});
    }
    for (int i = 0; i < stars / 5; ++i)  // detections of no index star
        f.detections.push_back({0.5 + unit(random) * f.width, 0.5 + unit(random) * f.height, 0, 0, 50.0});
    return f;
}

// The solve's plate: the linear plate with the scale and centre a TAN fit to the distorted
// stars would take (the mean radial stretch), a little off.
SolverWcs solved_plate(const Field& f) {
    SolverWcs w = f.truth;
    for (auto& row : w.cd)
        for (double& c : row) c *= 1.0 + 0.5 * f.k;
    w.crval[1] += 0.3 * std::fabs(w.cd[0][0]);
    return w;
}

// The largest distance (pixels) between the plate's and the truth's sky positions of the
// image's four corners.
double worst_corner_px(const Field& f, const SolverWcs& w) {
    double worst = 0.0;
    const double scale = std::sqrt(std::fabs(f.truth.cd[0][0] * f.truth.cd[1][1] -
                                             f.truth.cd[0][1] * f.truth.cd[1][0]));
    for (double x : {0.5, f.width + 0.5})
        for (double y : {0.5, f.height + 0.5}) {
            double ra, dec, true_ra, true_dec;
            EXPECT_TRUE(kestil_solver_wcs_pixel_to_sky(&w, x, y, &ra, &dec));
            f.sky_of_pixel(x, y, &true_ra, &true_dec);
            const double a1 = ra * rad_per_deg, d1 = dec * rad_per_deg;
            const double a2 = true_ra * rad_per_deg, d2 = true_dec * rad_per_deg;
            const double h = std::sin((d2 - d1) / 2) * std::sin((d2 - d1) / 2) +
                             std::cos(d1) * std::cos(d2) * std::sin((a2 - a1) / 2) * std::sin((a2 - a1) / 2);
            worst = std::max(worst, 2 * std::asin(std::sqrt(h)) / rad_per_deg / scale);
        }
    return worst;
}

struct Refined {
    bool ok;
    SolverWcs wcs;
    std::vector<SolverMatch> matches;
    double rms_linear, rms_fitted;
};

Refined refine(const Field& f, int max_order, int capacity = 100000) {
    Refined r{};
    r.wcs = solved_plate(f);
    r.matches.resize(static_cast<size_t>(capacity));
    int32_t count = -1;
    r.ok = kestil_solver_refine_wcs(f.detections.data(), static_cast<int32_t>(f.detections.size()),
                                    f.index_stars.data(), static_cast<int32_t>(f.index_stars.size()),
                                    f.width, f.height, max_order, &r.wcs, r.matches.data(),
                                    capacity, &count, &r.rms_linear, &r.rms_fitted);
    r.matches.resize(static_cast<size_t>(std::max(count, 0)));
    return r;
}

TEST(SipRefine, RecoversDistortionAtTheCorners) {
    // 16 x 12 degree fields (0.004 degree per pixel, 4000 x 3000), 1000 stars with 0.05 pixel
    // centroid noise. The corners must come within 0.05 pixel of the truth: a TAN plate misses
    // them by pixels (k rc = 5 pixels at the corner for k = 0.002) and order 2 can't bend
    // radially. Without noise they come within 0.02 pixel (the order-5 part of the inverse of a
    // radial distortion is left); the noise adds about as much at the extrapolated corners.
    // Radial distortion takes the model of the radial terms alone (A_3_0 = A_1_2, B_2_1 = B_0_3,
    // no other cubic terms), with the quadratic terms where they exist.
    struct Case { double ra, dec, angle; int parity; double k, quadratic; int max_order, order; bool radial; const char* what; };
    const Case cases[] = {
        {150.0, 30.0, 20.0, 1, 0.002, 0.0, 3, 3, true, "pincushion"},
        {359.9, -70.0, 250.0, -1, -0.003, 0.0, 3, 3, true, "barrel, mirrored, across RA 0"},
        {10.0, 89.0, 90.0, 1, 0.0, 1e-6, 2, 2, false, "quadratic only, at the pole"},
        {80.0, 5.0, 0.0, 1, 0.002, 1e-6, 3, 3, true, "both"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Field f = make_field(c.ra, c.dec, 0.004, c.angle, c.parity, c.k, c.quadratic, 1000, 0.05,
                             1.0, 7);
        const double tan_error = worst_corner_px(f, solved_plate(f));
        Refined r = refine(f, c.max_order);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(c.order, r.wcs.sip_order);
        EXPECT_EQ(c.order + 1, r.wcs.inverse_order);
        EXPECT_EQ(2000.5, r.wcs.crpix[0]);  // the reference pixel stays
        if (c.radial) {
            EXPECT_EQ(r.wcs.a[3][0], r.wcs.a[1][2]);
            EXPECT_EQ(r.wcs.b[2][1], r.wcs.b[0][3]);
            EXPECT_NE(0.0, r.wcs.a[3][0]);
        }
        EXPECT_EQ(c.quadratic != 0.0, r.wcs.a[1][1] != 0.0);
        EXPECT_GT(tan_error, 1.0);
        EXPECT_LT(worst_corner_px(f, r.wcs), 0.05);
        // Nearly every detected star is matched (850 of 1000 detected; a few fall behind others).
        EXPECT_GT(r.matches.size(), 800u);
        // The noise is 0.05 pixel per axis: rms 0.07 pixel with terms, far more without.
        EXPECT_LT(r.rms_fitted, 0.09);
        EXPECT_GT(r.rms_linear, 3 * r.rms_fitted);
        double sum = 0;
        for (const SolverMatch& m : r.matches) sum += m.residual * m.residual;
        EXPECT_NEAR(r.rms_fitted, std::sqrt(sum / r.matches.size()), 1e-9);
        // The inverse terms alone (no Newton) put the corners within 0.01 pixel.
        SolverWcs inverse_only = r.wcs;
        for (double x : {0.5, 4000.5})
            for (double y : {0.5, 3000.5}) {
                double ra, dec, xi, eta;
                ASSERT_TRUE(kestil_solver_wcs_pixel_to_sky(&r.wcs, x, y, &ra, &dec));
                inverse_only.sip_order = 0;  // the linear path, then AP/BP by hand
                ASSERT_TRUE(kestil_solver_wcs_sky_to_pixel(&inverse_only, ra, dec, &xi, &eta));
                const double up = xi - 2000.5, vp = eta - 1500.5;
                double u = up, v = vp;
                for (int p = 0; p <= 4; ++p)
                    for (int q = 0; p + q <= 4; ++q) {
                        u += r.wcs.ap[p][q] * std::pow(up, p) * std::pow(vp, q);
                        v += r.wcs.bp[p][q] * std::pow(up, p) * std::pow(vp, q);
                    }
                EXPECT_NEAR(x, u + 2000.5, 0.01);
                EXPECT_NEAR(y, v + 1500.5, 0.01);
            }
    }
}

TEST(SipRefine, NoTermsWithoutDistortionOrWithoutEnoughStars) {
    // Terms fitted to noise, to a handful of stars or to stars of the centre alone would bend
    // the corners at random: the plate stays TAN (refitted), and its corners no worse.
    struct Case { double k; int stars; double spread; const char* what; };
    const Case cases[] = {
        {0.0, 400, 1.0, "undistorted, noisy"},
        {0.002, 19, 1.0, "distorted, 19 stars (fewer than the 20 pairs of any terms)"},
        {0.002, 300, 0.3, "distorted, stars of the centre only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (uint32_t seed = 1; seed <= 5; ++seed) {
            Field f = make_field(40.0, -20.0, 0.004, 120.0, 1, c.k, 0.0, c.stars, 0.3, c.spread,
                                 seed);
            Refined r = refine(f, 3);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(0, r.wcs.sip_order) << seed;
            EXPECT_EQ(0, r.wcs.inverse_order);
            EXPECT_EQ(r.rms_linear, r.rms_fitted);
            if (c.k == 0.0) {
                // 0.3 pixel noise: rms 0.42 pixel; the refitted TAN plate within 0.2 pixel at the
                // corners (the given plate was 0.3 pixel off).
                EXPECT_NEAR(0.42, r.rms_fitted, 0.05);
                EXPECT_LT(worst_corner_px(f, r.wcs), 0.2);
            }
        }
    }
}

TEST(SipRefine, MatchOnlyLeavesThePlateAndFillsWhatFits) {  // and order 1 refits TAN only
    Field f = make_field(200.0, 10.0, 0.004, 0.0, 1, 0.002, 0.0, 400, 0.1, 1.0, 3);
    const SolverWcs given = solved_plate(f);
    Refined r = refine(f, 0);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(0, std::memcmp(&given, &r.wcs, sizeof given));
    EXPECT_GT(r.matches.size(), 200u);
    EXPECT_EQ(r.rms_linear, r.rms_fitted);
    for (size_t i = 1; i < r.matches.size(); ++i)  // in the order of the detections
        ASSERT_TRUE(r.matches[i - 1].flux >= r.matches[i].flux);
    // Order 1: the TAN plate refitted, no terms; closer at the corners than the given plate,
    // which was 0.3 pixel off besides the distortion.
    Refined tan = refine(f, 1);
    ASSERT_TRUE(tan.ok);
    EXPECT_EQ(0, tan.wcs.sip_order);
    EXPECT_EQ(tan.rms_linear, tan.rms_fitted);
    EXPECT_LT(worst_corner_px(f, tan.wcs), worst_corner_px(f, given));
    // A plate already right, on centroids with 1 pixel of noise: a refit gains only what it
    // gains by chance and is not taken.
    Field noisy = make_field(200.0, 10.0, 0.004, 0.0, 1, 0.0, 0.0, 200, 1.0, 1.0, 5);
    SolverWcs kept = noisy.truth;
    std::vector<SolverMatch> pairs(1000);
    int32_t count = 0;
    double rms_linear = 0, rms_fitted = 0;
    ASSERT_TRUE(kestil_solver_refine_wcs(
        noisy.detections.data(), static_cast<int32_t>(noisy.detections.size()),
        noisy.index_stars.data(), static_cast<int32_t>(noisy.index_stars.size()), noisy.width,
        noisy.height, 1, &kept, pairs.data(), 1000, &count, &rms_linear, &rms_fitted));
    EXPECT_GT(count, 100);
    EXPECT_EQ(0, std::memcmp(&noisy.truth, &kept, sizeof kept));
    // Detections at no finite position are ignored, not sorted among the others.
    Field broken = f;
    for (size_t i = 0; i < broken.detections.size(); i += 4)  // every fourth, brightest first
        broken.detections.insert(broken.detections.begin() + static_cast<ptrdiff_t>(i),
                                 {i % 8 ? NAN : 100.0, i % 8 ? 10.0 : INFINITY, 0, 0, 1e9});
    Refined from_broken = refine(broken, 3), from_clean = refine(f, 3);
    ASSERT_TRUE(from_broken.ok);
    EXPECT_EQ(from_clean.matches.size(), from_broken.matches.size());
    EXPECT_EQ(0, std::memcmp(&from_clean.wcs, &from_broken.wcs, sizeof from_clean.wcs));
    // Capacity: the first 10 pairs; none when there is no room.
    Refined all = refine(f, 3), ten = refine(f, 3, 10), none = refine(f, 3, 0);
    ASSERT_TRUE(ten.ok && none.ok);
    ASSERT_EQ(10u, ten.matches.size());
    EXPECT_EQ(0u, none.matches.size());
    EXPECT_EQ(all.rms_fitted, ten.rms_fitted);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(all.matches[i].x, ten.matches[i].x);
}

TEST(SipRefine, RefusesUnusableInput) {
    Field f = make_field(200.0, 10.0, 0.004, 0.0, 1, 0.0, 0.0, 50, 0.1, 1.0, 3);
    SolverMatch match[1];
    struct Case { int detections, index, width, max_order; bool null_wcs, singular; const char* what; };
    const Case cases[] = {{-1, 50, 4000, 3, false, false, "negative count"},
                          {10, 50, 0, 3, false, false, "no image"},
                          {10, 50, 4000, 4, false, false, "order 4"},
                          {10, 50, 4000, -1, false, false, "order -1"},
                          {10, 50, 4000, 3, true, false, "no plate"},
                          {10, 50, 4000, 3, false, true, "singular plate"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolverWcs w = solved_plate(f);
        if (c.singular) w.cd[0][0] = w.cd[0][1] = 0.0;
        const SolverWcs before = w;
        int32_t count = 7;
        double linear = 7, fitted = 7;
        EXPECT_FALSE(kestil_solver_refine_wcs(f.detections.data(), c.detections,
                                              f.index_stars.data(), c.index, c.width, 3000,
                                              c.max_order, c.null_wcs ? nullptr : &w, match, 1,
                                              &count, &linear, &fitted));
        EXPECT_EQ(7, count);
        EXPECT_EQ(7.0, linear);
        EXPECT_EQ(0, std::memcmp(&before, &w, sizeof w));
    }
}

}  // namespace
