// solver/stars/image_stars.h - the solver's list of image stars
// Positions in pixels of the working image (after binning), centre of pixel column c at c + 0.5.
// Single-threaded per call.
#ifndef KESTIL_SOLVER_STARS_IMAGE_STARS_H
#define KESTIL_SOLVER_STARS_IMAGE_STARS_H

#include "solver/image/solver_image.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_MAX_IMAGE_STARS = 500 };

typedef struct ImageStar {
    float inv_lum;  // 1 / brightness; smaller is brighter
    float x;        // column position, pixels
    float y;        // row position, pixels
} ImageStar;

// Given:    image     the working image
// Returned: stars     room for SOLVER_MAX_IMAGE_STARS records, brightest first
// Result:   number of stars found, 0 when none or on failure
int kestil_solver_image_stars(const SolverImage* image, ImageStar* stars);

#ifdef __cplusplus
}
#endif

#endif
