// solver/engine/plate_fit.h - the plate solution fitted to the star pairs
// Catalogue stars are projected onto the tangent plane at a trial centre (gnomonic projection,
// standard coordinates xi, eta in radians); a linear map from image offsets (pixels from the
// image centre, y down the rows) to (xi, eta) is fitted by least squares to the largest set of
// pairs consistent within three pixels, found by growing seeds of three well-voted pairs.
// Sums in double precision, stored values in single precision. Angles in radians, J2000.
// Reference: Calabretta & Greisen 2002, A&A 395, 1077 (TAN projection). Single-threaded per call.
#ifndef KESTIL_SOLVER_ENGINE_PLATE_FIT_H
#define KESTIL_SOLVER_ENGINE_PLATE_FIT_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/engine/star_match.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_MIN_FIT_PAIRS = 6 };

// xi = xi0 + xi_x x + xi_y y, eta = eta0 + eta_x x + eta_y y (radians; x, y pixels from centre)
typedef struct PlateFit {
    float xi0, xi_x, xi_y;
    float eta0, eta_x, eta_y;
    float scale;    // radians per pixel
    float rms;      // radians
    int32_t count;  // pairs used
} PlateFit;

// A plate: pixel (x, y) maps to the standard coordinates fit(x - centre_x, y - centre_y) on the
// tangent plane at (ra0, dec0).
typedef struct PlateModel {
    float ra0, dec0;            // tangent point, radians
    float centre_x, centre_y;   // origin of the fit's offsets, working-image pixels
    PlateFit fit;
} PlateModel;

// Given:    ra0, dec0   tangent point; ra, dec   the direction (radians)
// Returned: xi, eta     standard coordinates (radians), written only on success
// Result:   true when the direction is on the near hemisphere and the result finite
bool project_tangent(float ra0, float dec0, float ra, float dec, float* xi, float* eta);

// Given:    ra0, dec0, xi, eta   tangent point and standard coordinates (radians)
// Returned: ra (0 <= ra < 2 pi), dec   the direction (radians)
void deproject_tangent(float ra0, float dec0, float xi, float eta, float* ra, float* dec);

// Least squares z = c0 + c1 x + c2 y over m points. Result: false with fewer than 3 points or
// a singular system (|determinant| < 1e-14); c written only on success.
bool fit_plane(const float* x, const float* y, const float* z, int32_t m, float c[3]);

// The pairs of one fit: n image offsets x, y (pixels), standard coordinates xi, eta (radians) and
// whether each projection exists; scratch holds 4 n floats.
typedef struct PlatePairs {
    int32_t n;
    const float* x;
    const float* y;
    const float* xi;
    const float* eta;
    const uint8_t* valid;
    float* scratch;
} PlatePairs;

// Fits the pairs flagged in selected. Result: true with fit filled when at least 3 are selected,
// the systems are regular, the scale is positive and the rms finite.
bool fit_plate(const PlatePairs* pairs, const uint8_t* selected, PlateFit* fit);

// Reselects, at most 20 times, the valid pairs within 3 pixels of the fit of the selection.
// Returned: selected (modified in place), fit of the final selection
// Result:   number of pairs selected, 0 on failure
int32_t refine_plate(const PlatePairs* pairs, uint8_t* selected, PlateFit* fit);

// Given:    pairs, n        one-to-one star pairs
//           width, height   working-image size, pixels
// Returned: ra, dec (image centre), angle (0 <= angle < 2 pi), scale (radians per pixel),
//           parity (1 or -1), matched (pairs consistent with the fit), rms (radians);
//           written only when a solution was found
// Result:   true when at least 6 pairs agree on one plate solution
bool kestil_solver_compute_center(const StarMatch* pairs, int32_t n, int32_t width,
                                  int32_t height, float* ra, float* dec, float* angle,
                                  float* scale, int32_t* parity, int32_t* matched, float* rms);

// The same fit about a given image centre (working-image pixels, centre of column c at c + 0.5)
// instead of (width / 2, height / 2). The driver passes the centre of the image as read, divided
// by the binning factor: binning drops the last columns and rows of a side that is not a multiple
// of the factor, and the centre of what remains is not the centre of the image the user gave.
bool kestil_solver_compute_center_at(const StarMatch* pairs, int32_t n, float centre_x,
                                     float centre_y, float* ra, float* dec, float* angle,
                                     float* scale, int32_t* parity, int32_t* matched, float* rms);

// The fit of kestil_solver_compute_center_at as a plate, with the number of pairs it matched.
// Result: false (with the same error line) when fewer than 6 pairs agree.
bool kestil_solver_compute_center_model(const StarMatch* pairs, int32_t n, float centre_x,
                                        float centre_y, PlateModel* model, int32_t* matched);

// Rotation angle (radians, 0 <= angle < 2 pi) and parity (1 or -1) of a fitted map.
void kestil_solver_plate_orientation(const PlateFit* fit, float* angle, int32_t* parity);

#ifdef __cplusplus
}
#endif

#endif
