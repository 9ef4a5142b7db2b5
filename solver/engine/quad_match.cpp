// solver/engine/quad_match.cpp - image quads looked up in an index and filtered by one scale
#include "solver/engine/quad_match.h"

#include <cmath>
#include <cstdlib>

#include "framework/clock.h"
#include "framework/log.h"

namespace {

constexpr int code_tolerance = 1;
constexpr float scale_tolerance = 0.01f;

int field(uint64_t code, int shift) {
    return static_cast<int16_t>(static_cast<uint16_t>(code >> shift));
}

bool stars_usable(const IndexFile* index, const uint32_t* stars) {
    for (int a = 0; a < 4; ++a) {
        if (stars[a] >= index->star_count) return false;
        if (index->in_cone && !index->in_cone[stars[a]]) return false;
    }
    return true;
}

// Hash lookup of every image quad in the bucket table; returns the number of matches stored,
// or -1 when the solve must stop.
int64_t lookup(const ImageQuad* quads, uint32_t count, const IndexFile* index, QuadMatch* matches,
               SolveControl* control) {
    uint32_t stored = 0;
    for (uint32_t l = 0; l < count; ++l) {
        if (l % 4096 == 0 && solver_check_abort(control)) return -1;
        const ImageQuad& quad = quads[l];
        int x1 = field(quad.code, 48), y1 = field(quad.code, 32);
        int x2 = field(quad.code, 16), y2 = field(quad.code, 0);
        for (int x = x1 - code_tolerance; x <= x1 + code_tolerance; ++x) {
            if (x < 0 || x >= INDEX_GRID) continue;
            for (int y = y1 - code_tolerance; y <= y1 + code_tolerance; ++y) {
                if (y < 0 || y >= INDEX_GRID) continue;
                uint32_t bucket = static_cast<uint32_t>(x) * INDEX_GRID + static_cast<uint32_t>(y);
                for (uint32_t q = index->buckets[bucket]; q < index->buckets[bucket + 1]; ++q) {
                    uint64_t code = index->codes[q];
                    if (std::abs(field(code, 16) - x2) > code_tolerance ||
                        std::abs(field(code, 0) - y2) > code_tolerance)
                        continue;
                    const uint32_t* stars = &index->quad_stars[4 * static_cast<size_t>(q)];
                    if (!stars_usable(index, stars)) continue;
                    if (stored == SOLVER_MAX_QUAD_MATCHES) {
                        kestil_debug("%s: match limit %d reached", "kestil_solver_match_quads",
                                     SOLVER_MAX_QUAD_MATCHES);
                        return stored;
                    }
                    QuadMatch& m = matches[stored++];
                    m.quad = &quad;
                    for (int a = 0; a < 4; ++a) m.catalog_stars[a] = &index->stars[stars[a]];
                    m.ratio = quad.length / index->sizes[q];
                    m.votes = 0;
                }
            }
        }
    }
    return stored;
}

// Two matches agree when they pair the same image star with the same catalogue star.
bool agree(const QuadMatch& p, const QuadMatch& q) {
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b)
            if (p.quad->stars[a] == q.quad->stars[b] && p.catalog_stars[a] == q.catalog_stars[b])
                return true;
    return false;
}

}  // namespace

extern "C" bool solver_check_abort(SolveControl* control) {
    if (!control) return false;
    if (control->aborted) return true;
    if (control->abort_request && *control->abort_request) {
        control->message = "Aborted";
        control->aborted = true;
        return true;
    }
    if (control->deadline > 0 && kestil_monotonic_time() > control->deadline) {
        control->message = "CPU time limit exceeded";
        control->aborted = true;
        return true;
    }
    return false;
}

extern "C" uint32_t kestil_solver_match_quads(const ImageQuad* quads, uint32_t count,
                                              const IndexFile* index, QuadMatch* matches,
                                              SolveControl* control) {
    if (solver_check_abort(control) || index->quad_count == 0) return 0;
    int64_t looked_up = lookup(quads, count, index, matches, control);
    if (looked_up < 0) return 0;
    auto found = static_cast<uint32_t>(looked_up);
    kestil_debug("%s: %d quads matched by hash (tolerance +-%d)", "kestil_solver_match_quads",
                 static_cast<int>(found), code_tolerance);

    int best_votes = 0;
    float reference = 0.0f;
    for (uint32_t i = 0; i < found; ++i) {
        if (i % 64 == 0 && solver_check_abort(control)) return 0;
        for (uint32_t k = i + 1; k < found; ++k) {
            if (agree(matches[i], matches[k])) {
                ++matches[i].votes;
                ++matches[k].votes;
            }
        }
        if (matches[i].votes > best_votes) {
            best_votes = matches[i].votes;
            reference = matches[i].ratio;
        }
    }
    kestil_debug("%s: %d votes for scale %g", "kestil_solver_match_quads", best_votes,
                 static_cast<double>(reference));
    if (reference == 0.0f) return 0;

    uint32_t kept = 0;
    for (uint32_t i = 0; i < found; ++i)
        if (std::fabs(1.0f - matches[i].ratio / reference) < scale_tolerance)
            matches[kept++] = matches[i];
    kestil_debug("%s: %d quads matched by scale (tolerance %g)", "kestil_solver_match_quads",
                 static_cast<int>(kept), static_cast<double>(scale_tolerance));
    return kept;
}
