// solver/index/published_indexes.cpp - the published index table and index labels
#include "solver/index/published_indexes.h"

#include <stdio.h>

#include "solver/solver_types.h"

extern "C" {

const PublishedIndex published_scales[PUBLISHED_INDEX_COUNT] = {
    {0.2f, "Gaia DR3", "0.2° - 0.45°", "1216 MB"},
    {0.5f, "Gaia DR3", "0.45° - 1°", "911 MB"},
    {1.0f, "Tycho-2", "1° - 2°", "538 MB"},
    {2.0f, "Tycho-2", "2° - 4.5°", "358 MB"},
    {5.0f, "Tycho-2", "4.5° - 10°", "178 MB"},
    {10.0f, "Tycho-2", "10° - 20°", "92 MB"},
    {20.0f, "Tycho-2", "> 20°", "36 MB"},
};

void kestil_solver_published_field_range(float scale, double* field_min, double* field_max) {
    struct Row {
        float scale;
        double low, high;
    };
    static constexpr Row table[] = {{0.2f, 0.2, 0.45}, {0.5f, 0.45, 1.0}, {1.0f, 1.0, 2.0},
                                    {2.0f, 2.0, 4.5},  {5.0f, 4.5, 10.0}, {10.0f, 10.0, 20.0},
                                    {20.0f, 20.0, 30.0}};
    *field_min = scale;
    *field_max = 2.0 * scale;
    for (const Row& row : table)
        if (row.scale == scale) {
            *field_min = row.low;
            *field_max = row.high;
        }
}

int index_label(float scale, char* buffer) {
    const char* catalog = scale < 1.0f ? "Gaia DR3" : "Tycho-2";
    const char* fov = nullptr;
    for (const PublishedIndex& row : published_scales)
        if (row.scale == scale) {
            fov = row.fov;
            break;
        }
    const double degrees = scale;
    if (fov) return snprintf(buffer, SOLVER_LABEL_SIZE, "%g° %s (FOV %s)", degrees, catalog, fov);
    return snprintf(buffer, SOLVER_LABEL_SIZE, "%g° %s", degrees, catalog);
}

}  // extern "C"
