// solver/solver_types.h - the records shared by the solver and its command line
// SolverSettings: the command line's run settings, filled once by the argument parser and only
// read afterwards; a solve receives the part it needs as a SolveRequest (solver/solve.h).
// SolverSolution: the result of one solve, filled by kestil_solver_solve.
// Angles at this edge are hours (RA) and degrees; inside the engine they are radians.
#ifndef KESTIL_SOLVER_SOLVER_TYPES_H
#define KESTIL_SOLVER_SOLVER_TYPES_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_PATH_SIZE = 772, SOLVER_LABEL_SIZE = 128, SOLVER_SCALE_COUNT = 7 };

typedef enum RunMode { RUN_SOLVE = 0, RUN_LIST = 1, RUN_DOWNLOAD = 2, RUN_REMOVE = 3 } RunMode;

typedef enum OutputFormat {
    FORMAT_TEXT = 0,
    FORMAT_JSON = 1,
    FORMAT_XML = 2,
    FORMAT_WCS = 3
} OutputFormat;

typedef struct SolverSettings {
    char index_dir[SOLVER_PATH_SIZE];  // directory holding the index files
    float scales[SOLVER_SCALE_COUNT];  // selected quad scales, degrees, no duplicates
    int32_t scale_count;               // valid entries of scales, 1..7
    double radius;                     // search radius around the hint, degrees; 0 = whole sky
    double ra;                         // RA hint, hours
    double dec;                        // Dec hint, degrees
    bool ra_set;
    bool dec_set;
    double epoch;                      // 2000 (J2000) or 0 (JNow) for the hint and the result
    double scale_hint;                 // degrees per pixel; 0 = unknown
    int32_t parity;                    // -1, 1, or 0 = any
    int32_t downsample;                // binning factor before detection; 1 = none
    int32_t depth;                     // brightest stars tried first; 0 = built-in stages
    double cpu_limit;                  // seconds; 0 = no limit
    int32_t verbosity;                 // +1 per -v, +2 per -vv
    int32_t output_format;             // OutputFormat
    const char* image_file;            // borrowed from the argument vector
    int32_t run_mode;                  // RunMode
    const char* index_url;             // base URL for --download; null = built-in default
    const char* solve_option;          // last solve-only option seen, as typed
    bool downsample_set;               // binning given on the command line (not the default)
    bool no_extended_search;           // stop when the schedule of stages has found nothing
    bool no_header_hints;              // ignore the position and scale cards of a FITS header
    bool sip;                          // fit lens distortion terms for the WCS and JSON reports
    bool list_matches;                 // JSON: the verified matches as "matched"
    const char* new_fits;              // write a solved FITS copy of the image there; null = no
    const char* annotate;              // write a PNG picture of the solve there; null = no
    bool batch;                        // --batch: every file argument is an image to solve
    int32_t jobs;                      // --batch worker threads; 0 = one per core
    const char* const* image_files;    // --batch: the image paths (argument vector or @lists)
    int32_t image_file_count;
} SolverSettings;

typedef struct SolverSolution {
    bool solved;
    const char* message;               // why not solved (static text); null when solved
    double time;                       // seconds spent by the solve
    int32_t image_width;               // image as read, before binning, pixels
    int32_t image_height;
    int32_t matched_stars;             // pairs consistent with the accepted fit
    int32_t star_matches;              // one-to-one pairs handed to the fit
    double rms;                        // arcseconds
    double ra;                         // hours, in the epoch of the settings
    double dec;                        // degrees, same epoch
    double ra_j2000;                   // hours, J2000
    double dec_j2000;                  // degrees, J2000
    double angle;                      // degrees, 0 <= angle < 360
    double scale;                      // degrees per pixel of the image as read
    int32_t parity;                    // 1 or -1
    char index[SOLVER_LABEL_SIZE];     // label of the index that solved
} SolverSolution;

#ifdef __cplusplus
}
#endif

#endif
