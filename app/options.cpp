// app/options.cpp - the command line of kestil_solver: help text and run settings
#include "app/options.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "framework/files.h"
#include "framework/handles.hpp"
#include "framework/sexagesimal.h"
#include "solver/index/index_download.h"
#include "solver/index/published_indexes.h"

extern "C" {
const char* const program_name = "kestil_solver";
}

namespace {

// Version shown by the help; the same numbers kestil_get_version reports.
constexpr int version_major = 3;
constexpr int version_minor = 0;
constexpr const char* version_build = "11";

// The quad scales of the published indexes, degrees, in their table order.
static_assert(static_cast<int>(PUBLISHED_INDEX_COUNT) == static_cast<int>(SOLVER_SCALE_COUNT));
float index_scale(size_t i) { return published_scales[i].scale; }
constexpr size_t scale_list_capacity = 256;  // a scale list is read up to 255 bytes

// Defaults of the run settings.
constexpr double default_epoch = 2000.0;
constexpr double default_scale_hint = 0.0;
constexpr double default_radius = 0.0;
constexpr int default_parity = 0;
constexpr int default_downsample = 2;
constexpr int default_depth = 0;
constexpr double default_cpu_limit = 180.0;

const char* const mode_names[] = {"", "--list", "--download", "--remove"};
const char* const format_names[] = {"text", "json", "xml", "wcs"};

enum class Option {
    index_dir, index, scale, ra, dec, radius, epoch, parity, downsample, depth, cpu_limit,
    format, download, remove, index_url, new_fits, annotate, jobs
};

struct OptionName {
    const char* short_form;  // null when the option has none
    const char* long_form;
    Option option;
};

constexpr OptionName option_table[] = {
    {"-i", "--index-dir", Option::index_dir},   {"-x", "--index", Option::index},
    {"-s", "--scale", Option::scale},           {"-r", "--ra", Option::ra},
    {"-d", "--dec", Option::dec},               {"-R", "--radius", Option::radius},
    {"-e", "--epoch", Option::epoch},           {"-p", "--parity", Option::parity},
    {"-D", "--downsample", Option::downsample}, {"-t", "--depth", Option::depth},
    {"-c", "--cpu-limit", Option::cpu_limit},   {"-f", "--format", Option::format},
    {nullptr, "--download", Option::download},  {nullptr, "--remove", Option::remove},
    {nullptr, "--index-url", Option::index_url}, {nullptr, "--new-fits", Option::new_fits},
    {nullptr, "--annotate", Option::annotate},  {"-j", "--jobs", Option::jobs},
};

// The options without a value.
enum class Flag {
    verbose, very_verbose, list, no_extended_search, no_header_hints, sip, list_matches, batch
};

struct FlagName {
    const char* short_form;  // null when the flag has none
    const char* long_form;   // null when the flag has none
    Flag flag;
};

constexpr FlagName flag_table[] = {
    {"-v", "--verbose", Flag::verbose},
    {"-vv", nullptr, Flag::very_verbose},
    {"-l", "--list", Flag::list},
    {nullptr, "--no-extended-search", Flag::no_extended_search},
    {nullptr, "--no-header-hints", Flag::no_header_hints},
    {nullptr, "--sip", Flag::sip},
    {nullptr, "--list-matches", Flag::list_matches},
    {nullptr, "--batch", Flag::batch},
};

const FlagName* find_flag(const char* argument) {
    for (const FlagName& entry : flag_table)
        if ((entry.short_form && strcmp(argument, entry.short_form) == 0) ||
            (entry.long_form && strcmp(argument, entry.long_form) == 0))
            return &entry;
    return nullptr;
}

// An argument that names an image: not beginning with "-", or "-" alone.
bool is_image_argument(const char* argument) { return argument[0] != '-' || argument[1] == '\0'; }

// Whether "--batch" stands as an option among argv[from..argc-1], the values of the options
// that take one skipped as the parser skips them.
bool batch_follows(int argc, char** argv, int from) {
    for (int i = from; i < argc; ++i) {
        const FlagName* flag = find_flag(argv[i]);
        if (flag && flag->flag == Flag::batch) return true;
        if (!flag && !is_image_argument(argv[i])) ++i;
    }
    return false;
}

// The image paths of --batch runs: the texts of list files and the path arrays handed out in
// settings->image_files. Kept until the process ends (a test may parse many times).
std::deque<std::string> list_file_lines;
std::deque<std::vector<const char*>> image_path_arrays;

const OptionName* find_option(const char* argument) {
    for (const OptionName& entry : option_table)
        if ((entry.short_form && strcmp(argument, entry.short_form) == 0) ||
            strcmp(argument, entry.long_form) == 0)
            return &entry;
    return nullptr;
}

bool in_range(double value, double low, double high) { return value >= low && value <= high; }

void select_all_scales(SolverSettings* settings) {
    for (size_t i = 0; i < PUBLISHED_INDEX_COUNT; ++i) settings->scales[i] = index_scale(i);
    settings->scale_count = static_cast<int32_t>(PUBLISHED_INDEX_COUNT);
}

void set_defaults(SolverSettings* settings) {
    default_index_directory(settings->index_dir, sizeof settings->index_dir);
    select_all_scales(settings);
    settings->radius = default_radius;
    settings->epoch = default_epoch;
    settings->scale_hint = default_scale_hint;
    settings->parity = default_parity;
    settings->downsample = default_downsample;
    settings->depth = default_depth;
    settings->cpu_limit = default_cpu_limit;
    settings->output_format = FORMAT_TEXT;
    settings->run_mode = RUN_SOLVE;
}

bool set_format(const char* value, SolverSettings* settings) {
    for (int format = FORMAT_TEXT; format <= FORMAT_WCS; ++format)
        if (strcmp(value, format_names[format]) == 0) {
            settings->output_format = format;
            return true;
        }
    return false;
}

// Parses and checks the value of one option into the settings; false when it is invalid.
bool apply_value(Option option, const char* value, SolverSettings* settings) {
    double real = 0.0;
    int integer = 0;
    switch (option) {
    case Option::index_dir:
        snprintf(settings->index_dir, sizeof settings->index_dir, "%s", value);
        return true;
    case Option::index:
    case Option::download:
    case Option::remove:
        return parse_scale_list(value, settings);
    case Option::scale:
        if (!parse_real_value(value, &real) || !in_range(real, 0.0, 5.0)) return false;
        settings->scale_hint = real;
        return true;
    case Option::ra:
        settings->ra_set = parse_angle_value(value, &real) && real >= 0.0 && real < 24.0;
        settings->ra = real;
        return settings->ra_set;
    case Option::dec:
        settings->dec_set = parse_angle_value(value, &real) && in_range(real, -90.0, 90.0);
        settings->dec = real;
        return settings->dec_set;
    case Option::radius:
        if (!parse_real_value(value, &real) || !in_range(real, 0.0, 360.0)) return false;
        settings->radius = real;
        return true;
    case Option::epoch:
        if (!parse_real_value(value, &real) || (real != 0.0 && real != 2000.0)) return false;
        settings->epoch = real;
        return true;
    case Option::parity:
        if (!parse_int_value(value, &integer) || integer < -1 || integer > 1) return false;
        settings->parity = integer;
        return true;
    case Option::downsample:
        if (!parse_int_value(value, &integer) || integer < 1 || integer > 16) return false;
        settings->downsample = integer;
        settings->downsample_set = true;
        return true;
    case Option::depth:
        if (!parse_int_value(value, &integer) || integer < 0 || integer > 1000) return false;
        settings->depth = integer;
        return true;
    case Option::cpu_limit:
        if (!parse_real_value(value, &real) || real < 0.0) return false;
        settings->cpu_limit = real;
        return true;
    case Option::format:
        return set_format(value, settings);
    case Option::index_url:
        if (value[0] == '\0') return false;
        settings->index_url = value;
        return true;
    case Option::new_fits:
        if (value[0] == '\0') return false;
        settings->new_fits = value;
        return true;
    case Option::annotate:
        if (value[0] == '\0') return false;
        settings->annotate = value;
        return true;
    case Option::jobs:
        if (!parse_int_value(value, &integer) || integer < 1) return false;
        settings->jobs = integer;
        return true;
    }
    return false;
}

bool fail_two_modes() {
    fprintf(stderr, "%s: only one of --list, --download and --remove can be given\n",
            program_name);
    return false;
}

// Applies one option without a value; false after the "only one of" line.
bool apply_flag(Flag flag, const char* argument, SolverSettings* settings) {
    switch (flag) {
    case Flag::verbose:
        settings->verbosity += 1;
        return true;
    case Flag::very_verbose:
        settings->verbosity += 2;
        return true;
    case Flag::list:
        if (settings->run_mode != RUN_SOLVE) return fail_two_modes();
        settings->run_mode = RUN_LIST;
        return true;
    case Flag::no_extended_search:
        settings->no_extended_search = true;
        break;
    case Flag::no_header_hints:
        settings->no_header_hints = true;
        break;
    case Flag::sip:
        settings->sip = true;
        break;
    case Flag::list_matches:
        settings->list_matches = true;
        break;
    case Flag::batch:
        settings->batch = true;
        break;
    }
    settings->solve_option = argument;
    return true;
}

// The checks of a solve that involve the options of a batch.
bool check_batch_combination(const SolverSettings* settings, const char* jobs_option) {
    const char* refused = nullptr;
    if (!settings->batch) {
        if (!jobs_option) return true;
        fprintf(stderr, "%s: '%s' can be used with --batch only\n", program_name, jobs_option);
        return false;
    }
    if (settings->new_fits) refused = "--new-fits";
    else if (settings->annotate) refused = "--annotate";
    else if (settings->output_format == FORMAT_WCS) refused = "the wcs format";
    if (!refused) return true;
    fprintf(stderr, "%s: %s can't be used with --batch\n", program_name, refused);
    return false;
}

// The checks that need the whole command line.
bool check_combination(const SolverSettings* settings, const char* jobs_option) {
    if (settings->index_url && settings->run_mode != RUN_DOWNLOAD) {
        fprintf(stderr, "%s: --index-url can be used with --download only\n", program_name);
        return false;
    }
    if (settings->run_mode != RUN_SOLVE) {
        const char* mode = mode_names[settings->run_mode];
        if (settings->image_file) {
            fprintf(stderr, "%s: an image file can't be solved with %s\n", program_name, mode);
            return false;
        }
        if (settings->solve_option) {
            fprintf(stderr, "%s: '%s' can't be used with %s\n", program_name,
                    settings->solve_option, mode);
            return false;
        }
        return true;
    }
    if (!settings->image_file) {
        fprintf(stderr, "%s: no image file given, see '%s -h'\n", program_name, program_name);
        return false;
    }
    if (settings->radius > 0.0 && !(settings->ra_set && settings->dec_set)) {
        fprintf(stderr, "%s: the search radius needs both the RA and the Dec hint\n",
                program_name);
        return false;
    }
    return check_batch_combination(settings, jobs_option);
}

// Given:  path   a list file: one image path per line; empty lines, lines of blanks and lines
//                beginning with "#" are skipped; the line end ("\n", "\r\n") is not part of the path
// Returned: images   the paths appended (kept in list_file_lines)
// Result: true; false after "can't read the image list" with the system's reason
bool read_image_list(const char* path, std::vector<const char*>* images) {
    FileHandle file(fopen(path, "r"));
    int error = errno;
    char* line = nullptr;
    size_t capacity = 0;
    if (file) {
        ssize_t length = 0;
        while ((length = getline(&line, &capacity, file.get())) >= 0) {
            while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
                line[--length] = '\0';
            if (line[0] == '#' || strspn(line, " \t") == static_cast<size_t>(length)) continue;
            list_file_lines.emplace_back(line);
            images->push_back(list_file_lines.back().c_str());
        }
        error = errno;
        free(line);
        if (!ferror(file.get())) return true;
    }
    fprintf(stderr, "%s: can't read the image list '%s': %s\n", program_name, path,
            strerror(error));
    return false;
}

// Given:  arguments   the image arguments of a --batch solve in their order; "@FILE" names a
//                     list file
// Returned: settings->image_files, image_file_count, image_file   every image path in order
// Result: true; false after a list can't be read or when there is no image at all
bool collect_batch_images(const std::vector<const char*>& arguments, SolverSettings* settings) {
    std::vector<const char*>& images = image_path_arrays.emplace_back();
    for (const char* argument : arguments) {
        if (argument[0] != '@')
            images.push_back(argument);
        else if (!read_image_list(argument + 1, &images))
            return false;
    }
    if (images.empty()) {
        fprintf(stderr, "%s: no image file given, see '%s -h'\n", program_name, program_name);
        return false;
    }
    settings->image_files = images.data();
    settings->image_file_count = static_cast<int32_t>(images.size());
    settings->image_file = images[0];
    return true;
}

}  // namespace

extern "C" {

void default_index_directory(char* buffer, size_t size) {
    const char* base = getenv("KESTIL_CACHE_BASE");
    if (base)
        snprintf(buffer, size, "%s/solver", base);
    else
        snprintf(buffer, size, "%s/.kestil/solver", kestil_uni_home_folder());
}

void print_help(void) {
    char index_dir[SOLVER_PATH_SIZE];
    default_index_directory(index_dir, sizeof index_dir);
    printf("KESTIL Solver v.%d.%d-%s built on %s %s.\n", version_major, version_minor,
           version_build, __DATE__, __TIME__);
    printf("Finds where in the sky an image points, from the stars it shows.\n\n");
    printf("Plate solves an image file with the indexes of the Solvane Agent.\n\n");
    printf("Usage: %s [options] image_file\n", program_name);
    printf("       %s [options] --batch [-j <n>] image_file|@list_file ...\n", program_name);
    printf("       %s [-i <dir>] -l | --download <scales> | --remove <scales>\n\n", program_name);
    printf("The image can be KESTIL RAW, FITS, JPEG or a camera raw file.\n\n");
    printf("Options:\n");
    printf("  -i, --index-dir <dir>     directory with the index files (default: %s)\n", index_dir);
    printf("  -x, --index <scales>      comma separated quad scales of the indexes to use, in "
           "degrees (default: all installed of");
    for (size_t i = 0; i < PUBLISHED_INDEX_COUNT; ++i)
        printf("%s%g", i == 0 ? " " : ",", static_cast<double>(index_scale(i)));
    printf(")\n");
    printf("  -s, --scale <deg>         pixel scale hint in degrees per pixel, 0 = unknown "
           "(default: %g)\n", default_scale_hint);
    printf("  -r, --ra <hours>          RA hint in hours, decimal or h:m:s (default: none)\n");
    printf("  -d, --dec <deg>           Dec hint in degrees, decimal or d:m:s (default: none)\n");
    printf("  -R, --radius <deg>        search radius around the RA/Dec hint in degrees, "
           "0 = whole sky (default: %g)\n", default_radius);
    printf("  -e, --epoch <epoch>       epoch of the hint and the solution, 2000 = J2000, "
           "0 = JNow (default: %g)\n", default_epoch);
    printf("  -p, --parity <parity>     accept only solutions of this parity, -1, 1 or 0 = any "
           "(default: %d)\n", default_parity);
    printf("  -D, --downsample <n>      bin the image n x n before the star detection, 1 = none "
           "(default: %d)\n", default_downsample);
    printf("  -t, --depth <n>           try the n brightest stars first and then all, "
           "0 = 40, 100 and all (default: %d)\n", default_depth);
    printf("  -c, --cpu-limit <sec>     give up after this many seconds, 0 = no limit "
           "(default: %g)\n", default_cpu_limit);
    printf("  -f, --format <format>     output format of the result, text, json, xml or wcs "
           "(default: text)\n");
    printf("      --no-extended-search  stop when the stages have found nothing; by default an "
           "extended search\n");
    printf("                            follows, in which every quad proposes a solution that "
           "the stars of the whole\n");
    printf("                            field must confirm (with the unbinned image's stars when "
           "-D is not given)\n");
    printf("      --no-header-hints     ignore the position and scale cards of a FITS header\n");
    printf("      --sip                 fit lens distortion terms: wcs writes RA---TAN-SIP cards, "
           "json adds the rms with\n");
    printf("                            and without them\n");
    printf("      --list-matches        json: list the verified star matches as \"matched\"\n");
    printf("      --new-fits <file>     write a FITS copy of the image with the solution's WCS "
           "cards to this file\n");
    printf("      --annotate <file>     draw the solve over the image into this PNG file\n");
    printf("      --batch               solve every image file given and those of each @list_file "
           "(one path a line,\n");
    printf("                            # comments), with the indexes loaded once\n");
    printf("  -j, --jobs <n>            with --batch, solve n images at once (default: one per "
           "processor)\n");
    printf("  -v, --verbose             report the progress and errors, -vv adds the debug log\n");
    printf("  -h, --help                show this help\n\n");
    printf("Index management:\n");
    printf("  -l, --list                list the published indexes and the ones installed in the "
           "index directory\n");
    printf("      --download <scales>   download the indexes of the comma separated quad scales "
           "or all, valid\n");
    printf("                            installed indexes are kept, invalid ones replaced\n");
    printf("      --remove <scales>     remove the installed indexes of the comma separated quad "
           "scales or all\n");
    printf("      --index-url <url>     download the indexes from this URL (default:\n");
    printf("                            %s)\n\n", kestil_default_index_url);
    printf("With json or xml the result, solved or not, is a single document on the standard "
           "output and the progress\n");
    printf("of -v goes to the standard error.\n\n");
    printf("With wcs the solution is a WCS FITS header on the standard output, like the .wcs "
           "files of other plate\n");
    printf("solvers, always in J2000; nothing is written to the standard output when the image "
           "is not solved.\n\n");
    printf("With --batch the results follow the order of the images: json writes one line "
           "per image, text a block\n");
    printf("per image that begins with its \"File:\" line, xml one document per image; wcs, "
           "--new-fits and --annotate\n");
    printf("can't be used. The exit code is 0 when every image is solved, 1 when one is not; "
           "an interrupt (Ctrl-C,\n");
    printf("SIGTERM) lets the images in progress finish, writes their results and ends with 130 "
           "or 143.\n\n");
    printf("The exit code is 0 when the image is solved, 1 when it is not and 2 on wrong "
           "arguments. With --list,\n");
    printf("--download and --remove it is 0 on success, 1 when an index can't be downloaded or "
           "removed or the\n");
    printf("download is interrupted and 2 on wrong arguments.\n");
}

bool parse_real_value(const char* text, double* value) {
    if (text[0] == '\0') return false;
    char* end = nullptr;
    errno = 0;
    double parsed = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

bool parse_int_value(const char* text, int* value) {
    double parsed = 0.0;
    if (!parse_real_value(text, &parsed)) return false;
    if (parsed != floor(parsed) || parsed < -2147483648.0 || parsed > 2147483647.0) return false;
    *value = static_cast<int>(parsed);
    return true;
}

bool parse_angle_value(const char* text, double* value) {
    if (text[0] == '\0') return false;
    bool digit = false;
    for (const char* p = text; *p; ++p) {
        if (*p >= '0' && *p <= '9')
            digit = true;
        else if (!strchr("+-.:", *p))
            return false;
    }
    if (!digit) return false;
    double parsed = kestil_stod(text);
    if (!isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

bool parse_scale_list(const char* text, SolverSettings* settings) {
    if (strcmp(text, "all") == 0) {
        select_all_scales(settings);
        return true;
    }
    char list[scale_list_capacity];
    snprintf(list, sizeof list, "%s", text);
    settings->scale_count = 0;
    char* save = nullptr;
    for (char* piece = strtok_r(list, ",", &save); piece; piece = strtok_r(nullptr, ",", &save)) {
        double parsed = 0.0;
        bool known = false;
        float scale = 0.0f;
        if (parse_real_value(piece, &parsed)) {
            scale = static_cast<float>(parsed);
            for (const PublishedIndex& row : published_scales) known = known || scale == row.scale;
        }
        if (!known) {
            fprintf(stderr, "%s: unknown index scale '%s'\n", program_name, piece);
            return false;
        }
        bool duplicate = false;
        for (int32_t i = 0; i < settings->scale_count; ++i)
            duplicate = duplicate || settings->scales[i] == scale;
        if (!duplicate) settings->scales[settings->scale_count++] = scale;
    }
    return settings->scale_count > 0;
}

bool parse_arguments(int argc, char** argv, SolverSettings* settings) {
    set_defaults(settings);
    std::vector<const char*> images;     // the image arguments in their order
    const char* jobs_option = nullptr;   // -j as typed
    int batch_later = -1;                // whether --batch follows; -1 = not looked yet
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (const FlagName* flag = find_flag(argument)) {
            if (!apply_flag(flag->flag, argument, settings)) return false;
            continue;
        }
        if (is_image_argument(argument)) {
            if (settings->image_file && !settings->batch) {
                if (batch_later < 0) batch_later = batch_follows(argc, argv, i + 1) ? 1 : 0;
                if (batch_later == 0) {
                    fprintf(stderr,
                            "%s: only one image file can be solved, '%s' and '%s' given\n",
                            program_name, settings->image_file, argument);
                    return false;
                }
            }
            if (!settings->image_file) settings->image_file = argument;
            images.push_back(argument);
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "%s: unknown option or missing value for '%s'\n", program_name,
                    argument);
            return false;
        }
        const OptionName* entry = find_option(argument);
        if (!entry) {
            fprintf(stderr, "%s: unknown option '%s'\n", program_name, argument);
            return false;
        }
        const char* value = argv[++i];
        switch (entry->option) {
        case Option::index_dir:
            apply_value(entry->option, value, settings);
            continue;
        case Option::download:
        case Option::remove:
            if (settings->run_mode != RUN_SOLVE) return fail_two_modes();
            settings->run_mode = entry->option == Option::download ? RUN_DOWNLOAD : RUN_REMOVE;
            break;
        case Option::index_url:
            break;
        case Option::jobs:
            jobs_option = argument;
            settings->solve_option = argument;
            break;
        default:
            settings->solve_option = argument;
            break;
        }
        if (!apply_value(entry->option, value, settings)) {
            fprintf(stderr, "%s: invalid value '%s' for '%s', see '%s -h'\n", program_name, value,
                    argument, program_name);
            return false;
        }
    }
    if (!check_combination(settings, jobs_option)) return false;
    return settings->run_mode != RUN_SOLVE || !settings->batch ||
           collect_batch_images(images, settings);
}

}  // extern "C"
