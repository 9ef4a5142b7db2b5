// solver/solve_progress.cpp - progress lines of a solve request
#include "solver/solve_progress.h"

#include <stdarg.h>
#include <stdio.h>

void kestil_solver_progress(const SolveRequest* request, const char* format, ...) {
    if (!request || !request->progress) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    request->progress(request->progress_context, line);
}
