// Tests of framework/precession: published values, round trips, and agreement with ERFA's
// IAU 1976 precession angles (eraPrec76, in the rotation eraPmat76 builds from them).
#include "framework/precession.h"

#include <erfa.h>
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "framework/angles.h"

namespace {

// Julian date (TT, as one number) of a Julian epoch.
double jd_of_epoch(double epoch) { return 2451545.0 + (epoch - 2000.0) * 365.25; }

// ERFA's precession of a direction from one epoch to another: the rotation
// R3(-z) R2(theta) R3(-zeta) built from eraPrec76's angles (as eraPmat76 does from J2000).
void erfa_precess(double from, double to, double lon, double lat, double* out_lon,
                  double* out_lat) {
    double zeta = 0, z = 0, theta = 0;
    eraPrec76(jd_of_epoch(from), 0.0, jd_of_epoch(to), 0.0, &zeta, &z, &theta);
    double r[3][3];
    eraIr(r);
    eraRz(-zeta, r);
    eraRy(theta, r);
    eraRz(-z, r);
    double p[3], q[3];
    eraS2c(lon, lat, p);
    eraRxp(r, p, q);
    eraC2s(q, out_lon, out_lat);
    *out_lon = eraAnp(*out_lon);
}

TEST(Precession, PublishedValueFrom2000To2025) {
    const SphericalPoint origin{0.0, 0.0, 0.0};
    const SphericalPoint p = kestil_precess(&origin, 2000.0, 2025.0);
    // Published to five decimals of a degree: half a unit of the last place.
    EXPECT_NEAR(0.32033, p.lon / rad_per_deg, 0.000005);
    EXPECT_NEAR(0.13918, p.lat / rad_per_deg, 0.000005);
    EXPECT_EQ(1.0, p.r);

    const SphericalPoint back = kestil_precess(&p, 2025.0, 2000.0);
    // The way back may land a hair below 0 and come out as 2 pi: compare modulo 2 pi.
    const double lon = std::remainder(back.lon, 2.0 * pi);
    EXPECT_NEAR(0.0, lon, 1e-12);  // round-off of a few rotations
    EXPECT_NEAR(0.0, back.lat, 1e-12);
    EXPECT_GE(back.lon, 0.0);
    EXPECT_LE(back.lon, 2.0 * pi);
}

TEST(Precession, SameEpochNormalisesOnly) {
    struct Case { double lon, lat, want_lon; const char* what; };
    const Case cases[] = {{1.0, 0.5, 1.0, "plain"},
                          {-0.5, -0.2, 2.0 * pi - 0.5, "negative right ascension wraps"},
                          {0.0, pi / 2, 0.0, "north pole"},
                          {3.0, -pi / 2, 3.0, "south pole"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SphericalPoint in{c.lon, c.lat, 7.0};
        const SphericalPoint out = kestil_precess(&in, 2017.5, 2017.5);
        // Identity rotation: only the sin/cos/atan2 round trip, a few ulps.
        if (std::fabs(c.lat) < pi / 2) {
            EXPECT_NEAR(c.want_lon, out.lon, 1e-14);
        }
        EXPECT_NEAR(c.lat, out.lat, 1e-7);  // asin near +-1 loses half the digits
        EXPECT_TRUE(std::isfinite(out.lon));
        EXPECT_EQ(1.0, out.r);
    }
}

TEST(Precession, PolesStayFinite) {
    for (double lat : {pi / 2, -pi / 2}) {
        const SphericalPoint in{0.0, lat, 0.0};
        const SphericalPoint out = kestil_precess(&in, 2000.0, 2100.0);
        EXPECT_TRUE(std::isfinite(out.lon));
        EXPECT_TRUE(std::isfinite(out.lat));
        // The pole moves by theta, about 0.557 degree per century.
        EXPECT_NEAR(std::fabs(lat) - 0.5567 * rad_per_deg, std::fabs(out.lat), 1e-4);
    }
}

TEST(Precession, AgreesWithErfaOverAGrid) {
    const double epochs[][2] = {{2000.0, 2025.0}, {2000.0, 1950.0}, {1950.0, 2000.0},
                                {1875.0, 2150.0}, {2026.9, 2000.0}, {1500.0, 2500.0}};
    // Worst seen: 3.4e-14 rad.
    int compared = 0;
    for (const auto& e : epochs) {
        for (double ra_deg = 0.0; ra_deg < 360.0; ra_deg += 22.5) {
            for (double dec_deg = -89.0; dec_deg <= 89.0; dec_deg += 17.8) {
                SCOPED_TRACE(testing::Message() << e[0] << " -> " << e[1] << " at " << ra_deg
                                                << ", " << dec_deg);
                const SphericalPoint in{ra_deg * rad_per_deg, dec_deg * rad_per_deg, 0.0};
                const SphericalPoint out = kestil_precess(&in, e[0], e[1]);
                double lon = 0, lat = 0;
                erfa_precess(e[0], e[1], in.lon, in.lat, &lon, &lat);
                // Same theory, different arrangement of the polynomials (centuries versus
                // millennia): agreement to round-off; 1e-9 rad (0.2 mas) leaves ample margin.
                EXPECT_LT(eraSeps(lon, lat, out.lon, out.lat), 1e-9);
                if (e[0] == 2000.0) {  // and ERFA's own matrix from J2000 to the date
                    double r[3][3], p[3], q[3];
                    eraPmat76(jd_of_epoch(e[1]), 0.0, r);
                    eraS2c(in.lon, in.lat, p);
                    eraRxp(r, p, q);
                    eraC2s(q, &lon, &lat);
                    EXPECT_LT(eraSeps(lon, lat, out.lon, out.lat), 1e-9);
                }
                ++compared;
            }
        }
    }
    EXPECT_EQ(6 * 16 * 11, compared);
}

TEST(Precession, RoundTripsBetweenEpochs) {
    for (double epoch : {1800.0, 1950.0, 2026.0, 2300.0}) {
        for (double ra_deg = 3.0; ra_deg < 360.0; ra_deg += 37.0) {
            for (double dec_deg = -88.0; dec_deg <= 88.0; dec_deg += 22.0) {
                const SphericalPoint in{ra_deg * rad_per_deg, dec_deg * rad_per_deg, 0.0};
                const SphericalPoint there = kestil_precess(&in, 2000.0, epoch);
                const SphericalPoint back = kestil_precess(&there, epoch, 2000.0);
                // The reverse angles are not the exact inverse rotation (the series are
                // truncated); over 300 years the mismatch stays below 1e-9 rad.
                EXPECT_LT(eraSeps(in.lon, in.lat, back.lon, back.lat), 1e-9)
                    << epoch << " " << ra_deg << " " << dec_deg;
            }
        }
    }
}

TEST(Precession, EpochOfDate) {
    // eraEpj is ERFA's Julian epoch of a Julian date.
    for (double jd : {2451545.0, 2440587.5, 2460000.25, 2488069.5}) {
        EXPECT_NEAR(eraEpj(jd, 0.0), kestil_eq_of_date(jd), 1e-12) << jd;  // round-off
    }
    EXPECT_EQ(2000.0, kestil_eq_of_date(2451545.0));
}

TEST(Precession, JnowFollowsTheSystemClock) {
    const double before = eraEpj(2440587.5, static_cast<double>(std::time(nullptr)) / 86400.0);
    const double now = kestil_jnow();
    const double after = eraEpj(2440587.5, static_cast<double>(std::time(nullptr)) / 86400.0);
    // Whole seconds plus the fixed 0.03 s: within one second (3.2e-8 years) of the clock reads.
    const double second_in_years = 1.0 / (86400.0 * 365.25);
    EXPECT_GE(now, before - 1e-12);
    EXPECT_LE(now, after + second_in_years);
}

TEST(Precession, InPlaceWrappers) {
    // Epoch 2000 leaves the values bit for bit.
    double ra = 5.5, dec = -12.25;
    kestil_eq_to_j2k(2000.0, &ra, &dec);
    EXPECT_EQ(5.5, ra);
    EXPECT_EQ(-12.25, dec);
    kestil_j2k_to_eq(2000.0, &ra, &dec);
    EXPECT_EQ(5.5, ra);
    EXPECT_EQ(-12.25, dec);

    // Hours and degrees against ERFA: 1e-9 rad is 3.8e-9 h and 5.7e-8 degree.
    ra = 0.0, dec = 0.0;
    kestil_j2k_to_eq(2025.0, &ra, &dec);
    EXPECT_NEAR(0.32033 / 15.0, ra, 0.000005 / 15.0);
    EXPECT_NEAR(0.13918, dec, 0.000005);
    double lon = 0, lat = 0;
    erfa_precess(1950.0, 2000.0, 10.0 * 15.0 * rad_per_deg, 41.0 * rad_per_deg, &lon, &lat);
    ra = 10.0, dec = 41.0;
    kestil_eq_to_j2k(1950.0, &ra, &dec);
    EXPECT_NEAR(lon / rad_per_deg / 15.0, ra, 4e-9);
    EXPECT_NEAR(lat / rad_per_deg, dec, 6e-8);

    // JNow and back, and epoch 0 meaning JNow. The clock may tick between the calls: one
    // second of precession is below 1e-6 arcsec, far under the 1e-9 hour/degree tolerances.
    const double ra0 = 18.6, dec0 = 38.8;
    ra = ra0, dec = dec0;
    kestil_j2k_to_jnow(&ra, &dec);
    EXPECT_GT(std::fabs(ra - ra0) + std::fabs(dec - dec0), 1e-4);  // 26+ years moved it
    double ra_eq = ra0, dec_eq = dec0;
    kestil_j2k_to_eq(0.0, &ra_eq, &dec_eq);
    EXPECT_NEAR(ra, ra_eq, 1e-9);
    EXPECT_NEAR(dec, dec_eq, 1e-9);
    kestil_jnow_to_j2k(&ra, &dec);
    EXPECT_NEAR(ra0, ra, 1e-9);
    EXPECT_NEAR(dec0, dec, 1e-9);
    kestil_eq_to_j2k(0.0, &ra_eq, &dec_eq);
    EXPECT_NEAR(ra0, ra_eq, 1e-9);
    EXPECT_NEAR(dec0, dec_eq, 1e-9);
}

}  // namespace
