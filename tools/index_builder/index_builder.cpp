// tools/index_builder/index_builder.cpp - builds an index file for one quad scale
#include "tools/index_builder/index_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "framework/clock.h"
#include "solver/engine/image_quads.h"

namespace {

constexpr double rad_per_deg = M_PI / 180.0;
// The solver's grid cell is the longer image side / 10; for sides in ratio 3:2 around a field
// of geometric mean F that is 0.122 F. Levels of star density, a factor sqrt(2) apart, run from
// the finest cell (times the smallest field) to the coarsest (times the largest): the brightest
// stars of coarser cells are the ones every image grid keeps, and the larger quads they form are
// less sensitive to centroid errors. Each star forms quads with 3 of its nearest neighbours.
// The published file sizes allow far fewer quads per field at the small scales than at the
// wide ones (per square degree, whole sky: 0.2 -> 1,050, 0.5 -> 790, 1 -> 460, 2 -> 310,
// 5 -> 150, 10 -> 76, 20 -> 28), so the small scales use sparser levels and fewer neighbours.
// Measured on simulated 1500 x 1000 images (20 fields per scale, all solved blind but one at
// 0.2); see bench/solve/README.md.
struct ScaleDefaults {
    float scale;
    double finest_cell, coarsest_cell;
    int neighbours;
};
constexpr ScaleDefaults scale_defaults[] = {
    {0.2f, 0.36, 0.30, 4}, {0.5f, 0.30, 0.30, 5}, {1.0f, 0.30, 0.30, 7}, {2.0f, 0.20, 0.30, 7},
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
// About 4 GB of working memory (the quads and the set that removes duplicates) and a 1.9 GB
// file; a whole-sky build of a small scale from a deep catalogue needs a cone instead.
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

// A spatial hash of unit vectors in cubes of a given edge, for neighbour searches.
class VectorGrid {
public:
    VectorGrid(const std::vector<Vec3>& points, double edge) : edge_(edge) {
        for (size_t i = 0; i < points.size(); ++i) cells_[key(points[i], 0, 0, 0)].push_back(i);
    }
    template <typename F>
    void near(const Vec3& p, F&& visit) const {
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dz = -1; dz <= 1; ++dz) {
                    auto found = cells_.find(key(p, dx, dy, dz));
                    if (found == cells_.end()) continue;
                    for (size_t i : found->second) visit(i);
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
    std::unordered_map<uint64_t, std::vector<size_t>> cells_;
};

struct QuadKeyHash {
    size_t operator()(const std::array<uint32_t, 4>& k) const noexcept {
        uint64_t h = 1469598103934665603ull;
        for (uint32_t v : k) h = (h ^ v) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
};

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

// The four stars projected onto the tangent plane at their centre (radians).
void project_quad(const std::array<uint32_t, 4>& members, const std::vector<Vec3>& vectors,
                  ImageStar* plane) {
    Vec3 c{0, 0, 0};
    for (uint32_t m : members) {
        c.x += vectors[m].x;
        c.y += vectors[m].y;
        c.z += vectors[m].z;
    }
    double ra0 = std::atan2(c.y, c.x);
    double dec0 = std::atan2(c.z, std::hypot(c.x, c.y));
    for (int i = 0; i < 4; ++i) {
        const Vec3& v = vectors[members[static_cast<size_t>(i)]];
        double ra = std::atan2(v.y, v.x), dec = std::asin(std::clamp(v.z, -1.0, 1.0));
        double cos_theta = std::sin(dec0) * std::sin(dec) +
                           std::cos(dec0) * std::cos(dec) * std::cos(ra - ra0);
        double xi = std::cos(dec) * std::sin(ra - ra0) / cos_theta;
        double eta = (std::cos(dec0) * std::sin(dec) -
                      std::sin(dec0) * std::cos(dec) * std::cos(ra - ra0)) / cos_theta;
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

// Code, canonical order and size of one quad, by the rules of the image quads applied to the
// stars projected onto the tangent plane at their centre.
CatalogQuad code_quad(const std::array<uint32_t, 4>& members, const std::vector<Vec3>& vectors,
                      const std::vector<uint32_t>& index_of) {
    ImageStar plane[4];
    project_quad(members, vectors, plane);
    ImageQuad quad{};
    make_image_quad(&plane[0], &plane[1], &plane[2], &plane[3], &quad);
    CatalogQuad result{};
    result.code = quad.code;
    for (int a = 0; a < 4; ++a)
        result.stars[a] = index_of[members[static_cast<size_t>(quad.stars[a] - plane)]];
    uint32_t origin = members[static_cast<size_t>(quad.stars[0] - plane)];
    uint32_t end = members[static_cast<size_t>(quad.stars[1] - plane)];
    result.size = static_cast<float>(separation(vectors[origin], vectors[end]));
    return result;
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
            double phi = 2.0 * M_PI * (d + 0.5 * (k % 2)) / count;
            double u = std::cos(phi), w = std::sin(phi);
            centres.push_back({std::cos(r) * c.x + std::sin(r) * (u * east.x + w * north.x),
                               std::cos(r) * c.y + std::sin(r) * (u * east.y + w * north.y),
                               std::cos(r) * c.z + std::sin(r) * (u * east.z + w * north.z)});
        }
    }
    return centres;
}

struct Builder {
    const CsvStar* catalog;
    const IndexBuildOptions* options;
    std::vector<uint32_t> candidates;  // catalogue numbers, brightest first
    std::vector<Vec3> vectors;         // unit vector of every catalogue entry used
    std::vector<std::array<uint32_t, 4>> quads;  // catalogue numbers, any order
    std::vector<uint8_t> quad_level;   // density level of each quad, 0 = finest
    std::unordered_set<std::array<uint32_t, 4>, QuadKeyHash> seen;
    std::vector<uint8_t> used;         // catalogue entries in the index
    int32_t levels = 0;
    size_t neighbours = 10;

    void select_candidates(size_t count) {
        std::vector<uint32_t> all;
        Vec3 centre = unit_vector(options->ra, options->dec);
        double radius = options->radius * rad_per_deg;
        vectors.resize(count);
        for (size_t i = 0; i < count; ++i) {
            vectors[i] = unit_vector(catalog[i].ra, catalog[i].dec);
            if (options->radius > 0 && separation(vectors[i], centre) > radius) continue;
            all.push_back(static_cast<uint32_t>(i));
        }
        std::stable_sort(all.begin(), all.end(), [&](uint32_t a, uint32_t b) {
            return catalog[a].mag < catalog[b].mag;
        });
        candidates = std::move(all);
        used.assign(count, 0);
    }

    // The brightest candidate of every sky cell of the given size, brightest first.
    std::vector<uint32_t> level_stars(double cell_deg) const {
        std::unordered_set<uint64_t> taken;
        std::vector<uint32_t> stars;
        for (uint32_t i : candidates)
            if (taken.insert(sky_cell(catalog[i].ra, catalog[i].dec, cell_deg)).second)
                stars.push_back(i);
        return stars;
    }

    // Quads of one level: each star with every three of its nearest neighbours.
    size_t level_quads(const std::vector<uint32_t>& stars, double cell_deg, double longest) {
        std::vector<Vec3> points;
        for (uint32_t i : stars) points.push_back(vectors[i]);
        double cell = cell_deg * rad_per_deg;
        double reach = neighbour_radius * cell;
        double closest = min_separation * cell;
        VectorGrid grid(points, 2.0 * std::sin(reach / 2.0));
        size_t before = quads.size();
        for (size_t a = 0; a < stars.size(); ++a) {
            std::vector<std::pair<double, size_t>> near;
            grid.near(points[a], [&](size_t b) {
                if (b == a) return;
                double d = separation(points[a], points[b]);
                if (d <= reach && d >= closest) near.emplace_back(d, b);
            });
            std::sort(near.begin(), near.end());
            if (near.size() > neighbours) near.resize(neighbours);  // per the options
            for (size_t i = 0; i < near.size(); ++i)
                for (size_t j = i + 1; j < near.size(); ++j)
                    for (size_t k = j + 1; k < near.size(); ++k) {
                        size_t member[4] = {a, near[i].second, near[j].second, near[k].second};
                        if (!shape_usable(points, member, closest, longest)) continue;
                        std::array<uint32_t, 4> key{stars[member[0]], stars[member[1]],
                                                    stars[member[2]], stars[member[3]]};
                        std::array<uint32_t, 4> sorted = key;
                        std::sort(sorted.begin(), sorted.end());
                        if (!seen.insert(sorted).second) continue;
                        ImageStar plane[4];
                        project_quad(key, vectors, plane);
                        if (!canonical_form_clear(plane)) continue;
                        quads.push_back(key);
                        quad_level.push_back(static_cast<uint8_t>(std::min(levels, 255)));
                        for (uint32_t s : key) used[s] = 1;
                    }
            if (quads.size() > max_quads) return quads.size() - before;
        }
        return quads.size() - before;
    }

    static bool shape_usable(const std::vector<Vec3>& points, const size_t* member,
                             double closest, double longest) {
        for (int p = 0; p < 4; ++p)
            for (int q = p + 1; q < 4; ++q) {
                double d = separation(points[member[p]], points[member[q]]);
                if (d < closest || d > longest) return false;
            }
        return true;
    }
};

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

}  // namespace

extern "C" void index_field_range(float scale, double* field_min, double* field_max) {
    struct Row { float scale; double low, high; };
    static constexpr Row table[] = {{0.2f, 0.2, 0.45}, {0.5f, 0.45, 1.0}, {1.0f, 1.0, 2.0},
                                    {2.0f, 2.0, 4.5},  {5.0f, 4.5, 10.0}, {10.0f, 10.0, 20.0},
                                    {20.0f, 20.0, 30.0}};
    for (const Row& row : table)
        if (row.scale == scale) {
            *field_min = row.low;
            *field_max = row.high;
            return;
        }
    *field_min = scale;
    *field_max = 2.0 * scale;
}

extern "C" bool build_index_content(const CsvStar* catalog, size_t count,
                                    const IndexBuildOptions* options, CatalogStar** stars,
                                    uint32_t* star_count, CatalogQuad** quads, uint32_t* quad_count,
                                    int32_t* levels, const char** message) {
    double field_min = options->field_min, field_max = options->field_max;
    if (field_min <= 0 || field_max < field_min) index_field_range(options->scale, &field_min, &field_max);
    ScaleDefaults defaults = other_scales;
    for (const ScaleDefaults& row : scale_defaults)
        if (row.scale == options->scale) defaults = row;
    Builder b{catalog, options, {}, {}, {}, {}, {}, {}, 0, static_cast<size_t>(defaults.neighbours)};
    if (options->neighbours >= 3) b.neighbours = static_cast<size_t>(options->neighbours);
    double finest_cell = options->finest_cell > 0 ? options->finest_cell : defaults.finest_cell;
    double coarsest_cell =
        options->coarsest_cell > 0 ? options->coarsest_cell : defaults.coarsest_cell;
    b.select_candidates(count);
    progress(options, "%zu catalogue stars, %zu in the area\n", count, b.candidates.size());
    if (b.candidates.size() < 4) {
        *message = "fewer than 4 catalogue stars in the area";
        return false;
    }
    double longest = max_base * field_max * rad_per_deg;
    for (double cell = finest_cell * field_min; cell <= coarsest_cell * field_max * 1.0001;
         cell *= level_step) {
        std::vector<uint32_t> level = b.level_stars(cell);
        size_t made = b.level_quads(level, cell, longest);
        ++b.levels;
        progress(options, "level %d: cell %.4f°, %zu stars, %zu quads\n", b.levels, cell,
                 level.size(), made);
        if (b.quads.size() > max_quads) {
            *message = "too many quads (more than 60,000,000): build the index for a cone";
            return false;
        }
    }
    // Index stars: every star of a quad, in catalogue order.
    std::vector<uint32_t> index_of(count, 0);
    std::vector<CatalogStar> out_stars;
    for (size_t i = 0; i < count; ++i) {
        if (!b.used[i]) continue;
        index_of[i] = static_cast<uint32_t>(out_stars.size());
        out_stars.push_back({static_cast<float>(catalog[i].ra * rad_per_deg),
                             static_cast<float>(catalog[i].dec * rad_per_deg)});
    }
    if (b.quads.empty()) {
        *message = "no quads could be formed";
        return false;
    }
    // Quads: every quad coded on the tangent plane at its centre, then for the quads of the
    // coarsest levels the codes as seen from image centres around it, where they differ.
    VariantPlan plan = variant_plan(options, b.levels);
    std::vector<CatalogQuad> out_quads;
    out_quads.reserve(b.quads.size());
    for (size_t q = 0; q < b.quads.size(); ++q)
        out_quads.push_back(code_quad(b.quads[q], b.vectors, index_of));
    if (plan.rings > 0) {
        size_t base_count = out_quads.size();
        for (size_t q = 0; q < base_count; ++q) {
            if (b.quad_level[q] < plan.first_level) continue;
            std::vector<uint64_t> codes{out_quads[q].code};
            for (const Vec3& t : variant_centres(b.quads[q], b.vectors, plan.rings, plan.radius,
                                                 plan.directions)) {
                CatalogQuad variant{};
                if (!code_quad_at(b.quads[q], b.vectors, index_of, t, &variant)) continue;
                if (std::find(codes.begin(), codes.end(), variant.code) != codes.end()) continue;
                codes.push_back(variant.code);
                out_quads.push_back(variant);
            }
            if (out_quads.size() > max_quads) {
                *message = "too many quads (more than 60,000,000): build the index for a cone";
                return false;
            }
        }
        progress(options, "code variants: %zu quads of levels %d and up, %zu codes added\n",
                 static_cast<size_t>(std::count_if(b.quad_level.begin(), b.quad_level.end(),
                                                   [&](uint8_t l) { return l >= plan.first_level; })),
                 plan.first_level + 1, out_quads.size() - base_count);
    }
    auto* star_array = static_cast<CatalogStar*>(std::malloc(out_stars.size() * sizeof(CatalogStar)));
    auto* quad_array = static_cast<CatalogQuad*>(std::malloc(out_quads.size() * sizeof(CatalogQuad)));
    if (!star_array || !quad_array) {
        std::free(star_array);
        std::free(quad_array);
        *message = "out of memory";
        return false;
    }
    std::memcpy(star_array, out_stars.data(), out_stars.size() * sizeof(CatalogStar));
    std::memcpy(quad_array, out_quads.data(), out_quads.size() * sizeof(CatalogQuad));
    *stars = star_array;
    *star_count = static_cast<uint32_t>(out_stars.size());
    *quads = quad_array;
    *quad_count = static_cast<uint32_t>(out_quads.size());
    *levels = b.levels;
    return true;
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
    progress(options, "%s: %u stars, %u quads, %llu bytes, %.2f s\n", path, r.star_count,
             r.quad_count, static_cast<unsigned long long>(r.file_size), r.seconds);
    if (report) *report = r;
    return true;
}
