// framework/astro/coordinates.h - sidereal time, rise/transit/set, horizontal coordinates,
// vectors and rotations, great-circle distances and atmospheric refraction
// Units are stated per function: right ascension, sidereal time and hour angle arguments in
// hours where named *_hours or so documented, other angles in degrees or radians as stated.
// SphericalPoint (framework/precession.h) carries an hour angle or azimuth in lon and a
// declination or altitude in lat (radians); results carry r = 1. Calendar time is whole seconds
// since 1970-01-01 UTC, passed by pointer; a null pointer means the moment of the call.
// References: Meeus, Astronomical Algorithms (2nd ed. 1998), eq. 12.4 (mean sidereal time,
// IAU 1982), ch. 13 (horizontal coordinates), ch. 15 (rising, transit and setting), ch. 16
// (Saemundsson 1986 refraction). Pure computations; any thread.
#ifndef KESTIL_FRAMEWORK_ASTRO_COORDINATES_H
#define KESTIL_FRAMEWORK_ASTRO_COORDINATES_H

#include <stdbool.h>
#include <time.h>

#include "framework/precession.h"

#ifdef __cplusplus
extern "C" {
#endif

// A direction or position as a vector.
typedef struct CartesianPoint {
    double x;
    double y;
    double z;
} CartesianPoint;

// ---- Time and visibility ----

// Given:  utc     seconds since 1970 UTC, or null for now
// Result: Greenwich mean sidereal time (IAU 1982), hours in [0, 24)
double kestil_mean_gst(const time_t* utc);

// Given:  utc     seconds since 1970 UTC, or null for now
//         longitude  degrees, east positive
// Result: local mean sidereal time, hours in [0, 24)
double kestil_lst(const time_t* utc, double longitude);

// Given:  ra, lst   right ascension and local sidereal time (hours)
//         half_day_window  true: the hour angle is brought into [-6, 6] by steps of 12 hours
//                          (the nearer of upper and lower transit); false: into (-12, 12]
// Result: solar hours until the transit (negative: since the transit)
double kestil_time_to_transit(double ra, double lst, bool half_day_window);

// Given:  jd        Julian date (UT)
//         latitude, longitude  degrees, longitude east positive
//         ra, dec   hours, degrees
// Returned (each may be null): rise, transit, set  hours (UT) of the day of jd (from 0 h UT),
//         for the standard altitude -0.5667 degree and the position held fixed: the first
//         transit of the day, the rise before it (or, when that falls before 0 h, the one a
//         sidereal day later) and the set after it (or the one a sidereal day earlier when it
//         falls after 24 h); a circumpolar object gives rise 0 and set 24, one that never rises
//         rise 0 and set 0; the transit is always written
void kestil_raise_set(double jd, double latitude, double longitude, double ra, double dec,
                      double* rise, double* transit, double* set);

// Given:  altitude  degrees
// Result: airmass (1 - 0.96 cos^2 altitude)^-1/2: 1 at the zenith, 5 at the horizon
double kestil_airmass(double altitude);

// Given:  altitude, azimuth, latitude  degrees (azimuth from north through east)
// Result: field derotation rate -15.04106858 cos(latitude) cos(azimuth) / cos(altitude), in the
//         unit of the sidereal rate 15.04106858 (arcseconds per second of time, or degrees per
//         hour); infinite at the zenith
double kestil_derotation_rate(double altitude, double azimuth, double latitude);

// Given:  hour_angle, dec, latitude  degrees
// Result: parallactic angle, degrees in [-180, 180]
double kestil_parallactic_angle(double hour_angle, double dec, double latitude);

// ---- Coordinate conversions ----

// Given:  ra, dec, lst  hours, degrees, hours
// Returned: point  (hour angle lst - ra in [0, 24) hours as radians, dec radians, 1)
void kestil_ra_dec_to_point(double ra, double dec, double lst, SphericalPoint* point);

// Given:  point  (hour angle, declination) radians;  lst  hours
// Returned: ra (hours, lst - hour angle brought into [0, 24)), dec (degrees)
void kestil_point_to_ra_dec(const SphericalPoint* point, double lst, double* ra, double* dec);

// Given:  equatorial  (hour angle, declination) radians;  latitude  radians
// Returned: horizontal  (azimuth from north through east, altitude, 1); the azimuth is in
//           [0, 2 pi], 2 pi being a tiny negative angle wrapped
void kestil_equatorial_to_hotizontal(const SphericalPoint* equatorial, double latitude,
                                     SphericalPoint* horizontal);

// Given:  ra, dec  hours, degrees;  utc  seconds since 1970 UTC or null for now
//         latitude, longitude  degrees (east positive);  unused  has no effect
// Returned: altitude, azimuth  degrees (azimuth from north through east)
void kestil_radec_to_altaz(double ra, double dec, const time_t* utc, double latitude,
                           double longitude, double unused, double* altitude, double* azimuth);

// ---- Vectors and distances ----

// Given:  point (lon, lat radians, r)
// Result: (r cos lat cos lon, -r cos lat sin lon, r sin lat): the longitude enters negated, so
//         that an hour angle (measured westward) turns the right way
CartesianPoint kestil_spherical_to_cartesian(const SphericalPoint* point);

// Given:  point
// Result: the direction (lon, lat, r = 1), the inverse of the above, lon in [0, 2 pi] (2 pi: a
//         tiny negative angle wrapped); on the z axis lon 0 and lat pi/2 (-pi/2 when z < 0); the
//         zero vector gives (0, pi/2, 1)
SphericalPoint kestil_cartesian_to_spherical(const CartesianPoint* point);

// Given:  point, angle (radians)
// Result: the point rotated about the x, y or z axis
CartesianPoint kestil_cartesian_rotate_x(const CartesianPoint* point, double angle);
CartesianPoint kestil_cartesian_rotate_y(const CartesianPoint* point, double angle);
CartesianPoint kestil_cartesian_rotate_z(const CartesianPoint* point, double angle);

// Given:  a, b  directions (lon, lat radians)
// Result: great-circle distance, radians in [0, pi] (cosine formula: about 2e-8 rad near 0 and pi)
double kestil_gc_distance_spherical(const SphericalPoint* a, const SphericalPoint* b);

// Given:  ra1, dec1, ra2, dec2  hours, degrees
// Result: great-circle distance, degrees
double kestil_gc_distance(double ra1, double dec1, double ra2, double dec2);

// Given:  a, b  unit vectors
// Result: great-circle distance from their chord, 2 asin(|a - b| / 2), radians in [0, pi]
double kestil_gc_distance_cartesian(const CartesianPoint* a, const CartesianPoint* b);

// ---- Refraction ----

// Given:  zenith_distance  radians (true, above the horizon)
// Result: refraction (radians), Saemundsson's R = 1.02' / tan(h + 10.3 / (h + 5.11)) with the
//         true altitude h in degrees: 1.013' at 45 degrees, 28.98' at the horizon, a tiny
//         negative value at the zenith
double kestil_calculate_refraction(double zenith_distance);

// Given:  true_position  (hour angle, declination) radians;  latitude  radians
// Returned: apparent  (hour angle in [0, 2 pi], declination, 1), lifted by the refraction
// Result: false (nothing written) when the declination is a pole (cos dec zero to rounding)
bool kestil_compensate_refraction(const SphericalPoint* true_position, double latitude,
                                  SphericalPoint* apparent);

// As kestil_compensate_refraction with the given refraction (radians).
bool kestil_compensate_refraction2(const SphericalPoint* true_position, double latitude,
                                   double refraction, SphericalPoint* apparent);

#ifdef __cplusplus
}
#endif

#endif
