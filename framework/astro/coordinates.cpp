// framework/astro/coordinates.cpp - positional astronomy: sidereal time, horizontal
// coordinates, vectors, distances and refraction
#include "framework/astro/coordinates.h"

#include <algorithm>
#include <cmath>

#include "framework/angles.h"
#include "framework/log.h"

namespace {

constexpr double jd_unix_epoch = 2440587.5;       // Julian date of 1970-01-01 00:00 UTC
constexpr double seconds_per_day = 86400.0;
constexpr double jd_j2000 = 2451545.0;
constexpr double jnow_offset_days = 3.470324074074074e-7;  // as in kestil_jnow
constexpr double days_per_julian_century = 36525.0;
constexpr double sidereal_per_solar = 1.0027379093508;      // sidereal hours per solar hour
constexpr double sidereal_deg_per_day = 360.985647366288;   // Earth rotation per solar day
constexpr double sidereal_day = 360.0 / sidereal_deg_per_day;  // in solar days
constexpr double sidereal_rate = 15.04106858;               // arcsec per second of time
constexpr double standard_altitude = -0.009890780871051864;  // -0.5667 deg, radians

// x modulo m in [0, m), also for negative x.
double positive_mod(double x, double m) {
    double r = std::fmod(x, m);
    if (r < 0.0) r += m;
    return r >= m ? 0.0 : r;  // -tiny + m may round up to m
}

double clamped_asin(double x) { return std::asin(std::clamp(x, -1.0, 1.0)); }
double clamped_acos(double x) { return std::acos(std::clamp(x, -1.0, 1.0)); }

// Julian date of a calendar time in whole seconds (null: now), as kestil_jnow forms it.
double julian_date(const time_t* utc) {
    const time_t seconds = utc ? *utc : time(nullptr);
    return static_cast<double>(seconds) / seconds_per_day + jd_unix_epoch + jnow_offset_days;
}

// Greenwich mean sidereal time in degrees, not reduced (Meeus eq. 12.4, IAU 1982).
double raw_gmst_degrees(double jd) {
    const double d = jd - jd_j2000;
    const double t = d / days_per_julian_century;
    return 280.46061837 + 360.98564736629 * d + 0.000387933 * t * t - t * t * t / 38710000.0;
}

// Greenwich mean sidereal time in degrees, [0, 360).
double gmst_degrees(double jd) { return positive_mod(raw_gmst_degrees(jd) + 360.0, 360.0); }

}  // namespace

extern "C" double kestil_mean_gst(const time_t* utc) {
    return gmst_degrees(julian_date(utc)) / deg_per_hour;
}

extern "C" double kestil_lst(const time_t* utc, double longitude) {
    const double g = gmst_degrees(julian_date(utc));
    return positive_mod(g / deg_per_hour + longitude / deg_per_hour + 24.0, 24.0);
}

extern "C" double kestil_time_to_transit(double ra, double lst, bool half_day_window) {
    double h = ra - lst;
    if (!std::isfinite(h)) return h;  // the loops below would never end
    if (half_day_window) {
        h = std::fmod(h, 12.0);  // whole steps of 12 at once; the loops then take one step
        while (h > 6.0) h -= 12.0;
        while (h < -6.0) h += 12.0;
    } else {
        h = positive_mod(h + 24.0, 24.0);
        if (h > 12.0) h -= 12.0;
    }
    return h / sidereal_per_solar;
}

// Meeus ch. 15 with the sidereal time at jd itself: the transit is the fraction of the UT day
// plus the hour angle still to go, converted at the sidereal rate. Events repeat every sidereal
// day (0.99727 solar day), not every solar day: folding by a whole day would put them up to
// 3.9 minutes (one degree of hour angle) off, so they are folded by the sidereal day.
extern "C" void kestil_raise_set(double jd, double latitude, double longitude, double ra,
                                 double dec, double* rise, double* transit, double* set) {
    double h = ra * deg_per_hour - longitude - gmst_degrees(jd);
    if (h < -180.0) h += 360.0;
    if (h > 180.0) h -= 360.0;
    const double day_fraction = jd + 0.5 - std::floor(jd + 0.5);
    const double m0 = positive_mod(day_fraction + h / sidereal_deg_per_day, sidereal_day);
    if (transit) *transit = m0 * 24.0;

    const double phi = latitude * rad_per_deg;
    const double delta = dec * rad_per_deg;
    const double cos_h0 = (std::sin(standard_altitude) - std::sin(phi) * std::sin(delta)) /
                          (std::cos(phi) * std::cos(delta));
    double rise_hours = 0.0, set_hours = 0.0;
    if (cos_h0 < -1.0) {
        set_hours = 24.0;  // never sets
    } else if (cos_h0 > 1.0) {
        set_hours = 0.0;   // never rises
    } else {
        const double h0 = std::acos(cos_h0) * deg_per_rad / sidereal_deg_per_day;
        double m1 = m0 - h0;
        if (m1 < 0.0) m1 += sidereal_day;
        double m2 = m0 + h0;
        if (m2 > 1.0) m2 -= sidereal_day;
        rise_hours = m1 * 24.0;
        set_hours = m2 * 24.0;
    }
    if (rise) *rise = rise_hours;
    if (set) *set = set_hours;
}

extern "C" double kestil_airmass(double altitude) {
    const double s = std::sin((90.0 - altitude) * rad_per_deg);
    return std::pow(1.0 - 0.96 * s * s, -0.5);
}

extern "C" double kestil_derotation_rate(double altitude, double azimuth, double latitude) {
    return -sidereal_rate * std::cos(latitude * rad_per_deg) * std::cos(azimuth * rad_per_deg) /
           std::cos(altitude * rad_per_deg);
}

extern "C" double kestil_parallactic_angle(double hour_angle, double dec, double latitude) {
    const double h = hour_angle * rad_per_deg;
    const double delta = dec * rad_per_deg;
    const double phi = latitude * rad_per_deg;
    return std::atan2(std::sin(h), std::tan(phi) * std::cos(delta) -
                                       std::sin(delta) * std::cos(h)) * deg_per_rad;
}

extern "C" void kestil_ra_dec_to_point(double ra, double dec, double lst, SphericalPoint* point) {
    double h = lst - ra;
    if (h < 0.0) h += 24.0;
    if (h >= 24.0) h -= 24.0;
    point->lon = h * deg_per_hour * rad_per_deg;
    point->lat = dec * rad_per_deg;
    point->r = 1.0;
}

extern "C" void kestil_point_to_ra_dec(const SphericalPoint* point, double lst, double* ra,
                                       double* dec) {
    double r = lst - point->lon * deg_per_rad / deg_per_hour;
    if (r >= 24.0) r -= 24.0;
    if (r < 0.0) r += 24.0;
    *ra = r;
    *dec = point->lat * deg_per_rad;
}

extern "C" void kestil_equatorial_to_hotizontal(const SphericalPoint* equatorial,
                                                double latitude, SphericalPoint* horizontal) {
    const double h = equatorial->lon, delta = equatorial->lat;
    const double cd = std::cos(delta), sd = std::sin(delta);
    const double cp = std::cos(latitude), sp = std::sin(latitude);
    double az = std::atan2(-cd * std::sin(h), sd * cp - cd * sp * std::cos(h));
    if (az < 0.0) az += two_pi;
    horizontal->lon = az;
    horizontal->lat = clamped_asin(cp * cd * std::cos(h) + sp * sd);
    horizontal->r = 1.0;
}

extern "C" void kestil_radec_to_altaz(double ra, double dec, const time_t* utc, double latitude,
                                      double longitude, double /*unused*/, double* altitude,
                                      double* azimuth) {
    double h = kestil_lst(utc, longitude) - ra;
    if (h < 0.0) h += 24.0;
    if (h >= 24.0) h -= 24.0;
    const SphericalPoint equatorial{h * deg_per_hour * rad_per_deg, dec * rad_per_deg, 1.0};
    SphericalPoint horizontal{};
    kestil_equatorial_to_hotizontal(&equatorial, latitude * rad_per_deg, &horizontal);
    if (altitude) *altitude = horizontal.lat * deg_per_rad;
    if (azimuth) *azimuth = horizontal.lon * deg_per_rad;
}

extern "C" CartesianPoint kestil_spherical_to_cartesian(const SphericalPoint* point) {
    const double theta = pi / 2.0 - point->lat;
    CartesianPoint c{};
    c.x = std::cos(-point->lon) * std::sin(theta) * point->r;
    c.y = std::sin(-point->lon) * std::sin(theta) * point->r;
    c.z = std::cos(theta) * point->r;
    return c;
}

extern "C" SphericalPoint kestil_cartesian_to_spherical(const CartesianPoint* point) {
    SphericalPoint s{0.0, pi / 2.0, 1.0};
    if (point->x == 0.0 && point->y == 0.0) {
        if (point->z < 0.0) s.lat = -pi / 2.0;
        return s;
    }
    s.lon = -std::atan2(point->y, point->x);
    if (s.lon < 0.0) s.lon += two_pi;
    s.lat = std::atan2(point->z, std::sqrt(point->x * point->x + point->y * point->y));
    return s;
}

extern "C" CartesianPoint kestil_cartesian_rotate_x(const CartesianPoint* point, double angle) {
    const double u = std::sin(-angle), w = std::cos(-angle);
    return CartesianPoint{point->x, w * point->y + u * point->z, w * point->z - u * point->y};
}

extern "C" CartesianPoint kestil_cartesian_rotate_y(const CartesianPoint* point, double angle) {
    const double u = std::sin(angle), w = std::cos(angle);
    return CartesianPoint{w * point->x - u * point->z, point->y, w * point->z + u * point->x};
}

extern "C" CartesianPoint kestil_cartesian_rotate_z(const CartesianPoint* point, double angle) {
    const double u = std::sin(-angle), w = std::cos(-angle);
    return CartesianPoint{w * point->x + u * point->y, w * point->y - u * point->x, point->z};
}

// The cosine rule; its argument is clamped because identical points can round it past 1.
extern "C" double kestil_gc_distance_spherical(const SphericalPoint* a, const SphericalPoint* b) {
    return clamped_acos(std::cos(std::fabs(a->lon - b->lon)) * std::cos(a->lat) *
                            std::cos(b->lat) +
                        std::sin(a->lat) * std::sin(b->lat));
}

extern "C" double kestil_gc_distance(double ra1, double dec1, double ra2, double dec2) {
    const SphericalPoint a{ra1 * deg_per_hour * rad_per_deg, dec1 * rad_per_deg, 1.0};
    const SphericalPoint b{ra2 * deg_per_hour * rad_per_deg, dec2 * rad_per_deg, 1.0};
    return kestil_gc_distance_spherical(&a, &b) * deg_per_rad;
}

// The chord's half-length is clamped: antipodal unit vectors can round it past 1.
extern "C" double kestil_gc_distance_cartesian(const CartesianPoint* a, const CartesianPoint* b) {
    const double dx = a->x - b->x, dy = a->y - b->y, dz = a->z - b->z;
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    return 2.0 * clamped_asin(d / 2.0);
}

// Saemundsson 1986 (Sky & Telescope 72, 70), Meeus eq. 16.4: for the true altitude.
extern "C" double kestil_calculate_refraction(double zenith_distance) {
    const double z_deg = zenith_distance * deg_per_rad;
    const double h = 90.0 - z_deg;
    const double r_arcmin = 1.02 / std::tan((h + 10.3 / (h + 5.11)) * rad_per_deg);
    kestil_debug("Refraction = %.3f', Z = %.4f deg\n", r_arcmin, z_deg);
    return r_arcmin / arcmin_per_deg * rad_per_deg;
}

namespace {

// A declination whose cosine is zero to rounding: cos(pi/2) as a double is 6e-17, and the
// neighbouring doubles give a few times 1e-16.
constexpr double pole_cosine = 1e-15;

// From the true to the apparent position for a given refraction or, when refraction is null,
// for the refraction of the true zenith distance.
bool compensate(const SphericalPoint* true_position, double latitude, const double* refraction,
                SphericalPoint* apparent) {
    const double h = true_position->lon, delta = true_position->lat;
    const double cd = std::cos(delta), sd = std::sin(delta);
    if (std::fabs(cd) < pole_cosine) return false;
    const double cp = std::cos(latitude), sp = std::sin(latitude);
    const double z = clamped_acos(cd * cp * std::cos(h) + sd * sp);
    // Azimuth from north through west, so that the inverse below yields the hour angle.
    const double a = std::atan2(std::sin(h), sd / cd * cp - std::cos(h) * sp);
    const double r = refraction ? *refraction : kestil_calculate_refraction(z);
    const double z_apparent = z - r;
    const double tz = std::tan(z_apparent);
    double h_apparent = std::atan2(std::sin(a) * tz, cp - std::cos(a) * sp * tz);
    if (h_apparent < 0.0) h_apparent += two_pi;
    const double delta_apparent =
        clamped_asin(std::cos(z_apparent) * sp + std::sin(z_apparent) * cp * std::cos(a));
    kestil_debug("Refraction HA (real/aparent) = %f / %f, DEC (real / aparent) = %f / %f\n",
                 h * deg_per_rad, h_apparent * deg_per_rad, delta * deg_per_rad,
                 delta_apparent * deg_per_rad);
    apparent->lon = h_apparent;
    apparent->lat = delta_apparent;
    apparent->r = 1.0;
    return true;
}

}  // namespace

extern "C" bool kestil_compensate_refraction(const SphericalPoint* true_position, double latitude,
                                             SphericalPoint* apparent) {
    return compensate(true_position, latitude, nullptr, apparent);
}

extern "C" bool kestil_compensate_refraction2(const SphericalPoint* true_position,
                                              double latitude, double refraction,
                                              SphericalPoint* apparent) {
    return compensate(true_position, latitude, &refraction, apparent);
}
