// bench/engine/engine_bench.cpp - time of each matching-engine stage, fast against reference
// Makes random fields in the field range of an index from the catalogue the index was built
// from (gnomonic projection, random centre, rotation, mirror and size, 0.15 pixel centroid
// noise, the brightest --stars stars) and runs the engine's stages as the solve driver does:
// the quad build, the quad matching, the star matching and the fit, stage after stage until a
// fit is found. It reports the time spent in each function over all fields. With --compare
// the quad build and the quad matching are made twice, by the fast function and by its
// straightforward reference on the same input, the outputs compared byte for byte and both
// times reported (the star matching and the fit then get identical input).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "bench/common/synthetic_fields.hpp"
#include "solver/engine/image_quads.h"
#include "solver/engine/plate_fit.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_driver.h"
#include "solver/engine/star_match.h"
#include "solver/index/index_file.h"
#include "solver/solver_types.h"
#include "tools/index_builder/index_builder.h"
#include "tools/simulator/simulator.hpp"

namespace {

namespace sim = kestil_simulator;
using bench_fields::rad_per_deg;
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


// Seconds spent in one function, fast and reference.
struct Timer {
    const char* name;
    double fast = 0, reference = 0;
    long calls = 0;
};

// CPU time of the calling thread: less disturbed by other loads on a shared machine than the
// wall clock (the engine is single-threaded).
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <typename F>
double timed(F f) {
    double start = thread_seconds();
    f();
    return thread_seconds() - start;
}

// Every field of the quads (not the 4 padding bytes after y2, which no code reads).
bool same_quads(const ImageQuad* a, const ImageQuad* b, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (std::memcmp(&a[i], &b[i], offsetof(ImageQuad, y2) + sizeof(float)) != 0 ||
            std::memcmp(a[i].stars, b[i].stars, sizeof a[i].stars) != 0)
            return false;
    return true;
}

// --solve: renders fields of the catalogue with the simulator (3 pixels FWHM, noise, a few hot
// pixels, random centre, angle, parity and size in the field range) and solves each blind with
// the fast engine and with the reference engine; the two SolverSolution records must be equal
// byte for byte except the time. Returns the number of differences.
int compare_solves(const Options& o, const CsvCatalog& csv) {
    SolverSettings settings{};
    std::snprintf(settings.index_dir, sizeof settings.index_dir, "%s", o.solve_dir);
    const float scales[] = {0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f, 20.0f};
    std::copy(scales, scales + 7, settings.scales);
    settings.scale_count = 7;
    settings.epoch = 2000;
    settings.downsample = 2;
    settings.cpu_limit = 60;
    std::mt19937 random(o.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int differences = 0, solved = 0;
    double fast_time = 0, reference_time = 0;
    for (int f = 0; f < o.fields; ++f) {
        sim::SimulatorSettings s;
        double r = o.spread * std::sqrt(unit(random)), phi = 2 * M_PI * unit(random);
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
        std::vector<CsvStar> stars = sim::select_cone(csv.stars, csv.count, s.wcs.ra_deg,
                                                      s.wcs.dec_deg, s.wcs.field_radius_deg());
        sim::SkyImage sky = sim::render_sky(s, stars.data(), stars.size());
        std::vector<uint8_t> bytes;
        const char* message = nullptr;
        if (!sim::encode_image(sky, s, sim::ImageFormat::fits16, 0, &bytes, &message)) {
            std::fprintf(stderr, "%s\n", message);
            return 1;
        }
        SolverSolution fast{}, reference{};
        kestil_solver_use_reference_engine(false);
        kestil_solver_solve(&settings, bytes.data(), static_cast<uint32_t>(bytes.size()), &fast);
        kestil_solver_use_reference_engine(true);
        kestil_solver_solve(&settings, bytes.data(), static_cast<uint32_t>(bytes.size()),
                            &reference);
        kestil_solver_use_reference_engine(false);
        fast_time += fast.time;
        reference_time += reference.time;
        fast.time = reference.time = 0;
        bool same = std::memcmp(&fast, &reference, sizeof fast) == 0;
        differences += !same;
        solved += fast.solved;
        std::printf("field %2d: FOV %6.3f° %s, %s\n", f + 1, field,
                    fast.solved ? "solved" : fast.message, same ? "identical" : "DIFFERENT");
    }
    std::printf("%d of %d solved; wall time fast %.3f s, reference %.3f s; %d differences\n",
                solved, o.fields, fast_time, reference_time, differences);
    return differences;
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
    // Zeroed so that the byte comparison of whole buffers sees only what the calls wrote.
    std::vector<ImageQuad> quads(SOLVER_MAX_IMAGE_QUADS), quads_ref;
    std::vector<QuadMatch> matches(SOLVER_MAX_QUAD_MATCHES), matches_ref;
    std::vector<StarMatch> pairs(SOLVER_MAX_STAR_MATCHES);
    if (o.compare) {
        quads_ref = quads;
        matches_ref = matches;
    }
    Timer t_quads{"build_image_quads"}, t_match{"match_quads"}, t_stars{"match_stars"},
        t_fit{"compute_center"};
    std::mt19937 random(o.seed);
    int solved = 0, differences = 0;
    long total_quads = 0, total_matches = 0;
    double total = 0;
    for (int f = 0; f < o.fields; ++f) {
        Truth t = bench_fields::random_field(o.ra, o.dec, o.spread, o.field_min, o.field_max,
                                             o.width, o.height, random);
        std::vector<ImageStar> stars = bench_fields::field_stars(csv.stars, csv.count, o.width, o.height, 99.0,
                                      static_cast<size_t>(o.stars), t, random);
        int32_t stages[SOLVER_MAX_STAGES];
        int32_t n = solver_stage_table(0, static_cast<int32_t>(stars.size()), stages);
        int32_t cell = std::max(o.width, o.height) / SOLVER_QUAD_GRID;
        Result res{};
        int used_stage = 0;
        for (int s = 0; s < n && !res.ok && stars.size() >= 4; ++s) {
            int32_t occupied = 0, occupied_ref = 0;
            uint32_t nq = 0, nq_ref = 0;
            t_quads.fast += timed([&] {
                nq = kestil_solver_build_image_quads(stars.data(), stages[s], o.width, o.height,
                                                     cell, &occupied, quads.data());
            });
            ++t_quads.calls;
            total_quads += nq;
            if (o.compare) {
                t_quads.reference += timed([&] {
                    nq_ref = kestil_solver_build_image_quads_reference(
                        stars.data(), stages[s], o.width, o.height, cell, &occupied_ref,
                        quads_ref.data());
                });
                if (nq != nq_ref || occupied != occupied_ref ||
                    !same_quads(quads.data(), quads_ref.data(), nq)) {
                    std::printf("field %d stage %d: quads differ\n", f + 1, s + 1);
                    ++differences;
                }
            }
            uint32_t nm = 0, nm_ref = 0;
            t_match.fast += timed([&] {
                nm = kestil_solver_match_quads(quads.data(), nq, &index, matches.data(), nullptr);
            });
            ++t_match.calls;
            total_matches += nm;
            if (o.compare) {
                // The same image quads for both, so that the quad pointers compare equal.
                t_match.reference += timed([&] {
                    nm_ref = kestil_solver_match_quads_reference(quads.data(), nq, &index,
                                                                 matches_ref.data(), nullptr);
                });
                if (nm != nm_ref || std::memcmp(matches.data(), matches_ref.data(),
                                                matches.size() * sizeof(QuadMatch)) != 0) {
                    std::printf("field %d stage %d: quad matches differ\n", f + 1, s + 1);
                    ++differences;
                }
            }
            int32_t np = 0;
            t_stars.fast += timed(
                [&] { np = kestil_solver_match_stars(matches.data(), nm, pairs.data(), nullptr); });
            ++t_stars.calls;
            t_fit.fast += timed([&] {
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
                total_quads, total_matches);
    std::printf("%-20s %6s %11s %11s %8s\n", "stage", "calls", "fast CPU s", "ref CPU s",
                "speed-up");
    for (const Timer* t : {&t_quads, &t_match, &t_stars, &t_fit}) {
        total += t->fast;
        if (o.compare && t->reference > 0)
            std::printf("%-20s %6ld %11.3f %11.3f %8.1f\n", t->name, t->calls, t->fast,
                        t->reference, t->reference / std::max(t->fast, 1e-9));
        else
            std::printf("%-20s %6ld %11.3f\n", t->name, t->calls, t->fast);
    }
    std::printf("total %.3f s\n", total);
    if (o.compare) std::printf("%d differences\n", differences);
    kestil_solver_release_index(&index);
    free_catalog_csv(&csv);
    return differences == 0 ? 0 : 1;
}
