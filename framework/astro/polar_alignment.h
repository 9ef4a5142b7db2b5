// framework/astro/polar_alignment.h - polar-axis error of an equatorial mount
// A polar error is a pair of small rotation angles (u, v), radians. Positions are
// SphericalPoint values with lon the hour angle and lat the declination (radians); r scales the
// vector and comes back as 1. The rotations are those of framework/astro/coordinates.h:
// applying the error turns the position about z by v, then about x by v, then about y by u.
// Pure computations; any thread.
#ifndef KESTIL_FRAMEWORK_ASTRO_POLAR_ALIGNMENT_H
#define KESTIL_FRAMEWORK_ASTRO_POLAR_ALIGNMENT_H

#include <stdbool.h>

#include "framework/precession.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:  position  (hour angle, declination) radians;  u, v  polar error (radians)
// Returned: result  the position as seen through a polar axis with the error (u, v)
void kestil_apply_polar_error(SphericalPoint* result, const SphericalPoint* position, double u,
                              double v);

// Given:  position, u, v  as above
// Returned: result  the position with the error (u, v) removed (the inverse of the above)
void kestil_correct_polar_error(SphericalPoint* result, const SphericalPoint* position, double u,
                                double v);

// Given:  p1, p2, p3  positions measured at three different hour angles
// Returned: d12, d13  declination changes p2 - p1 and p3 - p1 (radians)
//           u, v      polar error solving lat = const + u cos(-lon) + v sin(-lon) (radians)
// Result: false when an argument is null or the hour angles do not determine the solution
//         (two of them equal, or the determinant zero to rounding); d12, d13 are written as
//         soon as the arguments are present, u and v only on success
bool kestil_polar_alignment_error_3p(const SphericalPoint* p1, const SphericalPoint* p2,
                                     const SphericalPoint* p3, double* d12, double* d13,
                                     double* u, double* v);

// Given:  measured, target  positions
// Returned: u, v  the polar error whose correction brings measured nearest to target, found
//         by a grid search from -10 to +10 degrees refined three times down to 0.0002 degree
// Result: false when |u| or |v| exceeds 9.5 degrees (u and v are written in both cases), or
//         when an argument is null (nothing written)
bool kestil_reestimate_polar_error(const SphericalPoint* measured, const SphericalPoint* target,
                                   double* u, double* v);

// One grid pass: v from v_from while below v_to by v_step, within it u likewise; the first
// grid point whose correction of measured lies strictly nearest to target is written to u and
// v. Nothing is written when an argument is null, a step is not positive, or a range is
// empty, not finite or more than 100000 steps long.
void search_polar_error(const SphericalPoint* measured, const SphericalPoint* target,
                        double v_from, double v_to, double v_step, double u_from, double u_to,
                        double u_step, double* u, double* v);

#ifdef __cplusplus
}
#endif

#endif
