// solver/engine/solve_details.cpp - what a solve can tell beyond its solution
#include "solver/engine/solve_details.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "framework/alloc.h"
#include "framework/angles.h"
#include "solver/engine/sip.h"
#include "solver/engine/verify.h"
#include "solver/index/index_cache.h"
#include "solver/index/index_file.h"

namespace {

// Enough index stars for the matches and a distortion fit; the search for a denser index stops
// there.
constexpr int32_t wanted_index_stars = 300;
constexpr int32_t max_index_stars = 5000;

// Pixels of the image as stored (first stored pixel's centre at 1) from frame pixels (centre of
// column c at c + 0.5) and back.
double stored_from_frame(float frame, int32_t bin) { return frame * static_cast<double>(bin) + 0.5; }
float frame_from_stored(double stored, int32_t bin) {
    return static_cast<float>((stored - 0.5) / bin);
}

void fill_stars(const DetailsInput* in, SolveDetails* details) {
    if (in->star_count <= 0) return;
    auto* stars = static_cast<SolverStar*>(
        calloc(static_cast<size_t>(in->star_count), sizeof(SolverStar)));
    if (!stars) return;
    for (int32_t i = 0; i < in->star_count; ++i) {
        const ImageStar& star = in->stars[i];
        SolverStar& out = stars[i];
        out.x = stored_from_frame(star.x, in->star_bin);
        out.y = stored_from_frame(star.y, in->star_bin);
        out.flux = star.inv_lum > 0 ? 1.0 / star.inv_lum : 0.0;
        if (in->model) {
            float ra = 0, dec = 0;
            kestil_solver_plate_sky(in->model, frame_from_stored(out.x, in->bin),
                                    frame_from_stored(out.y, in->bin), &ra, &dec);
            out.ra = ra * deg_per_rad;
            out.dec = dec * deg_per_rad;
        }
    }
    details->stars = stars;
    details->star_count = in->star_count;
}

// The plate as the reported solution describes it, a TAN WCS about the image centre: CRVAL the
// sky at the centre, CD the rotation, scale and parity of the fit (the header the command line
// writes for the solution). The refinement then refits it where the matches show it beyond
// chance.
void fill_wcs(const DetailsInput* in, SolverWcs* wcs) {
    memset(wcs, 0, sizeof *wcs);
    wcs->crpix[0] = (in->width + 1) * 0.5;
    wcs->crpix[1] = (in->height + 1) * 0.5;
    float ra0 = 0, dec0 = 0;
    kestil_solver_plate_sky(in->model, frame_from_stored(wcs->crpix[0], in->bin),
                            frame_from_stored(wcs->crpix[1], in->bin), &ra0, &dec0);
    wcs->crval[0] = ra0 * deg_per_rad;
    wcs->crval[1] = dec0 * deg_per_rad;
    float angle = 0;
    int32_t parity = 1;
    kestil_solver_plate_orientation(&in->model->fit, &angle, &parity);
    const double scale = in->model->fit.scale * deg_per_rad / in->bin;  // degrees per pixel
    const double p = parity == -1 ? -1.0 : 1.0;
    const double theta = parity == -1 ? angle + pi : angle;
    wcs->cd[0][0] = -scale * std::cos(theta);
    wcs->cd[0][1] = scale * std::sin(theta) * p;
    wcs->cd[1][0] = scale * std::sin(theta);
    wcs->cd[1][1] = scale * std::cos(theta) * p;
}

// The index stars inside the image through the plate; false when none.
// Stars outside the image's band of declination are passed over before any projection: a
// small field's band holds a few stars of the millions of a whole-sky index.
bool collect_index_stars(const DetailsInput* in, const IndexFile* index, SolverStar* out,
                         int32_t* count) {
    *count = 0;
    float ra0 = 0, dec0 = 0;
    kestil_solver_plate_sky(in->model, 0.5f * static_cast<float>(in->width) / in->bin,
                            0.5f * static_cast<float>(in->height) / in->bin, &ra0, &dec0);
    // Half the diagonal, with room for the plate's own distortion of the tangent plane.
    const double reach = 0.6 * std::hypot(in->width, in->height) / in->bin * in->model->fit.scale;
    for (uint32_t i = 0; i < index->star_count && *count < max_index_stars; ++i) {
        if (index->in_cone && !index->in_cone[i]) continue;
        const CatalogStar& star = index->stars[i];
        if (std::fabs(static_cast<double>(star.dec) - dec0) > reach) continue;
        float fx = 0, fy = 0;
        if (!kestil_solver_plate_pixel(in->model, star.ra, star.dec, &fx, &fy)) continue;
        double x = stored_from_frame(fx, in->bin), y = stored_from_frame(fy, in->bin);
        if (!(x >= 0.5 && x <= in->width + 0.5 && y >= 0.5 && y <= in->height + 0.5)) continue;
        SolverStar& s = out[(*count)++];
        s = SolverStar{};
        s.x = x;
        s.y = y;
        s.ra = star.ra * deg_per_rad;
        s.dec = star.dec * deg_per_rad;
    }
    return *count > 0;
}

// The index stars of the field: from the index that solved, or a smaller-scale (denser) one
// when that one holds too few in the field for the matches.
void fill_index_stars(const DetailsInput* in, SolveDetails* details) {
    const SolveRequest* request = in->request;
    auto* best = static_cast<SolverStar*>(calloc(max_index_stars, sizeof(SolverStar)));
    auto* trial = static_cast<SolverStar*>(calloc(max_index_stars, sizeof(SolverStar)));
    if (!best || !trial) {
        free(best);
        free(trial);
        return;
    }
    int32_t best_count = 0;
    // The solving scale first, then the smaller ones from the nearest down.
    float order[SOLVER_SCALE_COUNT + 1];
    int32_t n = 0;
    order[n++] = in->solved_scale;
    float smaller[SOLVER_SCALE_COUNT];
    int32_t m = 0;
    for (int32_t i = 0; i < in->scale_count && m < SOLVER_SCALE_COUNT; ++i)
        if (in->scales[i] < in->solved_scale) smaller[m++] = in->scales[i];
    std::sort(smaller, smaller + m, [](float a, float b) { return a > b; });
    for (int32_t i = 0; i < m; ++i) order[n++] = smaller[i];
    for (int32_t k = 0; k < n && best_count < wanted_index_stars; ++k) {
        char path[SOLVER_PATH_SIZE];
        kestil_solver_index_path(path, sizeof path, request->index_dir, order[k]);
        IndexFile owned{};
        const IndexFile* index = nullptr;
        if (request->cache)
            index = kestil_solver_cached_index(request->cache, path);
        else if (kestil_solver_load_index(path, &owned))
            index = &owned;
        int32_t count = 0;
        if (index && collect_index_stars(in, index, trial, &count) && count > best_count) {
            std::swap(best, trial);
            best_count = count;
        }
        kestil_solver_release_index(&owned);
    }
    free(trial);
    if (best_count == 0) {
        free(best);
        return;
    }
    details->index_stars = best;
    details->index_star_count = best_count;
}

// The verified matches and, when asked, the distortion terms, from the detections and the index
// stars of the field.
void fill_matches(const DetailsInput* in, SolveDetails* details) {
    if (details->star_count == 0 || details->index_star_count == 0) return;
    auto* matches = static_cast<SolverMatch*>(
        calloc(static_cast<size_t>(details->star_count), sizeof(SolverMatch)));
    if (!matches) return;
    // At least a refit of the plate on all the matches: the solve's plate comes from a few
    // stars and is loose at the corners of wide fields.
    int32_t order = std::clamp(in->request->sip_order, 1, static_cast<int32_t>(SOLVER_SIP_MAX_ORDER));
    SolverWcs wcs = details->wcs;
    int32_t count = 0;
    double rms_linear = 0, rms_fitted = 0;
    if (!kestil_solver_refine_wcs(details->stars, details->star_count, details->index_stars,
                                  details->index_star_count, in->width, in->height, order, &wcs,
                                  matches, details->star_count, &count, &rms_linear,
                                  &rms_fitted)) {
        free(matches);
        return;
    }
    details->wcs = wcs;
    details->matches = matches;
    details->match_count = count;
    details->rms_linear = rms_linear;
    details->rms_fitted = rms_fitted;
}

}  // namespace

extern "C" {

void kestil_solver_fill_details(const DetailsInput* in, SolveDetails* details) {
    kestil_solver_release_details(details);
    details->width = in->width;
    details->height = in->height;
    fill_stars(in, details);
    if (!in->model) return;
    details->solved = true;
    details->log_odds = in->log_odds;
    fill_wcs(in, &details->wcs);
    fill_index_stars(in, details);
    fill_matches(in, details);
}

void kestil_solver_release_details(SolveDetails* details) {
    if (!details) return;
    free(details->matches);
    free(details->stars);
    free(details->index_stars);
    memset(details, 0, sizeof *details);
}

}  // extern "C"
