// Tests of framework/astro/coordinates: ERFA (the C edition of IAU SOFA) is the independent
// reference for sidereal time, horizontal coordinates, the parallactic angle, distances and
// rotations; published values for Saemundsson's refraction formula.
#include "framework/astro/coordinates.h"

#include <erfa.h>
#include <gtest/gtest.h>

#include <cmath>

#include "framework/angles.h"

namespace {

constexpr double jd_unix_epoch = 2440587.5;
// Our Julian date of a calendar time carries a fixed 0.0299836 s; ERFA is given the same
// instant so that the comparison measures the sidereal-time expressions alone.
constexpr double fixed_offset_days = 3.470324074074074e-7;

double erfa_jd(time_t t) { return jd_unix_epoch + static_cast<double>(t) / 86400.0; }

// Difference of two angles in radians, reduced to (-pi, pi].
double angle_diff(double a, double b) { return std::remainder(a - b, 2.0 * pi); }

TEST(SiderealTime, AgreesWithErfaGmst82) {
    double worst = 0.0;
    // 1970 to 2100 in steps of 97 days and 7 hours, so the time of day varies too.
    for (time_t t = 0; t < 4102444800; t += 97 * 86400 + 7 * 3600 + 13) {
        const double ours = kestil_mean_gst(&t) * 15.0 * rad_per_deg;
        const double erfa = eraGmst82(erfa_jd(t), fixed_offset_days);
        worst = std::fmax(worst, std::fabs(angle_diff(ours, erfa)));
        EXPECT_GE(kestil_mean_gst(&t), 0.0);
        EXPECT_LT(kestil_mean_gst(&t), 24.0);
    }
    // The rate 360.98564736629 deg/day is the IAU 1982 rate rounded to 1e-11 and the day count
    // is multiplied before reduction: 1e-8 rad (2 ms of time) covers a century either side.
    EXPECT_LT(worst, 1e-8);
}

TEST(SiderealTime, LocalSiderealTimeAddsTheLongitude) {
    const time_t t = 1767225600;  // 2026-01-01 00:00 UTC
    for (double longitude : {-179.5, -75.0, 0.0, 12.5, 151.2, 180.0}) {
        const double lst = kestil_lst(&t, longitude);
        const double erfa = eraAnp(eraGmst82(erfa_jd(t), fixed_offset_days) + longitude * rad_per_deg);
        EXPECT_LT(std::fabs(angle_diff(lst * 15.0 * rad_per_deg, erfa)), 1e-8) << longitude;  // as above
        EXPECT_GE(lst, 0.0);
        EXPECT_LT(lst, 24.0);
    }
}

TEST(SiderealTime, NullMeansNow) {
    const time_t before = time(nullptr);
    const double now = kestil_mean_gst(nullptr);
    const time_t after = time(nullptr);
    const double a = kestil_mean_gst(&before), b = kestil_mean_gst(&after);
    // Sidereal time runs 1.0027 s per second: within the clock reads, allowing a wrap at 24 h.
    const double tolerance = (after - before + 1) * 1.01 / 3600.0;
    EXPECT_LT(std::fabs(std::remainder(now - a, 24.0)), tolerance);
    EXPECT_LT(std::fabs(std::remainder(b - now, 24.0)), tolerance);
}

TEST(TimeToTransit, Modes) {
    constexpr double k = 1.0027379093508;  // sidereal hours per solar hour
    struct Case { double ra, lst; bool window; double hours; const char* what; };
    const Case cases[] = {{14.0, 1.0, false, 1.0 / k, "13 h ahead is 1 h past the half day"},
                          {14.0, 1.0, true, 1.0 / k, "13 h ahead, nearest crossing 1 h"},
                          {1.0, 8.0, true, 5.0 / k, "7 h past: the next crossing in 5 h"},
                          {5.0, 2.0, false, 3.0 / k, "3 h ahead"},
                          {2.0, 5.0, false, 9.0 / k, "3 h past: 21 h ahead, minus 12"},
                          {2.0, 5.0, true, -3.0 / k, "3 h past within the window"},
                          {23.0, 0.5, true, -1.5 / k, "across midnight, 1.5 h past"},
                          {0.5, 23.0, true, 1.5 / k, "across midnight, 1.5 h ahead"},
                          {3.0, 3.0, false, 0.0, "transiting now"},
                          {100.0, 3.0, true, 1.0 / k, "far out of range folds back"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(c.hours, kestil_time_to_transit(c.ra, c.lst, c.window), 1e-12);  // round-off
    }
}

// Altitude (radians) of a star at a UT Julian date, by ERFA.
double erfa_altitude(double jd, double latitude, double longitude, double ra, double dec) {
    const double ha = eraGmst82(jd, 0.0) + longitude * rad_per_deg - ra * 15.0 * rad_per_deg;
    double az = 0, el = 0;
    eraHd2ae(ha, dec * rad_per_deg, latitude * rad_per_deg, &az, &el);
    return el;
}

TEST(RiseTransitSet, AltitudesAtTheTimesByErfa) {
    struct Case { double jd, latitude, longitude, ra, dec; };
    const Case cases[] = {{2461041.5, 48.2, 16.4, 5.92, 7.4},      // Betelgeuse from Vienna
                          {2461200.25, -33.9, 18.4, 14.66, -30.8},  // in Scorpius from Cape Town
                          {2460800.75, 40.0, -105.0, 18.6, 38.8},   // Vega from Colorado
                          {2451545.0, 0.0, 0.0, 0.0, 0.0},
                          {2461100.5, 60.0, -150.0, 12.0, -20.0}};
    const double standard_altitude = -0.5667 * rad_per_deg;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.jd << " " << c.ra << " " << c.dec);
        double rise = -1, transit = -1, set = -1;
        kestil_raise_set(c.jd, c.latitude, c.longitude, c.ra, c.dec, &rise, &transit, &set);
        const double day_start = std::floor(c.jd + 0.5) - 0.5;  // 0 h UT of the day of jd
        for (double hours : {rise, transit, set}) {
            EXPECT_GE(hours, 0.0);
            EXPECT_LE(hours, 24.0);
        }
        // At the transit the star is on the meridian: its altitude is the highest,
        // 90 - |latitude - dec|. The sidereal rate used (360.985647366288 deg/day) and ERFA's
        // GMST rate agree to 1e-9 per day: 1e-7 rad is a margin of 20 ms of time.
        const double culmination = (90.0 - std::fabs(c.latitude - c.dec)) * rad_per_deg;
        EXPECT_NEAR(culmination,
                    erfa_altitude(day_start + transit / 24.0, c.latitude, c.longitude, c.ra,
                                  c.dec),
                    1e-6);  // near the maximum an error of dt changes the altitude by dt^2 only
        EXPECT_NEAR(standard_altitude,
                    erfa_altitude(day_start + rise / 24.0, c.latitude, c.longitude, c.ra, c.dec),
                    1e-7);
        EXPECT_NEAR(standard_altitude,
                    erfa_altitude(day_start + set / 24.0, c.latitude, c.longitude, c.ra, c.dec),
                    1e-7);
        // Rise and set lie symmetric about the transit, up to a whole sidereal day.
        const double sidereal_day_hours = 24.0 / 1.0027379093508;
        EXPECT_NEAR(0.0,
                    std::remainder((transit - rise) - (set - transit), sidereal_day_hours),
                    1e-6);
    }
}

TEST(RiseTransitSet, CircumpolarAndNeverRising) {
    struct Case { double latitude, dec, rise, set; const char* what; };
    const Case cases[] = {{60.0, 80.0, 0.0, 24.0, "circumpolar"},
                          {-45.0, -89.0, 0.0, 24.0, "circumpolar in the south"},
                          {60.0, -80.0, 0.0, 0.0, "never rises"},
                          {-30.0, 75.0, 0.0, 0.0, "never rises in the south"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        double rise = -1, transit = -1, set = -1;
        kestil_raise_set(2461041.5, c.latitude, 10.0, 3.0, c.dec, &rise, &transit, &set);
        EXPECT_EQ(c.rise, rise);
        EXPECT_EQ(c.set, set);
        EXPECT_GE(transit, 0.0);  // written in every case
        EXPECT_LT(transit, 24.0);
        double only_transit = -1;
        kestil_raise_set(2461041.5, c.latitude, 10.0, 3.0, c.dec, nullptr, &only_transit,
                         nullptr);
        EXPECT_EQ(transit, only_transit);
    }
}

TEST(Airmass, ZenithAndHorizon) {
    // 1 at the zenith; at the horizon this model gives 1 / sqrt(0.04) = 5 exactly.
    EXPECT_NEAR(1.0, kestil_airmass(90.0), 1e-15);
    EXPECT_NEAR(5.0, kestil_airmass(0.0), 1e-12);
    // Near the zenith every model tends to sec z: within 1 % above 60 degrees.
    EXPECT_NEAR(2.0 / std::sqrt(3.0), kestil_airmass(60.0), 0.01 * 2.0 / std::sqrt(3.0));
}

TEST(ParallacticAngle, AgreesWithErfaHd2pa) {
    double worst = 0.0;
    for (double latitude = -80.0; latitude <= 80.0; latitude += 20.0)
        for (double ha = -175.0; ha < 180.0; ha += 25.0)
            for (double dec = -85.0; dec <= 85.0; dec += 17.0) {
                const double ours = kestil_parallactic_angle(ha, dec, latitude);
                const double erfa = eraHd2pa(ha * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg) / rad_per_deg;
                worst = std::fmax(worst, std::fabs(std::remainder(ours - erfa, 360.0)));
            }
    // Same spherical triangle, arranged with tan(latitude) instead of cos/sin: round-off only.
    EXPECT_LT(worst, 1e-9);
}

TEST(DerotationRate, IsTheRateOfTheParallacticAngle) {
    // Field rotation is the time derivative of the parallactic angle (ERFA), with the hour
    // angle advancing 15.04106858 degrees per hour.
    const double ha_step = 1e-4;  // degrees; central difference error ~1e-9 of the rate
    for (double latitude : {-35.0, 10.0, 52.0})
        for (double ha : {-60.0, -10.0, 20.0, 75.0})
            for (double dec : {-40.0, 5.0, 30.0, 70.0}) {
                double az = 0, el = 0;
                eraHd2ae(ha * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg, &az, &el);
                if (el < 5.0 * rad_per_deg) continue;  // only where a telescope would point
                const double dq =
                    (eraHd2pa((ha + ha_step) * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg) -
                     eraHd2pa((ha - ha_step) * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg)) /
                    (2.0 * ha_step * rad_per_deg);  // d(pa)/d(ha), dimensionless
                const double rate = kestil_derotation_rate(el / rad_per_deg, az / rad_per_deg, latitude);
                EXPECT_NEAR(dq * 15.04106858, rate, 1e-5 * (1.0 + std::fabs(rate)))
                    << latitude << " " << ha << " " << dec;
            }
}

TEST(Horizontal, AgreesWithErfaHd2ae) {
    double worst_az = 0.0, worst_alt = 0.0;
    for (double latitude = -85.0; latitude <= 85.0; latitude += 17.0)
        for (double ha = 0.0; ha < 360.0; ha += 15.0)
            for (double dec = -88.0; dec <= 88.0; dec += 11.0) {
                const SphericalPoint eq{ha * rad_per_deg, dec * rad_per_deg, 0.0};
                SphericalPoint hz{};
                kestil_equatorial_to_hotizontal(&eq, latitude * rad_per_deg, &hz);
                double az = 0, el = 0;
                eraHd2ae(ha * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg, &az, &el);
                EXPECT_GE(hz.lon, 0.0);
                EXPECT_LE(hz.lon, 2.0 * pi);
                EXPECT_EQ(1.0, hz.r);
                worst_alt = std::fmax(worst_alt, std::fabs(hz.lat - el));
                // Azimuth is undefined at the zenith: weigh its error by cos(altitude).
                worst_az = std::fmax(worst_az, std::fabs(angle_diff(hz.lon, az)) * std::cos(el));
            }
    // Round-off, except that asin loses digits near +-90 deg altitude: 1e-8 rad (2 mas).
    EXPECT_LT(worst_alt, 1e-8);
    EXPECT_LT(worst_az, 1e-12);
}

TEST(Horizontal, ZenithStaysFinite) {
    // The star at the zenith: the asin argument is 1 up to rounding and must not give NaN.
    for (double latitude : {0.3, -0.7, 1.1}) {
        const SphericalPoint eq{0.0, latitude, 0.0};
        SphericalPoint hz{};
        kestil_equatorial_to_hotizontal(&eq, latitude, &hz);
        EXPECT_NEAR(pi / 2, hz.lat, 1e-7);  // asin near 1 keeps half the digits
    }
}

TEST(Horizontal, RaDecToAltAzAndThePointConversions) {
    const time_t t = 1780000000;  // 2026-05-28
    const double latitude = 47.3, longitude = 8.5;
    const double lst_erfa = eraGmst82(erfa_jd(t), fixed_offset_days) + longitude * rad_per_deg;
    for (double ra = 0.25; ra < 24.0; ra += 2.5)
        for (double dec : {-60.0, -12.0, 0.0, 33.0, 80.0}) {
            SCOPED_TRACE(testing::Message() << ra << " " << dec);
            double alt = 0, az = 0;
            kestil_radec_to_altaz(ra, dec, &t, latitude, longitude, 0.0, &alt, &az);
            double e_az = 0, e_el = 0;
            eraHd2ae(lst_erfa - ra * 15.0 * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg, &e_az, &e_el);
            // Sidereal time as above (1e-8 rad) dominates: 1e-6 degree.
            EXPECT_NEAR(e_el / rad_per_deg, alt, 1e-6);
            EXPECT_NEAR(0.0, std::remainder(e_az / rad_per_deg - az, 360.0), 1e-6);

            // Hour-angle point and back: the right ascension and declination return.
            const double lst = kestil_lst(&t, longitude);
            SphericalPoint p{};
            kestil_ra_dec_to_point(ra, dec, lst, &p);
            EXPECT_GE(p.lon, 0.0);
            EXPECT_LT(p.lon, 2.0 * pi);
            EXPECT_EQ(1.0, p.r);
            double ra_back = -1, dec_back = -1;
            kestil_point_to_ra_dec(&p, lst, &ra_back, &dec_back);
            EXPECT_NEAR(ra, ra_back, 1e-12);  // round-off of the degree conversions
            EXPECT_NEAR(dec, dec_back, 1e-12);
        }
}

TEST(Vectors, AgreeWithErfaWithTheLongitudeNegated) {
    for (double lon = 0.1; lon < 2.0 * pi; lon += 0.7)
        for (double lat : {-1.5, -0.4, 0.0, 0.9, 1.55})
            for (double r : {1.0, 2.5}) {
                const SphericalPoint s{lon, lat, r};
                const CartesianPoint c = kestil_spherical_to_cartesian(&s);
                double e[3];
                eraS2p(-lon, lat, r, e);  // the longitude enters negated (westward hour angle)
                EXPECT_NEAR(e[0], c.x, 1e-15 * r);
                EXPECT_NEAR(e[1], c.y, 1e-15 * r);
                EXPECT_NEAR(e[2], c.z, 1e-15 * r);
                // And back: the same direction with r = 1.
                const SphericalPoint back = kestil_cartesian_to_spherical(&c);
                EXPECT_NEAR(0.0, angle_diff(lon, back.lon), 1e-14);
                EXPECT_NEAR(lat, back.lat, 1e-14);
                EXPECT_EQ(1.0, back.r);
            }
}

TEST(Vectors, PolesAndTheZeroVector) {
    struct Case { CartesianPoint c; double lon, lat; const char* what; };
    const Case cases[] = {{{0, 0, -2}, 0.0, -pi / 2, "south pole"},
                          {{0, 0, 3}, 0.0, pi / 2, "north pole"},
                          {{0, 0, 0}, 0.0, pi / 2, "zero vector"},
                          {{-1, 0, 0}, pi, 0.0, "lon pi"},
                          {{0, -1, 0}, pi / 2, 0.0, "negative y is +90 degrees"},
                          {{0, 1, 0}, 3 * pi / 2, 0.0, "positive y wraps to 270 degrees"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SphericalPoint s = kestil_cartesian_to_spherical(&c.c);
        EXPECT_DOUBLE_EQ(c.lon, s.lon);
        EXPECT_DOUBLE_EQ(c.lat, s.lat);
        EXPECT_EQ(1.0, s.r);
    }
}

TEST(Vectors, RotationsMatchErfaMatrices) {
    // ERFA's eraRx/eraRy/eraRz rotate the frame; ours turn the vector: x and z by +angle
    // (ERFA's frame rotation by -angle), y by the frame rotation (ERFA's +angle).
    const CartesianPoint p{0.3, -0.5, 0.81};
    double pv[3] = {p.x, p.y, p.z};
    for (double angle : {-2.0, -0.3, 0.0, 0.01, 1.2, 3.0}) {
        struct Case { CartesianPoint ours; void (*rotate)(double, double[3][3]); double sign; };
        const Case cases[] = {{kestil_cartesian_rotate_x(&p, angle), eraRx, -1.0},
                              {kestil_cartesian_rotate_y(&p, angle), eraRy, 1.0},
                              {kestil_cartesian_rotate_z(&p, angle), eraRz, -1.0}};
        for (const Case& c : cases) {
            double m[3][3], q[3];
            eraIr(m);
            c.rotate(c.sign * angle, m);
            eraRxp(m, pv, q);
            EXPECT_NEAR(q[0], c.ours.x, 1e-15) << angle;
            EXPECT_NEAR(q[1], c.ours.y, 1e-15) << angle;
            EXPECT_NEAR(q[2], c.ours.z, 1e-15) << angle;
        }
    }
}

TEST(Distances, AgreeWithErfaSeps) {
    double worst = 0.0;
    int count = 0;
    for (double lon1 = 0.0; lon1 < 2 * pi; lon1 += 0.9)
        for (double lat1 = -1.5; lat1 <= 1.5; lat1 += 0.5)
            for (double dlon : {0.0, 1e-3, 0.2, 1.7, 3.1, pi})
                for (double dlat : {0.0, -1e-3, 0.3, -1.1}) {
                    const SphericalPoint a{lon1, lat1, 1.0};
                    const SphericalPoint b{lon1 + dlon, std::fmax(-1.57, lat1 + dlat), 1.0};
                    const double erfa = eraSeps(a.lon, a.lat, b.lon, b.lat);
                    const double spherical = kestil_gc_distance_spherical(&a, &b);
                    const CartesianPoint ca = kestil_spherical_to_cartesian(&a);
                    const CartesianPoint cb = kestil_spherical_to_cartesian(&b);
                    const double chord = kestil_gc_distance_cartesian(&ca, &cb);
                    const double hours_degrees =
                        kestil_gc_distance(a.lon / rad_per_deg / 15.0, a.lat / rad_per_deg, b.lon / rad_per_deg / 15.0,
                                           b.lat / rad_per_deg) * rad_per_deg;
                    ASSERT_FALSE(std::isnan(spherical));  // identical points included
                    // The cosine rule loses digits near 0 and pi: sqrt(2 eps) = 2.1e-8 rad.
                    EXPECT_NEAR(erfa, spherical, 3e-8);
                    EXPECT_NEAR(erfa, hours_degrees, 3e-8);
                    // The chord formula loses digits near pi (asin near 1): 3e-8 rad seen on
                    // this grid, 1e-7 allowed.
                    EXPECT_NEAR(erfa, chord, 1e-7);
                    worst = std::fmax(worst, std::fabs(erfa - spherical));
                    ++count;
                }
    EXPECT_EQ(7 * 7 * 6 * 4, count);
    EXPECT_GT(worst, 0.0);  // sanity: the grid reached the cancelling cases
}

TEST(Distances, AntipodesAndIdenticalPointsStayDefined) {
    const CartesianPoint a{1.0, 0.0, 0.0}, b{-1.0, 0.0, 0.0};
    EXPECT_DOUBLE_EQ(pi, kestil_gc_distance_cartesian(&a, &b));
    EXPECT_EQ(0.0, kestil_gc_distance_cartesian(&a, &a));
    for (double lat : {0.1, 0.7, 1.3}) {  // cos^2 + sin^2 may round above 1
        const SphericalPoint p{2.0, lat, 1.0};
        EXPECT_FALSE(std::isnan(kestil_gc_distance_spherical(&p, &p)));
        EXPECT_FALSE(std::isnan(kestil_gc_distance(7.3, lat / rad_per_deg, 7.3, lat / rad_per_deg)));
    }
}

TEST(Refraction, PublishedValuesOfSaemundssonsFormula) {
    constexpr double arcmin = rad_per_deg / 60.0;
    struct Case { double zenith_deg, arcminutes, tolerance; const char* what; };
    // Meeus, Astronomical Algorithms, ch. 16: 1.02' / tan(h + 10.3 / (h + 5.11)); the
    // tolerances are half a unit of the last published digit.
    const Case cases[] = {{45.0, 1.013, 0.0005, "45 degrees"},
                          {90.0, 28.98, 0.005, "horizon"},
                          {0.0, -0.0019, 0.00005, "zenith: the tangent has passed 90 degrees"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(c.arcminutes, kestil_calculate_refraction(c.zenith_deg * rad_per_deg) / arcmin,
                    c.tolerance);
    }
}

TEST(Refraction, CompensationLiftsTheStarVertically) {
    // Independent check with ERFA: the apparent position must have the true azimuth and the
    // true altitude plus the refraction.
    for (double latitude : {-30.0, 20.0, 50.0})
        for (double ha = 5.0; ha < 360.0; ha += 50.0)
            for (double dec : {-50.0, -10.0, 15.0, 45.0, 75.0}) {
                double az = 0, el = 0;
                eraHd2ae(ha * rad_per_deg, dec * rad_per_deg, latitude * rad_per_deg, &az, &el);
                if (el < 3.0 * rad_per_deg || el > 89.0 * rad_per_deg) continue;  // above the horizon
                const SphericalPoint truth{ha * rad_per_deg, dec * rad_per_deg, 1.0};
                SphericalPoint apparent{};
                ASSERT_TRUE(kestil_compensate_refraction(&truth, latitude * rad_per_deg, &apparent));
                EXPECT_GE(apparent.lon, 0.0);
                EXPECT_LE(apparent.lon, 2.0 * pi);
                EXPECT_EQ(1.0, apparent.r);
                double az2 = 0, el2 = 0;
                eraHd2ae(apparent.lon, apparent.lat, latitude * rad_per_deg, &az2, &el2);
                const double refraction = kestil_calculate_refraction(pi / 2 - el);
                EXPECT_NEAR(el + refraction, el2, 1e-10)  // round-off of the triangle
                    << latitude << " " << ha << " " << dec;
                EXPECT_NEAR(0.0, angle_diff(az, az2) * std::cos(el), 1e-10);

                // The given refraction instead of the computed one.
                SphericalPoint lifted{};
                ASSERT_TRUE(kestil_compensate_refraction2(&truth, latitude * rad_per_deg, 0.01, &lifted));
                eraHd2ae(lifted.lon, lifted.lat, latitude * rad_per_deg, &az2, &el2);
                EXPECT_NEAR(el + 0.01, el2, 1e-10);
            }
}

TEST(Refraction, PoleRefused) {
    for (double dec : {pi / 2, -pi / 2}) {
        const SphericalPoint pole{1.0, dec, 1.0};
        SphericalPoint out{7.0, 7.0, 7.0};
        EXPECT_FALSE(kestil_compensate_refraction(&pole, 0.8, &out));
        EXPECT_FALSE(kestil_compensate_refraction2(&pole, 0.8, 0.001, &out));
        EXPECT_EQ(7.0, out.lon);  // nothing written
        EXPECT_EQ(7.0, out.lat);
    }
    // Just off the pole it works.
    const SphericalPoint near_pole{1.0, pi / 2 - 1e-6, 1.0};
    SphericalPoint out{};
    EXPECT_TRUE(kestil_compensate_refraction(&near_pole, 0.8, &out));
}

}  // namespace
