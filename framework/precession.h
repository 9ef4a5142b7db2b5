// framework/precession.h - precession between the mean equators and equinoxes of two epochs
// Epochs are Julian epochs in years (2000 = J2000.0). SphericalPoint angles are radians; the
// in-place wrappers take right ascension in hours and declination in degrees. The epoch of the
// date ("JNow") comes from the system clock in whole seconds (kestil_realtime). Any thread.
// Reference: Lieske et al. 1977, A&A 58, 1 (IAU 1976 precession angles zeta, z, theta);
// rigorous rotation R3(-z) R2(theta) R3(-zeta) as in the Explanatory Supplement (1992) 3.21.
#ifndef KESTIL_FRAMEWORK_PRECESSION_H
#define KESTIL_FRAMEWORK_PRECESSION_H

#ifdef __cplusplus
extern "C" {
#endif

// A direction on the sky: lon is the right ascension (or an hour angle or azimuth), lat the
// declination (or an altitude), both radians; r is a distance, ignored on input, 1 on output.
typedef struct SphericalPoint {
    double lon;
    double lat;
    double r;
} SphericalPoint;

// Given:  jd      Julian date
// Result: Julian epoch in years, (jd - 2451545) / 365.25 + 2000
double kestil_eq_of_date(double jd);

// Result: Julian epoch of the moment of the call (system clock, whole seconds since 1970 UTC)
double kestil_jnow(void);

// Given:  point   direction at the mean equator and equinox of `from` (read only)
//         from, to epochs (years)
// Result: the direction at the mean equator and equinox of `to`; lon in [0, 2 pi] (2 pi when a
//         tiny negative angle wraps), r = 1
SphericalPoint kestil_precess(const SphericalPoint* point, double from, double to);

// Given and returned: ra (hours), dec (degrees), in place, from JNow to J2000
void kestil_jnow_to_j2k(double* ra, double* dec);
// Given and returned: ra (hours), dec (degrees), in place, from J2000 to JNow
void kestil_j2k_to_jnow(double* ra, double* dec);
// Given and returned: ra (hours), dec (degrees), in place, from `epoch` to J2000.
// An epoch of exactly 2000 changes nothing; an epoch of 0 means JNow.
void kestil_eq_to_j2k(double epoch, double* ra, double* dec);
// Given and returned: ra (hours), dec (degrees), in place, from J2000 to `epoch`.
// An epoch of exactly 2000 changes nothing; an epoch of 0 means JNow.
void kestil_j2k_to_eq(double epoch, double* ra, double* dec);

#ifdef __cplusplus
}
#endif

#endif
