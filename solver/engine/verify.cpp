// solver/engine/verify.cpp - verification of a candidate plate against the whole field
#include "solver/engine/verify.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "framework/alloc.h"
#include "framework/angles.h"

namespace {

// Model of a right plate: an index star is detected with this probability, at a Gaussian
// offset of sigma pixels from its projection; matches are sought within 3 sigma.
constexpr double detect_fraction = 0.5;
constexpr double sigma_px = 1.0;
constexpr double match_radius_px = 3.0 * sigma_px;
constexpr int32_t max_grid_cells = 4096;
constexpr double give_up_margin = 15.0;  // about 20 misses in a row

struct Reference {
    uint32_t star;
    float x, y;
};

template <typename T>
T* allocate(size_t count) {
    return static_cast<T*>(kestil_checked_malloc(std::max<size_t>(1, count) * sizeof(T)));
}

struct Vec {
    double x, y, z;
};

Vec unit(double ra, double dec) {
    return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

// The tangent plane of a plate as three vectors, so that a star's standard coordinates are
// xi = v.east / v.t and eta = v.north / v.t without trigonometry per star.
struct Plane {
    Vec t, east, north;
    explicit Plane(const PlateModel* model) {
        double ra0 = model->ra0, dec0 = model->dec0;
        t = unit(ra0, dec0);
        east = {-std::sin(ra0), std::cos(ra0), 0.0};
        north = {-std::sin(dec0) * std::cos(ra0), -std::sin(dec0) * std::sin(ra0), std::cos(dec0)};
    }
};

// Image pixel of a unit vector through the plate's inverse map; false without a projection.
bool vector_pixel(const PlateModel* model, const Plane& plane, const float* v, double inv[4],
                  float* x, float* y) {
    double d = v[0] * plane.t.x + v[1] * plane.t.y + v[2] * plane.t.z;
    if (d <= 0.0) return false;
    double u =
        (v[0] * plane.east.x + v[1] * plane.east.y + v[2] * plane.east.z) / d - model->fit.xi0;
    double w =
        (v[0] * plane.north.x + v[1] * plane.north.y + v[2] * plane.north.z) / d - model->fit.eta0;
    *x = static_cast<float>(inv[0] * u + inv[1] * w + model->centre_x);
    *y = static_cast<float>(inv[2] * u + inv[3] * w + model->centre_y);
    return true;
}

bool inside(float x, float y, int32_t width, int32_t height) {
    return x >= 0.0f && y >= 0.0f && x < static_cast<float>(width) &&
           y < static_cast<float>(height);
}

// The stars of the bands of sky that a cone of the given radius around c may reach.
template <typename Visit>
void scan_bands(const SkyStars* sky, double ra_c, double dec_c, double radius, const Visit& visit) {
    double low = dec_c - radius, high = dec_c + radius;
    auto first = static_cast<int32_t>(std::floor((low + half_pi) / sky->band_height));
    auto last = static_cast<int32_t>(std::floor((high + half_pi) / sky->band_height));
    first = std::max(first, 0);
    last = std::min(last, sky->bands - 1);
    double widest = std::max(std::fabs(low), std::fabs(high));
    bool whole = widest >= half_pi - 1e-9;
    double half = whole ? pi : radius / std::cos(widest);
    whole = whole || half >= pi;
    for (int32_t band = first; band <= last; ++band) {
        uint32_t begin = sky->band_start[band], end = sky->band_start[band + 1];
        auto range = [&](double from, double to) {
            const float* ra = sky->ra;
            auto lo = static_cast<uint32_t>(
                std::lower_bound(ra + begin, ra + end, static_cast<float>(from)) - ra);
            for (uint32_t i = lo; i < end && ra[i] <= to; ++i) visit(i);
        };
        if (whole) {
            range(-1.0, 8.0);
            continue;
        }
        double from = ra_c - half, to = ra_c + half;
        if (from < 0.0) {
            range(from + two_pi, two_pi);
            range(0.0, to);
        } else if (to >= two_pi) {
            range(from, two_pi);
            range(0.0, to - two_pi);
        } else {
            range(from, to);
        }
    }
}

// The index stars that project inside the image, brightest first.
void gather_references(const PlateModel* model, int32_t width, int32_t height,
                       const IndexFile* index, const SkyStars* sky, std::vector<Reference>* out) {
    const PlateFit& f = model->fit;
    double det = static_cast<double>(f.xi_x) * f.eta_y - static_cast<double>(f.xi_y) * f.eta_x;
    if (det == 0.0 || !std::isfinite(det)) return;
    double inv[4] = {f.eta_y / det, -f.xi_y / det, -f.eta_x / det, f.xi_x / det};
    float ra_c = 0.0f, dec_c = 0.0f;
    kestil_solver_plate_sky(model, 0.5f * static_cast<float>(width),
                            0.5f * static_cast<float>(height), &ra_c, &dec_c);
    double half_diagonal =
        0.5 * std::hypot(static_cast<double>(width), static_cast<double>(height));
    double radius = std::min(half_pi, half_diagonal * f.scale * 1.05 + 1e-5);
    double cos_radius = std::cos(radius);
    Vec c = unit(ra_c, dec_c);
    Plane plane(model);
    if (sky && sky->order) {
        scan_bands(sky, ra_c, dec_c, radius, [&](uint32_t i) {
            uint32_t s = sky->order[i];
            if (index->in_cone && !index->in_cone[s]) return;
            const float* v = &sky->vector[3 * static_cast<size_t>(i)];
            if (v[0] * c.x + v[1] * c.y + v[2] * c.z < cos_radius) return;
            float x = 0.0f, y = 0.0f;
            if (vector_pixel(model, plane, v, inv, &x, &y) && inside(x, y, width, height))
                out->push_back({s, x, y});
        });
        std::sort(out->begin(), out->end(),
                  [](const Reference& a, const Reference& b) { return a.star < b.star; });
    } else {
        double low = dec_c - radius, high = dec_c + radius;
        for (uint32_t s = 0; s < index->star_count; ++s) {
            const CatalogStar& star = index->stars[s];
            if (star.dec < low || star.dec > high) continue;
            if (index->in_cone && !index->in_cone[s]) continue;
            Vec u = unit(star.ra, star.dec);
            if (u.x * c.x + u.y * c.y + u.z * c.z < cos_radius) continue;
            float v[3] = {static_cast<float>(u.x), static_cast<float>(u.y),
                          static_cast<float>(u.z)};
            float x = 0.0f, y = 0.0f;
            if (vector_pixel(model, plane, v, inv, &x, &y) && inside(x, y, width, height))
                out->push_back({s, x, y});
        }
    }
    if (out->size() > SOLVER_VERIFY_MAX_REFERENCES) out->resize(SOLVER_VERIFY_MAX_REFERENCES);
}

// The nearest image star to (x, y) within the match radius not yet claimed; -1 when none.
int32_t nearest_free(const StarGrid* grid, float x, float y, const std::vector<uint8_t>& claimed,
                     int32_t limit, float* distance) {
    auto r = static_cast<float>(match_radius_px);
    int32_t c0 = std::max(0, static_cast<int32_t>((x - r) / grid->cell));
    int32_t c1 = std::min(grid->columns - 1, static_cast<int32_t>((x + r) / grid->cell));
    int32_t r0 = std::max(0, static_cast<int32_t>((y - r) / grid->cell));
    int32_t r1 = std::min(grid->rows - 1, static_cast<int32_t>((y + r) / grid->cell));
    int32_t best = -1;
    float best_d2 = r * r;
    for (int32_t row = r0; row <= r1; ++row)
        for (int32_t col = c0; col <= c1; ++col)
            for (int32_t i = grid->head[row * grid->columns + col]; i >= 0; i = grid->next[i]) {
                if (i >= limit || claimed[static_cast<size_t>(i)]) continue;
                float dx = grid->stars[i].x - x, dy = grid->stars[i].y - y;
                float d2 = dx * dx + dy * dy;
                if (d2 <= best_d2) {
                    best_d2 = d2;
                    best = i;
                }
            }
    *distance = std::sqrt(best_d2);
    return best;
}

struct Evidence {
    double log_odds = 0.0;  // best prefix sum
    size_t used = 0;        // length of the best prefix
};

// The best prefix sum of the terms, after leaving out the drop_best largest hit terms.
Evidence weigh(std::vector<double> terms, const std::vector<int32_t>& hit_of, int32_t drop_best) {
    for (int32_t k = 0; k < drop_best; ++k) {
        size_t best = terms.size();
        for (size_t t = 0; t < terms.size(); ++t)
            if (hit_of[t] >= 0 && terms[t] > 0.0 &&
                (best == terms.size() || terms[t] > terms[best]))
                best = t;
        if (best == terms.size()) break;
        terms[best] = 0.0;
    }
    Evidence e;
    double sum = 0.0;
    for (size_t t = 0; t < terms.size(); ++t) {
        sum += terms[t];
        if (sum > e.log_odds) {
            e.log_odds = sum;
            e.used = t + 1;
        }
    }
    return e;
}

// Log-likelihood ratio of one match at distance d among chance matches of the given density
// (per square pixel), and of one miss.
double hit_term(double d, double density) {
    double g = std::exp(-0.5 * d * d / (sigma_px * sigma_px)) / (two_pi * sigma_px * sigma_px);
    return std::log((detect_fraction * g + (1.0 - detect_fraction) * density) / density);
}

double miss_term() {
    return std::log((1.0 - detect_fraction) +
                    detect_fraction *
                        std::exp(-0.5 * match_radius_px * match_radius_px / (sigma_px * sigma_px)));
}

// The detections, brightest first, each matched to the nearest unclaimed index star of the
// field within the match radius; the detections already taken by the defining stars are
// passed over. Terms, hit positions and pairs as for the index stars' side.
template <typename Excluded>
void weigh_detections(const std::vector<Reference>& refs, const StarGrid* grid, int32_t width,
                      int32_t height, int32_t limit, const std::vector<VerifyPair>& found,
                      size_t defining, const Excluded& is_excluded, std::vector<double>* terms,
                      std::vector<int32_t>* hit_of, std::vector<VerifyPair>* pairs) {
    std::vector<const Reference*> free_refs;
    for (const Reference& r : refs)
        if (!is_excluded(r.star)) free_refs.push_back(&r);
    if (free_refs.empty()) return;
    // About two cells per index star: the grid is made anew for every plate.
    double cells = std::min(static_cast<double>(max_grid_cells), 2.0 * free_refs.size() + 16.0);
    auto cell = static_cast<float>(
        std::max(match_radius_px, std::sqrt(static_cast<double>(width) * height / cells)));
    int32_t columns = std::max(1, static_cast<int32_t>(std::ceil(width / cell)));
    int32_t rows = std::max(1, static_cast<int32_t>(std::ceil(height / cell)));
    std::vector<int32_t> head(static_cast<size_t>(columns) * static_cast<size_t>(rows), -1);
    std::vector<int32_t> next(free_refs.size(), -1);
    for (size_t k = free_refs.size(); k-- > 0;) {
        int32_t col = std::min(columns - 1, static_cast<int32_t>(free_refs[k]->x / cell));
        int32_t row = std::min(rows - 1, static_cast<int32_t>(free_refs[k]->y / cell));
        int32_t& h = head[static_cast<size_t>(row * columns + col)];
        next[k] = h;
        h = static_cast<int32_t>(k);
    }
    std::vector<uint8_t> taken_ref(free_refs.size(), 0), taken_star(static_cast<size_t>(limit), 0);
    for (size_t f = 0; f < defining; ++f)
        if (found[f].image < limit) taken_star[static_cast<size_t>(found[f].image)] = 1;
    double density = static_cast<double>(free_refs.size()) / (static_cast<double>(width) * height);
    auto r = static_cast<float>(match_radius_px);
    double sum = 0.0, best_sum = 0.0;
    for (int32_t j = 0; j < limit; ++j) {
        if (taken_star[static_cast<size_t>(j)]) continue;
        float x = grid->stars[j].x, y = grid->stars[j].y;
        int32_t c0 = std::max(0, static_cast<int32_t>((x - r) / cell));
        int32_t c1 = std::min(columns - 1, static_cast<int32_t>((x + r) / cell));
        int32_t r0 = std::max(0, static_cast<int32_t>((y - r) / cell));
        int32_t r1 = std::min(rows - 1, static_cast<int32_t>((y + r) / cell));
        int32_t best = -1;
        float best_d2 = r * r;
        for (int32_t row = r0; row <= r1; ++row)
            for (int32_t col = c0; col <= c1; ++col)
                for (int32_t k = head[static_cast<size_t>(row * columns + col)]; k >= 0;
                     k = next[static_cast<size_t>(k)]) {
                    if (taken_ref[static_cast<size_t>(k)]) continue;
                    float dx = free_refs[static_cast<size_t>(k)]->x - x;
                    float dy = free_refs[static_cast<size_t>(k)]->y - y;
                    float d2 = dx * dx + dy * dy;
                    if (d2 <= best_d2) {
                        best_d2 = d2;
                        best = k;
                    }
                }
        if (best < 0) {
            terms->push_back(miss_term());
            hit_of->push_back(-1);
        } else {
            taken_ref[static_cast<size_t>(best)] = 1;
            float d = std::sqrt(best_d2);
            terms->push_back(hit_term(d, density));
            hit_of->push_back(static_cast<int32_t>(pairs->size()));
            pairs->push_back({j, free_refs[static_cast<size_t>(best)]->star, d});
        }
        sum += terms->back();
        best_sum = std::max(best_sum, sum);
        if (sum < best_sum - give_up_margin) break;
    }
}

}  // namespace

extern "C" {

const double kestil_solver_accept_log_odds = 20.723265836946411;  // ln(1e9)

bool kestil_solver_plate_pixel(const PlateModel* model, float ra, float dec, float* x, float* y) {
    float xi = 0.0f, eta = 0.0f;
    if (!project_tangent(model->ra0, model->dec0, ra, dec, &xi, &eta)) return false;
    const PlateFit& f = model->fit;
    double det = static_cast<double>(f.xi_x) * f.eta_y - static_cast<double>(f.xi_y) * f.eta_x;
    if (det == 0.0 || !std::isfinite(det)) return false;
    double u = static_cast<double>(xi) - f.xi0, v = static_cast<double>(eta) - f.eta0;
    *x = static_cast<float>((f.eta_y * u - f.xi_y * v) / det + model->centre_x);
    *y = static_cast<float>((-f.eta_x * u + f.xi_x * v) / det + model->centre_y);
    return std::isfinite(*x) && std::isfinite(*y);
}

void kestil_solver_plate_sky(const PlateModel* model, float x, float y, float* ra, float* dec) {
    const PlateFit& f = model->fit;
    float dx = x - model->centre_x, dy = y - model->centre_y;
    deproject_tangent(model->ra0, model->dec0, f.xi0 + f.xi_x * dx + f.xi_y * dy,
                      f.eta0 + f.eta_x * dx + f.eta_y * dy, ra, dec);
}

void kestil_solver_sky_stars(const IndexFile* index, double band_height, SkyStars* sky) {
    *sky = SkyStars{};
    uint32_t n = index->star_count;
    sky->bands = std::clamp(static_cast<int32_t>(std::ceil(pi / band_height)), 1, 100000);
    sky->band_height = pi / sky->bands;
    auto band_of = [&](float dec) {
        auto b = static_cast<int32_t>(std::floor((dec + half_pi) / sky->band_height));
        return std::clamp(b, 0, sky->bands - 1);
    };
    sky->band_start = allocate<uint32_t>(static_cast<size_t>(sky->bands) + 1);
    sky->order = allocate<uint32_t>(n);
    sky->ra = allocate<float>(n);
    sky->vector = allocate<float>(3 * static_cast<size_t>(n));
    // Counting sort by band, then each band by right ascension.
    std::vector<int32_t> band(n);
    std::fill(sky->band_start, sky->band_start + sky->bands + 1, 0u);
    for (uint32_t i = 0; i < n; ++i) {
        band[i] = band_of(index->stars[i].dec);
        ++sky->band_start[band[i] + 1];
    }
    for (int32_t b = 0; b < sky->bands; ++b) sky->band_start[b + 1] += sky->band_start[b];
    std::vector<uint32_t> next(sky->band_start, sky->band_start + sky->bands);
    for (uint32_t i = 0; i < n; ++i) sky->order[next[static_cast<size_t>(band[i])]++] = i;
    for (int32_t b = 0; b < sky->bands; ++b)
        std::sort(sky->order + sky->band_start[b], sky->order + sky->band_start[b + 1],
                  [&](uint32_t p, uint32_t q) {
                      float rp = index->stars[p].ra, rq = index->stars[q].ra;
                      return rp < rq || (rp == rq && p < q);
                  });
    for (uint32_t i = 0; i < n; ++i) {
        const CatalogStar& star = index->stars[sky->order[i]];
        sky->ra[i] = star.ra;
        Vec v = unit(star.ra, star.dec);
        sky->vector[3 * static_cast<size_t>(i)] = static_cast<float>(v.x);
        sky->vector[3 * static_cast<size_t>(i) + 1] = static_cast<float>(v.y);
        sky->vector[3 * static_cast<size_t>(i) + 2] = static_cast<float>(v.z);
    }
    sky->count = n;
}

void kestil_solver_release_sky_stars(SkyStars* sky) {
    std::free(sky->band_start);
    std::free(sky->order);
    std::free(sky->ra);
    std::free(sky->vector);
    *sky = SkyStars{};
}

void kestil_solver_star_grid(const ImageStar* stars, int32_t star_count, int32_t width,
                             int32_t height, StarGrid* grid) {
    *grid = StarGrid{};
    double area = std::max(1.0, static_cast<double>(width) * height);
    auto cell = static_cast<float>(std::max(match_radius_px, std::sqrt(area / max_grid_cells)));
    grid->stars = stars;
    grid->star_count = star_count;
    grid->cell = cell;
    grid->columns = std::max(1, static_cast<int32_t>(std::ceil(width / cell)));
    grid->rows = std::max(1, static_cast<int32_t>(std::ceil(height / cell)));
    auto cells = static_cast<size_t>(grid->columns) * static_cast<size_t>(grid->rows);
    grid->head = allocate<int32_t>(cells);
    grid->next = allocate<int32_t>(static_cast<size_t>(star_count));
    std::fill(grid->head, grid->head + cells, -1);
    for (int32_t i = star_count - 1; i >= 0; --i) {
        grid->next[i] = -1;
        int32_t col = static_cast<int32_t>(stars[i].x / cell);
        int32_t row = static_cast<int32_t>(stars[i].y / cell);
        if (col < 0 || row < 0 || col >= grid->columns || row >= grid->rows) continue;
        int32_t& h = grid->head[row * grid->columns + col];
        grid->next[i] = h;
        h = i;
    }
}

void kestil_solver_release_star_grid(StarGrid* grid) {
    std::free(grid->head);
    std::free(grid->next);
    *grid = StarGrid{};
}

bool kestil_solver_verify(const PlateModel* model, const StarGrid* grid, int32_t width,
                          int32_t height, const IndexFile* index, const SkyStars* sky,
                          const uint32_t* excluded, int32_t excluded_count, int32_t drop_best,
                          int32_t star_limit, VerifyPair* pairs, int32_t capacity,
                          int32_t* pair_count, VerifyResult* result) {
    *result = VerifyResult{};
    if (pair_count) *pair_count = 0;
    if (!(model->fit.scale > 0.0f) || grid->star_count <= 0 || width <= 0 || height <= 0)
        return false;
    std::vector<Reference> refs;
    gather_references(model, width, height, index, sky, &refs);
    result->references = static_cast<int32_t>(refs.size());

    int32_t limit = star_limit > 0 ? std::min(star_limit, grid->star_count) : grid->star_count;
    std::vector<uint8_t> claimed(static_cast<size_t>(grid->star_count), 0);
    auto is_excluded = [&](uint32_t s) {
        for (int32_t e = 0; e < excluded_count; ++e)
            if (excluded[e] == s) return true;
        return false;
    };
    std::vector<VerifyPair> found;
    // The stars that defined the plate claim their image stars first and count for nothing.
    for (const Reference& r : refs) {
        if (!is_excluded(r.star)) continue;
        float d = 0.0f;
        int32_t i = nearest_free(grid, r.x, r.y, claimed, limit, &d);
        if (i < 0) continue;
        claimed[static_cast<size_t>(i)] = 1;
        found.push_back({i, r.star, d});
    }
    size_t defining = found.size();

    double density = limit / (static_cast<double>(width) * height);
    double miss = miss_term();
    // Terms in brightness order; the walk ends once the sum has fallen so far below its best
    // that the index stars still to come could not lift it back in any likely case.
    std::vector<double> terms;
    std::vector<int32_t> hit_of;  // position in found, -1 for a miss
    double sum = 0.0, best_sum = 0.0;
    for (const Reference& r : refs) {
        if (is_excluded(r.star)) continue;
        float d = 0.0f;
        int32_t i = nearest_free(grid, r.x, r.y, claimed, limit, &d);
        if (i < 0) {
            terms.push_back(miss);
            hit_of.push_back(-1);
        } else {
            claimed[static_cast<size_t>(i)] = 1;
            terms.push_back(hit_term(d, density));
            hit_of.push_back(static_cast<int32_t>(found.size()));
            found.push_back({i, r.star, d});
        }
        sum += terms.back();
        best_sum = std::max(best_sum, sum);
        if (drop_best == 0 && sum < best_sum - give_up_margin) break;
    }
    Evidence by_reference = weigh(terms, hit_of, drop_best);

    // The same question asked from the image's side: does each detection, brightest first,
    // have an index star of the field nearby? Where far fewer stars are detected than the
    // index holds in the field (nebulae, stretched frames), this side carries the evidence.
    std::vector<double> image_terms;
    std::vector<int32_t> image_hit_of;
    std::vector<VerifyPair> image_found;
    weigh_detections(refs, grid, width, height, limit, found, defining, is_excluded, &image_terms,
                     &image_hit_of, &image_found);
    Evidence by_image = weigh(image_terms, image_hit_of, drop_best);

    bool image_side = by_image.log_odds > by_reference.log_odds;
    const Evidence& e = image_side ? by_image : by_reference;
    const std::vector<int32_t>& hits_at = image_side ? image_hit_of : hit_of;
    const std::vector<VerifyPair>& source = image_side ? image_found : found;
    std::vector<VerifyPair> kept(found.begin(), found.begin() + static_cast<long>(defining));
    for (size_t t = 0; t < e.used; ++t)
        if (hits_at[t] >= 0) kept.push_back(source[static_cast<size_t>(hits_at[t])]);
    // Two ways of weighing were tried: the better one pays for the choice.
    result->log_odds = e.log_odds - std::log(2.0);
    result->used = static_cast<int32_t>(e.used);
    result->hits = static_cast<int32_t>(kept.size() - defining);
    if (pairs && pair_count) {
        int32_t n = std::min(capacity, static_cast<int32_t>(kept.size()));
        std::copy(kept.begin(), kept.begin() + n, pairs);
        *pair_count = n;
    }
    return result->log_odds >= kestil_solver_accept_log_odds;
}

}  // extern "C"
