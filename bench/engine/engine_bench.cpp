// bench/engine/engine_bench.cpp - time of each matching-engine stage, fast against reference
// Makes random fields in the field range of an index from the catalogue the index was built
// from (gnomonic projection, random centre, rotation, mirror and size, 0.15 pixel centroid
// noise, the brightest --stars stars) and runs the engine's stages as the solve driver does:
// the quad build, the quad matching, the star matching and the fit, stage after stage until a
// fit is found. It reports the time spent in each function over all fields. With --compare
// the quad build and the quad matching are made twice, by the product's function and by its
// straightforward form (tests/support/reference_engine.hpp) on the same input, the outputs
// compared byte for byte and both times reported (bench/common/stage_identity.hpp).
// With --solve the fields are rendered by the simulator and solved through kestil_solver_solve,
// and the quad stages are compared on each solve's star list against every index it may use.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "bench/common/stage_identity.hpp"
#include "bench/common/synthetic_fields.hpp"
#include "framework/handles.hpp"
#include "solver/engine/image_quads.h"
#include "solver/engine/plate_fit.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_driver.h"
#include "solver/engine/star_match.h"
#include "solver/index/index_file.h"
#include "solver/solve.h"
#include "tools/index_builder/index_builder.h"
#include "tools/simulator/simulator.hpp"

namespace {

namespace sim = kestil_simulator;
using bench_fields::Truth;

struct Options {
    const char* catalog = nullptr;
    const char* index = nullptr;
    double ra = 0, dec = 0, spread = 0;  // field centres within spread of (ra, dec)
    double field_min = 0, field_max = 0;
    int fields = 20, width = 3000, height = 2000, stars = 500;
    bool compare = false;
    const char* solve_dir = nullptr;  // --solve: whole solves with the indexes of this folder
    unsigned seed = 1;
};

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--compare")) {
            o->compare = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        double d = std::strtod(v, nullptr);
        if (!std::strcmp(a, "--catalog")) o->catalog = v;
        else if (!std::strcmp(a, "--index")) o->index = v;
        else if (!std::strcmp(a, "--ra")) o->ra = d;
        else if (!std::strcmp(a, "--dec")) o->dec = d;
        else if (!std::strcmp(a, "--spread")) o->spread = d;
        else if (!std::strcmp(a, "--field-min")) o->field_min = d;
        else if (!std::strcmp(a, "--field-max")) o->field_max = d;
        else if (!std::strcmp(a, "--fields")) o->fields = std::atoi(v);
        else if (!std::strcmp(a, "--stars")) o->stars = std::atoi(v);
        else if (!std::strcmp(a, "--seed")) o->seed = static_cast<unsigned>(std::atoi(v));
        else if (!std::strcmp(a, "--solve")) o->solve_dir = v;
        else return false;
    }
    return o->catalog && (o->index || o->solve_dir) && o->stars > 0 && o->stars <= SOLVER_MAX_IMAGE_STARS;
}


// Processor seconds spent in one function.
struct Timer {
    const char* name;
    double seconds = 0;
    long calls = 0;
};

using stage_identity::timed;

// --solve: renders fields of the catalogue with the simulator (3 pixels FWHM, noise, a few hot
// pixels, random centre, angle, parity and size in the field range), solves each blind through
// kestil_solver_solve, then compares the quad stages of the solve's star list (the image read
// and binned as the solve reads it) against every index of the folder. Returns the number of
// stages whose forms differ.
int compare_solves(const Options& o, const CsvCatalog& csv) {
    SolveRequest request;
    kestil_solver_default_request(&request);
    std::snprintf(request.index_dir, sizeof request.index_dir, "%s", o.solve_dir);
    request.cpu_limit = 60;
    std::mt19937 random(o.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    stage_identity::Buffers buffers;
    stage_identity::Totals totals;
    int solved = 0;
    double solve_time = 0;
    std::vector<ImageStar> stars(SOLVER_MAX_IMAGE_STARS);
    for (int f = 0; f < o.fields; ++f) {
        sim::SimulatorSettings s;
        double r = o.spread * std::sqrt(unit(random)), phi = 2 * pi * unit(random);
        s.wcs.dec_deg = o.dec + r * std::sin(phi);
        s.wcs.ra_deg = std::fmod(
            o.ra + r * std::cos(phi) / std::cos(s.wcs.dec_deg * rad_per_deg) + 360.0, 360.0);
        double field = o.field_min * std::pow(o.field_max / o.field_min, unit(random));
        s.wcs.width = o.width;
        s.wcs.height = o.height;
        s.wcs.scale_arcsec = field * 3600.0 / std::sqrt(double(o.width) * o.height);
        s.wcs.angle_deg = 360.0 * unit(random);
        s.wcs.parity = unit(random) < 0.5 ? 1 : -1;
        s.flux_mag10 = 2000.0 * (10.0 / field) * (10.0 / field);
        s.hot_pixels = 20;
        s.seed = static_cast<uint64_t>(f + 1);
        std::vector<CsvStar> catalog = sim::select_cone(csv.stars, csv.count, s.wcs.ra_deg,
                                                        s.wcs.dec_deg, s.wcs.field_radius_deg());
        sim::SkyImage sky = sim::render_sky(s, catalog.data(), catalog.size());
        std::vector<uint8_t> bytes;
        const char* message = nullptr;
        if (!sim::encode_image(sky, s, sim::ImageFormat::fits16, 0, &bytes, &message)) {
            std::fprintf(stderr, "%s\n", message);
            return 1;
        }
        SolverSolution solution{};
        kestil_solver_solve(&request, bytes.data(), static_cast<uint32_t>(bytes.size()),
                            &solution);
        solve_time += solution.time;
        solved += solution.solved;
        int32_t bin = 0, width = 0, height = 0;
        bool bayer = false;
        HeapBlock<SolverImage> image(kestil_solver_load_image(
            bytes.data(), static_cast<int32_t>(bytes.size()), request.downsample, &bin, &width,
            &height, &bayer, &message));
        int count = image ? kestil_solver_image_stars(image.get(), stars.data()) : 0;
        int indexes = 0;
        int differences = image ? stage_identity::compare_request(
                                      request, stars.data(), count,
                                      static_cast<int32_t>(image->width),
                                      static_cast<int32_t>(image->height), &buffers, &totals,
                                      &indexes)
                                : 0;
        std::printf("field %2d: FOV %6.3f° %s; %d stars, %d indexes: %s\n", f + 1, field,
                    solution.solved ? "solved" : solution.message, count, indexes,
                    differences == 0 ? "stages identical" : "stages DIFFER");
    }
    std::printf("%d of %d solved in %.3f s; %ld stages compared (%ld quads, %ld matches kept): "
                "quad build %.3f s fast, %.3f s reference; quad matching %.3f s fast, %.3f s "
                "reference; %d differences\n",
                solved, o.fields, solve_time, totals.stages, totals.quads, totals.matches,
                totals.quads_fast, totals.quads_reference, totals.match_fast,
                totals.match_reference, totals.differences);
    return totals.differences;
}

struct Result {
    bool ok;
    float ra, dec, angle, scale, rms;
    int32_t parity, matched;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fputs("Usage: engine_bench --catalog CSV --index ZEPH [--ra --dec --spread DEG]\n"
                   "       [--field-min --field-max DEG] [--fields N] [--stars N] [--seed N]\n"
                   "       [--compare]\n"
                   "       engine_bench --catalog CSV --solve INDEX_DIR [the same field options]\n",
                   stderr);
        return 2;
    }
    const char* message = nullptr;
    CsvCatalog csv{};
    if (!read_catalog_csv(o.catalog, INFINITY, &csv, nullptr, &message)) {
        std::fprintf(stderr, "%s: %s\n", o.catalog, message);
        return 1;
    }
    if (o.solve_dir) {
        if (o.field_min <= 0) o.field_min = 2, o.field_max = 4.5;
        int differences = compare_solves(o, csv);
        free_catalog_csv(&csv);
        return differences == 0 ? 0 : 1;
    }
    IndexFile index{};
    if (!kestil_solver_load_index(o.index, &index)) return 1;
    if (o.field_min <= 0) index_field_range(index.scale, &o.field_min, &o.field_max);
    stage_identity::Buffers buffers;
    stage_identity::Totals totals;
    std::vector<StarMatch> pairs(SOLVER_MAX_STAR_MATCHES);
    Timer t_stars{"match_stars"}, t_fit{"compute_center"};
    std::mt19937 random(o.seed);
    int solved = 0;
    for (int f = 0; f < o.fields; ++f) {
        Truth t = bench_fields::random_field(o.ra, o.dec, o.spread, o.field_min, o.field_max,
                                             o.width, o.height, random);
        std::vector<ImageStar> stars = bench_fields::field_stars(csv.stars, csv.count, o.width, o.height, 99.0,
                                      static_cast<size_t>(o.stars), t, random);
        int32_t stages[SOLVER_MAX_STAGES];
        int32_t n = kestil_solver_stage_table(0, static_cast<int32_t>(stars.size()), stages);
        int32_t cell = std::max(o.width, o.height) / SOLVER_QUAD_GRID;
        Result res{};
        int used_stage = 0;
        for (int s = 0; s < n && !res.ok && stars.size() >= 4; ++s) {
            uint32_t nm = 0;
            if (o.compare) {
                if (!stage_identity::compare_stage(stars.data(), stages[s], o.width, o.height,
                                                   &index, &buffers, &totals, &nm))
                    std::printf("field %d stage %d: the forms differ\n", f + 1, s + 1);
            } else {
                int32_t occupied = 0;
                uint32_t nq = 0;
                totals.quads_fast += timed([&] {
                    nq = kestil_solver_build_image_quads(stars.data(), stages[s], o.width,
                                                         o.height, cell, &occupied,
                                                         buffers.quads.data());
                });
                totals.match_fast += timed([&] {
                    nm = kestil_solver_match_quads(buffers.quads.data(), nq, &index,
                                                   buffers.matches.data(), nullptr);
                });
                ++totals.stages;
                totals.quads += nq;
                totals.matches += nm;
            }
            int32_t np = 0;
            t_stars.seconds += timed([&] {
                np = kestil_solver_match_stars(buffers.matches.data(), nm, pairs.data(), nullptr);
            });
            ++t_stars.calls;
            t_fit.seconds += timed([&] {
                res.ok = kestil_solver_compute_center(pairs.data(), np, o.width, o.height, &res.ra,
                                                      &res.dec, &res.angle, &res.scale,
                                                      &res.parity, &res.matched, &res.rms);
            });
            ++t_fit.calls;
            used_stage = s + 1;
        }
        double error_px = 1e9;
        if (res.ok) {
            double d1 = double(res.dec), d2 = t.dec * rad_per_deg;
            double dra = double(res.ra) - t.ra * rad_per_deg;
            double h = std::pow(std::sin((d1 - d2) / 2), 2) +
                       std::cos(d1) * std::cos(d2) * std::pow(std::sin(dra / 2), 2);
            error_px = 2 * std::asin(std::sqrt(h)) / (t.scale * rad_per_deg);
        }
        bool ok = res.ok && error_px < 2.0 &&
                  std::fabs(res.scale / (t.scale * rad_per_deg) - 1) < 0.01;
        solved += ok;
        double field = t.scale * std::sqrt(double(o.width) * o.height);
        std::printf("field %2d: FOV %6.3f° %3zu stars: %s at stage %d\n", f + 1, field,
                    stars.size(), ok ? "solved" : "FAILED", used_stage);
    }
    std::printf("%d of %d solved; %ld quads, %ld quad matches kept\n", solved, o.fields,
                totals.quads, totals.matches);
    std::printf("%-20s %6s %11s %11s %8s\n", "stage", "calls", "fast CPU s", "ref CPU s",
                "speed-up");
    auto row = [&](const char* name, long calls, double fast, double reference) {
        if (o.compare && reference > 0)
            std::printf("%-20s %6ld %11.3f %11.3f %8.1f\n", name, calls, fast, reference,
                        reference / std::max(fast, 1e-9));
        else
            std::printf("%-20s %6ld %11.3f\n", name, calls, fast);
    };
    row("build_image_quads", totals.stages, totals.quads_fast, totals.quads_reference);
    row("match_quads", totals.stages, totals.match_fast, totals.match_reference);
    row(t_stars.name, t_stars.calls, t_stars.seconds, 0);
    row(t_fit.name, t_fit.calls, t_fit.seconds, 0);
    std::printf("total %.3f s\n",
                totals.quads_fast + totals.match_fast + t_stars.seconds + t_fit.seconds);
    if (o.compare) std::printf("%d differences\n", totals.differences);
    const int differences = totals.differences;
    kestil_solver_release_index(&index);
    free_catalog_csv(&csv);
    return differences == 0 ? 0 : 1;
}
