// solver/engine/extended_search.cpp - the search after the schedule of stages has found nothing
#include "solver/engine/extended_search.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/angles.h"
#include "framework/log.h"
#include "solver/engine/catalog_cone.h"
#include "solver/engine/verify.h"
#include "solver/index/index_cache.h"
#include "solver/index/index_file.h"
#include "solver/index/published_indexes.h"
#include "solver/solve_progress.h"

namespace {

// The error of a measured code allowed for, in pixels of base length: centroids of processed
// photographs are 0.3 to 0.5 pixel off (up to 1.5 for the worst), and a code field moves by
// about 1.4 times a star's error over the base length.
constexpr double code_error_px = 2.5;
constexpr double quad_fit_px = 2.0;  // the four stars must agree with their own plate
constexpr int min_tolerance = 2;     // thousandths of the base length
constexpr int max_tolerance = 15;    // larger would flood the lookup: smaller quads are skipped
constexpr float min_separation_px = 5.0f;  // closer stars may be one blended star
// Depths of the star list: each adds the quads that contain one of the newly added stars.
constexpr int32_t depths[] = {6, 8, 10, 12, 14, 16, 18, 20, 23, 26, 30, 35, 40, 45, 50, 60};
// The field an index serves, widened by this factor both ways, bounds the candidate scales
// without a scale hint; with one, the scale may be off by this factor.
constexpr double field_slack = 2.0;
constexpr double hint_slack = 1.3;
constexpr int refinements = 3;
// Candidates whose first verification reaches these odds (e^8, about 3000) are refined on the
// stars they matched and verified again: the similarity of four stars places the rest of a
// right field within a pixel or two, the refined plate within a few tenths.
constexpr double refine_log_odds = 8.0;
constexpr int32_t star_limits[] = {100, 50, 30};
constexpr int32_t max_pairs = 1000;
constexpr size_t max_batch = 65536;  // lookups sorted and run together (2 MB)

// One canonical form a measured quad may have in an index: code fields in thousandths of the
// base length (y1 may be slightly negative near the mirror's tie) and the order of its stars.
struct Form {
    int x1, y1, x2, y2;
    uint16_t order[4];  // base origin, base end, first and second non-base star
};

int thousandths(double v) {
    return static_cast<int>(std::lround(v * 1000.0));
}

// The forms of four stars whose canonical choice (longest pair, base direction, order of the
// other two, mirror) could flip within tol base lengths of measurement error.
int quad_forms(const ImageStar* const* s, double tol, Form* out, int capacity) {
    static constexpr int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    double d2[6], longest = 0.0;
    for (int p = 0; p < 6; ++p) {
        double dx = s[pairs[p][1]]->x - s[pairs[p][0]]->x;
        double dy = s[pairs[p][1]]->y - s[pairs[p][0]]->y;
        d2[p] = dx * dx + dy * dy;
        longest = std::max(longest, d2[p]);
    }
    int n = 0;
    for (int p = 0; p < 6; ++p) {
        if (std::sqrt(d2[p]) < std::sqrt(longest) * (1.0 - 2.0 * tol)) continue;
        for (int dir = 0; dir < 2; ++dir) {
            int o = pairs[p][dir], e = pairs[p][1 - dir];
            int other[2], k = 0;
            for (int i = 0; i < 4; ++i)
                if (i != o && i != e) other[k++] = i;
            double vx = s[e]->x - s[o]->x, vy = s[e]->y - s[o]->y, l2 = vx * vx + vy * vy;
            double fx[2], fy[2];
            for (int i = 0; i < 2; ++i) {
                double px = s[other[i]]->x - s[o]->x, py = s[other[i]]->y - s[o]->y;
                fx[i] = (px * vx + py * vy) / l2;
                fy[i] = (vx * py - vy * px) / l2;
            }
            // This direction is canonical when its nearer star is nearer than the other
            // direction's: min x against 1 - max x.
            if (std::min(fx[0], fx[1]) > 1.0 - std::max(fx[0], fx[1]) + tol) continue;
            for (int first = 0; first < 2; ++first) {
                int a = first, b = 1 - first;
                if (fx[a] > fx[b] + tol) continue;
                for (int mirror = 1; mirror >= -1; mirror -= 2) {
                    if (mirror * fy[a] < -tol) continue;
                    Form f{thousandths(fx[a]),
                           thousandths(mirror * fy[a]),
                           thousandths(fx[b]),
                           thousandths(mirror * fy[b]),
                           {static_cast<uint16_t>(o), static_cast<uint16_t>(e),
                            static_cast<uint16_t>(other[a]), static_cast<uint16_t>(other[b])}};
                    bool seen = false;
                    for (int i = 0; i < n; ++i) seen |= std::memcmp(&out[i], &f, sizeof f) == 0;
                    if (!seen && n < capacity) out[n++] = f;
                }
            }
        }
    }
    return n;
}

// One index of the search: the mapped file, its cone view and its stars by declination.
struct SearchIndex {
    float scale = 0.0f;
    IndexFile owned{};  // mapped for this search when there is no cache
    const IndexFile* file = nullptr;
    IndexFile view{};
    const IndexFile* catalog = nullptr;
    SkyStars sky{};
    bool sky_made = false;
    double min_ratio = 0.0, max_ratio = 0.0;  // accepted scales, radians per frame pixel
    // Index files are free to order the quads of a bucket; where they keep them by code, a
    // lookup stops at the first code beyond its reach.
    bool sorted = false;
    SearchIndex() = default;
    SearchIndex(const SearchIndex&) = delete;
    SearchIndex& operator=(const SearchIndex&) = delete;
    ~SearchIndex() {
        kestil_solver_release_sky_stars(&sky);
        kestil_solver_release_index(&view);
        kestil_solver_release_index(&owned);
    }
};

struct Search {
    const ExtendedSearch* in = nullptr;
    std::vector<std::unique_ptr<SearchIndex>> indexes;
    StarGrid grid{};
    ExtendedResult* result = nullptr;
    // The matched pairs of each candidate's verification, made once for the whole search.
    std::vector<VerifyPair> pairs = std::vector<VerifyPair>(max_pairs);
    int64_t candidates = 0;
    bool found = false;
    ~Search() { kestil_solver_release_star_grid(&grid); }
};

// Field of the frame along the geometric mean of its sides, in frame pixels.
double frame_size(const ExtendedSearch* in) {
    return std::sqrt(static_cast<double>(in->width) * in->height);
}

// Whether the quads of each bucket are in the order of their codes, judged on a sample of
// buckets spread over the table (a bucket out of order would only cost matches).
bool buckets_sorted(const IndexFile& file) {
    constexpr uint32_t samples = 4096;
    for (uint32_t k = 0; k < samples; ++k) {
        uint32_t bucket = static_cast<uint32_t>((static_cast<uint64_t>(k) * 2654435761u) %
                                                (INDEX_BUCKET_COUNT - 1));
        if (!std::is_sorted(file.codes + file.buckets[bucket],
                            file.codes + file.buckets[bucket + 1]))
            return false;
    }
    return true;
}

// Loads the indexes and sets the scales each accepts: the fields it serves, widened, or with a
// scale hint the hint within 30 % (indexes that serve no such field are left out).
void open_indexes(Search& s) {
    const ExtendedSearch* in = s.in;
    const SolveRequest* request = in->request;
    double hint = request->scale_hint > 0
                      ? request->scale_hint / deg_per_rad / in->pixels_per_image_pixel
                      : 0.0;  // radians per frame pixel
    for (int32_t i = 0; i < in->scale_count; ++i) {
        float scale = in->scales[i];
        double low = 0.0, high = 0.0;
        kestil_solver_published_field_range(scale, &low, &high);
        double min_ratio = low / field_slack / deg_per_rad / frame_size(in);
        double max_ratio = high * field_slack / deg_per_rad / frame_size(in);
        if (hint > 0) {
            if (hint * hint_slack < min_ratio || hint / hint_slack > max_ratio) continue;
            min_ratio = hint / hint_slack;
            max_ratio = hint * hint_slack;
        }
        auto index = std::make_unique<SearchIndex>();
        char path[SOLVER_PATH_SIZE];
        kestil_solver_index_path(path, sizeof path, request->index_dir, scale);
        if (request->cache) {
            index->file = kestil_solver_cached_index(request->cache, path);
        } else if (kestil_solver_load_index(path, &index->owned)) {
            index->file = &index->owned;
        }
        if (!index->file || index->file->quad_count == 0) continue;
        index->scale = scale;
        index->catalog = index->file;
        if (in->use_hint) {
            double extension = scale;
            if (request->scale_hint > 0)
                extension = 0.5 * std::hypot(in->width, in->height) / in->pixels_per_image_pixel *
                            request->scale_hint;
            double radius = (request->radius + extension) / deg_per_rad;
            int32_t count = kestil_solver_cone_catalog(
                index->file, static_cast<float>(in->hint_ra), static_cast<float>(in->hint_dec),
                static_cast<float>(radius), &index->view);
            if (count <= 3) continue;
            index->catalog = &index->view;
        }
        index->min_ratio = min_ratio;
        index->max_ratio = max_ratio;
        index->sorted = buckets_sorted(*index->file);
        s.indexes.push_back(std::move(index));
    }
}

// Similarity fit of four star pairs on the tangent plane at their catalogue centre, in the
// parity that fits better. False when a catalogue star has no projection.
bool fit_quad(const ExtendedSearch* in, const ImageStar* const* image,
              const CatalogStar* const* sky, PlateModel* model, double* worst_px) {
    double cx = 0, cy = 0, cz = 0;
    for (int k = 0; k < 4; ++k) {
        cx += std::cos(sky[k]->dec) * std::cos(sky[k]->ra);
        cy += std::cos(sky[k]->dec) * std::sin(sky[k]->ra);
        cz += std::sin(sky[k]->dec);
    }
    auto ra0 = static_cast<float>(std::fmod(std::atan2(cy, cx) + two_pi, two_pi));
    auto dec0 = static_cast<float>(std::atan2(cz, std::hypot(cx, cy)));
    double xi[4], eta[4], x[4], y[4];
    for (int k = 0; k < 4; ++k) {
        float u = 0.0f, v = 0.0f;
        if (!project_tangent(ra0, dec0, sky[k]->ra, sky[k]->dec, &u, &v)) return false;
        xi[k] = u;
        eta[k] = v;
        x[k] = image[k]->x - in->centre_x;
        y[k] = image[k]->y - in->centre_y;
    }
    double mx = (x[0] + x[1] + x[2] + x[3]) / 4, my = (y[0] + y[1] + y[2] + y[3]) / 4;
    double mu = (xi[0] + xi[1] + xi[2] + xi[3]) / 4, mv = (eta[0] + eta[1] + eta[2] + eta[3]) / 4;
    double best_error = INFINITY;
    for (int flip = 1; flip >= -1; flip -= 2) {
        double sxx = 0, sa = 0, sb = 0;
        for (int k = 0; k < 4; ++k) {
            double X = x[k] - mx, Y = flip * (y[k] - my), U = xi[k] - mu, V = eta[k] - mv;
            sxx += X * X + Y * Y;
            sa += X * U + Y * V;
            sb += X * V - Y * U;
        }
        if (sxx <= 0) return false;
        double a = sa / sxx, b = sb / sxx, scale = std::hypot(a, b);
        if (!(scale > 0)) return false;
        double worst = 0;
        for (int k = 0; k < 4; ++k) {
            double X = x[k] - mx, Y = flip * (y[k] - my);
            double du = a * X - b * Y + mu - xi[k], dv = b * X + a * Y + mv - eta[k];
            worst = std::max(worst, std::hypot(du, dv) / scale);
        }
        if (worst >= best_error) continue;
        best_error = worst;
        PlateFit& f = model->fit;
        f.xi_x = static_cast<float>(a);
        f.xi_y = static_cast<float>(-b * flip);
        f.eta_x = static_cast<float>(b);
        f.eta_y = static_cast<float>(a * flip);
        // Offsets are taken from the image centre: shift the constant terms there.
        f.xi0 = static_cast<float>(mu - a * mx + b * flip * my);
        f.eta0 = static_cast<float>(mv - b * mx - a * flip * my);
        f.scale = static_cast<float>(scale);
        f.rms = 0.0f;
        f.count = 4;
    }
    model->ra0 = ra0;
    model->dec0 = dec0;
    model->centre_x = in->centre_x;
    model->centre_y = in->centre_y;
    *worst_px = best_error;
    return std::isfinite(best_error);
}

// Least-squares plate through the matched pairs, on the tangent plane at the image centre.
bool refit(const Search& s, const SearchIndex& index, const VerifyPair* pairs, int32_t n,
           PlateModel* model) {
    if (n < 3) return false;
    float ra0 = 0.0f, dec0 = 0.0f;
    kestil_solver_plate_sky(model, s.in->centre_x, s.in->centre_y, &ra0, &dec0);
    std::vector<float> x(static_cast<size_t>(n)), y(x), xi(x), eta(x), scratch(4 * x.size());
    std::vector<uint8_t> valid(x.size()), selected(x.size(), 1);
    for (int32_t i = 0; i < n; ++i) {
        const ImageStar& star = s.in->stars[pairs[i].image];
        const CatalogStar& cat = index.file->stars[pairs[i].catalog];
        x[static_cast<size_t>(i)] = star.x - s.in->centre_x;
        y[static_cast<size_t>(i)] = star.y - s.in->centre_y;
        valid[static_cast<size_t>(i)] = project_tangent(
            ra0, dec0, cat.ra, cat.dec, &xi[static_cast<size_t>(i)], &eta[static_cast<size_t>(i)]);
        selected[static_cast<size_t>(i)] = valid[static_cast<size_t>(i)];
    }
    PlatePairs work{n, x.data(), y.data(), xi.data(), eta.data(), valid.data(), scratch.data()};
    PlateFit fit{};
    if (!fit_plate(&work, selected.data(), &fit)) return false;
    *model = {ra0, dec0, s.in->centre_x, s.in->centre_y, fit};
    return true;
}

// A promising candidate: refine it on its matched stars and verify it again; keep it when the
// refined plate verifies and its parity is accepted.
void settle(Search& s, SearchIndex& index, const PlateModel& first, const uint32_t* quad_stars,
            const VerifyResult& evidence, const VerifyPair* first_pairs, int32_t first_count) {
    const ExtendedSearch* in = s.in;
    PlateModel model = first;
    std::vector<VerifyPair> pairs(first_pairs, first_pairs + first_count);
    VerifyResult best = evidence;
    for (int r = 0; r < refinements; ++r) {
        PlateModel next = model;
        if (!refit(s, index, pairs.data(), static_cast<int32_t>(pairs.size()), &next)) break;
        std::vector<VerifyPair> found(static_cast<size_t>(max_pairs));
        int32_t count = 0;
        VerifyResult check{};
        kestil_solver_verify(&next, &s.grid, in->width, in->height, index.catalog, &index.sky,
                             quad_stars, 4, 0, 0, found.data(), max_pairs, &count, &check);
        if (check.log_odds < best.log_odds && count <= static_cast<int32_t>(pairs.size())) break;
        model = next;
        best = check;
        found.resize(static_cast<size_t>(count));
        pairs.swap(found);
    }
    // The index stars are bright: their images are among the brighter detections, where chance
    // matches are rarer. The evidence is also weighed with the brightest detections alone, and
    // the best weighing counts, less the log of the number of weighings tried.
    double decided = best.log_odds;
    int tried = 1;
    for (int32_t limit : star_limits) {
        if (limit >= in->star_count) continue;
        VerifyResult check{};
        kestil_solver_verify(&model, &s.grid, in->width, in->height, index.catalog, &index.sky,
                             quad_stars, 4, 0, limit, nullptr, 0, nullptr, &check);
        decided = std::max(decided, check.log_odds);
        ++tried;
    }
    decided -= std::log(static_cast<double>(tried));
    if (decided < kestil_solver_accept_log_odds) return;
    float angle = 0.0f;
    int32_t parity = 0;
    kestil_solver_plate_orientation(&model.fit, &angle, &parity);
    int32_t wanted = in->request->parity;
    if (wanted != 0 && wanted != parity) {
        kestil_solver_progress(in->request, "Solution with parity %d rejected by the parity hint %d\n",
                        parity, wanted);
        s.result->wrong_parity = true;
        return;
    }
    // The rms of the refined plate over its pairs.
    double sum = 0.0;
    for (const VerifyPair& p : pairs) sum += static_cast<double>(p.distance) * p.distance;
    s.result->model = model;
    s.result->matched = static_cast<int32_t>(pairs.size());
    s.result->rms = static_cast<float>(
        pairs.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(pairs.size())) * model.fit.scale);
    s.result->index_scale = index.scale;
    s.result->log_odds = best.log_odds;
    s.found = true;
    char label[SOLVER_LABEL_SIZE];
    index_label(index.scale, label);
    kestil_solver_progress(
        in->request,
        "Extended search: solution verified with index %s (log-odds %.1f, %d of %d index "
        "stars matched)\n",
        label, best.log_odds, best.hits + 4, best.references);
}

// Tries one index quad against the measured quad in one form.
void try_match(Search& s, SearchIndex& index, const ImageStar* const* form_stars, uint32_t q,
               double tolerance_px) {
    const IndexFile* catalog = index.catalog;
    const uint32_t* stars = &catalog->quad_stars[4 * static_cast<size_t>(q)];
    for (int a = 0; a < 4; ++a) {
        if (stars[a] >= catalog->star_count) return;
        if (catalog->in_cone && !catalog->in_cone[stars[a]]) return;
    }
    // The scale this match implies must suit the index (or the hint) before any fitting.
    float dx = form_stars[1]->x - form_stars[0]->x, dy = form_stars[1]->y - form_stars[0]->y;
    double ratio = catalog->sizes[q] / std::hypot(dx, dy);
    if (ratio < index.min_ratio || ratio > index.max_ratio) return;
    const CatalogStar* sky[4];
    for (int a = 0; a < 4; ++a) sky[a] = &catalog->stars[stars[a]];
    PlateModel model{};
    double worst = 0.0;
    if (!fit_quad(s.in, form_stars, sky, &model, &worst) || worst > tolerance_px) return;
    ++s.candidates;
    if (!index.sky_made) {
        index.sky_made = true;
        kestil_solver_sky_stars(index.file, 0.5 * index.scale / deg_per_rad, &index.sky);
    }
    VerifyResult evidence{};
    int32_t count = 0;
    kestil_solver_verify(&model, &s.grid, s.in->width, s.in->height, catalog, &index.sky, stars, 4,
                         0, 0, s.pairs.data(), max_pairs, &count, &evidence);
    if (evidence.log_odds < refine_log_odds) return;
    settle(s, index, model, stars, evidence, s.pairs.data(), count);
}

// The largest r with r * r <= n, for the small n of code tolerances.
int integer_root(int n) {
    int r = 0;
    while ((r + 1) * (r + 1) <= n) ++r;
    return r;
}

// One lookup: a measured quad in one of its forms, with the tolerance its size allows.
struct Lookup {
    Form form;           // order[] holds positions in the star list
    int tolerance;       // thousandths of the base length
    float tolerance_px;  // how far its stars may lie from their own plate
};

// Looks one form up in one index and tries every hit.
void look_up(Search& s, SearchIndex& index, const Lookup& lookup) {
    const IndexFile* catalog = index.catalog;
    const Form& form = lookup.form;
    const ImageStar* ordered[4];
    for (int a = 0; a < 4; ++a) ordered[a] = &s.in->stars[form.order[a]];
    const uint64_t* codes = catalog->codes;
    int tolerance = lookup.tolerance, t2 = tolerance * tolerance;
    int y_low = std::max(0, form.y1 - tolerance), y_high = std::min(1000, form.y1 + tolerance);
    bool sorted = index.sorted;
    for (int x = std::max(0, form.x1 - tolerance); x <= std::min(1000, form.x1 + tolerance); ++x) {
        int dx2 = (x - form.x1) * (x - form.x1);
        const uint32_t* row = catalog->buckets + static_cast<size_t>(x) * INDEX_GRID;
        for (int y = y_low; y <= y_high; ++y) {
            int rest = t2 - dx2 - (y - form.y1) * (y - form.y1);
            if (rest < 0) continue;
            uint32_t q = row[y], last = row[y + 1];
            if (q == last) continue;
            // Within the bucket only x2 and y2 vary: both within the rest of the tolerance.
            int reach = integer_root(rest);
            if (sorted && last - q > 8) {
                // Codes in order: start at the first x2 in reach.
                uint64_t from = (codes[q] & 0xFFFFFFFF00000000ull) |
                                static_cast<uint64_t>(std::max(0, form.x2 - reach)) << 16;
                q = static_cast<uint32_t>(std::lower_bound(codes + q, codes + last, from) - codes);
            }
            for (; q < last; ++q) {
                uint64_t code = codes[q];
                int x2 = static_cast<uint16_t>(code >> 16),
                    y2 = static_cast<int16_t>(code & 0xFFFF);
                int ex = x2 - form.x2, ey = y2 - form.y2;
                if (ex > reach) {
                    if (sorted) break;  // the rest of the bucket lies farther still
                    continue;
                }
                if (ex * ex + ey * ey > rest) continue;
                try_match(s, index, ordered, q, lookup.tolerance_px);
                if (s.found) return;
            }
        }
    }
}

// The lookups of one quad of four image stars (positions in the star list).
void quad_lookups(const Search& s, const int32_t* members, std::vector<Lookup>* out) {
    const ImageStar* quad[4];
    for (int i = 0; i < 4; ++i) quad[i] = &s.in->stars[members[i]];
    float longest = 0.0f;
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) {
            float d = std::hypot(quad[j]->x - quad[i]->x, quad[j]->y - quad[i]->y);
            if (d < min_separation_px) return;
            longest = std::max(longest, d);
        }
    int tolerance = static_cast<int>(std::ceil(code_error_px * 1000.0 / longest));
    if (tolerance > max_tolerance) return;
    tolerance = std::max(tolerance, min_tolerance);
    auto tolerance_px = static_cast<float>(std::min(quad_fit_px, tolerance * 1e-3 * longest));
    Form forms[16];
    int n = quad_forms(quad, tolerance * 1e-3, forms, 16);
    for (int f = 0; f < n; ++f) {
        Lookup l{forms[f], tolerance, tolerance_px};
        for (int a = 0; a < 4; ++a)
            l.form.order[a] = static_cast<uint16_t>(members[forms[f].order[a]]);
        out->push_back(l);
    }
}

// Runs a batch of lookups against every index, in the order of their codes, so that
// neighbouring lookups read neighbouring buckets of the index (the codes of a whole index do
// not stay in the caches). False when the solve must stop.
bool run_lookups(Search& s, std::vector<Lookup>* lookups) {
    std::sort(lookups->begin(), lookups->end(), [](const Lookup& p, const Lookup& q) {
        return p.form.x1 != q.form.x1 ? p.form.x1 < q.form.x1 : p.form.y1 < q.form.y1;
    });
    for (auto& index : s.indexes)
        for (size_t i = 0; i < lookups->size(); ++i) {
            if (i % 256 == 0 && solver_check_abort(s.in->control)) return false;
            look_up(s, *index, (*lookups)[i]);
            if (s.found) return false;
        }
    lookups->clear();
    return true;
}

// The quads of the first depth stars that contain at least one star from from onwards, looked
// up in batches of bounded size.
void search_depth(Search& s, int32_t from, int32_t depth) {
    std::vector<Lookup> lookups;
    lookups.reserve(max_batch + 16);
    for (int32_t d = from; d < depth; ++d)
        for (int32_t a = 0; a < d; ++a)
            for (int32_t b = a + 1; b < d; ++b)
                for (int32_t c = b + 1; c < d; ++c) {
                    int32_t members[4] = {a, b, c, d};
                    quad_lookups(s, members, &lookups);
                    if (lookups.size() >= max_batch && !run_lookups(s, &lookups)) return;
                }
    run_lookups(s, &lookups);
}

}  // namespace

extern "C" bool kestil_solver_extended_search(const ExtendedSearch* in, ExtendedResult* result) {
    *result = ExtendedResult{};
    Search s;
    s.in = in;
    s.result = result;
    if (in->star_count < 4 || solver_check_abort(in->control)) return false;
    open_indexes(s);
    if (s.indexes.empty()) return false;
    kestil_solver_star_grid(in->stars, in->star_count, in->width, in->height, &s.grid);
    int32_t from = 0;
    for (int32_t depth : depths) {
        int32_t d = std::min(depth, in->star_count);
        if (d <= from) break;
        search_depth(s, std::max(from, 3), d);
        kestil_solver_progress(in->request, "Extended search: %d brightest stars, %lld plates verified\n",
                        d, static_cast<long long>(s.candidates));
        from = d;
        if (s.found || (in->control && in->control->aborted)) break;
    }
    kestil_debug("%s: %lld candidate plates, %s", "kestil_solver_extended_search",
                 static_cast<long long>(s.candidates), s.found ? "solved" : "not solved");
    return s.found;
}
