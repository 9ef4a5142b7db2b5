// solver/engine/star_match.cpp - star pairs voted by the quad matches, thinned to one-to-one
#include "solver/engine/star_match.h"

#include <algorithm>

#include "framework/log.h"

namespace {

// Adds one vote to the pair (star, catalog) or appends it; false when the buffer is full.
bool vote(const ImageStar* star, const CatalogStar* catalog, StarMatch* pairs, int32_t* count) {
    for (int32_t p = 0; p < *count; ++p) {
        if (pairs[p].image_star == star && pairs[p].catalog_star == catalog) {
            ++pairs[p].votes;
            return true;
        }
    }
    if (*count == SOLVER_MAX_STAR_MATCHES) return false;
    pairs[(*count)++] = {star, catalog, 1};
    return true;
}

}  // namespace

extern "C" int32_t kestil_solver_match_stars(const QuadMatch* matches, uint32_t count,
                                             StarMatch* pairs, SolveControl* control) {
    int32_t distinct = 0;
    bool full = false;
    for (uint32_t j = 0; j < count && !full; ++j) {
        if (j % 4096 == 0 && solver_check_abort(control)) return 0;
        for (int a = 0; a < 4 && !full; ++a)
            full = !vote(matches[j].quad->stars[a], matches[j].catalog_stars[a], pairs, &distinct);
    }
    kestil_debug("%s: %d stars matched", "kestil_solver_match_stars", distinct);

    std::stable_sort(pairs, pairs + distinct,
                     [](const StarMatch& p, const StarMatch& q) { return p.votes > q.votes; });
    int32_t kept = 0;
    for (int32_t p = 0; p < distinct; ++p) {
        bool taken = false;
        for (int32_t k = 0; k < kept && !taken; ++k)
            taken = pairs[k].image_star == pairs[p].image_star ||
                    pairs[k].catalog_star == pairs[p].catalog_star;
        if (!taken) pairs[kept++] = pairs[p];
    }
    kestil_debug("%s: %d stars matched by votes", "kestil_solver_match_stars", kept);
    return kept;
}
