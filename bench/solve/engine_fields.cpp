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
#include "bench/common/synthetic_fields.hpp"
#include "solver/engine/image_quads.h"
#include "solver/engine/plate_fit.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_driver.h"
#include "solver/engine/star_match.h"
#include "solver/index/index_file.h"
#include "tools/index_builder/index_builder.h"

namespace {

using bench_fields::Truth;

struct Options {
    const char* catalog = nullptr;
    const char* index = nullptr;
    double ra = 0, dec = 0, spread = 0;  // field centres within spread of (ra, dec)
    double field_min = 0, field_max = 0;
    int fields = 20, width = 1500, height = 1000;
    double faint = 99;  // faintest magnitude detected
    unsigned seed = 1;
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
    std::vector<double> times;
    int solved = 0;
    for (int f = 0; f < o.fields; ++f) {
        Truth t = bench_fields::random_field(o.ra, o.dec, o.spread, o.field_min, o.field_max,
                                             o.width, o.height, random);
        std::vector<ImageStar> stars = bench_fields::field_stars(catalog, count, o.width, o.height, o.faint,
                                      SOLVER_MAX_IMAGE_STARS, t, random);
        auto start = std::chrono::steady_clock::now();
        int32_t stages[SOLVER_MAX_STAGES];
        int32_t n = kestil_solver_stage_table(0, static_cast<int32_t>(stars.size()), stages);
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
                    f + 1, t.ra, t.dec, t.scale * std::sqrt(double(o.width) * o.height),
                    stars.size(), ok ? "solved" : "FAILED", used_stage,
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
