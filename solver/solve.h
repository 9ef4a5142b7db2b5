// solver/solve.h - the solver as a library: one solve request, its result and an index cache
// A caller fills a SolveRequest (kestil_solver_default_request gives the command line's
// defaults), hands it with the bytes of an image file to kestil_solver_solve and reads the
// SolverSolution; with request->details set it also receives the plate as a WCS (with lens
// distortion terms when asked), the verified star matches, the detections and the index stars
// of the field. Progress lines go to the request's callback, never to a global stream.
// Solves of different requests may run at the same time on different threads; they share
// nothing but the index cache, which is safe to share.
// Angles: RA in hours and Dec in degrees at this edge (as in SolverSolution), except the WCS
// and star records, which hold degrees (RA too), as FITS does.
// Pixels: x and y of the image as stored in its file (after Bayer handling, before binning),
// the FITS convention: the first stored pixel's centre is (1, 1), x along a stored row, y along
// the stored rows. For FITS files the first stored row is the bottom one; for JPEG and camera
// raw files it is the top one.
#ifndef KESTIL_SOLVER_SOLVE_H
#define KESTIL_SOLVER_SOLVE_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_SIP_MAX_ORDER = 3 };

// One progress line (ends with a newline), called on the solving thread.
typedef void (*SolverProgressFunction)(void* context, const char* line);

// Mapped index files kept across solves; safe to share between threads. Opaque.
typedef struct SolverIndexCache SolverIndexCache;

// A TAN plate with optional SIP distortion; the WCS of the image as stored (see above).
typedef struct SolverWcs {
    double crpix[2];   // reference pixel
    double crval[2];   // RA, Dec of the reference pixel, degrees J2000
    double cd[2][2];   // degrees per pixel; cd[i][j] is CDi_(j+1) with i from 0: CD1_1 = cd[0][0]
    int32_t sip_order; // 0 = TAN only, else 2 or 3
    // Forward terms: u = x - crpix[0], v = y - crpix[1]; a[p][q] multiplies u^p v^q (p + q from
    // 2 to sip_order); x' = u + sum a, y' = v + sum b. ap, bp: the inverse (sky to pixel),
    // orders 1 to sip_order + 1 (the FITS SIP inverse may hold linear terms).
    double a[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2];
    double b[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2];
    int32_t inverse_order;
    double ap[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2];
    double bp[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2];
} SolverWcs;

// A detected star, or an index star of the field with where the plate puts it.
typedef struct SolverStar {
    double x, y;       // pixels (see above)
    double ra, dec;    // degrees J2000; for a detection, where the plate puts it
    double flux;       // detection: its summed signal above the background; index star: 0
} SolverStar;

// One verified match of a detection with an index star.
typedef struct SolverMatch {
    double x, y;       // the detection, pixels
    double ra, dec;    // the index star, degrees J2000
    double residual;   // pixels between the detection and the index star through the plate
                       // (with its distortion terms when fitted)
    double flux;       // the detection's signal
} SolverMatch;

// What a solve can tell beyond SolverSolution. Arrays allocated by the solver; release with
// kestil_solver_release_details (also before reusing the record).
typedef struct SolveDetails {
    bool solved;
    int32_t width, height;         // the image as stored, pixels
    SolverWcs wcs;                 // solved: the plate
    double rms_linear;             // solved: rms of the matches' residuals, TAN only, pixels
    double rms_fitted;             // with distortion terms (the same when none were fitted)
    double log_odds;               // solved: the evidence of the accepted plate
    SolverMatch* matches;          // solved: the verified matches
    int32_t match_count;
    SolverStar* stars;             // detections, brightest first (also when unsolved)
    int32_t star_count;
    SolverStar* index_stars;       // solved: index stars inside the image
    int32_t index_star_count;
} SolveDetails;

typedef struct SolveRequest {
    char index_dir[SOLVER_PATH_SIZE];  // empty = the working directory
    float scales[SOLVER_SCALE_COUNT];  // quad scales to try, degrees
    int32_t scale_count;               // 1..7
    double radius;                     // search radius around ra/dec, degrees; 0 = whole sky
    double ra;                         // RA hint, hours
    double dec;                        // Dec hint, degrees
    double epoch;                      // 2000 (J2000) or 0 (JNow) for the hint and the result
    double scale_hint;                 // degrees per pixel of the image as stored; 0 = unknown
    int32_t parity;                    // -1, 1, or 0 = any
    int32_t downsample;                // binning factor before detection; 1 = none
    bool downsample_set;               // false: the default binning, which the extended search
                                       // may undo for small images
    int32_t depth;                     // brightest stars tried first; 0 = built-in stages
    double cpu_limit;                  // seconds; 0 = no limit
    bool no_extended_search;           // stop when the schedule of stages has found nothing
    bool header_hints;                 // use position and scale cards of a FITS header where
                                       // the request gives no hint of that kind
    int32_t sip_order;                 // with details: 0 = TAN only, 2 or 3 = distortion terms
                                       // up to that order (the higher only where it helps)
    SolverProgressFunction progress;   // null = no progress lines
    void* progress_context;
    SolverIndexCache* cache;           // null = indexes mapped for this solve only
    SolveDetails* details;             // null = not wanted; else zero-filled or released
    const volatile uint8_t* stop;      // when non-null and non-zero, the solve ends early
                                       // ("Aborted")
} SolveRequest;

// Returned: request   the defaults of the command line: all seven scales, index directory
//                     "<KESTIL_CACHE_BASE>/solver" or "<home>/.kestil/solver", binning 2,
//                     J2000, header hints on, a limit of 180 s, no details, no progress
// Any thread.
void kestil_solver_default_request(SolveRequest* request);

// Runs one solve of the image file held in memory (Given: request, data, length) and fills
// the zero-filled solution (and request->details when set).
void kestil_solver_solve(const SolveRequest* request, const void* data, uint32_t length,
                         SolverSolution* solution);

// Frees the arrays of details and zero-fills it.
void kestil_solver_release_details(SolveDetails* details);

// Result: a new empty cache, or null when out of memory
SolverIndexCache* kestil_solver_index_cache_create(void);

// Unmaps every index of the cache and frees it; no solve may be using it. Null is ignored.
void kestil_solver_index_cache_release(SolverIndexCache* cache);

#ifdef __cplusplus
}
#endif

#endif
