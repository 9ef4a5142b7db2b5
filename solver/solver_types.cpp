// solver/solver_types.cpp - process-wide state shared by the solver and its command line
#include "solver/solver_types.h"

#include <stdarg.h>

FILE* progress_stream = nullptr;

void solver_progress(const SolverSettings* settings, const char* format, ...) {
    if (settings->verbosity <= 0 || !progress_stream) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fputs(line, progress_stream);
}
