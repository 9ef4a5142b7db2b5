// app/solve_run.h - one solve run: read the image whole, solve, report, exit code
// Main thread only.
#ifndef KESTIL_APP_SOLVE_RUN_H
#define KESTIL_APP_SOLVE_RUN_H

#include <stdbool.h>
#include <stdint.h>

#include <stdio.h>

#include "solver/solve.h"
#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Sets the log level from the verbosity (3 from 2 up, else 1) and, at verbosity 0, replaces
// the log hook by one that drops every line.
void configure_logging(int verbosity);

// Given:  path   the image file
// Returned: data, size   a newly allocated copy of the whole file (free it) and its size in
//                        bytes (1 .. 2147483647); untouched on failure
// Result: true; false after "kestil_solver: can't open '<path>': <reason>" or
//         "kestil_solver: can't read '<path>'" on the standard error
bool read_image_file(const char* path, unsigned char** data, uint32_t* size);

// The stream the command line's progress lines go to: stdout for the text format, stderr for
// the others; set by run_solve (and by a batch before it starts).
extern FILE* progress_stream;

// Given:  settings   the command line's settings
// Returned: request  the solve request they describe; its progress callback writes to
//                    progress_stream when settings->verbosity is above 0; no cache, no details
void solve_request_from_settings(const SolverSettings* settings, SolveRequest* request);

// Solves one image file as run_solve does, for a batch: the report of the output format goes
// to out, the "Not solved" lines and diagnostics to errors, progress lines (verbosity above 0)
// to progress; the indexes come from cache (may be null). --new-fits and --annotate are not
// applied. Safe to call from several threads at once with different streams.
// Result: 0 when solved, else 1
int solve_image_file(const SolverSettings* settings, const char* path, SolverIndexCache* cache,
                     FILE* out, FILE* errors, FILE* progress);

// Runs the solve of settings->image_file: sets progress_stream, reads the image, calls
// kestil_solver_solve, writes "Not solved: <message>" to the standard error when unsolved (when
// no index was found, followed by a line naming a missing index directory and one on how to get
// indexes) and then the report of the output format.
// Result: the exit code, 0 when solved, else 1
int run_solve(const SolverSettings* settings);

#ifdef __cplusplus
}
#endif

#endif
