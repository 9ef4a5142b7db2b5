// solver/engine/solve_driver.cpp - the stage table and the order of the index walk
#include "solver/engine/solve_driver.h"

namespace {
constexpr int32_t first_stage = 40;
constexpr int32_t second_stage = 100;
}  // namespace

extern "C" int32_t kestil_solver_stage_table(int32_t depth, int32_t stars, int32_t* stages) {
    int32_t count = 0;
    if (depth > 0) {
        if (depth < stars) stages[count++] = depth;
        stages[count++] = stars;
        return count;
    }
    if (stars > first_stage) stages[count++] = first_stage;
    if (stars > second_stage) stages[count++] = second_stage;
    stages[count++] = stars;
    return count;
}

extern "C" int32_t kestil_solver_walk_index(int32_t pass, int32_t step, int32_t count,
                                            double scale_hint) {
    bool forward = scale_hint > 0 || pass % 2 == 1;
    return forward ? step : count - 1 - step;
}
