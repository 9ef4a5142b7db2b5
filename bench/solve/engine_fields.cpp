// bench/solve/engine_fields.cpp - solve rate of the matching engine on synthetic star lists
// Makes random fields in the field range of an index from the catalogue the index was built
// from (gnomonic projection, random centre, rotation, mirror and size, 0.15 pixel centroid
// noise, the brightest 500 stars), runs the engine's stages as the solve driver does (quads,
// quad matching, star matching, fit) and reports how many fields were solved correctly and the
// median time. This isolates the index design from image input and star detection.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "framework/log.h"
#include "solver/engine/image_quads.h"
#include "solver/engine/plate_fit.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_driver.h"
#include "solver/engine/star_match.h"
#include "solver/index/index_file.h"
#include "tools/index_builder/index_builder.h"

namespace {

constexpr double rad_per_deg = M_PI / 180.0;

struct Options {
    const char* catalog = nullptr;
    const char* index = nullptr;
    double ra = 0, dec = 0, spread = 0;  // field centres within spread of (ra, dec)
    double field_min = 0, field_max = 0;
    int fields = 20, width = 1500, height = 1000;
    double faint = 99;  // faintest magnitude detected
    unsigned seed = 1;
};

struct Truth {
    double ra, dec, scale, angle;
    bool mirror;
};

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* a = argv[i];
        const char* v = argv[i + 1];
        double d = std::strtod(v, nullptr);
        if (!std::strcmp(a, "--catalog")) o->catalog = v;
        else if (!std::strcmp(a, "--index")) o->index = v;
        else if (!std::strcmp(a, "--ra")) o->ra = d;
        else if (!std::strcmp(a, "--dec")) o->dec = d;
        else if (!std::strcmp(a, "--spread")) o->spread = d;
        else if (!std::strcmp(a, "--field-min")) o->field_min = d;
        else if (!std::strcmp(a, "--field-max")) o->field_max = d;
        else if (!std::strcmp(a, "--fields")) o->fields = std::atoi(v);
        else if (!std::strcmp(a, "--faint")) o->faint = d;
        else if (!std::strcmp(a, "--seed")) o->seed = static_cast<unsigned>(std::atoi(v));
        else return false;
    }
    return o->catalog && o->index;
}

// Stars of the field, brightest first, at most 500, with centroid noise.
std::vector<ImageStar> make_stars(const CsvStar* catalog, size_t count, const Options& o,
                                  const Truth& t, std::mt19937& random) {
    std::normal_distribution<double> noise(0.0, 0.15);
    double ra0 = t.ra * rad_per_deg, dec0 = t.dec * rad_per_deg;
    double ca = std::cos(t.angle), sa = std::sin(t.angle);
    std::vector<std::pair<float, ImageStar>> found;
    for (size_t i = 0; i < count; ++i) {
        if (catalog[i].mag > o.faint) continue;
        double ra = catalog[i].ra * rad_per_deg, dec = catalog[i].dec * rad_per_deg;
        double c = std::sin(dec0) * std::sin(dec) + std::cos(dec0) * std::cos(dec) * std::cos(ra - ra0);
        if (c <= 0.5) continue;
        double xi = std::cos(dec) * std::sin(ra - ra0) / c;
        double eta = (std::cos(dec0) * std::sin(dec) - std::sin(dec0) * std::cos(dec) * std::cos(ra - ra0)) / c;
        // Image x to the east-left (-xi), y down (-eta), then rotated, optionally mirrored.
        double u = -xi / (t.scale * rad_per_deg), v = -eta / (t.scale * rad_per_deg);
        if (t.mirror) u = -u;
        double x = ca * u - sa * v + o.width / 2.0, y = sa * u + ca * v + o.height / 2.0;
        if (x < 1 || y < 1 || x >= o.width - 1 || y >= o.height - 1) continue;
        found.push_back({static_cast<float>(catalog[i].mag), {static_cast<float>(std::pow(10.0, 0.4 * catalog[i].mag)),
                                          static_cast<float>(x + noise(random)),
                                          static_cast<float>(y + noise(random))}});
    }
    std::stable_sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<ImageStar> stars;
    for (size_t i = 0; i < found.size() && i < SOLVER_MAX_IMAGE_STARS; ++i) stars.push_back(found[i].second);
    return stars;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fputs("Usage: engine_fields --catalog CSV --index ZEPH [--ra --dec --spread DEG]\n"
                   "       [--field-min --field-max DEG] [--fields N] [--faint MAG] [--seed N]\n",
                   stderr);
        return 2;
    }
    const char* message = nullptr;
    CsvCatalog csv{};
    if (!read_catalog_csv(o.catalog, INFINITY, &csv, nullptr, &message)) {
        std::fprintf(stderr, "%s: %s\n", o.catalog, message);
        return 1;
    }
    const CsvStar* catalog = csv.stars;
    size_t count = csv.count;
    IndexFile index{};
    if (!kestil_solver_load_index(o.index, &index)) return 1;
    if (o.field_min <= 0) index_field_range(index.scale, &o.field_min, &o.field_max);
    std::unique_ptr<ImageQuad[]> quads(new ImageQuad[SOLVER_MAX_IMAGE_QUADS]);
    std::unique_ptr<QuadMatch[]> matches(new QuadMatch[SOLVER_MAX_QUAD_MATCHES]);
    std::unique_ptr<StarMatch[]> pairs(new StarMatch[SOLVER_MAX_STAR_MATCHES]);
    std::mt19937 random(o.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> times;
    int solved = 0;
    for (int f = 0; f < o.fields; ++f) {
        Truth t{};
        double r = o.spread * std::sqrt(unit(random)), phi = 2 * M_PI * unit(random);
        t.dec = o.dec + r * std::sin(phi);
        t.ra = std::fmod(o.ra + r * std::cos(phi) / std::cos(t.dec * rad_per_deg) + 360.0, 360.0);
        double field = o.field_min * std::pow(o.field_max / o.field_min, unit(random));
        t.scale = field / std::sqrt(double(o.width) * o.height);
        t.angle = 2 * M_PI * unit(random);
        t.mirror = unit(random) < 0.5;
        std::vector<ImageStar> stars = make_stars(catalog, count, o, t, random);
        auto start = std::chrono::steady_clock::now();
        int32_t stages[SOLVER_MAX_STAGES];
        int32_t n = solver_stage_table(0, static_cast<int32_t>(stars.size()), stages);
        int32_t cell = std::max(o.width, o.height) / SOLVER_QUAD_GRID;
        bool ok = false;
        float ra = 0, dec = 0, angle = 0, scale = 0, rms = 0;
        int32_t parity = 0, matched = 0, used_stage = 0;
        for (int s = 0; s < n && !ok && stars.size() >= 4; ++s) {
            int32_t occupied = 0;
            uint32_t nq = kestil_solver_build_image_quads(stars.data(), stages[s], o.width, o.height,
                                                          cell, &occupied, quads.get());
            uint32_t nm = kestil_solver_match_quads(quads.get(), nq, &index, matches.get(), nullptr);
            int32_t np = kestil_solver_match_stars(matches.get(), nm, pairs.get(), nullptr);
            ok = kestil_solver_compute_center(pairs.get(), np, o.width, o.height, &ra, &dec, &angle,
                                              &scale, &parity, &matched, &rms);
            used_stage = s + 1;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double error_px = 0;
        if (ok) {
            // Haversine in double precision (the fit's float angles promoted first).
            double d1 = double(dec), d2 = t.dec * rad_per_deg, dra = double(ra) - t.ra * rad_per_deg;
            double h = std::pow(std::sin((d1 - d2) / 2), 2) +
                       std::cos(d1) * std::cos(d2) * std::pow(std::sin(dra / 2), 2);
            double d = 2 * std::asin(std::sqrt(h));
            error_px = d / (t.scale * rad_per_deg);
            ok = error_px < 2.0 && std::fabs(scale / (t.scale * rad_per_deg) - 1) < 0.01;
        }
        if (std::getenv("ENGINE_FIELDS_DEBUG"))
            std::printf("  fit RA %.5f Dec %.5f scale %.6g angle %.3f parity %d | truth RA %.5f Dec %.5f scale %.6g angle %.3f mirror %d\n",
                        ra / rad_per_deg, dec / rad_per_deg, scale / rad_per_deg, angle / rad_per_deg, parity,
                        t.ra, t.dec, t.scale, t.angle / rad_per_deg, t.mirror);
        solved += ok;
        times.push_back(seconds);
        std::printf("field %2d: RA %7.3f Dec %7.3f FOV %6.3f° %3zu stars: %s stage %d, %.3f s, %d matched, error %.2f px\n",
                    f + 1, t.ra, t.dec, field, stars.size(), ok ? "solved" : "FAILED", used_stage,
                    seconds, matched, error_px);
    }
    std::sort(times.begin(), times.end());
    double median = times.empty() ? 0 : (times[(times.size() - 1) / 2] + times[times.size() / 2]) / 2;
    std::printf("scale %g: %d of %d solved, median time %.3f s\n", static_cast<double>(index.scale), solved,
                o.fields, median);
    kestil_solver_release_index(&index);
    free_catalog_csv(&csv);
    return 0;
}
