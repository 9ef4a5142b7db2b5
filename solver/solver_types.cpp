// solver/solver_types.cpp - process-wide state shared by the solver and its command line
#include "solver/solver_types.h"

FILE* progress_stream = nullptr;
