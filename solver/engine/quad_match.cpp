// solver/engine/quad_match.cpp - image quads looked up in an index and filtered by one scale
#include "solver/engine/quad_match.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "framework/alloc.h"
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

// Stores the match of image quad and index quad q when q's x2 and y2 lie within the tolerance
// and its stars are usable. Result: false when the buffer was already full (logged), else true.
inline bool consider_quad(const ImageQuad& quad, int x2, int y2, const IndexFile* index,
                          uint32_t q, QuadMatch* matches, uint32_t* stored) {
    uint64_t code = index->codes[q];
    if (std::abs(field(code, 16) - x2) > code_tolerance ||
        std::abs(field(code, 0) - y2) > code_tolerance)
        return true;
    const uint32_t* stars = &index->quad_stars[4 * static_cast<size_t>(q)];
    if (!stars_usable(index, stars)) return true;
    if (*stored == SOLVER_MAX_QUAD_MATCHES) {
        kestil_debug("%s: match limit %d reached", "kestil_solver_match_quads",
                     SOLVER_MAX_QUAD_MATCHES);
        return false;
    }
    QuadMatch& m = matches[(*stored)++];
    m.quad = &quad;
    for (int a = 0; a < 4; ++a) m.catalog_stars[a] = &index->stars[stars[a]];
    m.ratio = quad.length / index->sizes[q];
    m.votes = 0;
    return true;
}

// Two matches agree when they pair the same image star with the same catalogue star.
bool agree(const QuadMatch& p, const QuadMatch& q) {
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b)
            if (p.quad->stars[a] == q.quad->stars[b] && p.catalog_stars[a] == q.catalog_stars[b])
                return true;
    return false;
}

// Lookup of every image quad in the bucket table: the three buckets y - 1 .. y + 1 of each x are
// walked as one run (the bucket table is cumulative, so they are contiguous in the quad table and
// in bucket order). Returns the number of matches stored, or -1 when the solve must stop.
constexpr uint32_t prefetch_ahead = 8;

int64_t lookup(const ImageQuad* quads, uint32_t count, const IndexFile* index, QuadMatch* matches,
               SolveControl* control) {
    uint32_t stored = 0;
    for (uint32_t l = 0; l < count; ++l) {
        if (l % 4096 == 0 && solver_check_abort(control)) return -1;
        // The bucket rows of a quad a few ahead are fetched early: the table is read at random.
        if (l + prefetch_ahead < count) {
            uint64_t ahead = quads[l + prefetch_ahead].code;
            int ax = std::clamp(field(ahead, 48), 1, INDEX_GRID - 2);
            int ay = std::clamp(field(ahead, 32), 0, INDEX_GRID - 1);
            for (int x = ax - 1; x <= ax + 1; ++x)
                __builtin_prefetch(&index->buckets[static_cast<uint32_t>(x) * INDEX_GRID +
                                                   static_cast<uint32_t>(ay)]);
        }
        const ImageQuad& quad = quads[l];
        int x1 = field(quad.code, 48), y1 = field(quad.code, 32);
        int x2 = field(quad.code, 16), y2 = field(quad.code, 0);
        int y_low = std::max(y1 - code_tolerance, 0);
        int y_high = std::min(y1 + code_tolerance, INDEX_GRID - 1);
        if (y_low > y_high) continue;
        int x_low = std::max(x1 - code_tolerance, 0);
        int x_high = std::min(x1 + code_tolerance, INDEX_GRID - 1);
        for (int x = x_low; x <= x_high; ++x) {
            uint32_t row = static_cast<uint32_t>(x) * INDEX_GRID;
            uint32_t end = index->buckets[row + static_cast<uint32_t>(y_high) + 1];
            for (uint32_t q = index->buckets[row + static_cast<uint32_t>(y_low)]; q < end; ++q)
                if (!consider_quad(quad, x2, y2, index, q, matches, &stored)) return stored;
        }
    }
    return stored;
}

// Scratch of the vote, released on every path.
template <typename T>
struct Scratch {
    T* data;
    explicit Scratch(size_t n)
        : data(static_cast<T*>(kestil_checked_malloc((n ? n : 1) * sizeof(T)))) {}
    ~Scratch() { free(data); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

constexpr int match_bits = 20;  // SOLVER_MAX_QUAD_MATCHES < 2^20
static_assert(SOLVER_MAX_QUAD_MATCHES <= (1 << match_bits));
constexpr uint64_t match_mask = (uint64_t{1} << match_bits) - 1;

// Numbers the image stars of the matches by their address, as the stars of one list are; false
// when they do not lie in one list of at most max_image_stars records.
constexpr uintptr_t max_image_stars = 1 << 16;
bool image_star_range(const QuadMatch* matches, uint32_t found, uintptr_t* low,
                      uintptr_t* range) {
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (uint32_t i = 0; i < found; ++i)
        for (int a = 0; a < 4; ++a) {
            auto p = reinterpret_cast<uintptr_t>(matches[i].quad->stars[a]);
            lo = std::min(lo, p);
            hi = std::max(hi, p);
        }
    if (found == 0) return false;
    if ((hi - lo) % sizeof(ImageStar) != 0 || (hi - lo) / sizeof(ImageStar) >= max_image_stars)
        return false;
    for (uint32_t i = 0; i < found; ++i)
        for (int a = 0; a < 4; ++a)
            if ((reinterpret_cast<uintptr_t>(matches[i].quad->stars[a]) - lo) %
                    sizeof(ImageStar) != 0)
                return false;
    *low = lo;
    *range = (hi - lo) / sizeof(ImageStar) + 1;
    return true;
}

// The plain vote: every pair of matches compared (quadratic), for matches whose image stars do
// not lie in one list. False when the solve must stop.
bool vote_pairwise(QuadMatch* matches, uint32_t found, SolveControl* control) {
    for (uint32_t i = 0; i < found; ++i) {
        if (i % 64 == 0 && solver_check_abort(control)) return false;
        for (uint32_t k = i + 1; k < found; ++k) {
            if (agree(matches[i], matches[k])) {
                ++matches[i].votes;
                ++matches[k].votes;
            }
        }
    }
    return true;
}

// The same votes without comparing every pair: each match states four (image star, catalogue
// star) pairs, and two matches agree exactly when they state a common pair. The statements are
// grouped by pair (image star by counting sort, then catalogue star and match by sort); a
// match's votes are the other matches in its four groups, each counted once (stamped with the
// match's number). A statement's group is found again by binary search within its image star's
// run. Work: the sum of the squared group sizes instead of found squared. Scratch per call: 4
// found 64-bit statements, found + range + 1 32-bit words (at most 36 MB at the limit of
// 1,000,000 matches and 65,536 image stars). The stop request is tested before the sort of each
// image star's statements and, as in the pairwise vote, every 64 matches counted. False when
// the solve must stop.
bool vote_grouped(QuadMatch* matches, uint32_t found, const IndexFile* index,
                  SolveControl* control) {
    uintptr_t low = 0, range = 0;
    if (!image_star_range(matches, found, &low, &range))
        return vote_pairwise(matches, found, control);
    size_t statements = 4 * static_cast<size_t>(found);
    Scratch<uint32_t> offsets(range + 1);
    Scratch<uint64_t> grouped(statements);
    Scratch<uint32_t> stamp(found);
    auto star_number = [&](const ImageStar* p) {
        return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(p) - low) / sizeof(ImageStar));
    };
    auto catalog_number = [&](const CatalogStar* p) {
        return static_cast<uint64_t>(p - index->stars);
    };
    std::fill(offsets.data, offsets.data + range + 1, 0u);
    for (uint32_t i = 0; i < found; ++i)
        for (int a = 0; a < 4; ++a) ++offsets.data[star_number(matches[i].quad->stars[a]) + 1];
    for (uintptr_t r = 0; r < range; ++r) offsets.data[r + 1] += offsets.data[r];
    for (uint32_t i = 0; i < found; ++i)
        for (int a = 0; a < 4; ++a)
            grouped.data[offsets.data[star_number(matches[i].quad->stars[a])]++] =
                catalog_number(matches[i].catalog_stars[a]) << match_bits | i;
    // offsets[r] is now the end of image star r's statements and the start of r + 1's. Sorted
    // within each image star, equal catalogue stars are runs: one run is one group, its
    // matches in increasing order.
    size_t begin = 0;
    for (uintptr_t r = 0; r < range; ++r) {
        size_t end = offsets.data[r];
        if (end - begin > 1) {
            if (solver_check_abort(control)) return false;
            std::sort(grouped.data + begin, grouped.data + end);
        }
        begin = end;
    }
    std::fill(stamp.data, stamp.data + found, 0u);  // last match that counted it, plus 1
    for (uint32_t i = 0; i < found; ++i) {
        if (i % 64 == 0 && solver_check_abort(control)) return false;
        stamp.data[i] = i + 1;
        int32_t votes = 0;
        for (int a = 0; a < 4; ++a) {
            uint32_t r = star_number(matches[i].quad->stars[a]);
            const uint64_t* run_begin = grouped.data + (r > 0 ? offsets.data[r - 1] : 0);
            const uint64_t* run_end = grouped.data + offsets.data[r];
            uint64_t catalog = catalog_number(matches[i].catalog_stars[a]);
            for (const uint64_t* p = std::lower_bound(run_begin, run_end, catalog << match_bits);
                 p < run_end && *p >> match_bits == catalog; ++p) {
                auto k = static_cast<uint32_t>(*p & match_mask);
                if (stamp.data[k] != i + 1) {
                    stamp.data[k] = i + 1;
                    ++votes;
                }
            }
        }
        matches[i].votes = votes;
    }
    return true;
}

// After the vote: the first match with the most votes gives the reference scale, and the
// matches within the scale tolerance of it are moved to the front. Result: how many were kept.
uint32_t keep_reference_scale(QuadMatch* matches, uint32_t found) {
    int best_votes = 0;
    float reference = 0.0f;
    for (uint32_t i = 0; i < found; ++i) {
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

    if (!vote_grouped(matches, found, index, control)) return 0;
    return keep_reference_scale(matches, found);
}
