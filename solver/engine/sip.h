// solver/engine/sip.h - the plate as a WCS with lens distortion terms (SIP)
// A SolverWcs (solver/solve.h) maps a pixel (FITS convention: the first stored pixel's centre is
// (1, 1)) to the sky in three steps: the offsets u = x - CRPIX1, v = y - CRPIX2; the distortion
// u' = u + sum A_p_q u^p v^q, v' = v + sum B_p_q u^p v^q (2 <= p + q <= sip_order; none when
// sip_order is 0); the standard coordinates (xi, eta) = CD (u', v') in degrees, deprojected
// gnomonically (TAN) about CRVAL. The way back projects onto the tangent plane, inverts CD, starts
// from the inverse terms AP, BP (1 <= p + q <= inverse_order) and refines by Newton steps on the
// forward terms, so that a round trip is exact to 1e-6 pixel whatever the inverse terms' accuracy.
// The refinement after a solve matches detections with index stars one to one, refits CRVAL, CD
// and the terms by linear least squares (the reference pixel stays), chooses the terms by the
// Bayesian information criterion among the models the number and spread of the matches allow,
// and fits the inverse terms on a grid over the image. Lenses distort mostly radially: a model
// with the radial cubic terms alone is among the candidates, and with its fewer terms it follows
// the centroid noise less at the corners, where the fit extrapolates.
// Angles in degrees (RA too), J2000; pixels as above.
// Reference: Calabretta & Greisen 2002, A&A 395, 1077 (TAN); Shupe et al. 2005, ASP Conf. Ser.
// 347, 491 (the SIP convention); Schwarz 1978, Ann. Stat. 6, 461 (the information criterion).
// Any thread; no state between calls.
#ifndef KESTIL_SOLVER_ENGINE_SIP_H
#define KESTIL_SOLVER_ENGINE_SIP_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/solve.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:    wcs      the plate (sip_order 0 to 3, inverse_order 0 to 4)
//           x, y     pixel (FITS convention)
// Returned: ra_deg (0 <= ra < 360), dec_deg   written only on success
// Result:   false when an order is out of range or the result is not finite
bool kestil_solver_wcs_pixel_to_sky(const SolverWcs* wcs, double x, double y, double* ra_deg,
                                    double* dec_deg);

// Given:    wcs       the plate (as above)
//           ra, dec   direction, degrees
// Returned: x, y      pixel (FITS convention), written only on success
// Result:   false when the direction is 90 degrees or more from CRVAL (behind the tangent
//           plane), CD is singular, an order is out of range or the distortion can't be undone
bool kestil_solver_wcs_sky_to_pixel(const SolverWcs* wcs, double ra, double dec, double* x,
                                    double* y);

// Refines a solved plate with the field's stars and, when asked, fits distortion terms.
// Matching: each index star inside the image (through the plate being refined) pairs with the
// nearest unpaired detection within 3 pixels plus 6 pixels times the square of its distance
// from the reference pixel over the half diagonal (distortion grows toward the corners), closest
// pairs first; then the plate is refitted and the stars matched again, up to 8 rounds. Each
// round drops the pairs more than 3 times the median residual (at least 1 pixel) off the fit of
// the quadratic and radial terms (else the radial, else the quadratic, else TAN: the first the
// pairs allow) and refits, up to 3 times: blended detections of crowded wide fields sit pixels
// off their stars and would bend the terms (for Gaussian centroid errors 3 medians are 3.5
// sigma). The judge is neither TAN (whose largest residuals are a distorted field's corners)
// nor the full cubic (which bends toward a few pairs and then drops the rest).
// Models: TAN (CRVAL and CD only); the quadratic terms (order 2); the cubic terms of radial
// distortion, u r^2 and v r^2 (order 3, two terms per axis); both; all terms of order 3. The
// quadratic and the radial terms need at least 20 matches in 6 of the 9 cells of a 3 x 3 grid
// over the image (2 corner cells among them); both together 50 matches and all cubic terms 70,
// in 7 cells (3 corners). The model of least information criterion is kept. Terms are kept only
// when they lower the rms; a TAN refit only when it lowers the rms beyond chance (the same
// criterion with its 3 parameters per axis against the solve's plate).
// Given:    detections, detection_count       x, y (pixels) and flux of the detections
//           index_stars, index_count          ra, dec (degrees) of the index stars of the field
//           width, height                     the image, pixels
//           max_order                         0: match only (wcs untouched); 1: refit the TAN
//                                             plate (no terms); 2 or 3: terms up to that order
//           wcs                               the solve's TAN plate (sip_order 0)
//           match_capacity                    room in matches
// Returned: wcs          the refitted plate (inverse terms of order sip_order + 1)
//           matches      the final pairs in the order of the detections, each with its residual
//                        through the final plate; at most match_capacity
//           match_count  pairs written
//           rms_linear   rms of the pairs' residuals through the best TAN plate, pixels
//           rms_fitted   through the final plate (equal to rms_linear without terms)
// Result:   false (nothing written) for null records, negative counts or capacity, an empty
//           image, max_order outside 0..3, or a plate with singular CD or orders out of range
bool kestil_solver_refine_wcs(const SolverStar* detections, int32_t detection_count,
                              const SolverStar* index_stars, int32_t index_count, int32_t width,
                              int32_t height, int32_t max_order, SolverWcs* wcs,
                              SolverMatch* matches, int32_t match_capacity, int32_t* match_count,
                              double* rms_linear, double* rms_fitted);

#ifdef __cplusplus
}
#endif

#endif
