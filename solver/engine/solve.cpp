// solver/engine/solve.cpp - the solve driver: from the bytes of an image file to a solution
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/alloc.h"
#include "framework/angles.h"
#include "framework/clock.h"
#include "framework/files.h"
#include "framework/log.h"
#include "framework/precession.h"
#include "solver/engine/catalog_cone.h"
#include "solver/engine/extended_search.h"
#include "solver/engine/image_quads.h"
#include "solver/engine/plate_fit.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_details.h"
#include "solver/engine/solve_driver.h"
#include "solver/engine/star_match.h"
#include "solver/engine/verify.h"
#include "solver/image/fits_hints.h"
#include "solver/image/solver_image.h"
#include "solver/index/index_cache.h"
#include "solver/index/index_file.h"
#include "solver/index/index_selection.h"
#include "solver/index/published_indexes.h"
#include "solver/solve.h"
#include "solver/solve_progress.h"
#include "solver/solver_types.h"
#include "solver/stars/image_stars.h"

namespace {

constexpr int32_t min_stars = 4;
// Search radii around a position from a FITS header, degrees: a solved plate's centre, and a
// pointing (the mount's error, or coordinates of the date rather than J2000).
constexpr double header_wcs_radius = 1.0;
constexpr double header_pointing_radius = 5.0;

const char* const not_enough_stars = "Not enough stars detected";
const char* const no_index =
    "No index files found, download them with --download or the Solvane Agent, or select another "
    "index directory";

// Everything one solve holds; released on every path by the destructor.
struct SolveState {
    const SolveRequest* request = nullptr;  // the caller's, or a copy with header hints added
    SolverImage* image = nullptr;
    int32_t bin_factor = 1;
    int32_t image_width = 0;
    int32_t image_height = 0;
    ImageStar* stars = nullptr;
    int32_t star_count = 0;
    ImageQuad* quads = nullptr;
    QuadMatch* matches = nullptr;
    StarMatch* pairs = nullptr;
    int32_t stages[SOLVER_MAX_STAGES] = {};
    int32_t stage_count = 0;
    float scales[SOLVER_MAX_INDEX_SCALES] = {};
    int32_t scale_count = 0;
    IndexFile owned{};                 // the loaded index when there is no cache
    const IndexFile* loaded = nullptr;  // the owned one or one of the cache
    float loaded_scale = 0.0f;          // 0 = none loaded
    IndexFile view{};
    StarGrid grid{};  // the image stars for verification, made at the first fit
    SolveControl control{};
    int32_t cell = 0;
    bool use_hint = false;
    double hint_ra_hours = 0.0;  // J2000
    double hint_dec = 0.0;
    bool wrong_parity = false;
    bool accepted = false;
    float solved_scale = 0.0f;
    const char* early_message = nullptr;
    // The stars the accepted plate was found with, and their binning.
    const ImageStar* frame_stars = nullptr;
    int32_t frame_count = 0;
    ImageStar* extended_stars = nullptr;  // the unbinned stars of the extended search

    SolveState() = default;
    SolveState(const SolveState&) = delete;
    SolveState& operator=(const SolveState&) = delete;
    ~SolveState() {
        kestil_solver_release_star_grid(&grid);
        kestil_solver_release_index(&owned);
        kestil_solver_release_index(&view);
        free(pairs);
        free(matches);
        free(quads);
        free(extended_stars);
        free(stars);
        free(image);
    }
};

template <typename T>
T* allocate(size_t count) {
    return static_cast<T*>(kestil_checked_calloc(count, sizeof(T)));
}

// J2000 from the equinox of the date (to_date false) or back (true); hours and degrees.
void precess_date(bool to_date, double* ra_hours, double* dec) {
    SphericalPoint point{*ra_hours * 15.0 * rad_per_deg, *dec * rad_per_deg, 0.0};
    double now = kestil_jnow();
    SphericalPoint moved =
        to_date ? kestil_precess(&point, 2000.0, now) : kestil_precess(&point, now, 2000.0);
    *ra_hours = moved.lon * deg_per_rad / 15.0;
    *dec = moved.lat * deg_per_rad;
}

bool read_image(SolveState& s, const void* data, uint32_t length) {
    bool bayer = false;
    const char* message = nullptr;
    auto bytes = static_cast<int32_t>(length > INT32_MAX ? INT32_MAX : length);
    s.image = kestil_solver_load_image(data, bytes, s.request->downsample, &s.bin_factor,
                                       &s.image_width, &s.image_height, &bayer, &message);
    if (!s.image) {
        s.early_message = message ? message : "Unknown error";
        return false;
    }
    kestil_solver_progress(s.request, "Image %d x %d%s, binned %d x %d\n", s.image_width, s.image_height,
                    bayer ? " Bayer mosaic" : "", s.bin_factor, s.bin_factor);
    return true;
}

bool detect_stars(SolveState& s) {
    s.stars = allocate<ImageStar>(SOLVER_MAX_IMAGE_STARS);
    s.star_count = kestil_solver_image_stars(s.image, s.stars);
    kestil_solver_progress(s.request, "%d stars detected\n", s.star_count);
    if (s.star_count < min_stars) {
        s.early_message = not_enough_stars;
        return false;
    }
    return true;
}

void set_up_hint(SolveState& s) {
    const SolveRequest* request = s.request;
    s.use_hint = request->radius > 0;
    if (!s.use_hint) return;
    s.hint_ra_hours = request->ra;
    s.hint_dec = request->dec;
    if (request->epoch == 0) precess_date(false, &s.hint_ra_hours, &s.hint_dec);
}

// Makes the index of scale the loaded one; false when it cannot be loaded.
bool load_index(SolveState& s, float scale, const char* path) {
    if (s.loaded_scale == scale) return true;
    kestil_solver_release_index(&s.owned);
    s.loaded = nullptr;
    s.loaded_scale = 0.0f;
    if (s.request->cache) {
        s.loaded = kestil_solver_cached_index(s.request->cache, path);
        if (!s.loaded) return false;
    } else {
        if (!kestil_solver_load_index(path, &s.owned)) return false;
        s.loaded = &s.owned;
    }
    s.loaded_scale = scale;
    return true;
}

// Radius of the search cone around the position hint, degrees: the hint's radius plus half the
// image diagonal (with a scale hint) or the index's quad scale.
double cone_radius(const SolveState& s, double index_scale) {
    const SolveRequest* request = s.request;
    double extension = index_scale;
    if (request->scale_hint > 0) {
        double w = s.image_width, h = s.image_height;
        extension = std::sqrt(w * w + h * h) * 0.5 * request->scale_hint;
    }
    return request->radius + extension;
}

// Fills the catalogue view for one attempt; false when the stage may not run.
bool make_view(SolveState& s, const IndexFile** catalog) {
    *catalog = s.loaded;
    if (!s.use_hint) return s.loaded->quad_count > 0;
    double radius = cone_radius(s, s.loaded->scale);
    int32_t in_cone = kestil_solver_cone_catalog(
        s.loaded, static_cast<float>(s.hint_ra_hours * 15.0 * rad_per_deg),
        static_cast<float>(s.hint_dec * rad_per_deg), static_cast<float>(radius * rad_per_deg),
        &s.view);
    kestil_solver_progress(s.request, "%d catalog stars within %.2f° of the position hint\n", in_cone,
                    radius);
    *catalog = &s.view;
    return s.loaded->quad_count > 0 && in_cone > 3;
}

struct Fit {
    float ra, dec, angle, scale, rms;
    int32_t parity, matched, pairs;
    PlateModel model;
    double log_odds;
};

// A fit of the schedule is accepted only when the index stars of the whole field confirm it:
// six pairs within three pixels can be chance when most pairs handed to the fit are wrong.
// The strongest four matches are left out of the evidence, as the stars of the quad that may
// have made the fit by chance would be.
bool plate_verified(SolveState& s, const IndexFile* catalog, const PlateModel& model,
                    double* log_odds) {
    auto width = static_cast<int32_t>(s.image->width),
         height = static_cast<int32_t>(s.image->height);
    if (!s.grid.head) kestil_solver_star_grid(s.stars, s.star_count, width, height, &s.grid);
    VerifyResult evidence{};
    if (kestil_solver_verify(&model, &s.grid, width, height, catalog, nullptr, nullptr, 0, 4, 0,
                             nullptr, 0, nullptr, &evidence)) {
        *log_odds = evidence.log_odds;
        return true;
    }
    kestil_solver_progress(
        s.request,
        "Solution rejected by verification: log-odds %.1f, %d of %d index stars matched\n",
        evidence.log_odds, evidence.hits, evidence.references);
    return false;
}

// One stage against one catalogue view; true when a solution was accepted into fit.
bool run_stage(SolveState& s, int32_t pass, const IndexFile* catalog, Fit* fit) {
    int32_t k = s.stages[pass - 1];
    int32_t occupied = 0;
    uint32_t quads = kestil_solver_build_image_quads(
        s.stars, k, static_cast<int32_t>(s.image->width), static_cast<int32_t>(s.image->height),
        s.cell, &occupied, s.quads);
    if (quads == 0) return false;
    kestil_solver_progress(s.request, "Stage %d: %d brightest stars, %d quads, %d catalog quads\n",
                           pass, k, static_cast<int>(quads), static_cast<int>(s.loaded->quad_count));
    uint32_t matches = kestil_solver_match_quads(s.quads, quads, catalog, s.matches, &s.control);
    int32_t pairs = kestil_solver_match_stars(s.matches, matches, s.pairs, &s.control);
    if (s.control.aborted) return false;
    Fit f{};
    // The reported centre is that of the image as read, in working-image pixels.
    float centre_x = static_cast<float>(s.image_width) / static_cast<float>(2 * s.bin_factor);
    float centre_y = static_cast<float>(s.image_height) / static_cast<float>(2 * s.bin_factor);
    PlateModel model{};
    if (!kestil_solver_compute_center_model(s.pairs, pairs, centre_x, centre_y, &model, &f.matched))
        return false;
    if (!plate_verified(s, catalog, model, &f.log_odds)) return false;
    f.model = model;
    kestil_solver_plate_sky(&model, centre_x, centre_y, &f.ra, &f.dec);
    kestil_solver_plate_orientation(&model.fit, &f.angle, &f.parity);
    f.scale = model.fit.scale;
    f.rms = model.fit.rms;
    f.pairs = pairs;
    int32_t hint = s.request->parity;
    if (hint != 0 && hint != f.parity) {
        kestil_solver_progress(s.request,
                               "Solution with parity %d rejected by the parity hint %d\n",
                               f.parity, hint);
        s.wrong_parity = true;
        return false;
    }
    *fit = f;
    s.frame_stars = s.stars;
    s.frame_count = s.star_count;
    return true;
}

// Passes over the stages, each walking the index list; stops at the first accepted fit.
void run_schedule(SolveState& s, Fit* fit) {
    const SolveRequest* request = s.request;
    for (int32_t pass = 1; pass <= s.stage_count; ++pass) {
        if (s.accepted || s.control.aborted) break;
        for (int32_t step = 0; step < s.scale_count; ++step) {
            if (s.accepted || s.control.aborted) break;
            float scale =
                s.scales[kestil_solver_walk_index(pass, step, s.scale_count, request->scale_hint)];
            char path[SOLVER_PATH_SIZE];
            char label[SOLVER_LABEL_SIZE];
            kestil_solver_index_path(path, sizeof path, request->index_dir, scale);
            index_label(scale, label);
            kestil_solver_progress(request, "Solving with index %s...\n", label);
            if (!load_index(s, scale, path)) continue;
            const IndexFile* catalog = nullptr;
            bool may_run = make_view(s, &catalog);
            if (may_run && run_stage(s, pass, catalog, fit)) {
                s.accepted = true;
                s.solved_scale = scale;
            }
            kestil_solver_release_index(&s.view);
        }
    }
}

// The star list of the extended search and the frame its positions are in.
struct StarList {
    ImageStar* buffer = nullptr;  // owned when not the schedule's
    const ImageStar* stars = nullptr;
    int32_t count = 0, bin = 1, width = 0, height = 0;
    StarList() = default;
    StarList(const StarList&) = delete;
    StarList& operator=(const StarList&) = delete;
    ~StarList() { free(buffer); }
};

// The detections of the image as read, where binning can be undone: the binned image merges and
// drops the faint stars that small images depend on, and its centres are off by a pixel or more.
// Returned: count, bin, width, height   the stars found, the binning left (a Bayer mosaic keeps
//           2) and the frame's size
// Result: an allocated list (free it), or null when the image can't be read less binned
ImageStar* full_size_stars(const void* data, uint32_t length, int32_t bin_factor,
                           int32_t* count, int32_t* bin, int32_t* width, int32_t* height) {
    int32_t unbinned = 1, w = 0, h = 0;
    bool bayer = false;
    const char* message = nullptr;
    auto bytes = static_cast<int32_t>(length > INT32_MAX ? INT32_MAX : length);
    SolverImage* image =
        kestil_solver_load_image(data, bytes, 1, &unbinned, &w, &h, &bayer, &message);
    ImageStar* stars = nullptr;
    if (image && unbinned < bin_factor) {
        stars = allocate<ImageStar>(SOLVER_MAX_IMAGE_STARS);
        *count = kestil_solver_image_stars(image, stars);
        *bin = unbinned;
        *width = static_cast<int32_t>(image->width);
        *height = static_cast<int32_t>(image->height);
    }
    free(image);
    return stars;
}

// The stars of the extended search: those of the image as read when it was binned by default,
// else the schedule's.
void extended_stars(SolveState& s, const void* data, uint32_t length, StarList* list) {
    list->stars = s.stars;
    list->count = s.star_count;
    list->bin = s.bin_factor;
    list->width = static_cast<int32_t>(s.image->width);
    list->height = static_cast<int32_t>(s.image->height);
    if (s.bin_factor <= 1 || s.request->downsample_set) return;
    int32_t found = 0, unbinned = 1, width = 0, height = 0;
    list->buffer = full_size_stars(data, length, s.bin_factor, &found, &unbinned, &width, &height);
    if (!list->buffer) return;
    kestil_solver_progress(s.request,
                           "Extended search: %d stars detected in the image binned %d x %d\n",
                           found, unbinned, unbinned);
    if (found < min_stars) return;
    list->stars = list->buffer;
    list->count = found;
    list->bin = unbinned;
    list->width = width;
    list->height = height;
}

// After the schedule found nothing: every quad proposes a plate, verified on its own.
void run_extended(SolveState& s, const void* data, uint32_t length, Fit* fit) {
    // The stages' buffers are done with: their room serves the extended search.
    kestil_solver_release_index(&s.owned);
    s.loaded = nullptr;
    s.loaded_scale = 0.0f;
    free(s.quads);
    free(s.matches);
    free(s.pairs);
    s.quads = nullptr;
    s.matches = nullptr;
    s.pairs = nullptr;
    StarList list;
    extended_stars(s, data, length, &list);
    ExtendedSearch in{};
    in.stars = list.stars;
    in.star_count = list.count;
    in.width = list.width;
    in.height = list.height;
    int32_t bin = list.bin;
    in.request = s.request;
    in.centre_x = static_cast<float>(s.image_width) / static_cast<float>(2 * bin);
    in.centre_y = static_cast<float>(s.image_height) / static_cast<float>(2 * bin);
    in.pixels_per_image_pixel = 1.0 / bin;
    in.scales = s.scales;
    in.scale_count = s.scale_count;
    in.use_hint = s.use_hint;
    in.hint_ra = s.hint_ra_hours * 15.0 * rad_per_deg;
    in.hint_dec = s.hint_dec * rad_per_deg;
    in.control = &s.control;
    kestil_solver_progress(s.request,
                           "Extended search: %d stars, each quad verified on its own\n",
                           in.star_count);
    ExtendedResult result{};
    bool found = kestil_solver_extended_search(&in, &result);
    if (result.wrong_parity) s.wrong_parity = true;
    if (!found) return;
    Fit f{};
    kestil_solver_plate_sky(&result.model, in.centre_x, in.centre_y, &f.ra, &f.dec);
    kestil_solver_plate_orientation(&result.model.fit, &f.angle, &f.parity);
    f.scale = result.model.fit.scale;
    f.rms = result.rms;
    f.matched = result.matched;
    f.pairs = result.matched;
    f.model = result.model;
    f.log_odds = result.log_odds;
    *fit = f;
    s.frame_stars = list.stars;
    s.frame_count = list.count;
    if (list.buffer == list.stars) {
        s.extended_stars = list.buffer;
        list.buffer = nullptr;
    }
    s.bin_factor = bin;
    s.accepted = true;
    s.solved_scale = result.index_scale;
}

void fill_solution(const SolveState& s, const Fit& fit, SolverSolution* solution) {
    solution->ra_j2000 = fit.ra * deg_per_rad / 15.0;
    solution->dec_j2000 = fit.dec * deg_per_rad;
    solution->ra = solution->ra_j2000;
    solution->dec = solution->dec_j2000;
    if (s.request->epoch == 0) precess_date(true, &solution->ra, &solution->dec);
    solution->angle = fit.angle * deg_per_rad;
    solution->scale = fit.scale * deg_per_rad / s.bin_factor;
    solution->rms = fit.rms * deg_per_rad * 3600.0;
    solution->parity = fit.parity;
    solution->matched_stars = fit.matched;
    solution->star_matches = fit.pairs;
    char label[SOLVER_LABEL_SIZE];
    index_label(s.solved_scale, label);
    snprintf(solution->index, sizeof solution->index, "%s", label);
}

// Runs the solve up to the accepted fit or the end of the schedule; false on an early end.
bool solve(SolveState& s, const void* data, uint32_t length, Fit* fit) {
    if (!read_image(s, data, length)) return false;
    // Too few stars end the solve, unless the image was binned by default and the extended
    // search may look for the stars of the unbinned image.
    bool enough = detect_stars(s);
    bool unbinned_may_help =
        s.bin_factor > 1 && !s.request->downsample_set && !s.request->no_extended_search;
    if (!enough && !unbinned_may_help) return false;
    s.quads = allocate<ImageQuad>(SOLVER_MAX_IMAGE_QUADS);
    s.cell = static_cast<int32_t>(std::max(s.image->width, s.image->height) / SOLVER_QUAD_GRID);
    s.stage_count = kestil_solver_stage_table(s.request->depth, s.star_count, s.stages);
    s.scale_count = list_index_scales(s.request, s.request->scale_hint, s.image_width,
                                      s.image_height, s.scales);
    if (s.scale_count <= 0) {
        if (enough) s.early_message = no_index;
        return false;
    }
    set_up_hint(s);
    s.matches = allocate<QuadMatch>(SOLVER_MAX_QUAD_MATCHES);
    s.pairs = allocate<StarMatch>(SOLVER_MAX_STAR_MATCHES);
    if (enough) run_schedule(s, fit);
    if (!s.accepted && !s.control.aborted && !s.request->no_extended_search)
        run_extended(s, data, length, fit);
    if (s.accepted) s.early_message = nullptr;
    return true;
}

}  // namespace

namespace {

// One search with the given request; fills solution (and the request's details). Result:
// whether a later search without header hints may still succeed (nothing ended it early).
bool attempt(const SolveRequest* request, double start, const void* data, uint32_t length,
             SolverSolution* solution) {
    Fit fit{};
    const char* early_message = nullptr;
    const char* control_message = nullptr;
    bool accepted = false;
    bool wrong_parity = false;
    SolveDetails* details = request->details;
    if (details) kestil_solver_release_details(details);
    {
        SolveState s;
        s.request = request;
        if (request->cpu_limit > 0) s.control.deadline = start + request->cpu_limit;
        s.control.abort_request = request->stop;
        if (solve(s, data, length, &fit)) {
            accepted = s.accepted;
            if (accepted) {
                solution->image_width = s.image_width;
                solution->image_height = s.image_height;
                fill_solution(s, fit, solution);
            }
        }
        if (s.image) {
            solution->image_width = s.image_width;
            solution->image_height = s.image_height;
        }
        if (details && s.image) {
            DetailsInput in{};
            in.request = request;
            in.width = s.image_width;
            in.height = s.image_height;
            in.bin = s.bin_factor;
            in.stars = accepted ? s.frame_stars : s.stars;
            in.star_count = accepted ? s.frame_count : s.star_count;
            in.star_bin = s.bin_factor;
            ImageStar* full_size = nullptr;
            int32_t full_count = 0, full_bin = 1, full_width = 0, full_height = 0;
            if (accepted && s.bin_factor > 1)
                full_size = full_size_stars(data, length, s.bin_factor, &full_count, &full_bin,
                                            &full_width, &full_height);
            if (full_size && full_count >= min_stars) {
                in.stars = full_size;
                in.star_count = full_count;
                in.star_bin = full_bin;
            }
            in.model = accepted ? &fit.model : nullptr;
            in.log_odds = fit.log_odds;
            in.scales = s.scales;
            in.scale_count = s.scale_count;
            in.solved_scale = s.solved_scale;
            kestil_solver_fill_details(&in, details);
            free(full_size);
        }
        early_message = s.early_message;
        control_message = s.control.aborted ? s.control.message : nullptr;
        wrong_parity = s.wrong_parity;
    }  // everything of the solve is released here
    solution->solved = accepted;
    if (accepted) {
        solution->message = nullptr;
    } else if (early_message) {
        solution->message = early_message;
    } else if (control_message) {
        solution->message = control_message;
    } else if (wrong_parity) {
        solution->message = "Solution has the wrong parity";
    } else {
        solution->message = "No solution found";
    }
    if (!accepted && !solution->message) solution->message = "Unknown error";
    return !accepted && !early_message && !control_message;
}

// The request with the hints of a FITS header added where the request has none of that kind;
// false when the header adds nothing.
bool header_hinted(const SolveRequest* request, const void* data, uint32_t length,
                   SolveRequest* hinted) {
    if (!request->header_hints) return false;
    FitsHints hints{};
    auto bytes = static_cast<int32_t>(length > INT32_MAX ? INT32_MAX : length);
    if (!kestil_solver_fits_hints(data, bytes, &hints)) return false;
    *hinted = *request;
    bool added = false;
    if (hints.has_position && !(request->radius > 0)) {
        hinted->ra = hints.ra;
        hinted->dec = hints.dec;
        // A solved plate's centre is good to far less than a degree; a pointing may be off by
        // the mount's error or be of the date rather than J2000.
        hinted->radius = hints.position_from_wcs ? header_wcs_radius : header_pointing_radius;
        if (request->epoch == 0) precess_date(true, &hinted->ra, &hinted->dec);
        kestil_solver_progress(request,
                               "Position hint from the FITS header (%s): RA %.4f h, Dec %.4f°, "
                               "radius %.0f°\n",
                               hints.position_cards, hints.ra, hints.dec, hinted->radius);
        added = true;
    }
    if (hints.has_scale && !(request->scale_hint > 0)) {
        hinted->scale_hint = hints.scale;
        kestil_solver_progress(request, "Scale hint from the FITS header (%s): %.3f\"/pixel\n",
                               hints.scale_cards, hints.scale * 3600.0);
        added = true;
    }
    return added;
}

}  // namespace

extern "C" void kestil_solver_solve(const SolveRequest* request, const void* data,
                                    uint32_t length, SolverSolution* solution) {
    double start = kestil_monotonic_time();
    SolveRequest hinted;
    if (!header_hinted(request, data, length, &hinted)) {
        attempt(request, start, data, length, solution);
    } else if (attempt(&hinted, start, data, length, solution)) {
        // A wrong header never costs a solve: the search goes on as if it had no hints.
        kestil_solver_progress(request,
                               "Not solved with the header hints, searching without them\n");
        memset(solution, 0, sizeof *solution);
        attempt(request, start, data, length, solution);
    }
    solution->time = kestil_monotonic_time() - start;
}

extern "C" void kestil_solver_default_request(SolveRequest* request) {
    memset(request, 0, sizeof *request);
    const char* base = getenv("KESTIL_CACHE_BASE");
    if (base) {
        snprintf(request->index_dir, sizeof request->index_dir, "%s/solver", base);
    } else {
        // The home folder is looked up once and kept by the file services, unguarded: callers
        // of several threads take turns.
        static std::mutex home_lookup;
        std::lock_guard<std::mutex> lock(home_lookup);
        snprintf(request->index_dir, sizeof request->index_dir, "%s/.kestil/solver",
                 kestil_uni_home_folder());
    }
    static_assert(static_cast<int>(PUBLISHED_INDEX_COUNT) == static_cast<int>(SOLVER_SCALE_COUNT));
    for (int32_t i = 0; i < SOLVER_SCALE_COUNT; ++i) request->scales[i] = published_scales[i].scale;
    request->scale_count = SOLVER_SCALE_COUNT;
    request->epoch = 2000.0;
    request->downsample = 2;
    request->cpu_limit = 180.0;
    request->header_hints = true;
}
