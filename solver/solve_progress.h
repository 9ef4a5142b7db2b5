// solver/solve_progress.h - progress lines of a solve, through the request's callback
#ifndef KESTIL_SOLVER_SOLVE_PROGRESS_H
#define KESTIL_SOLVER_SOLVE_PROGRESS_H

#include "solver/solve.h"

#ifdef __cplusplus
extern "C" {
#endif

// Formats one progress line (printf format; lines longer than 1023 bytes are cut) and hands it
// to the request's progress callback; nothing without a callback.
void kestil_solver_progress(const SolveRequest* request, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
