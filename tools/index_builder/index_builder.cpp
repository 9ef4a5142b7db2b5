// tools/index_builder/index_builder.cpp - builds an index file for one quad scale
#include "tools/index_builder/index_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "framework/alloc.h"
#include "framework/angles.h"
#include "framework/clock.h"
#include "solver/engine/image_quads.h"
#include "solver/index/published_indexes.h"

namespace {

// The solver's grid cell is the longer image side / 10; for sides in ratio 3:2 around a field
// of geometric mean F that is 0.122 F. Levels of star density, a factor sqrt(2) apart, run from
// the finest cell (times the smallest field) to the coarsest (times the largest): the brightest
// stars of coarser cells are the ones every image grid keeps, and the larger quads they form are
// less sensitive to centroid errors. Each star forms quads with 3 of its nearest neighbours.
// The published file sizes allow far fewer quads per field at the small scales than at the
// wide ones (per square degree, whole sky: 0.2 -> 1,050, 0.5 -> 790, 1 -> 460, 2 -> 310,
// 5 -> 150, 10 -> 76, 20 -> 28), so the small scales use sparser levels and fewer neighbours.
// Measured on simulated 1500 x 1000 images (20 fields per scale, all solved blind but one at
// 0.2); see bench/solve/README.md. Scale 0.2 takes 6 neighbours: on real photographs of fields
// under a degree only about half of the index stars are detected, and a quad needs all four;
// 6 neighbours made 3.1 times the quads (443 MB whole-sky from stars-merged.csv.gz, within
// its 1216 MB label) and solved one more of the 26 such fields of bench/realsky, where 7
// neighbours (593 MB), or 6 at scale 0.5 (897 MB), solved none more.
struct ScaleDefaults {
    float scale;
    double finest_cell, coarsest_cell;
    int neighbours;
};
constexpr ScaleDefaults scale_defaults[] = {
    {0.2f, 0.36, 0.30, 6}, {0.5f, 0.30, 0.30, 5}, {1.0f, 0.30, 0.30, 7}, {2.0f, 0.20, 0.30, 7},
    {5.0f, 0.17, 0.30, 8}, {10.0f, 0.15, 0.30, 10}, {20.0f, 0.15, 0.30, 10}};
constexpr ScaleDefaults other_scales = {0.0f, 0.15, 0.30, 10};
constexpr double level_step = 1.41421356237;
constexpr double neighbour_radius = 3.0;  // cells: neighbours farther away are not used
constexpr double min_separation = 0.25;  // cells: closer pairs may blend in images
constexpr double max_base = 0.7;         // times the largest field: longer quads rarely fit
// Code variants (see variant_centres), off by default: on simulated fields of 20 to 30 degrees
// one ring around the quads of the coarsest level added 15 % to the file and solved as many
// fields (18 and 19 of 20), since the limit there is the detected stars, not the codes.
constexpr int default_variant_rings = 0;
constexpr double default_variant_radius = 3.6;  // degrees: a stretch of 0.2 %
constexpr int default_variant_directions = 12;
constexpr int default_variant_levels = 1;
// About 2 GB of working memory (32 bytes a quad, and 4 more while the file is written) and a
// 1.7 GB file; a whole-sky build of a small scale from a deep catalogue needs a cone instead.
constexpr size_t max_quads = 60000000;

struct Vec3 {
    double x, y, z;
};

Vec3 unit_vector(double ra_deg, double dec_deg) {
    double ra = ra_deg * rad_per_deg, dec = dec_deg * rad_per_deg;
    return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

// Angle between two unit vectors, radians, accurate at small angles.
double separation(const Vec3& a, const Vec3& b) {
    Vec3 c{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    double s = std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z);
    return std::atan2(s, a.x * b.x + a.y * b.y + a.z * b.z);
}

// Equal-area cell of a position: declination bands of height cell, each cut into as many right
// ascension cells as make them about cell wide at the band's middle.
uint64_t sky_cell(double ra_deg, double dec_deg, double cell_deg) {
    auto bands = static_cast<int64_t>(std::ceil(180.0 / cell_deg));
    auto band = std::min(bands - 1, static_cast<int64_t>((dec_deg + 90.0) / cell_deg));
    double middle = -90.0 + (static_cast<double>(band) + 0.5) * cell_deg;
    auto columns = std::max<int64_t>(
        1, std::llround(360.0 * std::cos(std::min(89.999, std::fabs(middle)) * rad_per_deg) /
                        cell_deg));
    auto column = std::min(columns - 1, static_cast<int64_t>(ra_deg / 360.0 * columns));
    return static_cast<uint64_t>(band) << 32 | static_cast<uint64_t>(column);
}

// Unit vectors sorted into cubes of a given edge, for neighbour searches: the cubes in order of
// their key, each a run of points kept side by side, so that a search reads nearby memory.
class VectorGrid {
public:
    VectorGrid(const std::vector<Vec3>& points, double edge) : edge_(edge) {
        std::vector<std::pair<uint64_t, uint32_t>> keyed(points.size());
        for (size_t i = 0; i < points.size(); ++i)
            keyed[i] = {key(points[i], 0, 0, 0), static_cast<uint32_t>(i)};
        std::sort(keyed.begin(), keyed.end());
        numbers_.resize(keyed.size());
        points_.resize(keyed.size());
        for (size_t i = 0; i < keyed.size(); ++i) {
            numbers_[i] = keyed[i].second;
            points_[i] = points[keyed[i].second];
            if (i == 0 || keyed[i].first != keyed[i - 1].first) {
                keys_.push_back(keyed[i].first);
                starts_.push_back(i);
            }
        }
        starts_.push_back(keyed.size());
    }
    // The point numbers, cube by cube: searches in this order find their cubes in the cache.
    const std::vector<uint32_t>& numbers() const { return numbers_; }
    // Calls visit(number, point) for every point in the 27 cubes around p.
    template <typename F>
    void near(const Vec3& p, F&& visit) const {
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) {
                size_t at = 0;
                uint64_t previous = 0;
                for (int dz = -1; dz <= 1; ++dz) {
                    uint64_t wanted = key(p, dx, dy, dz);
                    // Keys of one column follow each other unless the z field wraps.
                    if (dz == -1 || wanted < previous)
                        at = static_cast<size_t>(
                            std::lower_bound(keys_.begin(), keys_.end(), wanted) - keys_.begin());
                    while (at < keys_.size() && keys_[at] < wanted) ++at;
                    previous = wanted;
                    if (at == keys_.size() || keys_[at] != wanted) continue;
                    for (size_t i = starts_[at]; i < starts_[at + 1]; ++i) visit(numbers_[i], points_[i]);
                }
            }
    }

private:
    uint64_t key(const Vec3& p, int dx, int dy, int dz) const {
        auto c = [&](double v, int d) {
            return static_cast<uint64_t>(static_cast<int64_t>(std::floor(v / edge_)) + d + 1048576) &
                   0x1FFFFF;
        };
        return c(p.x, dx) << 42 | c(p.y, dy) << 21 | c(p.z, dz);
    }
    double edge_;
    std::vector<uint64_t> keys_;    // the cubes holding points, ascending
    std::vector<size_t> starts_;    // cube i holds points starts_[i] to starts_[i + 1] - 1
    std::vector<uint32_t> numbers_;  // point numbers, cube by cube
    std::vector<Vec3> points_;       // the points, in the same order
};

// Runs work(piece) for every piece in [0, pieces) on up to `threads` threads, the caller's among
// them; each thread takes the next piece when it comes free. The result does not depend on the
// number of threads as long as each piece writes only its own output. Result: false when a
// piece failed (out of memory).
template <typename Work>
bool run_pieces(size_t pieces, int threads, const Work& work) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&] {
        try {
            for (size_t p = next++; p < pieces && !failed; p = next++) work(p);
        } catch (...) {
            failed = true;
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads && static_cast<size_t>(t) < pieces; ++t)
            helpers.emplace_back(worker);
    } catch (...) {
        // Fewer threads than asked: the others take the remaining pieces.
    }
    worker();
    for (std::thread& helper : helpers) helper.join();
    return !failed;
}

// True when the canonical form of the four plane positions is clear: the longest pair longer
// than the next by 1 %, the two non-base stars apart along the base, neither on the base line,
// and the two base directions distinct. Near such ties, noise in an image may pick the other
// form and give a completely different code, so those quads would never match.
bool canonical_form_clear(const ImageStar* p) {
    static constexpr int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    double d[6];
    int longest = 0;
    for (int i = 0; i < 6; ++i) {
        double dx = p[pairs[i][1]].x - p[pairs[i][0]].x, dy = p[pairs[i][1]].y - p[pairs[i][0]].y;
        d[i] = dx * dx + dy * dy;
        if (d[i] > d[longest]) longest = i;
    }
    for (int i = 0; i < 6; ++i)
        if (i != longest && d[i] * 1.0201 > d[longest]) return false;
    const ImageStar& a = p[pairs[longest][0]];
    const ImageStar& b = p[pairs[longest][1]];
    double vx = b.x - a.x, vy = b.y - a.y, l2 = d[longest];
    double x[2], y[2];
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        if (i == pairs[longest][0] || i == pairs[longest][1]) continue;
        x[n] = ((p[i].x - a.x) * vx + (p[i].y - a.y) * vy) / l2;
        y[n] = (vx * (p[i].y - a.y) - vy * (p[i].x - a.x)) / l2;
        ++n;
    }
    constexpr double margin = 0.01;  // base lengths; image noise is about a thousandth
    double x1_forward = std::min(x[0], x[1]), x1_backward = 1.0 - std::max(x[0], x[1]);
    return std::fabs(x[0] - x[1]) > margin && std::fabs(y[0]) > margin &&
           std::fabs(y[1]) > margin && std::fabs(x1_forward - x1_backward) > margin;
}

// Of each catalogue star, what the projection onto a quad's tangent plane needs: the right
// ascension and the sine and cosine of the declination, from its unit vector.
struct SkyAngles {
    double ra, sin_dec, cos_dec;
};

SkyAngles sky_angles(const Vec3& v) {
    double dec = std::asin(std::clamp(v.z, -1.0, 1.0));
    return {std::atan2(v.y, v.x), std::sin(dec), std::cos(dec)};
}

// The four stars projected onto the tangent plane at their centre (radians).
void project_quad(const std::array<uint32_t, 4>& members, const std::vector<Vec3>& vectors,
                  const std::vector<SkyAngles>& angles, ImageStar* plane) {
    Vec3 c{0, 0, 0};
    for (uint32_t m : members) {
        c.x += vectors[m].x;
        c.y += vectors[m].y;
        c.z += vectors[m].z;
    }
    double ra0 = std::atan2(c.y, c.x);
    double dec0 = std::atan2(c.z, std::hypot(c.x, c.y));
    double sin_dec0 = std::sin(dec0), cos_dec0 = std::cos(dec0);
    for (int i = 0; i < 4; ++i) {
        const SkyAngles& s = angles[members[static_cast<size_t>(i)]];
        double cos_dra = std::cos(s.ra - ra0), sin_dra = std::sin(s.ra - ra0);
        double cos_theta = sin_dec0 * s.sin_dec + cos_dec0 * s.cos_dec * cos_dra;
        double xi = s.cos_dec * sin_dra / cos_theta;
        double eta = (cos_dec0 * s.sin_dec - sin_dec0 * s.cos_dec * cos_dra) / cos_theta;
        plane[i] = {1.0f, static_cast<float>(xi), static_cast<float>(eta)};
    }
}

// The four stars projected onto the tangent plane at the unit vector t (radians; x east, y north).
void project_quad_at(const std::array<uint32_t, 4>& members, const std::vector<Vec3>& vectors,
                     const Vec3& t, ImageStar* plane) {
    double h = std::hypot(t.x, t.y);
    Vec3 east = h > 0 ? Vec3{-t.y / h, t.x / h, 0.0} : Vec3{0.0, 1.0, 0.0};
    Vec3 north{t.y * east.z - t.z * east.y, t.z * east.x - t.x * east.z,
               t.x * east.y - t.y * east.x};
    for (int i = 0; i < 4; ++i) {
        const Vec3& v = vectors[members[static_cast<size_t>(i)]];
        double d = v.x * t.x + v.y * t.y + v.z * t.z;
        plane[i] = {1.0f, static_cast<float>((v.x * east.x + v.y * east.y + v.z * east.z) / d),
                    static_cast<float>((v.x * north.x + v.y * north.y + v.z * north.z) / d)};
    }
}

// The quad as an image centred on t would show it: code and order of the stars projected onto
// the tangent plane at t, size the base length on that plane (radians), which is what the image
// measures in pixels times its scale. False when the canonical form is not clear there.
bool code_quad_at(const std::array<uint32_t, 4>& members, const std::vector<Vec3>& vectors,
                  const std::vector<uint32_t>& index_of, const Vec3& t, CatalogQuad* result) {
    ImageStar plane[4];
    project_quad_at(members, vectors, t, plane);
    if (!canonical_form_clear(plane)) return false;
    ImageQuad quad{};
    make_image_quad(&plane[0], &plane[1], &plane[2], &plane[3], &quad);
    result->code = quad.code;
    for (int a = 0; a < 4; ++a)
        result->stars[a] = index_of[members[static_cast<size_t>(quad.stars[a] - plane)]];
    const ImageStar& o = *quad.stars[0];
    const ImageStar& e = *quad.stars[1];
    result->size = static_cast<float>(std::hypot(e.x - o.x, e.y - o.y));
    return true;
}

// Image centres t around the centre of a quad for which its code is written again: rings at
// radius ring_radius * sqrt(k) (k = 1..rings), k * directions points on ring k around a full
// turn. The gnomonic projection stretches a quad at distance r from the image centre by 1/cos r
// along that direction; ring k sees stretches near k * ring_radius^2 / 2, so the rings are
// equally spaced in stretch. (An image centre on the opposite side stretches a small quad the
// same way, but not the large quads of wide fields, whose stars lie at different distances.)
std::vector<Vec3> variant_centres(const std::array<uint32_t, 4>& members,
                                  const std::vector<Vec3>& vectors, int rings, double ring_radius,
                                  int directions) {
    std::vector<Vec3> centres;
    Vec3 c{0, 0, 0};
    for (uint32_t m : members) {
        c.x += vectors[m].x;
        c.y += vectors[m].y;
        c.z += vectors[m].z;
    }
    double n = std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z);
    c = {c.x / n, c.y / n, c.z / n};
    double h = std::hypot(c.x, c.y);
    Vec3 east = h > 0 ? Vec3{-c.y / h, c.x / h, 0.0} : Vec3{0.0, 1.0, 0.0};
    Vec3 north{c.y * east.z - c.z * east.y, c.z * east.x - c.x * east.z,
               c.x * east.y - c.y * east.x};
    for (int k = 1; k <= rings; ++k) {
        double r = ring_radius * std::sqrt(static_cast<double>(k));
        int count = directions * k;
        for (int d = 0; d < count; ++d) {
            double phi = 2.0 * pi * (d + 0.5 * (k % 2)) / count;
            double u = std::cos(phi), w = std::sin(phi);
            centres.push_back({std::cos(r) * c.x + std::sin(r) * (u * east.x + w * north.x),
                               std::cos(r) * c.y + std::sin(r) * (u * east.y + w * north.y),
                               std::cos(r) * c.z + std::sin(r) * (u * east.z + w * north.z)});
        }
    }
    return centres;
}

struct VariantPlan {
    int rings = 0;
    double radius = 0;  // radians
    int directions = 0;
    int first_level = 0;
};

VariantPlan variant_plan(const IndexBuildOptions* options, int levels) {
    VariantPlan plan;
    plan.rings = options->variant_rings > 0 ? options->variant_rings
                 : options->variant_rings < 0 ? 0 : default_variant_rings;
    plan.radius = (options->variant_radius > 0 ? options->variant_radius
                                               : default_variant_radius) * rad_per_deg;
    plan.directions = options->variant_directions > 0 ? options->variant_directions
                                                      : default_variant_directions;
    int coarse = options->variant_levels > 0 ? options->variant_levels : default_variant_levels;
    plan.first_level = std::max(0, levels - coarse);
    return plan;
}

// A growing array of quads in one malloc block, handed to the caller at the end. realloc moves a
// large block by remapping its pages, so the array never exists twice while it grows.
class QuadBuffer {
public:
    QuadBuffer() = default;
    QuadBuffer(const QuadBuffer&) = delete;
    QuadBuffer& operator=(const QuadBuffer&) = delete;
    ~QuadBuffer() { std::free(data_); }
    size_t size() const { return size_; }
    CatalogQuad& operator[](size_t i) { return data_[i]; }
    void append(const CatalogQuad* quads, size_t count) {
        if (count == 0) return;  // memcpy takes no null pointer, even for no bytes
        if (size_ + count > capacity_) {
            capacity_ = std::max(size_ + count, capacity_ + capacity_ / 2 + 65536);
            data_ = static_cast<CatalogQuad*>(
                kestil_checked_realloc(data_, capacity_ * sizeof(CatalogQuad)));
        }
        std::memcpy(data_ + size_, quads, count * sizeof(CatalogQuad));
        size_ += count;
    }
    // The array cut to its size; the buffer is empty afterwards.
    CatalogQuad* release() {
        auto* result = static_cast<CatalogQuad*>(
            kestil_checked_realloc(data_, size_ * sizeof(CatalogQuad)));
        data_ = nullptr;
        size_ = capacity_ = 0;
        return result;
    }

private:
    CatalogQuad* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

constexpr uint32_t no_place = UINT32_MAX;
// Stars of a level handled between two appends of their quads to the result (the quads of a
// batch are held twice for a moment), and stars a thread takes at a time.
constexpr size_t batch_stars = 16384;
constexpr size_t piece_stars = 256;

// One density level: the brightest candidate of every sky cell, and the nearest neighbours of
// each among them.
struct Level {
    double cell_deg = 0;
    double closest = 0;              // radians: closer pairs may blend in images
    std::vector<uint32_t> stars;     // star numbers, brightest first
    std::vector<uint32_t> place;     // star number -> position in stars, or no_place
    std::vector<uint32_t> near;      // `neighbours` slots per star: star numbers, nearest first
    std::vector<uint32_t> near_count;
};

// Quads made from a run of stars: star numbers in canonical order, and the four
// stars as generated where code variants will need them.
struct QuadPiece {
    std::vector<CatalogQuad> quads;
    std::vector<std::array<uint32_t, 4>> keys;
    std::vector<uint32_t> id;        // scratch: a star and its neighbours
    std::vector<double> distance;    // scratch: their separations, radians
};

// The quads of a level are those of each star (in order of brightness) with every three of its
// nearest neighbours; a set of four stars counts once, at its first appearance: the finest level
// where it is formed, and there the brightest of its stars that forms it. Whether a set appeared
// before follows from the neighbour lists alone, so the stars of a level are handled on several
// threads and the result is the same as one after the other.
struct Builder {
    const CsvStar* catalog;
    const IndexBuildOptions* options;
    size_t neighbours;
    int threads;
    std::vector<uint32_t> candidates;  // catalogue numbers of the stars, brightest first
    std::vector<Vec3> vectors;         // unit vector of every star
    std::vector<SkyAngles> angles;     // and its angles, for the tangent planes
    std::vector<Level> levels;
    QuadBuffer quads;                  // stars by their number here until number_stars
    std::vector<std::array<uint32_t, 4>> keys;  // of the quads from keys_from_level on
    size_t keys_from_level = SIZE_MAX;
    std::vector<uint8_t> used;         // stars in the index
    uint64_t work_done = 0, work_total = 0;

    // The catalogue entries in the area, brightest first; from here on a star is known by its
    // place in that order.
    bool select_candidates(size_t count) {
        Vec3 centre = unit_vector(options->ra, options->dec);
        double radius = options->radius * rad_per_deg;
        for (size_t i = 0; i < count; ++i) {
            if (options->radius > 0 &&
                separation(unit_vector(catalog[i].ra, catalog[i].dec), centre) > radius)
                continue;
            candidates.push_back(static_cast<uint32_t>(i));
        }
        std::stable_sort(candidates.begin(), candidates.end(), [&](uint32_t a, uint32_t b) {
            return catalog[a].mag < catalog[b].mag;
        });
        size_t n = candidates.size();
        vectors.resize(n);
        angles.resize(n);
        used.assign(n, 0);
        return run_pieces((n + 4095) / 4096, threads, [&](size_t p) {
            for (size_t i = p * 4096; i < std::min(n, p * 4096 + 4096); ++i) {
                const CsvStar& star = catalog[candidates[i]];
                vectors[i] = unit_vector(star.ra, star.dec);
                angles[i] = sky_angles(vectors[i]);
            }
        });
    }

    // The brightest star of every sky cell of the given size, brightest first.
    std::vector<uint32_t> level_stars(double cell_deg) const {
        std::unordered_set<uint64_t> taken;
        std::vector<uint32_t> stars;
        for (uint32_t i = 0; i < candidates.size(); ++i) {
            const CsvStar& star = catalog[candidates[i]];
            if (taken.insert(sky_cell(star.ra, star.dec, cell_deg)).second) stars.push_back(i);
        }
        return stars;
    }

    // The stars of every level, so that the work is known before it starts.
    void plan_levels(const std::vector<double>& cells) {
        for (double cell_deg : cells) {
            Level& level = levels.emplace_back();
            level.cell_deg = cell_deg;
            double cell = cell_deg * rad_per_deg;
            level.closest = min_separation * cell;
            level.stars = level_stars(cell_deg);
            level.place.assign(vectors.size(), no_place);
            for (size_t i = 0; i < level.stars.size(); ++i)
                level.place[level.stars[i]] = static_cast<uint32_t>(i);
            work_total += level.stars.size();
        }
    }

    // Each star's nearest neighbours of its level, within neighbour_radius cells and not closer
    // than min_separation cells; ties in distance go to the brighter star.
    bool find_neighbours(Level& level) const {
        size_t n = level.stars.size();
        std::vector<Vec3> points(n);
        for (size_t i = 0; i < n; ++i) points[i] = vectors[level.stars[i]];
        double cell = level.cell_deg * rad_per_deg;
        double reach = neighbour_radius * cell;
        VectorGrid grid(points, 2.0 * std::sin(reach / 2.0));
        level.near.assign(n * neighbours, 0);
        level.near_count.assign(n, 0);
        const std::vector<uint32_t>& order = grid.numbers();
        return run_pieces((n + piece_stars - 1) / piece_stars, threads, [&](size_t p) {
            std::vector<std::pair<double, uint32_t>> found;
            for (size_t i = p * piece_stars; i < std::min(n, (p + 1) * piece_stars); ++i) {
                uint32_t a = order[i];
                found.clear();
                grid.near(points[a], [&](uint32_t b, const Vec3& point) {
                    if (b == a) return;
                    double d = separation(points[a], point);
                    if (d <= reach && d >= level.closest) found.emplace_back(d, b);
                });
                size_t kept = std::min(found.size(), neighbours);
                std::partial_sort(found.begin(), found.begin() + static_cast<ptrdiff_t>(kept),
                                  found.end());
                for (size_t k = 0; k < kept; ++k)
                    level.near[a * neighbours + k] = level.stars[found[k].second];
                level.near_count[a] = static_cast<uint32_t>(kept);
            }
        });
    }

    // Whether the neighbours of the star at place p of a level hold the members of key other
    // than key[self].
    bool neighbours_hold(const Level& level, uint32_t p, const std::array<uint32_t, 4>& key,
                         int self) const {
        const uint32_t* first = &level.near[p * neighbours];
        const uint32_t* last = first + level.near_count[p];
        for (int m = 0; m < 4; ++m)
            if (m != self && std::find(first, last, key[static_cast<size_t>(m)]) == last)
                return false;
        return true;
    }

    // Whether no pair of the four is closer than closest or farther than longest; pairs[m][n]
    // is the separation of members m and n.
    static bool shape_usable(const double pairs[4][4], double closest, double longest) {
        for (int p = 0; p < 4; ++p)
            for (int q = p + 1; q < 4; ++q)
                if (pairs[p][q] < closest || pairs[p][q] > longest) return false;
        return true;
    }

    // Whether the set key (generated from key[0], the star at place a of level l) appears here
    // first: at no finer level, where all four are stars, one of them has the other three among
    // its neighbours and the shape suits that level, and at this level from no brighter member.
    bool first_appearance(size_t l, uint32_t a, const std::array<uint32_t, 4>& key,
                          const double pairs[4][4], double longest) const {
        for (size_t finer = 0; finer < l; ++finer) {
            const Level& level = levels[finer];
            uint32_t place[4];
            bool all = true;
            for (int m = 0; m < 4 && all; ++m) {
                place[m] = level.place[key[static_cast<size_t>(m)]];
                all = place[m] != no_place;
            }
            if (!all || !shape_usable(pairs, level.closest, longest)) continue;
            for (int m = 0; m < 4; ++m)
                if (neighbours_hold(level, place[m], key, m)) return false;
        }
        const Level& level = levels[l];
        for (int m = 1; m < 4; ++m) {
            uint32_t p = level.place[key[static_cast<size_t>(m)]];
            if (p < a && neighbours_hold(level, p, key, m)) return false;
        }
        return true;
    }

    // The quads of the star at place a of level l with every three of its neighbours, in the
    // order of the neighbours, coded on the tangent plane at their centre.
    void star_quads(size_t l, uint32_t a, double longest, QuadPiece* out) const {
        const Level& level = levels[l];
        size_t n = level.near_count[a];
        const uint32_t* near = &level.near[a * neighbours];
        out->id.assign(1, level.stars[a]);
        out->id.insert(out->id.end(), near, near + n);
        size_t width = n + 1;
        out->distance.resize(width * width);
        for (size_t i = 0; i < width; ++i)
            for (size_t j = i + 1; j < width; ++j)
                out->distance[i * width + j] = out->distance[j * width + i] =
                    separation(vectors[out->id[i]], vectors[out->id[j]]);
        for (size_t i = 1; i <= n; ++i)
            for (size_t j = i + 1; j <= n; ++j)
                for (size_t k = j + 1; k <= n; ++k) {
                    const size_t member[4] = {0, i, j, k};
                    double pairs[4][4];
                    for (int p = 0; p < 4; ++p)
                        for (int q = 0; q < 4; ++q)
                            pairs[p][q] = out->distance[member[p] * width + member[q]];
                    if (!shape_usable(pairs, level.closest, longest)) continue;
                    std::array<uint32_t, 4> key{out->id[0], out->id[i], out->id[j], out->id[k]};
                    if (!first_appearance(l, a, key, pairs, longest)) continue;
                    ImageStar plane[4];
                    project_quad(key, vectors, angles, plane);
                    if (!canonical_form_clear(plane)) continue;
                    ImageQuad quad{};
                    make_image_quad(&plane[0], &plane[1], &plane[2], &plane[3], &quad);
                    CatalogQuad result{};
                    result.code = quad.code;
                    for (int m = 0; m < 4; ++m)
                        result.stars[m] = key[static_cast<size_t>(quad.stars[m] - plane)];
                    result.size = static_cast<float>(
                        pairs[quad.stars[0] - plane][quad.stars[1] - plane]);
                    out->quads.push_back(result);
                    if (l >= keys_from_level) out->keys.push_back(key);
                }
    }

    // The quads of level l appended to the result, in batches of stars made on all threads.
    // Result: null, or the reason to stop.
    const char* level_quads(size_t l, double longest) {
        const Level& level = levels[l];
        size_t n = level.stars.size();
        for (size_t first = 0; first < n; first += batch_stars) {
            size_t last = std::min(n, first + batch_stars);
            std::vector<QuadPiece> pieces((last - first + piece_stars - 1) / piece_stars);
            bool done = run_pieces(pieces.size(), threads, [&](size_t p) {
                size_t begin = first + p * piece_stars, end = std::min(last, begin + piece_stars);
                for (size_t a = begin; a < end; ++a)
                    star_quads(l, static_cast<uint32_t>(a), longest, &pieces[p]);
            });
            if (!done) return "out of memory";
            for (const QuadPiece& piece : pieces) {
                quads.append(piece.quads.data(), piece.quads.size());
                keys.insert(keys.end(), piece.keys.begin(), piece.keys.end());
                for (const CatalogQuad& q : piece.quads)
                    for (uint32_t s : q.stars) used[s] = 1;
            }
            if (quads.size() > max_quads)
                return "too many quads (more than 60,000,000): build the index for a cone";
            work_done += last - first;
            report_progress();
        }
        return nullptr;
    }

    // Replaces the star numbers in the quads by their places in the index.
    void number_stars(const std::vector<uint32_t>& index_of) {
        for (size_t q = 0; q < quads.size(); ++q)
            for (uint32_t& s : quads[q].stars) s = index_of[s];
    }

    void report_progress() const {
        if (options->progress_callback)
            options->progress_callback(options->progress_context, work_done, work_total);
    }
};

void progress(const IndexBuildOptions* options, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void progress(const IndexBuildOptions* options, const char* format, ...) {
    if (!options->progress) return;
    va_list args;
    va_start(args, format);
    vfprintf(options->progress, format, args);
    va_end(args);
    fflush(options->progress);
}

// Cell sizes of the density levels, degrees, finest first.
std::vector<double> level_cells(const IndexBuildOptions* options, double field_min,
                                double field_max, const ScaleDefaults& defaults) {
    double finest_cell = options->finest_cell > 0 ? options->finest_cell : defaults.finest_cell;
    double coarsest_cell =
        options->coarsest_cell > 0 ? options->coarsest_cell : defaults.coarsest_cell;
    std::vector<double> cells;
    for (double cell = finest_cell * field_min; cell <= coarsest_cell * field_max * 1.0001;
         cell *= level_step)
        cells.push_back(cell);
    return cells;
}

// The quads of the coarsest levels coded again as seen from image centres around them, where
// the code differs. Result: null, or the reason to stop.
const char* add_code_variants(Builder& b, const VariantPlan& plan,
                              const std::vector<uint32_t>& index_of) {
    size_t base_count = b.quads.size(), first = base_count - b.keys.size();
    for (size_t q = first; q < base_count; ++q) {
        const std::array<uint32_t, 4>& key = b.keys[q - first];
        std::vector<uint64_t> codes{b.quads[q].code};
        for (const Vec3& t : variant_centres(key, b.vectors, plan.rings, plan.radius,
                                             plan.directions)) {
            CatalogQuad variant{};
            if (!code_quad_at(key, b.vectors, index_of, t, &variant)) continue;
            if (std::find(codes.begin(), codes.end(), variant.code) != codes.end()) continue;
            codes.push_back(variant.code);
            b.quads.append(&variant, 1);
        }
        if (b.quads.size() > max_quads)
            return "too many quads (more than 60,000,000): build the index for a cone";
    }
    progress(b.options, "code variants: %zu quads of levels %d and up, %zu codes added\n",
             b.keys.size(), plan.first_level + 1, b.quads.size() - base_count);
    return nullptr;
}

// The build of build_index_content; may throw std::bad_alloc.
bool build_content(const CsvStar* catalog, size_t count, const IndexBuildOptions* options,
                   CatalogStar** stars, uint32_t* star_count, CatalogQuad** quads,
                   uint32_t* quad_count, int32_t* levels, const char** message) {
    double field_min = options->field_min, field_max = options->field_max;
    if (field_min <= 0 || field_max < field_min) index_field_range(options->scale, &field_min, &field_max);
    ScaleDefaults defaults = other_scales;
    for (const ScaleDefaults& row : scale_defaults)
        if (row.scale == options->scale) defaults = row;
    Builder b{catalog, options, static_cast<size_t>(defaults.neighbours), options->threads};
    if (options->neighbours >= 3) b.neighbours = static_cast<size_t>(options->neighbours);
    if (b.threads <= 0) b.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (!b.select_candidates(count)) {
        *message = "out of memory";
        return false;
    }
    progress(options, "%zu catalogue stars, %zu in the area\n", count, b.candidates.size());
    if (b.candidates.size() < 4) {
        *message = "fewer than 4 catalogue stars in the area";
        return false;
    }
    double longest = max_base * field_max * rad_per_deg;
    b.plan_levels(level_cells(options, field_min, field_max, defaults));
    b.report_progress();
    VariantPlan plan = variant_plan(options, static_cast<int>(b.levels.size()));
    if (plan.rings > 0) b.keys_from_level = static_cast<size_t>(plan.first_level);
    for (size_t l = 0; l < b.levels.size(); ++l) {
        size_t before = b.quads.size();
        const char* stop = b.find_neighbours(b.levels[l]) ? b.level_quads(l, longest) : "out of memory";
        if (stop) {
            *message = stop;
            return false;
        }
        progress(options, "level %zu: cell %.4f°, %zu stars, %zu quads\n", l + 1,
                 b.levels[l].cell_deg, b.levels[l].stars.size(), b.quads.size() - before);
    }
    auto level_count = static_cast<int32_t>(b.levels.size());
    b.levels.clear();  // the neighbour lists are not needed any more
    // Index stars: every star of a quad, in catalogue order.
    std::vector<std::pair<uint32_t, uint32_t>> numbers;  // catalogue number, star number
    for (uint32_t i = 0; i < b.candidates.size(); ++i)
        if (b.used[i]) numbers.emplace_back(b.candidates[i], i);
    std::sort(numbers.begin(), numbers.end());
    std::vector<uint32_t> index_of(b.candidates.size(), 0);
    std::vector<CatalogStar> out_stars;
    for (const auto& [number, star] : numbers) {
        index_of[star] = static_cast<uint32_t>(out_stars.size());
        out_stars.push_back({static_cast<float>(catalog[number].ra * rad_per_deg),
                             static_cast<float>(catalog[number].dec * rad_per_deg)});
    }
    if (b.quads.size() == 0) {
        *message = "no quads could be formed";
        return false;
    }
    b.number_stars(index_of);
    if (plan.rings > 0) {
        if (const char* stop = add_code_variants(b, plan, index_of)) {
            *message = stop;
            return false;
        }
    }
    auto* star_array = static_cast<CatalogStar*>(
        kestil_checked_malloc(out_stars.size() * sizeof(CatalogStar)));
    std::memcpy(star_array, out_stars.data(), out_stars.size() * sizeof(CatalogStar));
    *stars = star_array;
    *star_count = static_cast<uint32_t>(out_stars.size());
    *quad_count = static_cast<uint32_t>(b.quads.size());
    *quads = b.quads.release();
    *levels = level_count;
    return true;
}

}  // namespace

extern "C" void index_field_range(float scale, double* field_min, double* field_max) {
    kestil_solver_published_field_range(scale, field_min, field_max);
}

extern "C" bool build_index_content(const CsvStar* catalog, size_t count,
                                    const IndexBuildOptions* options, CatalogStar** stars,
                                    uint32_t* star_count, CatalogQuad** quads, uint32_t* quad_count,
                                    int32_t* levels, const char** message) {
    try {
        return build_content(catalog, count, options, stars, star_count, quads, quad_count, levels,
                             message);
    } catch (...) {
        *message = "out of memory";
        return false;
    }
}

extern "C" bool build_index_file(const CsvStar* catalog, size_t count,
                                 const IndexBuildOptions* options, const char* path,
                                 IndexBuildReport* report, const char** message) {
    double start = kestil_monotonic_time();
    CatalogStar* stars = nullptr;
    CatalogQuad* quads = nullptr;
    IndexBuildReport r{};
    if (!build_index_content(catalog, count, options, &stars, &r.star_count, &quads, &r.quad_count,
                             &r.levels, message))
        return false;
    bool written = kestil_solver_write_index(path, options->scale, stars, r.star_count, quads,
                                             r.quad_count, message);
    std::free(stars);
    std::free(quads);
    if (!written) return false;
    struct stat info {};
    if (stat(path, &info) == 0) r.file_size = static_cast<uint64_t>(info.st_size);
    r.seconds = kestil_monotonic_time() - start;
    if (report) *report = r;
    return true;
}
