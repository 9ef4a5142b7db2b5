// solver/engine/sip.cpp - the plate as a WCS with lens distortion terms (SIP)
#include "solver/engine/sip.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "framework/angles.h"

namespace {

constexpr int max_inverse_order = SOLVER_SIP_MAX_ORDER + 1;
constexpr int newton_steps = 20;
constexpr double newton_tolerance_px = 1e-9;

bool orders_valid(const SolverWcs* wcs) {
    return wcs->sip_order >= 0 && wcs->sip_order <= SOLVER_SIP_MAX_ORDER &&
           wcs->inverse_order >= 0 && wcs->inverse_order <= max_inverse_order;
}

// sum c[p][q] u^p v^q over low <= p + q <= order.
double polynomial(const double c[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2], int low,
                  int order, double u, double v) {
    double sum = 0.0;
    double up = 1.0;
    for (int p = 0; p <= order; ++p, up *= u) {
        double term = up;
        for (int q = 0; p + q <= order; ++q, term *= v)
            if (p + q >= low) sum += c[p][q] * term;
    }
    return sum;
}

// Partial derivatives of the forward polynomial c (orders 2 to order) at (u, v).
void polynomial_gradient(const double c[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2],
                         int order, double u, double v, double* du, double* dv) {
    *du = 0.0;
    *dv = 0.0;
    for (int p = 0; p <= order; ++p)
        for (int q = 0; p + q <= order; ++q) {
            if (p + q < 2 || c[p][q] == 0.0) continue;
            if (p > 0) *du += c[p][q] * p * std::pow(u, p - 1) * std::pow(v, q);
            if (q > 0) *dv += c[p][q] * q * std::pow(u, p) * std::pow(v, q - 1);
        }
}

// Gnomonic deprojection: standard coordinates (radians) about (ra0, dec0) to a direction.
void deproject(double ra0, double dec0, double xi, double eta, double* ra, double* dec) {
    const double den = std::cos(dec0) - eta * std::sin(dec0);
    *ra = ra0 + std::atan2(xi, den);
    *dec = std::atan2(std::sin(dec0) + eta * std::cos(dec0), std::hypot(xi, den));
    *ra = std::fmod(*ra, two_pi);
    if (*ra < 0.0) *ra += two_pi;
    if (*ra >= two_pi) *ra = 0.0;
}

// Gnomonic projection (radians); false at 90 degrees or more from the tangent point.
bool project(double ra0, double dec0, double ra, double dec, double* xi, double* eta) {
    const double dra = ra - ra0;
    const double cos_c = std::sin(dec0) * std::sin(dec) + std::cos(dec0) * std::cos(dec) * std::cos(dra);
    if (!(cos_c > 0.0)) return false;
    *xi = std::cos(dec) * std::sin(dra) / cos_c;
    *eta = (std::cos(dec0) * std::sin(dec) - std::sin(dec0) * std::cos(dec) * std::cos(dra)) / cos_c;
    return true;
}

// The pixel offsets (u, v) whose distorted offsets are (up, vp): the inverse terms' estimate,
// then Newton steps on the forward terms. False when they don't converge.
bool undistort(const SolverWcs* wcs, double up, double vp, double* u, double* v) {
    double su = up, sv = vp;
    if (wcs->inverse_order > 0) {
        su += polynomial(wcs->ap, 0, wcs->inverse_order, up, vp);
        sv += polynomial(wcs->bp, 0, wcs->inverse_order, up, vp);
    }
    for (int step = 0; step < newton_steps; ++step) {
        const double fu = su + polynomial(wcs->a, 2, wcs->sip_order, su, sv) - up;
        const double fv = sv + polynomial(wcs->b, 2, wcs->sip_order, su, sv) - vp;
        double au, av, bu, bv;
        polynomial_gradient(wcs->a, wcs->sip_order, su, sv, &au, &av);
        polynomial_gradient(wcs->b, wcs->sip_order, su, sv, &bu, &bv);
        const double j11 = 1.0 + au, j12 = av, j21 = bu, j22 = 1.0 + bv;
        const double det = j11 * j22 - j12 * j21;
        if (!std::isfinite(det) || det == 0.0) return false;
        const double du = (j22 * fu - j12 * fv) / det;
        const double dv = (j11 * fv - j21 * fu) / det;
        su -= du;
        sv -= dv;
        if (!std::isfinite(su) || !std::isfinite(sv)) return false;
        if (std::fabs(du) + std::fabs(dv) < newton_tolerance_px) {
            *u = su;
            *v = sv;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" {

bool kestil_solver_wcs_pixel_to_sky(const SolverWcs* wcs, double x, double y, double* ra_deg,
                                    double* dec_deg) {
    if (!orders_valid(wcs)) return false;
    double u = x - wcs->crpix[0], v = y - wcs->crpix[1];
    if (wcs->sip_order > 0) {
        const double du = polynomial(wcs->a, 2, wcs->sip_order, u, v);
        const double dv = polynomial(wcs->b, 2, wcs->sip_order, u, v);
        u += du;
        v += dv;
    }
    const double xi = (wcs->cd[0][0] * u + wcs->cd[0][1] * v) * rad_per_deg;
    const double eta = (wcs->cd[1][0] * u + wcs->cd[1][1] * v) * rad_per_deg;
    double ra, dec;
    deproject(wcs->crval[0] * rad_per_deg, wcs->crval[1] * rad_per_deg, xi, eta, &ra, &dec);
    if (!std::isfinite(ra) || !std::isfinite(dec)) return false;
    *ra_deg = ra * deg_per_rad;
    *dec_deg = dec * deg_per_rad;
    return true;
}

bool kestil_solver_wcs_sky_to_pixel(const SolverWcs* wcs, double ra, double dec, double* x,
                                    double* y) {
    if (!orders_valid(wcs)) return false;
    double xi, eta;
    if (!project(wcs->crval[0] * rad_per_deg, wcs->crval[1] * rad_per_deg, ra * rad_per_deg,
                 dec * rad_per_deg, &xi, &eta))
        return false;
    xi *= deg_per_rad;
    eta *= deg_per_rad;
    const double det = wcs->cd[0][0] * wcs->cd[1][1] - wcs->cd[0][1] * wcs->cd[1][0];
    if (!std::isfinite(det) || det == 0.0) return false;
    double u = (wcs->cd[1][1] * xi - wcs->cd[0][1] * eta) / det;
    double v = (wcs->cd[0][0] * eta - wcs->cd[1][0] * xi) / det;
    if (wcs->sip_order > 0 && !undistort(wcs, u, v, &u, &v)) return false;
    if (!std::isfinite(u) || !std::isfinite(v)) return false;
    *x = u + wcs->crpix[0];
    *y = v + wcs->crpix[1];
    return true;
}

}  // extern "C"
