// app/solve_run.h - one solve run: read the image whole, solve, report, exit code
// Main thread only.
#ifndef KESTIL_APP_SOLVE_RUN_H
#define KESTIL_APP_SOLVE_RUN_H

#include <stdbool.h>
#include <stdint.h>

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
