// solver/index/index_selection.cpp - installed indexes in the order to try
#include "solver/index/index_selection.h"

#include <math.h>
#include <stdio.h>


#include "framework/angles.h"
#include "framework/files.h"
#include "framework/log.h"
#include "solver/index/index_file.h"
#include "solver/solve_progress.h"

namespace {


float fit(float scale, float target) { return fabsf(logf(scale / target)); }

bool contains(const float* scales, int count, float scale) {
    for (int i = 0; i < count; ++i)
        if (scales[i] == scale) return true;
    return false;
}

}  // namespace

extern "C" {

int list_index_scales(const SolveRequest* request, double scale_hint, int width, int height,
                      float* scales) {
    float installed[SOLVER_SCALE_COUNT];
    int installed_count = 0;
    for (int i = 0; i < request->scale_count && i < SOLVER_SCALE_COUNT; ++i) {
        char path[SOLVER_PATH_SIZE];
        kestil_solver_index_path(path, sizeof path, request->index_dir, request->scales[i]);
        if (kestil_uni_is_readable(path))
            installed[installed_count++] = request->scales[i];
        else
            kestil_solver_progress(request, "Index %s is not installed\n", path);
    }
    int count = 0;
    const bool hinted = scale_hint > 0;
    if (hinted && installed_count > 0) {
        const double rad_per_px = scale_hint / deg_per_rad;
        char path[SOLVER_PATH_SIZE];
        float selected = 0;
        if (kestil_solver_select_index(request->index_dir, installed, installed_count,
                                       static_cast<float>(width * rad_per_px),
                                       static_cast<float>(height * rad_per_px), path, &selected))
            scales[count++] = selected;
    }
    const float target =
        hinted ? static_cast<float>(0.7 * sqrt(static_cast<double>(width) * height) * scale_hint)
               : 0.0f;
    for (;;) {
        int best = -1;
        float best_key = 0;
        for (int i = 0; i < installed_count; ++i) {
            if (contains(scales, count, installed[i])) continue;
            const float key = target > 0 ? fit(installed[i], target) : -installed[i];
            if (best < 0 || key < best_key) {
                best = i;
                best_key = key;
            }
        }
        if (best < 0) return count;
        scales[count++] = installed[best];
    }
}

bool kestil_solver_select_index(const char* index_dir, const float* candidates,
                                int count, float field_width, float field_height, char* path,
                                float* selected) {
    static const char name[] = "kestil_solver_select_index";
    const float target = static_cast<float>(
        0.7 * sqrt(static_cast<double>(field_width) * field_height) * deg_per_rad);
    bool chosen = false;
    float best_key = 0;
    for (int i = 0; i < count; ++i) {
        const float key = fit(candidates[i], target);
        char candidate_path[SOLVER_PATH_SIZE];
        kestil_solver_index_path(candidate_path, sizeof candidate_path, index_dir, candidates[i]);
        if (!kestil_uni_is_readable(candidate_path) || (chosen && !(key < best_key))) continue;
        chosen = true;
        best_key = key;
        *selected = candidates[i];
        snprintf(path, SOLVER_PATH_SIZE, "%s", candidate_path);
    }
    if (chosen) {
        kestil_debug("%s: field %.2f° x %.2f°, using %s", name, field_width * deg_per_rad,
                     field_height * deg_per_rad, path);
        return true;
    }
    kestil_error("%s: no index-*deg-*.zeph index file found in %s", name,
                 index_dir && index_dir[0] ? index_dir : "the working directory");
    return false;
}

}  // extern "C"
