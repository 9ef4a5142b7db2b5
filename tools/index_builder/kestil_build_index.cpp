// tools/index_builder/kestil_build_index.cpp - command: build an index file from a catalogue
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/files.h"
#include "solver/index/index_file.h"
#include "solver/solver_types.h"
#include "tools/catalog/star_catalog.h"
#include "tools/index_builder/index_builder.h"

namespace {

const char usage[] =
    "Usage: kestil_build_index --catalog FILE --scale DEG (--output FILE | --dir DIR)\n"
    "                          [--ra DEG --dec DEG --radius DEG] [--field-min DEG --field-max DEG]\n"
    "                          [--finest-cell F --coarsest-cell F --neighbours N]\n"
    "                          [--variant-rings K --variant-radius DEG --variant-directions N\n"
    "                           --variant-levels L] [--format csv|tycho2|gaia|fits]\n"
    "                          [--columns RA,DEC,MAG] [--quiet]\n"
    "Builds the index of one quad scale from a star catalogue, plain or gzip: CSV (ra,dec,mag in\n"
    "degrees, J2000), Tycho-2 (tyc2.dat), a Gaia export (CSV or ECSV with ra, dec,\n"
    "phot_g_mean_mag) or a FITS table; the format is found from the content unless --format\n"
    "names it, --columns names the position and magnitude columns of a table. For the whole\n"
    "sky or the cone given by --ra, --dec and --radius. --dir\n"
    "names the file as the solver expects it (index-XXdeg-....zeph). Tuning: star density levels\n"
    "from a cell of F times the smallest field to F times the largest, and quads of each star\n"
    "with 3 of its N nearest neighbours (defaults by scale: 0.2 -> 0.36, 0.30, 4; 0.5 -> 0.30,\n"
    "0.30, 5; 1 -> 0.30, 0.30, 7; 2 -> 0.20, 0.30, 7; 5 -> 0.17, 0.30, 8; others 0.15, 0.30, 10).\n"
    "Code variants (default none): the quads of the L coarsest levels (1) coded again as seen\n"
    "from image centres on K rings around them, ring k at DEG * sqrt(k) (3.6) with k * N (12)\n"
    "centres.\n";

bool number(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    const char* catalog_path = nullptr;
    CatalogReadOptions read_options{CATALOG_FORMAT_AUTO, nullptr, INFINITY};
    const char* output = nullptr;
    const char* directory = nullptr;
    double scale = 0;
    IndexBuildOptions options{};
    options.progress = stderr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double v = 0;
        if (!std::strcmp(a, "--quiet")) {
            options.progress = nullptr;
            continue;
        }
        if (!std::strcmp(a, "--help")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!value) {
            std::fprintf(stderr, "kestil_build_index: %s needs a value\n%s", a, usage);
            return 2;
        }
        ++i;
        if (!std::strcmp(a, "--catalog")) catalog_path = value;
        else if (!std::strcmp(a, "--columns")) read_options.columns = value;
        else if (!std::strcmp(a, "--format") && parse_catalog_format(value, &read_options.format)) continue;
        else if (!std::strcmp(a, "--output")) output = value;
        else if (!std::strcmp(a, "--dir")) directory = value;
        else if (number(value, &v) && !std::strcmp(a, "--scale")) scale = v;
        else if (number(value, &v) && !std::strcmp(a, "--ra")) options.ra = v;
        else if (number(value, &v) && !std::strcmp(a, "--dec")) options.dec = v;
        else if (number(value, &v) && !std::strcmp(a, "--radius")) options.radius = v;
        else if (number(value, &v) && !std::strcmp(a, "--field-min")) options.field_min = v;
        else if (number(value, &v) && !std::strcmp(a, "--field-max")) options.field_max = v;
        else if (number(value, &v) && !std::strcmp(a, "--finest-cell")) options.finest_cell = v;
        else if (number(value, &v) && !std::strcmp(a, "--coarsest-cell")) options.coarsest_cell = v;
        else if (number(value, &v) && !std::strcmp(a, "--neighbours")) options.neighbours = static_cast<int>(v);
        else if (number(value, &v) && !std::strcmp(a, "--variant-rings")) options.variant_rings = static_cast<int>(v);
        else if (number(value, &v) && !std::strcmp(a, "--variant-radius")) options.variant_radius = v;
        else if (number(value, &v) && !std::strcmp(a, "--variant-directions")) options.variant_directions = static_cast<int>(v);
        else if (number(value, &v) && !std::strcmp(a, "--variant-levels")) options.variant_levels = static_cast<int>(v);
        else {
            std::fprintf(stderr, "kestil_build_index: bad option %s %s\n%s", a, value, usage);
            return 2;
        }
    }
    if (!catalog_path || scale <= 0 || (!output && !directory)) {
        std::fputs(usage, stderr);
        return 2;
    }
    options.scale = static_cast<float>(scale);
    char path[SOLVER_PATH_SIZE];
    if (output) {
        std::snprintf(path, sizeof path, "%s", output);
    } else {
        if (!kestil_uni_mkdir(directory)) {
            std::fprintf(stderr, "kestil_build_index: cannot create %s\n", directory);
            return 1;
        }
        SolverSettings settings{};
        std::snprintf(settings.index_dir, sizeof settings.index_dir, "%s", directory);
        index_file_name(path, sizeof path, &settings, options.scale);
    }
    const char* message = nullptr;
    if (options.progress) std::fprintf(stderr, "Reading %s\n", catalog_path);
    CsvCatalog catalog{};
    if (!read_star_catalog(catalog_path, &read_options, &catalog, &message)) {
        std::fprintf(stderr, "kestil_build_index: %s: %s\n", catalog_path, message);
        return 1;
    }
    IndexBuildReport report{};
    bool ok = build_index_file(catalog.stars, catalog.count, &options, path, &report, &message);
    free_catalog_csv(&catalog);
    if (!ok) {
        std::fprintf(stderr, "kestil_build_index: %s: %s\n", path, message);
        return 1;
    }
    std::printf("%s: scale %g°, %u stars, %u quads, %d levels, %llu bytes, built in %.2f s\n", path,
                scale, report.star_count, report.quad_count, report.levels,
                static_cast<unsigned long long>(report.file_size), report.seconds);
    return 0;
}
