// solver/engine/solve_details.h - what a solve can tell beyond its solution (SolveDetails)
// After a solve the driver hands over the stars it worked with and, when solved, the accepted
// plate; from them come the detections in the pixels of the image as stored, the plate as a TAN
// WCS, the index stars of the field (from the densest installed index that serves the field)
// and the verified matches, with distortion terms when the request asks for them.
// Single-threaded per call.
#ifndef KESTIL_SOLVER_ENGINE_SOLVE_DETAILS_H
#define KESTIL_SOLVER_ENGINE_SOLVE_DETAILS_H

#include <stdint.h>

#include "solver/engine/plate_fit.h"
#include "solver/solve.h"
#include "solver/stars/image_stars.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DetailsInput {
    const SolveRequest* request;  // index directory and cache, distortion order
    int32_t width, height;        // the image as stored, pixels
    int32_t bin;                  // binning of the frame the plate is in
    const ImageStar* stars;       // detections, brightest first
    int32_t star_count;
    int32_t star_bin;             // binning of the frame the detections are in
    const PlateModel* model;      // the accepted plate (frame pixels); null when unsolved
    double log_odds;              // its evidence
    const float* scales;          // installed index scales of the solve
    int32_t scale_count;
    float solved_scale;           // the scale of the index that solved
} DetailsInput;

// Fills details (released first) from the input; on an allocation failure the arrays it could
// not make stay empty.
void kestil_solver_fill_details(const DetailsInput* in, SolveDetails* details);

#ifdef __cplusplus
}
#endif

#endif
