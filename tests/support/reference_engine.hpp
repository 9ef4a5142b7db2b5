// tests/support/reference_engine.hpp - the straightforward forms of the engine's quad stages
// The product builds image quads with a counted combination and a keyed radix permutation, and
// votes among quad matches by grouping their star pairs; these forms do the same work the plain
// way (a comparison sort; a lookup bucket by bucket; every pair of matches compared) so that the
// engine tests and the benchmarks can check kestil_solver_build_image_quads and
// kestil_solver_match_quads against them byte for byte. Never linked into the product.
// Single-threaded per call; no state.
#ifndef KESTIL_TESTS_SUPPORT_REFERENCE_ENGINE_HPP
#define KESTIL_TESTS_SUPPORT_REFERENCE_ENGINE_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "solver/engine/image_quads.h"
#include "solver/engine/quad_match.h"
#include "solver/index/index_file.h"

namespace reference_engine {

// The result of kestil_solver_build_image_quads: the brightest star of each occupied grid cell
// in cell-number order, every combination of four of them in lexicographic order up to
// SOLVER_MAX_IMAGE_QUADS, sorted by the stars' places in the list.
inline uint32_t build_image_quads(const ImageStar* stars, int32_t k, int32_t width,
                                  int32_t height, int32_t cell, int32_t* occupied,
                                  ImageQuad* quads) {
    int32_t columns = cell > 0 ? std::max(width / cell, 0) : 0;
    int32_t rows = cell > 0 ? std::max(height / cell, 0) : 0;
    std::vector<const ImageStar*> grid(static_cast<size_t>(columns) * static_cast<size_t>(rows));
    for (int32_t i = 0; i < k && !grid.empty(); ++i) {
        const ImageStar* star = &stars[i];
        auto column = static_cast<int32_t>(star->x / static_cast<float>(cell));
        auto row = static_cast<int32_t>(star->y / static_cast<float>(cell));
        if (column < 0 || row < 0 || column >= columns || row >= rows) continue;
        const ImageStar*& slot = grid[static_cast<size_t>(row) * columns + column];
        if (!slot || slot->inv_lum > star->inv_lum) slot = star;
    }
    std::vector<const ImageStar*> used;
    for (const ImageStar* star : grid)
        if (star) used.push_back(star);
    *occupied = static_cast<int32_t>(used.size());
    uint32_t count = 0;
    size_t n = used.size();
    for (size_t a = 0; a + 3 < n; ++a)
        for (size_t b = a + 1; b + 2 < n; ++b)
            for (size_t c = b + 1; c + 1 < n; ++c)
                for (size_t d = c + 1; d < n && count < SOLVER_MAX_IMAGE_QUADS; ++d)
                    make_image_quad(used[a], used[b], used[c], used[d], &quads[count++]);
    std::sort(quads, quads + count, [](const ImageQuad& p, const ImageQuad& q) {
        return std::lexicographical_compare(p.stars, p.stars + 4, q.stars, q.stars + 4,
                                            std::less<const ImageStar*>());
    });
    return count;
}

namespace detail {

constexpr int code_tolerance = 1;
constexpr float scale_tolerance = 0.01f;

inline int field(uint64_t code, int shift) {
    return static_cast<int16_t>(static_cast<uint16_t>(code >> shift));
}

// Every index quad in the buckets within the tolerance of an image quad's first two fields whose
// last two fields are within it too and whose stars are usable, in image-quad and bucket order.
// False when the solve must stop.
inline bool lookup(const ImageQuad* quads, uint32_t count, const IndexFile* index,
                   QuadMatch* matches, uint32_t* stored, SolveControl* control) {
    *stored = 0;
    for (uint32_t l = 0; l < count; ++l) {
        if (l % 4096 == 0 && solver_check_abort(control)) return false;
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
                    const uint32_t* s = &index->quad_stars[4 * static_cast<size_t>(q)];
                    bool usable = true;
                    for (int a = 0; a < 4; ++a)
                        usable = usable && s[a] < index->star_count &&
                                 (!index->in_cone || index->in_cone[s[a]]);
                    if (!usable) continue;
                    if (*stored == SOLVER_MAX_QUAD_MATCHES) return true;
                    QuadMatch& m = matches[(*stored)++];
                    m.quad = &quad;
                    for (int a = 0; a < 4; ++a) m.catalog_stars[a] = &index->stars[s[a]];
                    m.ratio = quad.length / index->sizes[q];
                    m.votes = 0;
                }
            }
        }
    }
    return true;
}

// Two matches agree when they pair the same image star with the same catalogue star.
inline bool agree(const QuadMatch& p, const QuadMatch& q) {
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b)
            if (p.quad->stars[a] == q.quad->stars[b] && p.catalog_stars[a] == q.catalog_stars[b])
                return true;
    return false;
}

}  // namespace detail

// The result of kestil_solver_match_quads: the lookup, a vote of every pair of matches, then the
// matches within 1 % of the scale of the first match with the most votes, moved to the front.
inline uint32_t match_quads(const ImageQuad* quads, uint32_t count, const IndexFile* index,
                            QuadMatch* matches, SolveControl* control) {
    if (solver_check_abort(control) || index->quad_count == 0) return 0;
    uint32_t found = 0;
    if (!detail::lookup(quads, count, index, matches, &found, control)) return 0;
    for (uint32_t i = 0; i < found; ++i) {
        if (i % 64 == 0 && solver_check_abort(control)) return 0;
        for (uint32_t k = i + 1; k < found; ++k)
            if (detail::agree(matches[i], matches[k])) {
                ++matches[i].votes;
                ++matches[k].votes;
            }
    }
    int best_votes = 0;
    float reference = 0.0f;
    for (uint32_t i = 0; i < found; ++i)
        if (matches[i].votes > best_votes) {
            best_votes = matches[i].votes;
            reference = matches[i].ratio;
        }
    if (reference == 0.0f) return 0;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < found; ++i)
        if (std::fabs(1.0f - matches[i].ratio / reference) < detail::scale_tolerance)
            matches[kept++] = matches[i];
    return kept;
}

}  // namespace reference_engine

#endif
