// framework/precession.cpp - IAU 1976 precession and the epoch of the date
#include "framework/precession.h"

#include <algorithm>
#include <cmath>

#include "framework/angles.h"
#include "framework/clock.h"

namespace {

constexpr double jd_unix_epoch = 2440587.5;        // Julian date of 1970-01-01 00:00 UTC
constexpr double seconds_per_day = 86400.0;
constexpr double jd_j2000 = 2451545.0;             // Julian date of J2000.0
constexpr double days_per_julian_year = 365.25;
constexpr double jnow_offset_days = 3.470324074074074e-7;  // fixed addition of 0.0299836 s

// Precesses (ra hours, dec degrees) in place from one epoch to another.
void precess_hours_degrees(double from, double to, double* ra, double* dec) {
    const SphericalPoint in{*ra * deg_per_hour * rad_per_deg, *dec * rad_per_deg, 0.0};
    const SphericalPoint out = kestil_precess(&in, from, to);
    *ra = out.lon * deg_per_rad / deg_per_hour;
    *dec = out.lat * deg_per_rad;
}

}  // namespace

extern "C" double kestil_eq_of_date(double jd) {
    return (jd - jd_j2000) / days_per_julian_year + 2000.0;
}

extern "C" double kestil_jnow(void) {
    int64_t seconds = 0;
    kestil_realtime(&seconds, nullptr);
    const double jd = static_cast<double>(seconds) / seconds_per_day + jd_unix_epoch +
                      jnow_offset_days;
    return kestil_eq_of_date(jd);
}

// Lieske et al. 1977, eq. (6) for the angles with T and t in Julian millennia; the rotation
// R3(-z) R2(theta) R3(-zeta) written out. Valid for a few thousand years around J2000.
extern "C" SphericalPoint kestil_precess(const SphericalPoint* point, double from, double to) {
    const double big_t = (from - 2000.0) / 1000.0;
    const double t = (to - from) / 1000.0;
    const double t2 = t * t;
    const double t3 = t2 * t;
    const double zeta_arcsec = (23062.181 + 139.656 * big_t - 0.139 * big_t * big_t) * t +
                               (30.188 - 0.344 * big_t) * t2 + 17.998 * t3;
    const double z_arcsec = zeta_arcsec + (79.28 + 0.41 * big_t + 0.205 * t) * t2;
    const double theta_arcsec = (20043.109 - 85.33 * big_t - 0.217 * big_t * big_t) * t -
                                (42.665 + 0.217 * big_t) * t2 - 41.833 * t3;
    const double zeta = zeta_arcsec * rad_per_arcsec;
    const double z = z_arcsec * rad_per_arcsec;
    const double theta = theta_arcsec * rad_per_arcsec;

    const double x0 = std::cos(point->lat) * std::cos(point->lon);
    const double y0 = std::cos(point->lat) * std::sin(point->lon);
    const double z0 = std::sin(point->lat);

    const double czeta = std::cos(zeta), szeta = std::sin(zeta);
    const double cz = std::cos(z), sz = std::sin(z);
    const double ctheta = std::cos(theta), stheta = std::sin(theta);

    const double x = (czeta * cz * ctheta - szeta * sz) * x0 +
                     (-szeta * cz * ctheta - czeta * sz) * y0 - cz * stheta * z0;
    const double y = (czeta * sz * ctheta + szeta * cz) * x0 +
                     (-szeta * sz * ctheta + czeta * cz) * y0 - sz * stheta * z0;
    const double zz = czeta * stheta * x0 - szeta * stheta * y0 + ctheta * z0;

    SphericalPoint result{};
    result.lon = std::atan2(y, x);
    if (result.lon < 0.0) result.lon += two_pi;
    result.lat = std::asin(std::clamp(zz, -1.0, 1.0));
    result.r = 1.0;
    return result;
}

extern "C" void kestil_jnow_to_j2k(double* ra, double* dec) {
    precess_hours_degrees(kestil_jnow(), 2000.0, ra, dec);
}

extern "C" void kestil_j2k_to_jnow(double* ra, double* dec) {
    precess_hours_degrees(2000.0, kestil_jnow(), ra, dec);
}

extern "C" void kestil_eq_to_j2k(double epoch, double* ra, double* dec) {
    if (epoch == 2000.0) return;
    if (epoch == 0.0) epoch = kestil_jnow();
    precess_hours_degrees(epoch, 2000.0, ra, dec);
}

extern "C" void kestil_j2k_to_eq(double epoch, double* ra, double* dec) {
    if (epoch == 2000.0) return;
    if (epoch == 0.0) epoch = kestil_jnow();
    precess_hours_degrees(2000.0, epoch, ra, dec);
}
