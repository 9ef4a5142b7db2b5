// solver/engine/quad_match.h - image quads looked up in an index and filtered by one scale
// The lookup compares codes with a tolerance of one thousandth of a base length per field; a
// vote among the matches that share a (image star, catalogue star) pair picks the reference
// scale, and only matches within 1 % of it are kept. SolveControl carries the deadline and the
// stop request that the engine tests in its inner loops. Deadlines are seconds on the clock of
// kestil_monotonic_time. Single-threaded; only abort_request may be written by another thread.
#ifndef KESTIL_SOLVER_ENGINE_QUAD_MATCH_H
#define KESTIL_SOLVER_ENGINE_QUAD_MATCH_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/engine/image_quads.h"
#include "solver/index/index_file.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_MAX_QUAD_MATCHES = 1000000 };

typedef struct SolveControl {
    double deadline;                       // seconds; 0 or less = none
    const volatile uint8_t* abort_request; // non-zero byte = stop; null = no request
    bool aborted;                          // latched once the solve must stop
    const char* message;                   // "Aborted" or "CPU time limit exceeded"
} SolveControl;

typedef struct QuadMatch {
    const ImageQuad* quad;
    const CatalogStar* catalog_stars[4];  // entry a pairs with entry a of quad->stars
    float ratio;                          // image length / index size: pixels per radian
    int32_t votes;
} QuadMatch;

// Given:  control   may be null
// Result: true when the solve must stop (the reason latched in control)
bool solver_check_abort(SolveControl* control);

// Given:    quads, count   image quads
//           index          the index or a cone view
//           control        the deadline and stop request (may be null)
// Returned: matches        room for SOLVER_MAX_QUAD_MATCHES, overwritten from the start
// Result:   matches kept at the front of the buffer; 0 when none or when the solve must stop
uint32_t kestil_solver_match_quads(const ImageQuad* quads, uint32_t count, const IndexFile* index,
                                   QuadMatch* matches, SolveControl* control);

#ifdef __cplusplus
}
#endif

#endif
