// solver/engine/extended_search.h - the search after the schedule of stages has found nothing
// Every image quad proposes a plate on its own and the plate is verified against the whole
// field (verify.h), so one true quad is enough where the schedule needs several agreeing ones.
// Quads are formed from the brightest stars a few at a time (each new depth adds the quads that
// contain one of the newly added stars), looked up in every index with a code tolerance that
// follows the expected centroid error over the quad's base length, and, where the measured quad
// lies near a tie of the canonical form, in each form it may have in the index. Each lookup hit
// gives four star pairs; a similarity fit of them is the candidate plate, kept when its scale
// suits the index (or the scale hint) and its four stars agree, then verified. The first plate
// that verifies is refined on all the stars it matched and verified again.
// Positions in pixels of the star list's frame; sky angles in radians, J2000. Single-threaded;
// stops at the control record's deadline or stop request.
#ifndef KESTIL_SOLVER_ENGINE_EXTENDED_SEARCH_H
#define KESTIL_SOLVER_ENGINE_EXTENDED_SEARCH_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/engine/plate_fit.h"
#include "solver/engine/quad_match.h"
#include "solver/solve.h"
#include "solver/stars/image_stars.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ExtendedSearch {
    const SolveRequest* request;     // index directory and cache, parity, scale hint, radius,
                                     // progress
    const ImageStar* stars;          // brightest first
    int32_t star_count;
    int32_t width, height;          // the frame of the stars, pixels
    float centre_x, centre_y;       // image centre in that frame (origin of the plate)
    double pixels_per_image_pixel;  // frame pixels per pixel of the image as read (1 / binning)
    const float* scales;            // installed index scales, in the order to try
    int32_t scale_count;
    bool use_hint;             // position hint: only the index stars of the cone
    double hint_ra, hint_dec;  // J2000, radians; the cone's radius is the request's radius
                               // plus half the image diagonal with a scale hint, else plus
                               // the index's quad scale (as in the schedule)
    SolveControl* control;
} ExtendedSearch;

typedef struct ExtendedResult {
    PlateModel model;   // the refined plate
    int32_t matched;    // star pairs of the refined plate
    float rms;          // radians
    float index_scale;  // quad scale of the index that solved, degrees
    double log_odds;    // evidence of the refined plate
    bool wrong_parity;  // a verified plate was refused by the parity setting
} ExtendedResult;

// Result: true with result filled when a plate was verified (and its parity accepted);
//         false when the search ended without one (result->wrong_parity still set when a plate
//         of the other parity verified).
bool kestil_solver_extended_search(const ExtendedSearch* search, ExtendedResult* result);

#ifdef __cplusplus
}
#endif

#endif
