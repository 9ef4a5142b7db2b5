// solver/engine/solve.cpp - placeholder driver until the matching engine lands
#include "solver/solver_types.h"

#include "framework/clock.h"

extern "C" void kestil_solver_solve(const SolverSettings*, const void*, uint32_t,
                                    SolverSolution* solution) {
    double start = kestil_monotonic_time();
    solution->solved = false;
    solution->message = "The solve engine is not built yet";
    solution->time = kestil_monotonic_time() - start;
}
