// tools/index_builder/kestil_build_index.cpp - command: build index files from a catalogue
// One or several published quad scales from one reading of the catalogue, one after the other,
// each on all processors. An index appears only complete: it is written under a temporary name
// in its directory and renamed into place; a failure removes the temporary file and a signal
// handler removes it on SIGINT, SIGTERM and SIGHUP before the signal ends the process.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/alloc.h"
#include "framework/clock.h"
#include "framework/files.h"
#include "solver/index/index_file.h"
#include "solver/index/published_indexes.h"
#include "solver/solver_types.h"
#include "tools/catalog/star_catalog.h"
#include "tools/index_builder/index_builder.h"

namespace {

const char usage[] =
    "Usage: kestil_build_index --catalog FILE --scale S (--output FILE | --dir DIR)\n"
    "                          [--ra DEG --dec DEG --radius DEG] [--field-min DEG --field-max DEG]\n"
    "                          [--finest-cell F --coarsest-cell F --neighbours N]\n"
    "                          [--variant-rings K --variant-radius DEG --variant-directions N\n"
    "                           --variant-levels L] [--threads N] [--force] [--quiet]\n"
    "                          [--format csv|tycho2|gaia|fits] [--columns RA,DEC,MAG]\n"
    "Builds the indexes of quad scales from a star catalogue, plain or gzip: CSV (ra,dec,mag in\n"
    "degrees, J2000), Tycho-2 (tyc2.dat), a Gaia export (CSV or ECSV with ra, dec,\n"
    "phot_g_mean_mag) or a FITS table; the format is found from the content unless --format\n"
    "names it, --columns names the position and magnitude columns of a table. For the whole\n"
    "sky or the cone given by --ra, --dec and --radius. S is a published scale (0.2, 0.5, 1,\n"
    "2, 5, 10 or 20 degrees), a comma list of them (1,2,5) or all; the catalogue is read once.\n"
    "--dir names the files as the solver expects them (index-XXdeg-....zeph); --output writes\n"
    "the index of one scale to FILE. With a list or all, a scale whose valid index is already\n"
    "in DIR is skipped, and --force builds it again. Each file is written under a temporary\n"
    "name beside it and renamed into place when complete; a failed or interrupted build leaves\n"
    "nothing behind. Work runs on N threads (default one per processor). Progress goes to the\n"
    "standard error (a bar per scale on a terminal, lines otherwise; --quiet: none), a line per\n"
    "index to the standard output. Exit status: 0 every index built or skipped, 1 a build\n"
    "failed, 2 wrong arguments.\n"
    "Tuning: star density levels from a cell of F times the smallest field to F times the\n"
    "largest, and quads of each star with 3 of its N nearest neighbours (defaults by scale:\n"
    "0.2 -> 0.36, 0.30, 6; 0.5 -> 0.30, 0.30, 5; 1 -> 0.30, 0.30, 7; 2 -> 0.20, 0.30, 7;\n"
    "5 -> 0.17, 0.30, 8; others 0.15, 0.30, 10). Code variants (default none): the quads of the\n"
    "L coarsest levels (1) coded again as seen from image centres on K rings around them, ring k\n"
    "at DEG * sqrt(k) (3.6) with k * N (12) centres.\n";

struct Arguments {
    const char* catalog_path = nullptr;
    const char* output = nullptr;
    const char* directory = nullptr;
    float scales[PUBLISHED_INDEX_COUNT] = {};
    int scale_count = 0;
    bool several = false;  // a list or all: existing valid indexes are kept
    bool force = false;
    bool quiet = false;
    IndexBuildOptions options{};
    CatalogReadOptions read_options{CATALOG_FORMAT_AUTO, nullptr, INFINITY};
};

bool number(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool published(float scale) {
    for (const PublishedIndex& row : published_scales)
        if (row.scale == scale) return true;
    return false;
}

// "all" or a comma list of published scales, each taken once. Result: 0, or 2 after a message.
int parse_scales(const char* text, Arguments* a) {
    a->scale_count = 0;
    a->several = !std::strcmp(text, "all") || std::strchr(text, ',');
    if (!std::strcmp(text, "all")) {
        for (const PublishedIndex& row : published_scales) a->scales[a->scale_count++] = row.scale;
        return 0;
    }
    char item[64];
    for (const char* at = text;; ++at) {
        size_t length = std::strcspn(at, ",");
        std::snprintf(item, sizeof item, "%.*s", static_cast<int>(length), at);
        double value = 0;
        bool parsed = length < sizeof item && number(item, &value);
        auto scale = static_cast<float>(value);
        if (!parsed || !published(scale)) {
            std::fprintf(stderr,
                         "kestil_build_index: scale '%s' is not a published index scale (0.2, "
                         "0.5, 1, 2, 5, 10, 20 or all)\n",
                         item);
            return 2;
        }
        bool seen = false;
        for (int i = 0; i < a->scale_count; ++i) seen = seen || a->scales[i] == scale;
        if (!seen) a->scales[a->scale_count++] = scale;
        at += length;
        if (*at == '\0') return 0;
    }
}

// An option with a number. Result: false when the name is not one of them.
bool numeric_option(const char* name, double v, IndexBuildOptions* o) {
    struct Option { const char* name; double* value; int32_t* whole; };
    const Option options[] = {{"--ra", &o->ra, nullptr},
                              {"--dec", &o->dec, nullptr},
                              {"--radius", &o->radius, nullptr},
                              {"--field-min", &o->field_min, nullptr},
                              {"--field-max", &o->field_max, nullptr},
                              {"--finest-cell", &o->finest_cell, nullptr},
                              {"--coarsest-cell", &o->coarsest_cell, nullptr},
                              {"--neighbours", nullptr, &o->neighbours},
                              {"--variant-rings", nullptr, &o->variant_rings},
                              {"--variant-radius", &o->variant_radius, nullptr},
                              {"--variant-directions", nullptr, &o->variant_directions},
                              {"--variant-levels", nullptr, &o->variant_levels},
                              {"--threads", nullptr, &o->threads}};
    for (const Option& option : options) {
        if (std::strcmp(name, option.name)) continue;
        if (option.value) *option.value = v;
        else *option.whole = static_cast<int32_t>(v);
        return true;
    }
    return false;
}

// Result: -1 to go on, 0 after the help, 2 after a message on wrong arguments.
int parse_arguments(int argc, char** argv, Arguments* a) {
    a->options.progress = stderr;
    const char* scale_text = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double v = 0;
        if (!std::strcmp(name, "--help")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!std::strcmp(name, "--quiet")) {
            a->quiet = true;
            a->options.progress = nullptr;
            continue;
        }
        if (!std::strcmp(name, "--force")) {
            a->force = true;
            continue;
        }
        if (!value) {
            std::fprintf(stderr, "kestil_build_index: %s needs a value\n%s", name, usage);
            return 2;
        }
        ++i;
        if (!std::strcmp(name, "--catalog")) a->catalog_path = value;
        else if (!std::strcmp(name, "--output")) a->output = value;
        else if (!std::strcmp(name, "--dir")) a->directory = value;
        else if (!std::strcmp(name, "--scale")) scale_text = value;
        else if (!std::strcmp(name, "--columns")) a->read_options.columns = value;
        else if (!std::strcmp(name, "--format") && parse_catalog_format(value, &a->read_options.format)) continue;
        else if (!number(value, &v) || !numeric_option(name, v, &a->options)) {
            std::fprintf(stderr, "kestil_build_index: bad option %s %s\n%s", name, value, usage);
            return 2;
        }
    }
    if (!a->catalog_path || !scale_text || (!a->output && !a->directory)) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (int status = parse_scales(scale_text, a)) return status;
    if (a->output && (a->several || a->directory)) {
        std::fputs("kestil_build_index: --output takes one scale and no --dir\n", stderr);
        return 2;
    }
    return -1;
}

// Progress of one scale on the standard error: a bar redrawn in place on a terminal, a line
// per tenth of the work otherwise.
struct ScaleProgress {
    float scale = 0;
    bool terminal = false;
    double start = 0;
    int tenths = -1;  // plain lines: the last tenth written
    double drawn = 0;  // terminal: time of the last drawing
};

// "m:ss"
void format_minutes(double seconds, char* text, size_t size) {
    auto whole = static_cast<long>(std::lround(std::max(0.0, seconds)));
    std::snprintf(text, size, "%ld:%02ld", whole / 60, whole % 60);
}

// The state after the percent: time left, "writing the file", or nothing at the end.
void show_progress(ScaleProgress* p, double fraction, bool finished) {
    double now = kestil_monotonic_time(), elapsed = now - p->start;
    int percent = finished ? 100 : std::min(99, static_cast<int>(fraction * 100.0));
    char spent[16], left[48] = "";
    format_minutes(elapsed, spent, sizeof spent);
    if (!finished && fraction >= 1.0) {
        std::snprintf(left, sizeof left, ", writing the file");
    } else if (!finished && fraction > 0.02) {
        char remaining[16];
        format_minutes(elapsed * (1.0 - fraction) / fraction, remaining, sizeof remaining);
        std::snprintf(left, sizeof left, ", about %s left", remaining);
    }
    if (p->terminal) {
        if (!finished && now - p->drawn < 0.2) return;
        p->drawn = now;
        char bar[25];
        int filled = percent * 24 / 100;
        for (int i = 0; i < 24; ++i) bar[i] = i < filled ? '#' : '.';
        bar[24] = '\0';
        std::fprintf(stderr, "\r%5g° [%s] %3d %%  %s elapsed%-24s%s", static_cast<double>(p->scale),
                     bar, percent, spent, left, finished ? "\n" : "");
    } else {
        int tenths = finished ? 11 : fraction >= 1.0 ? 10 : percent / 10;
        if (tenths == p->tenths) return;
        p->tenths = tenths;
        std::fprintf(stderr, "scale %g°: %d %%, %s elapsed%s\n", static_cast<double>(p->scale),
                     percent, spent, left);
    }
    std::fflush(stderr);
}

void on_progress(void* context, uint64_t done, uint64_t total) {
    show_progress(static_cast<ScaleProgress*>(context),
                  total ? static_cast<double>(done) / static_cast<double>(total) : 0.0, false);
}

// The temporary files of the index being written ("<temporary>" and the writer's own
// "<temporary>.tmp"), removed by the handler of the signals that end the process.
char unfinished[2][SOLVER_PATH_SIZE + 32];
std::atomic<bool> writing{false};

extern "C" void remove_unfinished(int signal_number) {
    if (writing.load()) {
        unlink(unfinished[0]);
        unlink(unfinished[1]);
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = remove_unfinished;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    // Past a file size limit, a write fails (and the build with it) instead of ending the
    // process with the temporary file left behind.
    signal(SIGXFSZ, SIG_IGN);
}

// Builds the index of one scale at path, under a temporary name beside it that is renamed into
// place when complete. Result: true when built; otherwise false after a message.
bool build_scale(const CsvCatalog& catalog, const Arguments& a, float scale, const char* path) {
    const char* message = nullptr;
    int length = std::snprintf(unfinished[0], sizeof unfinished[0], "%s.%ld.part", path,
                               static_cast<long>(getpid()));
    std::snprintf(unfinished[1], sizeof unfinished[1], "%s.tmp", unfinished[0]);
    if (length >= SOLVER_PATH_SIZE) {
        std::fprintf(stderr, "kestil_build_index: %s: the index path is too long\n", path);
        return false;
    }
    IndexBuildOptions options = a.options;
    options.scale = scale;
    ScaleProgress progress;
    progress.scale = scale;
    progress.terminal = isatty(STDERR_FILENO);
    progress.start = kestil_monotonic_time();
    if (!a.quiet) {
        options.progress_callback = on_progress;
        options.progress_context = &progress;
        if (progress.terminal) options.progress = nullptr;  // the bar only
        else std::fprintf(stderr, "Building scale %g° into %s\n", static_cast<double>(scale), path);
    }
    IndexBuildReport report{};
    writing = true;
    bool built = build_index_file(catalog.stars, catalog.count, &options, unfinished[0], &report,
                                  &message);
    if (built && std::rename(unfinished[0], path) != 0) {
        built = false;
        message = "the index file can't be installed";
        unlink(unfinished[0]);
    }
    writing = false;
    if (!a.quiet && built) show_progress(&progress, 1.0, true);
    if (!a.quiet && !built && progress.terminal) std::fputc('\n', stderr);
    if (!built) {
        std::fprintf(stderr, "kestil_build_index: %s: %s\n", path, message);
        return false;
    }
    std::printf("%s: scale %g°, %u stars, %u quads, %d levels, %llu bytes, built in %.2f s\n", path,
                static_cast<double>(scale), report.star_count, report.quad_count, report.levels,
                static_cast<unsigned long long>(report.file_size), report.seconds);
    std::fflush(stdout);
    return true;
}

// The paths of the scales to build; a scale of a list whose valid index is in place is left out
// with a line saying so, unless forced. Result: the number of scales to build.
int plan_builds(const Arguments& a, float* scales, char (*paths)[SOLVER_PATH_SIZE]) {
    SolverSettings settings{};
    if (a.directory) std::snprintf(settings.index_dir, sizeof settings.index_dir, "%s", a.directory);
    int count = 0;
    for (int i = 0; i < a.scale_count; ++i) {
        char* path = paths[count];
        if (a.output) std::snprintf(path, SOLVER_PATH_SIZE, "%s", a.output);
        else index_file_name(path, SOLVER_PATH_SIZE, &settings, a.scales[i]);
        if (a.several && !a.force && kestil_solver_index_valid(path, a.scales[i])) {
            std::printf("%s: scale %g°, a valid index is already there: skipped (--force builds it "
                        "again)\n",
                        path, static_cast<double>(a.scales[i]));
            continue;
        }
        scales[count++] = a.scales[i];
    }
    std::fflush(stdout);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    kestil_install_new_handler();
    Arguments a;
    if (int status = parse_arguments(argc, argv, &a); status >= 0) return status;
    if (a.directory && !kestil_uni_mkdir(a.directory)) {
        std::fprintf(stderr, "kestil_build_index: cannot create %s\n", a.directory);
        return 1;
    }
    float scales[PUBLISHED_INDEX_COUNT];
    char paths[PUBLISHED_INDEX_COUNT][SOLVER_PATH_SIZE];
    int count = plan_builds(a, scales, paths);
    if (count == 0) return 0;
    install_signal_handlers();
    const char* message = nullptr;
    if (!a.quiet) std::fprintf(stderr, "Reading %s\n", a.catalog_path);
    CsvCatalog catalog{};
    if (!read_star_catalog(a.catalog_path, &a.read_options, &catalog, &message)) {
        std::fprintf(stderr, "kestil_build_index: %s: %s\n", a.catalog_path, message);
        return 1;
    }
    int status = 0;
    for (int i = 0; i < count; ++i)
        if (!build_scale(catalog, a, scales[i], paths[i])) status = 1;
    free_catalog_csv(&catalog);
    return status;
}
