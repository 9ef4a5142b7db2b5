// solver/engine/star_match.h - star pairs voted by the quad matches, thinned to one-to-one
// Every quad match states four (image star, catalogue star) pairs; each statement is one vote.
// The pairs are ranked by votes (stable among equals, so first-seen wins a tie) and kept
// greedily when neither star is taken yet. Single-threaded per call.
#ifndef KESTIL_SOLVER_ENGINE_STAR_MATCH_H
#define KESTIL_SOLVER_ENGINE_STAR_MATCH_H

#include <stdint.h>

#include "solver/engine/quad_match.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_MAX_STAR_MATCHES = 1000 };

typedef struct StarMatch {
    const ImageStar* image_star;
    const CatalogStar* catalog_star;
    int32_t votes;
} StarMatch;

// Given:    matches, count   quad matches
//           control          deadline and stop request (may be null)
// Returned: pairs            room for SOLVER_MAX_STAR_MATCHES, overwritten from the start
// Result:   one-to-one pairs at the front of pairs, most votes first; 0 when the solve must stop
int32_t kestil_solver_match_stars(const QuadMatch* matches, uint32_t count, StarMatch* pairs,
                                  SolveControl* control);

#ifdef __cplusplus
}
#endif

#endif
