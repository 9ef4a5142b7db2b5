// solver/engine/image_quads.cpp - quads of image stars and their shape codes
#include "solver/engine/image_quads.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <span>

#include "framework/alloc.h"
#include "framework/log.h"

namespace {

constexpr float eps = 1e-12f;

struct Point {
    float x, y;
};

// One candidate form of a quad: the base from origin to end and the two other stars in order.
struct Candidate {
    const ImageStar* origin;
    const ImageStar* end;
    const ImageStar* first;
    const ImageStar* second;
    float x1, y1, x2, y2;
    uint64_t code;
};

// Frame coordinates of p in the base frame from o to e (o at (0, 0), e at (1, 0)).
Point frame_position(const ImageStar* o, float ux, float uy, float length, const ImageStar* p) {
    float dx = p->x - o->x;
    float dy = p->y - o->y;
    return {(dx * ux + dy * uy) / length, (ux * dy - uy * dx) / length};
}

// True when a comes before b: smaller x, or the same x (within eps) and smaller y.
bool point_before(float ax, float ay, float bx, float by) {
    if (std::fabs(ax - bx) > eps) return ax < bx;
    return ay < by - eps;
}

uint16_t code_field(float value, float low, float high) {
    float scaled = std::nearbyint(value * 1000.0f);  // round half to even (default rounding)
    scaled = std::clamp(scaled, low, high);
    return static_cast<uint16_t>(static_cast<int16_t>(scaled));
}

Candidate make_candidate(const ImageStar* o, const ImageStar* e, const ImageStar* s,
                         const ImageStar* t, float* length) {
    float vx = e->x - o->x;
    float vy = e->y - o->y;
    float l = std::sqrt(vx * vx + vy * vy);
    float ux = vx / l;
    float uy = vy / l;
    Point ps = frame_position(o, ux, uy, l, s);
    Point pt = frame_position(o, ux, uy, l, t);
    Candidate c{o, e, s, t, ps.x, ps.y, pt.x, pt.y, 0};
    if (point_before(pt.x, pt.y, ps.x, ps.y)) c = {o, e, t, s, pt.x, pt.y, ps.x, ps.y, 0};
    if (c.y1 < -eps || (std::fabs(c.y1) <= eps && c.y2 < -eps)) {
        c.y1 = -c.y1;
        c.y2 = -c.y2;
    }
    c.code = static_cast<uint64_t>(code_field(c.x1, 0.0f, 1000.0f)) << 48 |
             static_cast<uint64_t>(code_field(c.y1, 0.0f, 1000.0f)) << 32 |
             static_cast<uint64_t>(code_field(c.x2, 0.0f, 1000.0f)) << 16 |
             static_cast<uint64_t>(code_field(c.y2, -1000.0f, 1000.0f));
    *length = l;
    return c;
}

// Makes the quad of every combination of four of the occupied cells in lexicographic order until
// limit quads were made; returns the number made.
uint32_t combine_cells(std::span<const ImageStar* const> cells, ImageQuad* quads, uint32_t limit) {
    uint32_t count = 0;
    size_t n = cells.size();
    for (size_t a = 0; a + 3 < n; ++a)
        for (size_t b = a + 1; b + 2 < n; ++b)
            for (size_t c = b + 1; c + 1 < n; ++c)
                for (size_t d = c + 1; d < n; ++d) {
                    if (count == limit) return count;
                    make_image_quad(cells[a], cells[b], cells[c], cells[d], &quads[count++]);
                }
    return count;
}

bool star_order(const ImageQuad& p, const ImageQuad& q) {
    return std::lexicographical_compare(p.stars, p.stars + 4, q.stars, q.stars + 4,
                                        std::less<const ImageStar*>());
}

// Sorts quads in place by their stars' places in the list, as star_order sorts them. The four
// places (below k) are packed into one key above the quad's position, the keys sorted by radix
// (digits of 12 bits, only those the places use) and the quads then moved along the cycles of
// that permutation, each record read and written once. Every star set is made once, so keys are
// distinct and the order is the comparison sort's. Scratch: 2 count 64-bit words (16 MB at the
// limit). False, with the quads untouched, when the places do not fit in a key (k above 2048).
bool sort_by_star_places(const ImageStar* stars, int32_t k, ImageQuad* quads, uint32_t count) {
    constexpr int position_bits = 20;
    static_assert(SOLVER_MAX_IMAGE_QUADS <= (1 << position_bits));
    int place_bits = k > 1 ? std::bit_width(static_cast<uint32_t>(k - 1)) : 1;
    if (4 * place_bits + position_bits > 64) return false;
    if (count == 0) return true;
    auto* buffer = static_cast<uint64_t*>(kestil_checked_malloc(2 * count * sizeof(uint64_t)));
    uint64_t* keys = buffer;
    uint64_t* other = buffer + count;
    for (uint32_t j = 0; j < count; ++j) {
        uint64_t key = 0;
        for (const ImageStar* star : quads[j].stars)
            key = key << place_bits | static_cast<uint64_t>(star - stars);
        keys[j] = key << position_bits | j;
    }
    constexpr int digit_bits = 12;
    constexpr uint32_t digits = 1u << digit_bits;
    uint32_t offsets[digits];
    for (int shift = position_bits; shift < position_bits + 4 * place_bits; shift += digit_bits) {
        std::fill(offsets, offsets + digits, 0u);
        for (uint32_t j = 0; j < count; ++j) ++offsets[(keys[j] >> shift) & (digits - 1)];
        uint32_t sum = 0;
        for (uint32_t& o : offsets) {
            uint32_t n = o;
            o = sum;
            sum += n;
        }
        for (uint32_t j = 0; j < count; ++j)
            other[offsets[(keys[j] >> shift) & (digits - 1)]++] = keys[j];
        std::swap(keys, other);
    }
    // Place j takes the quad now at keys[j]'s position. Each cycle of that permutation is
    // walked once; a place that has been filled is marked by its own position.
    constexpr uint64_t mask = (uint64_t{1} << position_bits) - 1;
    for (uint32_t j = 0; j < count; ++j) keys[j] &= mask;
    for (uint32_t start = 0; start < count; ++start) {
        if (keys[start] == start) continue;
        ImageQuad held = quads[start];
        uint32_t place = start;
        for (;;) {
            auto from = static_cast<uint32_t>(keys[place]);
            keys[place] = place;
            if (from == start) {
                quads[place] = held;
                break;
            }
            quads[place] = quads[from];
            place = from;
        }
    }
    free(buffer);
    return true;
}

// The brightest star of each occupied grid cell, in cell-number order, in a buffer the caller
// frees; *occupied is their number.
const ImageStar** occupied_cells(const ImageStar* stars, int32_t k, int32_t width,
                                 int32_t height, int32_t cell, int32_t* occupied) {
    // A cell size of 0 (an image under 10 pixels) has no grid at all.
    int32_t columns = cell > 0 ? width / cell : 0;
    int32_t rows = cell > 0 ? height / cell : 0;
    if (columns < 0) columns = 0;
    if (rows < 0) rows = 0;
    size_t cell_count = static_cast<size_t>(columns) * static_cast<size_t>(rows);
    auto* grid = static_cast<const ImageStar**>(
        kestil_checked_calloc(cell_count > 0 ? cell_count : 1, sizeof(const ImageStar*)));
    for (int32_t i = 0; i < k && cell_count > 0; ++i) {
        const ImageStar* star = &stars[i];
        auto column = static_cast<int32_t>(star->x / static_cast<float>(cell));
        auto row = static_cast<int32_t>(star->y / static_cast<float>(cell));
        // Negative positions would index before the grid; they lie outside the image anyway.
        if (column < 0 || row < 0 || column >= columns || row >= rows) continue;
        const ImageStar*& slot = grid[static_cast<size_t>(row) * columns + column];
        if (!slot || slot->inv_lum > star->inv_lum) slot = star;
    }
    size_t used = 0;
    for (size_t c = 0; c < cell_count; ++c)
        if (grid[c]) grid[used++] = grid[c];
    *occupied = static_cast<int32_t>(used);
    return grid;
}

// Number of quads combine_cells makes from n cells: C(n, 4) up to the limit.
uint32_t combination_count(size_t n, uint32_t limit) {
    if (n < 4) return 0;
    double c = static_cast<double>(n) * (n - 1) * (n - 2) * (n - 3) / 24.0;  // exact below 2^53
    return c >= limit ? limit : static_cast<uint32_t>(c);
}

}  // namespace

extern "C" void make_image_quad(const ImageStar* s0, const ImageStar* s1, const ImageStar* s2,
                                const ImageStar* s3, ImageQuad* quad) {
    const ImageStar* s[4] = {s0, s1, s2, s3};
    static constexpr int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    int best = 0;
    float best_distance = -1.0f;
    for (int p = 0; p < 6; ++p) {
        float dx = s[pairs[p][1]]->x - s[pairs[p][0]]->x;
        float dy = s[pairs[p][1]]->y - s[pairs[p][0]]->y;
        float d = dx * dx + dy * dy;
        if (d > best_distance) {
            best_distance = d;
            best = p;
        }
    }
    const ImageStar* a = s[pairs[best][0]];
    const ImageStar* b = s[pairs[best][1]];
    const ImageStar* rest[2];
    int r = 0;
    for (int i = 0; i < 4; ++i)
        if (i != pairs[best][0] && i != pairs[best][1]) rest[r++] = s[i];

    float length_ab = 0.0f;
    float length_ba = 0.0f;
    Candidate ab = make_candidate(a, b, rest[0], rest[1], &length_ab);
    Candidate ba = make_candidate(b, a, rest[0], rest[1], &length_ba);
    bool take_ba = point_before(ba.x1, ba.y1, ab.x1, ab.y1);
    if (!take_ba && !point_before(ab.x1, ab.y1, ba.x1, ba.y1))
        take_ba = point_before(ba.x2, ba.y2, ab.x2, ab.y2);
    const Candidate& c = take_ba ? ba : ab;
    quad->code = c.code;
    quad->length = take_ba ? length_ba : length_ab;
    quad->x1 = c.x1;
    quad->y1 = c.y1;
    quad->x2 = c.x2;
    quad->y2 = c.y2;
    quad->stars[0] = c.origin;
    quad->stars[1] = c.end;
    quad->stars[2] = c.first;
    quad->stars[3] = c.second;
}

// The quads are made straight into the caller's buffer and put in order by the keyed permutation
// above: each record moves once instead of the many moves of a comparison sort.
extern "C" uint32_t kestil_solver_build_image_quads(const ImageStar* stars, int32_t k,
                                                    int32_t width, int32_t height, int32_t cell,
                                                    int32_t* occupied, ImageQuad* quads) {
    const ImageStar** cells = occupied_cells(stars, k, width, height, cell, occupied);
    std::span<const ImageStar* const> used(cells, static_cast<size_t>(*occupied));
    uint32_t expected = combination_count(used.size(), SOLVER_MAX_IMAGE_QUADS);
    uint32_t count = combine_cells(used, quads, expected);
    free(cells);
    if (!sort_by_star_places(stars, k, quads, count)) std::sort(quads, quads + count, star_order);
    kestil_debug("%s: %d stars used to form %d quads", "kestil_solver_build_image_quads",
                 *occupied, static_cast<int>(count));
    return count;
}
