// bench/identity/solve_identity.cpp - proves on real image files that the fast hot paths give
// the same results as the straightforward forms.
//
// For each image file:
//  (a) stars: the image is read as the solver reads it (kestil_solver_load_image, once for each
//      binning that the solves use); the star list of the product's path
//      (kestil_solver_image_stars: the fast noise filter and the fast detector) is compared byte
//      for byte, count included, with the list that the straightforward filter and detector of
//      this folder give. Each stage is also compared on its own (the filtered pixels; the
//      detector's records on the same filtered image), so that a difference is traced to the
//      stage that makes it.
//  (b) solves: the file is solved through kestil_solver_solve; then the engine's quad build and
//      quad matching are compared with their straightforward forms on that star list, for each
//      stage of the solve's table and each index of its scales (bench/common/stage_identity.hpp).
// The rest of a solve is one code path given the stars and the kept quad matches, so (a) and
// (b) together show the whole chain from the file to the solution identical. Exit status 1 on
// any difference or unreadable image, 2 on a bad command line, 0 otherwise.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/solve_run.h"
#include "bench/common/stage_identity.hpp"
#include "bench/identity/reference_noise_filter.hpp"
#include "bench/identity/reference_star_detector.hpp"
#include "framework/clock.h"
#include "framework/handles.hpp"
#include "framework/star_detector.h"
#include "solver/image/noise_filter.h"
#include "solver/image/solver_image.h"
#include "solver/solve.h"
#include "solver/stars/image_stars.h"

namespace {

// The detector's settings of kestil_solver_image_stars (solver/stars/image_stars.cpp). Should
// they drift apart, the comparison of the whole star list with the product's reports it.
constexpr int detection_radius = 16;
constexpr double detection_threshold = 3.5;

constexpr long max_file_size = 2000L * 1000 * 1000;

// The options of one solve and the name it is reported under.
struct SolveSet {
    std::string name;
    std::vector<std::string> options;
};

struct Options {
    std::vector<std::string> solver_options;  // given to every solve
    std::vector<SolveSet> solve_sets;         // one solve per set
    std::vector<std::string> images;
};

struct Totals {
    int images = 0;
    int unreadable = 0;
    long stars = 0;
    int solves = 0;
    int solved = 0;
    int differences = 0;
    double fast_star_seconds = 0.0;  // the product's star list, wall clock
    double reference_star_seconds = 0.0;
    double solve_seconds = 0.0;  // as the solutions report them
    stage_identity::Totals stages;  // the quad stages, processor time
};

// The product's star list of the image at one binning, and the working image's size.
struct StarList {
    int32_t downsample = 0;
    std::vector<ImageStar> stars;
    int32_t width = 0, height = 0;
};

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

bool read_list(const char* path, std::vector<std::string>* images) {
    FileHandle file(std::fopen(path, "r"));
    if (!file) return false;
    char line[4096];
    while (std::fgets(line, sizeof line, file.get())) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        if (!text.empty() && text[0] != '#') images->push_back(text);
    }
    return true;
}

void usage() {
    std::fprintf(stderr,
                 "usage: solve_identity [solver options] [--solve \"OPTIONS\"]... [--list FILE] "
                 "[IMAGE ...]\n"
                 "  solver options: those of kestil_solver with their values (-i DIR, -s, -r, "
                 "-d, -R, -D, -p, -t, -c, -x, -e),\n"
                 "                  given to every solve; no time limit unless -c is given\n"
                 "  --solve OPTS    one more solve per image with these options added "
                 "(default: one solve, no options added);\n"
                 "                  a first word NAME: names the solve in the report\n"
                 "  --list FILE     image files, one per line (lines starting with # skipped)\n");
}

// Result: 0, or 2 after the usage on a bad command line.
int parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage();
            return 2;
        }
        if (a[0] != '-' || a.size() == 1) {
            o->images.push_back(a);
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "solve_identity: missing value for %s\n", a.c_str());
            return 2;
        }
        std::string value = argv[++i];
        if (a == "--list") {
            if (!read_list(value.c_str(), &o->images)) {
                std::fprintf(stderr, "solve_identity: can't read the list %s\n", value.c_str());
                return 2;
            }
        } else if (a == "--solve") {
            // An optional first word "NAME:" names the set; else its options name it.
            SolveSet set{"", split_words(value)};
            if (!set.options.empty() && set.options.front().back() == ':') {
                set.name = set.options.front().substr(0, set.options.front().size() - 1);
                set.options.erase(set.options.begin());
            } else {
                for (const std::string& word : set.options)
                    set.name += (set.name.empty() ? "" : " ") + word;
            }
            if (set.name.empty()) set.name = "solve";
            o->solve_sets.push_back(set);
        } else {
            o->solver_options.push_back(a);
            o->solver_options.push_back(value);
        }
    }
    if (o->solve_sets.empty()) o->solve_sets.push_back({"solve", {}});
    if (o->images.empty()) {
        usage();
        return 2;
    }
    return 0;
}

// The settings of one solve as kestil_solver's own parser makes them: no time limit first,
// then the common options, the set's options and the image.
bool solve_settings(const Options& o, const SolveSet& set,
                    const std::string& image, std::vector<std::string>* storage,
                    SolverSettings* settings) {
    *storage = {"solve_identity", "-c", "0"};
    storage->insert(storage->end(), o.solver_options.begin(), o.solver_options.end());
    storage->insert(storage->end(), set.options.begin(), set.options.end());
    storage->push_back(image);
    std::vector<char*> argv;
    for (std::string& word : *storage) argv.push_back(word.data());
    *settings = SolverSettings{};
    return parse_arguments(static_cast<int>(argv.size()), argv.data(), settings);
}

bool read_file(const std::string& path, std::vector<unsigned char>* bytes) {
    FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return false;
    long length = std::ftell(file.get());
    if (length <= 0 || length > max_file_size || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return false;
    bytes->resize(static_cast<size_t>(length));
    return std::fread(bytes->data(), 1, bytes->size(), file.get()) == bytes->size();
}

// The image stars from a detector's records, converted as kestil_solver_image_stars does.
void to_image_stars(const DetectedStar* detected, int found, ImageStar* stars) {
    for (int i = 0; i < found; ++i) {
        stars[i].inv_lum = static_cast<float>(1.0 / detected[i].lum);
        stars[i].x = static_cast<float>(detected[i].x);
        stars[i].y = static_cast<float>(detected[i].y);
    }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Index of the first differing record of two detector lists (field by field: the records have
// padding), or -1 when the lists are equal.
int first_detected_difference(const DetectedStar* a, const DetectedStar* b, int count) {
    for (int i = 0; i < count; ++i)
        if (!same_bits(a[i].x, b[i].x) || !same_bits(a[i].y, b[i].y) ||
            !same_bits(a[i].ncdist, b[i].ncdist) || !same_bits(a[i].lum, b[i].lum) ||
            a[i].oversaturated != b[i].oversaturated || a[i].close_to_other != b[i].close_to_other)
            return i;
    return -1;
}

// (a): compares the stages and the product's star list with the reference chain; appends what
// differs to `report` and keeps the product's list in `list`. Result: the number of stars
// compared, -1 on a difference.
long compare_stars(const SolverImage* image, Totals* totals, StarList* list, std::string* report) {
    const int width = static_cast<int>(image->width), height = static_cast<int>(image->height);
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    char text[512];
    bool differs = false;

    // The product's path as the solve runs it.
    std::vector<ImageStar> product(SOLVER_MAX_IMAGE_STARS);
    double start = kestil_monotonic_time();
    const int product_count = kestil_solver_image_stars(image, product.data());
    totals->fast_star_seconds += kestil_monotonic_time() - start;
    list->stars.assign(product.begin(), product.begin() + product_count);
    list->width = width;
    list->height = height;

    // The reference chain; where the filter gives no image (below 3 x 3) the detector reads the
    // working image itself, as in the product.
    HeapBlock<uint16_t> fast_filtered(filtered_image(image));
    start = kestil_monotonic_time();
    HeapBlock<uint16_t> reference_filtered(identity::reference_filtered_image(image));
    double reference_seconds = kestil_monotonic_time() - start;
    if (!fast_filtered != !reference_filtered) {
        report->append("; filter: one form gave no image");
        return -1;
    }
    if (fast_filtered &&
        std::memcmp(fast_filtered.get(), reference_filtered.get(), pixels * 2) != 0) {
        size_t i = 0;
        while (fast_filtered.get()[i] == reference_filtered.get()[i]) ++i;
        std::snprintf(text, sizeof text,
                      "; filter DIFFERS first at pixel (%zu, %zu): fast %u, reference %u",
                      i % image->width, i / image->width, fast_filtered.get()[i],
                      reference_filtered.get()[i]);
        report->append(text);
        differs = true;
    }
    const int32_t format =
        reference_filtered ? KESTIL_PIXEL_FORMAT_RAW2 : static_cast<int32_t>(image->signature);
    const void* input = reference_filtered ? static_cast<const void*>(reference_filtered.get())
                                           : static_cast<const void*>(image->pixels);
    std::vector<DetectedStar> fast(SOLVER_MAX_IMAGE_STARS), reference(SOLVER_MAX_IMAGE_STARS);
    int fast_found = 0, reference_found = 0;
    const int fast_status = kestil_find_stars_fast_threshold(
        format, input, detection_radius, detection_threshold, width, height,
        SOLVER_MAX_IMAGE_STARS, fast.data(), &fast_found);
    start = kestil_monotonic_time();
    const int reference_status = identity::reference_find_stars(
        format, input, detection_radius, detection_threshold, width, height,
        SOLVER_MAX_IMAGE_STARS, reference.data(), &reference_found);
    reference_seconds += kestil_monotonic_time() - start;
    totals->reference_star_seconds += reference_seconds;
    if (fast_status != reference_status || fast_found != reference_found) {
        std::snprintf(text, sizeof text,
                      "; detector DIFFERS: status %d / %d, %d / %d stars (fast / reference)",
                      fast_status, reference_status, fast_found, reference_found);
        report->append(text);
        differs = true;
    } else if (int k = first_detected_difference(fast.data(), reference.data(), fast_found);
               k >= 0) {
        std::snprintf(text, sizeof text,
                      "; detector DIFFERS at star %d: fast (%.17g, %.17g, lum %.17g), reference "
                      "(%.17g, %.17g, lum %.17g)",
                      k + 1, fast[k].x, fast[k].y, fast[k].lum, reference[k].x, reference[k].y,
                      reference[k].lum);
        report->append(text);
        differs = true;
    }

    // The whole chain: the product's list against the reference filter and detector's.
    std::vector<ImageStar> expected(SOLVER_MAX_IMAGE_STARS);
    const int expected_count = reference_status == 0 ? reference_found : 0;
    to_image_stars(reference.data(), expected_count, expected.data());
    if (product_count != expected_count ||
        std::memcmp(product.data(), expected.data(),
                    static_cast<size_t>(product_count) * sizeof(ImageStar)) != 0) {
        std::snprintf(text, sizeof text, "; star list DIFFERS: %d stars, reference %d",
                      product_count, expected_count);
        report->append(text);
        differs = true;
    }
    if (differs) return -1;
    std::snprintf(text, sizeof text, "; %d stars identical", product_count);
    report->append(text);
    return product_count;
}

// (b): one solve, then the quad stages on its star list; appends the outcome to `report`.
// Result: whether the stages are identical.
bool compare_solve(const SolverSettings& settings, const std::vector<unsigned char>& bytes,
                   const SolveSet& set, const StarList& list, stage_identity::Buffers* buffers,
                   Totals* totals, std::string* report) {
    SolveRequest request;
    solve_request_from_settings(&settings, &request);
    SolverSolution solution;
    std::memset(&solution, 0, sizeof solution);
    kestil_solver_solve(&request, bytes.data(), static_cast<uint32_t>(bytes.size()), &solution);
    totals->solve_seconds += solution.time;
    ++totals->solves;
    totals->solved += solution.solved;
    char text[512];
    std::snprintf(text, sizeof text, "; %s: %s", set.name.c_str(),
                  solution.solved    ? "solved"
                  : solution.message ? solution.message
                                     : "not solved");
    report->append(text);
    if (solution.solved) {
        std::snprintf(text, sizeof text, " (%s, %d stars)", solution.index,
                      solution.matched_stars);
        report->append(text);
    }
    const long stages = totals->stages.stages;
    int indexes = 0;
    const int differences = stage_identity::compare_request(
        request, list.stars.data(), static_cast<int32_t>(list.stars.size()), list.width,
        list.height, buffers, &totals->stages, &indexes);
    std::snprintf(text, sizeof text, ", %ld quad stages on %d indexes %s (%.2f s)",
                  totals->stages.stages - stages, indexes,
                  differences == 0 ? "identical" : "DIFFER", solution.time);
    report->append(text);
    return differences == 0;
}

// (a) for one binning: reads the image with it and compares the star lists. Result: false when
// the image could not be read (counted and reported).
bool check_stars(const std::vector<unsigned char>& bytes, int32_t downsample, Totals* totals,
                 StarList* list, std::string* report) {
    int32_t bin_factor = 0, image_width = 0, image_height = 0;
    bool bayer = false;
    const char* message = nullptr;
    HeapBlock<SolverImage> image(kestil_solver_load_image(
        bytes.data(), static_cast<int32_t>(bytes.size()), downsample, &bin_factor, &image_width,
        &image_height, &bayer, &message));
    if (!image) {
        report->append("; not read: ");
        report->append(message ? message : "unknown error");
        ++totals->unreadable;
        return false;
    }
    char text[128];
    std::snprintf(text, sizeof text, "; %d x %d, binned %d", image_width, image_height,
                  bin_factor);
    report->append(text);
    list->downsample = downsample;
    const long stars = compare_stars(image.get(), totals, list, report);
    if (stars < 0)
        ++totals->differences;
    else
        totals->stars += stars;
    return true;
}

// (a) once for each binning that the sets use, before the first solve with it, then (b).
void check_image(const Options& o, const std::string& path, stage_identity::Buffers* buffers,
                 Totals* totals) {
    ++totals->images;
    std::string report = path;
    std::vector<unsigned char> bytes;
    if (!read_file(path, &bytes)) {
        std::printf("%s; can't read the file\n", path.c_str());
        ++totals->unreadable;
        return;
    }
    std::vector<std::string> storage;
    std::vector<StarList> lists;  // one per binning whose stars were compared
    for (const SolveSet& set : o.solve_sets) {
        SolverSettings settings;
        if (!solve_settings(o, set, path, &storage, &settings)) {
            report.append("; settings refused");
            ++totals->unreadable;
            continue;
        }
        auto list = std::find_if(lists.begin(), lists.end(), [&](const StarList& l) {
            return l.downsample == settings.downsample;
        });
        if (list == lists.end()) {
            list = lists.insert(lists.end(), StarList{});
            if (!check_stars(bytes, settings.downsample, totals, &*list, &report)) break;
        }
        if (!compare_solve(settings, bytes, set, *list, buffers, totals, &report))
            ++totals->differences;
    }
    std::printf("%s\n", report.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int status = parse_options(argc, argv, &o); status != 0) return status;
    Totals totals;
    stage_identity::Buffers buffers;
    const double start = kestil_monotonic_time();
    for (const std::string& image : o.images) check_image(o, image, &buffers, &totals);
    std::printf("summary: images %d, stars compared %ld, solves %d, solved %d, differences %d, "
                "unreadable %d, star seconds fast %.3f reference %.3f, quad stage seconds fast "
                "%.3f reference %.3f, solve seconds %.3f, wall %.1f s\n",
                totals.images, totals.stars, totals.solves, totals.solved, totals.differences,
                totals.unreadable, totals.fast_star_seconds, totals.reference_star_seconds,
                totals.stages.quads_fast + totals.stages.match_fast,
                totals.stages.quads_reference + totals.stages.match_reference,
                totals.solve_seconds, kestil_monotonic_time() - start);
    return totals.differences > 0 || totals.unreadable > 0 ? 1 : 0;
}
