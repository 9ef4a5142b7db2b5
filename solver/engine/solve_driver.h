// solver/engine/solve_driver.h - the schedule of a solve: stages of stars and the index walk
// kestil_solver_solve (solver/solve.h) runs passes over the stages; pass p uses the p-th
// star count of the stage table and walks the index list forwards, or backwards in even passes
// when there is no scale hint, so that a pass starts with the index the last one ended with.
// Pure functions; any thread.
#ifndef KESTIL_SOLVER_ENGINE_SOLVE_DRIVER_H
#define KESTIL_SOLVER_ENGINE_SOLVE_DRIVER_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_MAX_STAGES = 3, SOLVER_MAX_INDEX_SCALES = 40 };

// Given:    depth   brightest stars tried first; 0 = the built-in stages 40, 100, all
//           stars   number of detected stars
// Returned: stages  star count of each stage (SOLVER_MAX_STAGES entries)
// Result:   number of stages, 1 to 3
int32_t kestil_solver_stage_table(int32_t depth, int32_t stars, int32_t* stages);

// Given:  pass (1, 2, ...), step (0 .. count - 1), count   position in the walk
//         scale_hint   degrees per pixel; above 0 walks forwards in every pass
// Result: the position in the index list tried at this step
int32_t kestil_solver_walk_index(int32_t pass, int32_t step, int32_t count, double scale_hint);

#ifdef __cplusplus
}
#endif

#endif
