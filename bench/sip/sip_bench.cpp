// bench/sip/sip_bench.cpp - the solved plate's corners without and with distortion terms
// Solves each image twice through the library with details: TAN only (SIP order 0) and with
// distortion terms up to the given order (default 3), and prints one JSON line per image with
// the sky positions of the image's four corners (FITS pixels (0.5, 0.5), (W + 0.5, 0.5),
// (0.5, H + 0.5), (W + 0.5, H + 0.5)) through each plate, the order fitted, the matches and the
// two rms values. bench/sip/run.py compares the corners with the simulator's truth.
// Usage: sip_bench --index-dir DIR [--order N] [--cpu-limit S] [--downsample N] IMAGE...
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "framework/angles.h"
#include "solver/engine/sip.h"
#include "solver/solve.h"

namespace {

struct Plate {
    bool solved = false;
    double seconds = 0.0;
    SolverWcs wcs{};
    double corners[4][2] = {};
    int32_t matches = 0, stars = 0, index_stars = 0;
    double rms_linear = 0.0, rms_fitted = 0.0;
};

bool read_file(const char* path, std::vector<char>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The TAN plate of the WCS header the command line writes for a solution.
SolverWcs reported_plate(const SolverSolution& solution) {
    SolverWcs wcs{};
    const double s = solution.scale, p = solution.parity == -1 ? -1.0 : 1.0;
    const double theta =
        (solution.parity == -1 ? solution.angle + 180.0 : solution.angle) * rad_per_deg;
    wcs.crpix[0] = (solution.image_width + 1) * 0.5;
    wcs.crpix[1] = (solution.image_height + 1) * 0.5;
    wcs.crval[0] = solution.ra_j2000 * deg_per_hour;
    wcs.crval[1] = solution.dec_j2000;
    wcs.cd[0][0] = -s * std::cos(theta);
    wcs.cd[0][1] = s * std::sin(theta) * p;
    wcs.cd[1][0] = s * std::sin(theta);
    wcs.cd[1][1] = s * std::cos(theta) * p;
    return wcs;
}

Plate solve(const SolveRequest& base, const std::vector<char>& bytes, int order) {
    SolveRequest request = base;
    SolveDetails details{};
    request.details = &details;
    request.sip_order = order;
    SolverSolution solution{};
    kestil_solver_solve(&request, bytes.data(), static_cast<uint32_t>(bytes.size()), &solution);
    Plate plate;
    plate.seconds = solution.time;
    plate.solved = solution.solved && details.solved;
    if (plate.solved) {
        // Without terms the plate the solver reports: -f wcs writes it from the solution's
        // centre, scale, angle and parity (the details' plate is refitted on every match).
        plate.wcs = order == 0 ? reported_plate(solution) : details.wcs;
        const double w = details.width, h = details.height;
        const double xy[4][2] = {{0.5, 0.5}, {w + 0.5, 0.5}, {0.5, h + 0.5}, {w + 0.5, h + 0.5}};
        for (int i = 0; i < 4; ++i)
            if (!kestil_solver_wcs_pixel_to_sky(&plate.wcs, xy[i][0], xy[i][1],
                                                &plate.corners[i][0], &plate.corners[i][1]))
                plate.solved = false;
        plate.matches = details.match_count;
        plate.stars = details.star_count;
        plate.index_stars = details.index_star_count;
        plate.rms_linear = details.rms_linear;
        plate.rms_fitted = details.rms_fitted;
    }
    kestil_solver_release_details(&details);
    return plate;
}

void print_plate(const char* name, const Plate& p) {
    std::printf("\"%s\": {\"solved\": %s, \"seconds\": %.3f", name, p.solved ? "true" : "false",
                p.seconds);
    if (p.solved) {
        std::printf(", \"order\": %d, \"matches\": %d, \"stars\": %d, \"index_stars\": %d, "
                    "\"rms_linear\": %.4f, \"rms_fitted\": %.4f, \"corners\": [",
                    p.wcs.sip_order, p.matches, p.stars, p.index_stars, p.rms_linear,
                    p.rms_fitted);
        for (int i = 0; i < 4; ++i)
            std::printf("%s[%.10f, %.10f]", i ? ", " : "", p.corners[i][0], p.corners[i][1]);
        std::printf("]");
    }
    std::printf("}");
}

int usage() {
    std::fprintf(stderr, "usage: sip_bench --index-dir DIR [--order N] [--cpu-limit S] [--downsample N] IMAGE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    SolveRequest base;
    kestil_solver_default_request(&base);
    int order = SOLVER_SIP_MAX_ORDER;
    base.cpu_limit = 60.0;
    base.header_hints = false;  // the simulated files carry their true WCS
    std::vector<const char*> images;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--index-dir") && has_value)
            std::snprintf(base.index_dir, sizeof base.index_dir, "%s", argv[++i]);
        else if (!std::strcmp(argv[i], "--order") && has_value)
            order = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--cpu-limit") && has_value)
            base.cpu_limit = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--downsample") && has_value) {
            base.downsample = std::atoi(argv[++i]);
            base.downsample_set = true;
        }
        else if (argv[i][0] == '-')
            return usage();
        else
            images.push_back(argv[i]);
    }
    if (images.empty() || order < 0 || order > SOLVER_SIP_MAX_ORDER) return usage();
    base.cache = kestil_solver_index_cache_create();
    for (const char* path : images) {
        std::vector<char> bytes;
        if (!read_file(path, &bytes)) {
            std::fprintf(stderr, "sip_bench: can't read %s\n", path);
            continue;
        }
        const Plate tan = solve(base, bytes, 0);
        const Plate sip = solve(base, bytes, order);
        std::printf("{\"image\": \"%s\", ", path);
        print_plate("tan", tan);
        std::printf(", ");
        print_plate("sip", sip);
        std::printf("}\n");
        std::fflush(stdout);
    }
    kestil_solver_index_cache_release(base.cache);
    return 0;
}
