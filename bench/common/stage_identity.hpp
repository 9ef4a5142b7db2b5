// bench/common/stage_identity.hpp - the engine's quad stages against their straightforward forms
// Shared by engine_bench and solve_identity. For one star list (brightest first, working-image
// pixels) and one index, every stage of the solve driver's table builds its quads through
// kestil_solver_build_image_quads and through reference_engine::build_image_quads, and matches
// them through kestil_solver_match_quads and reference_engine::match_quads: counts and records
// must agree byte for byte (the quads field by field: their 4 padding bytes are no part of the
// result). Both forms get the product's quads to match, so the quad pointers compare equal.
// Times are processor seconds of the calling thread (the engine is single-threaded).
#ifndef KESTIL_BENCH_COMMON_STAGE_IDENTITY_HPP
#define KESTIL_BENCH_COMMON_STAGE_IDENTITY_HPP

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "solver/engine/image_quads.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_driver.h"
#include "solver/index/index_file.h"
#include "solver/solve.h"
#include "tests/support/reference_engine.hpp"

namespace stage_identity {

// Processor time of the calling thread: less disturbed by other loads on a shared machine than
// the wall clock.
inline double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <typename F>
double timed(F f) {
    double start = thread_seconds();
    f();
    return thread_seconds() - start;
}

// The engine's buffers, once for each form (about 220 MB in all).
struct Buffers {
    std::vector<ImageQuad> quads = std::vector<ImageQuad>(SOLVER_MAX_IMAGE_QUADS);
    std::vector<ImageQuad> reference_quads = std::vector<ImageQuad>(SOLVER_MAX_IMAGE_QUADS);
    std::vector<QuadMatch> matches = std::vector<QuadMatch>(SOLVER_MAX_QUAD_MATCHES);
    std::vector<QuadMatch> reference_matches = std::vector<QuadMatch>(SOLVER_MAX_QUAD_MATCHES);
};

struct Totals {
    double quads_fast = 0, quads_reference = 0;  // processor seconds
    double match_fast = 0, match_reference = 0;
    long stages = 0, quads = 0, matches = 0;     // stages compared, quads built, matches kept
    int differences = 0;                         // stages whose forms disagree
};

inline bool same_quads(const ImageQuad* a, const ImageQuad* b, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (std::memcmp(&a[i], &b[i], offsetof(ImageQuad, y2) + sizeof(float)) != 0 ||
            std::memcmp(a[i].stars, b[i].stars, sizeof a[i].stars) != 0)
            return false;
    return true;
}

// One stage: the k brightest stars on a width x height image against index. The product's
// quads and matches stay in b->quads and b->matches (*match_count of them kept) for the stages
// that follow. Result: whether both forms agree.
inline bool compare_stage(const ImageStar* stars, int32_t k, int32_t width, int32_t height,
                          const IndexFile* index, Buffers* b, Totals* t, uint32_t* match_count) {
    const int32_t cell = std::max(width, height) / SOLVER_QUAD_GRID;
    int32_t occupied = 0, reference_occupied = 0;
    uint32_t quads = 0, reference_quads = 0, matches = 0, reference_matches = 0;
    t->quads_fast += timed([&] {
        quads = kestil_solver_build_image_quads(stars, k, width, height, cell, &occupied,
                                                b->quads.data());
    });
    t->quads_reference += timed([&] {
        reference_quads = reference_engine::build_image_quads(
            stars, k, width, height, cell, &reference_occupied, b->reference_quads.data());
    });
    bool same = quads == reference_quads && occupied == reference_occupied &&
                same_quads(b->quads.data(), b->reference_quads.data(), quads);
    t->match_fast += timed([&] {
        matches = kestil_solver_match_quads(b->quads.data(), quads, index, b->matches.data(),
                                            nullptr);
    });
    t->match_reference += timed([&] {
        reference_matches = reference_engine::match_quads(b->quads.data(), quads, index,
                                                          b->reference_matches.data(), nullptr);
    });
    same = same && matches == reference_matches &&
           std::memcmp(b->matches.data(), b->reference_matches.data(),
                       matches * sizeof(QuadMatch)) == 0;
    ++t->stages;
    t->quads += quads;
    t->matches += matches;
    t->differences += !same;
    *match_count = matches;
    return same;
}

// Every stage of the solve driver's table (depth as in SolveRequest) for count stars against
// one index. Result: the number of stages whose forms disagree.
inline int compare_stages(const ImageStar* stars, int32_t count, int32_t depth, int32_t width,
                          int32_t height, const IndexFile* index, Buffers* b, Totals* t) {
    if (count < 4 || index->quad_count == 0) return 0;
    int32_t stages[SOLVER_MAX_STAGES];
    int32_t n = kestil_solver_stage_table(depth, count, stages);
    int differences = 0;
    uint32_t matches = 0;
    for (int32_t s = 0; s < n; ++s)
        differences += !compare_stage(stars, stages[s], width, height, index, b, t, &matches);
    return differences;
}

// compare_stages against each index of the request's scales that is in its directory and loads
// (whole indexes: a position hint's cone view only marks some stars unusable, which both
// forms test alike). Returned: indexes, the number loaded. Result: as compare_stages.
inline int compare_request(const SolveRequest& request, const ImageStar* stars, int32_t count,
                           int32_t width, int32_t height, Buffers* b, Totals* t, int* indexes) {
    int differences = 0;
    *indexes = 0;
    for (int32_t i = 0; i < request.scale_count; ++i) {
        char path[SOLVER_PATH_SIZE];
        kestil_solver_index_path(path, sizeof path, request.index_dir, request.scales[i]);
        IndexFile index{};
        if (access(path, R_OK) != 0 || !kestil_solver_load_index(path, &index)) continue;
        ++*indexes;
        differences += compare_stages(stars, count, request.depth, width, height, &index, b, t);
        kestil_solver_release_index(&index);
    }
    return differences;
}

}  // namespace stage_identity

#endif
