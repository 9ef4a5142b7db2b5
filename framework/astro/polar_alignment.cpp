// framework/astro/polar_alignment.cpp - applying, estimating and re-estimating a polar error
#include "framework/astro/polar_alignment.h"

#include <cmath>

#include "framework/angles.h"
#include "framework/astro/coordinates.h"

namespace {

constexpr double double_epsilon = 2.220446049250313e-16;
constexpr double search_limit = 0.17453292519943295;     // 10 degrees
constexpr double accept_limit = 9.5 * rad_per_deg;
// Refinement passes: half-width and step, radians (0.2, 0.02, 0.002 and 0.0002 degree steps).
struct Pass { double half_width, step; };
constexpr Pass refinements[] = {{0.003490658503988659, 0.00034906585039886593},
                                {0.00034906585039886593, 3.490658503988659e-05},
                                {3.490658503988659e-05, 3.490658503988659e-06}};
constexpr double first_step = 0.003490658503988659;

// Largest number of grid points per axis a pass may visit; far above the 100 of the first pass.
constexpr double max_points_per_axis = 1e5;

bool usable_range(double from, double to, double step) {
    return std::isfinite(from) && std::isfinite(to) && step > 0.0 &&
           (to - from) / step <= max_points_per_axis;
}

}  // namespace

extern "C" void kestil_apply_polar_error(SphericalPoint* result, const SphericalPoint* position,
                                         double u, double v) {
    CartesianPoint c = kestil_spherical_to_cartesian(position);
    c = kestil_cartesian_rotate_z(&c, v);
    c = kestil_cartesian_rotate_x(&c, v);
    c = kestil_cartesian_rotate_y(&c, u);
    *result = kestil_cartesian_to_spherical(&c);
}

extern "C" void kestil_correct_polar_error(SphericalPoint* result, const SphericalPoint* position,
                                           double u, double v) {
    CartesianPoint c = kestil_spherical_to_cartesian(position);
    c = kestil_cartesian_rotate_y(&c, -u);
    c = kestil_cartesian_rotate_x(&c, -v);
    c = kestil_cartesian_rotate_z(&c, -v);
    *result = kestil_cartesian_to_spherical(&c);
}

extern "C" bool kestil_polar_alignment_error_3p(const SphericalPoint* p1, const SphericalPoint* p2,
                                                const SphericalPoint* p3, double* d12,
                                                double* d13, double* u, double* v) {
    if (!p1 || !p2 || !p3 || !d12 || !d13 || !u || !v) return false;
    const double delta12 = p2->lat - p1->lat;
    const double delta13 = p3->lat - p1->lat;
    *d12 = delta12;
    *d13 = delta13;
    const double c1 = std::cos(-p1->lon), s1 = std::sin(-p1->lon);
    const double c2 = std::cos(-p2->lon), s2 = std::sin(-p2->lon);
    const double c3 = std::cos(-p3->lon), s3 = std::sin(-p3->lon);
    const double first = (s3 - s1) * (c2 - c1);
    const double second = (c3 - c1) * (s2 - s1);
    const double det = first - second;
    if (!std::isfinite(det) || det == 0.0 ||
        std::fabs(det) <= (std::fabs(first) + std::fabs(second)) * double_epsilon)
        return false;
    const double uu = (delta12 * (s3 - s1) - delta13 * (s2 - s1)) / det;
    const double vv = (delta13 * (c2 - c1) - delta12 * (c3 - c1)) / det;
    if (!std::isfinite(uu) || !std::isfinite(vv)) return false;
    *u = uu;
    *v = vv;
    return true;
}

extern "C" void search_polar_error(const SphericalPoint* measured, const SphericalPoint* target,
                                   double v_from, double v_to, double v_step, double u_from,
                                   double u_to, double u_step, double* u, double* v) {
    if (!measured || !target || !u || !v) return;
    if (!usable_range(v_from, v_to, v_step) || !usable_range(u_from, u_to, u_step)) return;
    double best = 1e9;
    for (double vv = v_from; vv < v_to; vv += v_step) {
        for (double uu = u_from; uu < u_to; uu += u_step) {
            SphericalPoint corrected{};
            kestil_correct_polar_error(&corrected, measured, uu, vv);
            const double distance = kestil_gc_distance_spherical(&corrected, target);
            if (distance < best) {
                best = distance;
                *u = uu;
                *v = vv;
            }
        }
    }
}

extern "C" bool kestil_reestimate_polar_error(const SphericalPoint* measured,
                                              const SphericalPoint* target, double* u,
                                              double* v) {
    if (!measured || !target || !u || !v) return false;
    double uu = 0.0, vv = 0.0;
    search_polar_error(measured, target, -search_limit, search_limit, first_step, -search_limit,
                       search_limit, first_step, &uu, &vv);
    for (const Pass& pass : refinements) {
        const double u_centre = uu, v_centre = vv;
        search_polar_error(measured, target, v_centre - pass.half_width,
                           v_centre + pass.half_width, pass.step, u_centre - pass.half_width,
                           u_centre + pass.half_width, pass.step, &uu, &vv);
    }
    *u = uu;
    *v = vv;
    return std::fabs(uu) <= accept_limit && std::fabs(vv) <= accept_limit;
}
