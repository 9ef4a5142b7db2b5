// solver/engine/sip.cpp - the plate as a WCS with lens distortion terms (SIP)
#include "solver/engine/sip.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "framework/angles.h"

namespace {

constexpr int max_inverse_order = SOLVER_SIP_MAX_ORDER + 1;
constexpr int newton_steps = 20;
constexpr double newton_tolerance_px = 1e-9;

bool orders_valid(const SolverWcs* wcs) {
    return wcs->sip_order >= 0 && wcs->sip_order <= SOLVER_SIP_MAX_ORDER &&
           wcs->inverse_order >= 0 && wcs->inverse_order <= max_inverse_order;
}

// sum c[p][q] u^p v^q over low <= p + q <= order.
double polynomial(const double c[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2], int low,
                  int order, double u, double v) {
    double sum = 0.0;
    double up = 1.0;
    for (int p = 0; p <= order; ++p, up *= u) {
        double term = up;
        for (int q = 0; p + q <= order; ++q, term *= v)
            if (p + q >= low) sum += c[p][q] * term;
    }
    return sum;
}

// Partial derivatives of the forward polynomial c (orders 2 to order) at (u, v).
void polynomial_gradient(const double c[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2],
                         int order, double u, double v, double* du, double* dv) {
    *du = 0.0;
    *dv = 0.0;
    for (int p = 0; p <= order; ++p)
        for (int q = 0; p + q <= order; ++q) {
            if (p + q < 2 || c[p][q] == 0.0) continue;
            if (p > 0) *du += c[p][q] * p * std::pow(u, p - 1) * std::pow(v, q);
            if (q > 0) *dv += c[p][q] * q * std::pow(u, p) * std::pow(v, q - 1);
        }
}

// Gnomonic deprojection: standard coordinates (radians) about (ra0, dec0) to a direction.
void deproject(double ra0, double dec0, double xi, double eta, double* ra, double* dec) {
    const double den = std::cos(dec0) - eta * std::sin(dec0);
    *ra = ra0 + std::atan2(xi, den);
    *dec = std::atan2(std::sin(dec0) + eta * std::cos(dec0), std::hypot(xi, den));
    *ra = std::fmod(*ra, two_pi);
    if (*ra < 0.0) *ra += two_pi;
    if (*ra >= two_pi) *ra = 0.0;
}

// Gnomonic projection (radians); false at 90 degrees or more from the tangent point.
bool project(double ra0, double dec0, double ra, double dec, double* xi, double* eta) {
    const double dra = ra - ra0;
    const double cos_c = std::sin(dec0) * std::sin(dec) + std::cos(dec0) * std::cos(dec) * std::cos(dra);
    if (!(cos_c > 0.0)) return false;
    *xi = std::cos(dec) * std::sin(dra) / cos_c;
    *eta = (std::cos(dec0) * std::sin(dec) - std::sin(dec0) * std::cos(dec) * std::cos(dra)) / cos_c;
    return true;
}

// The pixel offsets (u, v) whose distorted offsets are (up, vp): the inverse terms' estimate,
// then Newton steps on the forward terms. False when they don't converge.
bool undistort(const SolverWcs* wcs, double up, double vp, double* u, double* v) {
    double su = up, sv = vp;
    if (wcs->inverse_order > 0) {
        su += polynomial(wcs->ap, 0, wcs->inverse_order, up, vp);
        sv += polynomial(wcs->bp, 0, wcs->inverse_order, up, vp);
    }
    for (int step = 0; step < newton_steps; ++step) {
        const double fu = su + polynomial(wcs->a, 2, wcs->sip_order, su, sv) - up;
        const double fv = sv + polynomial(wcs->b, 2, wcs->sip_order, su, sv) - vp;
        double au, av, bu, bv;
        polynomial_gradient(wcs->a, wcs->sip_order, su, sv, &au, &av);
        polynomial_gradient(wcs->b, wcs->sip_order, su, sv, &bu, &bv);
        const double j11 = 1.0 + au, j12 = av, j21 = bu, j22 = 1.0 + bv;
        const double det = j11 * j22 - j12 * j21;
        if (!std::isfinite(det) || det == 0.0) return false;
        const double du = (j22 * fu - j12 * fv) / det;
        const double dv = (j11 * fv - j21 * fu) / det;
        su -= du;
        sv -= dv;
        if (!std::isfinite(su) || !std::isfinite(sv)) return false;
        if (std::fabs(du) + std::fabs(dv) < newton_tolerance_px) {
            *u = su;
            *v = sv;
            return true;
        }
    }
    return false;
}


// --- Refinement after a solve --------------------------------------------------------------

constexpr int max_rounds = 8;
constexpr double match_radius_px = 3.0;        // at the reference pixel
constexpr double corner_widening_px = 6.0;     // added at the corners (times rho^2)
constexpr double clip_median_factor = 3.0;     // pairs beyond 3 median residuals are dropped
constexpr double clip_floor_px = 1.0;          // ... but never those within 1 pixel
constexpr int clip_rounds = 3;                 // drop and refit at most 3 times per match
constexpr int min_tan_pairs = 6;
constexpr int grid_cells = 3;                  // spread: a 3 x 3 grid over the image
constexpr int inverse_grid = 24;               // inverse terms: fitted at 24 x 24 points
constexpr int max_basis = 15;                  // monomials up to order 4, basis functions

// A basis function of the distortion: one monomial u^p v^q, or the sum of two of the same
// degree (u r^2 = u^3 + u v^2 and v r^2 = u^2 v + v^3: radial distortion).
struct Term {
    int count;
    int p[2], q[2];
};
constexpr Term u2{1, {2, 0}, {0, 0}}, uv{1, {1, 0}, {1, 0}}, v2{1, {0, 0}, {2, 0}};
constexpr Term u3{1, {3, 0}, {0, 0}}, u2v{1, {2, 0}, {1, 0}}, uv2{1, {1, 0}, {2, 0}},
               v3{1, {0, 0}, {3, 0}};
constexpr Term ur2{2, {3, 1}, {0, 2}}, vr2{2, {2, 0}, {1, 3}};
constexpr int max_terms = 7;

// A plate model: TAN (no terms), or TAN with distortion terms stored as SIP of the given order,
// allowed with at least min_pairs pairs in min_cells of the 3 x 3 cells over the image, among
// them min_corners corner cells (terms fitted to the stars of the centre alone run away at the
// corners). Besides the full orders 2 and 3, the cubic terms of radial distortion alone (2 per axis
// instead of 4), with and without the quadratic ones: lenses distort mostly radially, and fewer
// terms follow the noise less at the corners. Outliers are judged by the allowed model of the
// highest clip rank: flexible enough that a distorted field's corners are not taken for
// outliers of a TAN fit, stiff enough that it can't bend toward a few pairs and drop the rest.
struct Model {
    int sip_order;
    int term_count;
    Term terms[max_terms];
    int min_pairs, min_cells, min_corners;
    int clip_rank;  // 0: never judges outliers
};
constexpr Model models[] = {
    {0, 0, {}, min_tan_pairs, 0, 0, 1},
    {2, 3, {u2, uv, v2}, 20, 6, 2, 2},
    {3, 2, {ur2, vr2}, 20, 6, 2, 3},
    {3, 5, {u2, uv, v2, ur2, vr2}, 50, 7, 3, 4},
    {3, 7, {u2, uv, v2, u3, u2v, uv2, v3}, 70, 7, 3, 0},
};

struct Pair {
    int32_t detection;
    int32_t index;
    bool operator==(const Pair& other) const {
        return detection == other.detection && index == other.index;
    }
};

struct Field {
    const SolverStar* detections;
    int32_t detection_count;
    const SolverStar* index_stars;
    int32_t index_count;
    int32_t width, height;
    double half_diagonal;          // pixels: the normalisation of offsets and distances
    std::vector<int32_t> by_x;     // detections sorted by x
};

// A fitted plate with the sum of its squared pixel residuals over the pairs it was fitted to.
struct PlateCandidate {
    SolverWcs wcs;
    double rss = 0.0;
    int32_t pairs = 0;
    int32_t parameters = 0;        // per axis
};

// The monomials u^p v^q with low <= p + q <= order in a fixed order; their count.
int monomials(int low, int order, int p_of[max_basis], int q_of[max_basis]) {
    int m = 0;
    for (int degree = low; degree <= order; ++degree)
        for (int q = 0; q <= degree; ++q) {
            p_of[m] = degree - q;
            q_of[m] = q;
            ++m;
        }
    return m;
}

// Least squares with two right-hand sides over the rows of `design` (m columns): the normal
// equations by Cholesky. Scaled columns (offsets over the half diagonal) keep them well
// conditioned up to order 4. False when singular.
bool least_squares(const std::vector<double>& design, const std::vector<double>& z1,
                   const std::vector<double>& z2, int m, double c1[max_basis],
                   double c2[max_basis]) {
    const size_t rows = z1.size();
    double n[max_basis][max_basis] = {};
    double r1[max_basis] = {}, r2[max_basis] = {};
    for (size_t k = 0; k < rows; ++k) {
        const double* row = &design[k * static_cast<size_t>(m)];
        for (int i = 0; i < m; ++i) {
            r1[i] += row[i] * z1[k];
            r2[i] += row[i] * z2[k];
            for (int j = 0; j <= i; ++j) n[i][j] += row[i] * row[j];
        }
    }
    double largest = 0.0;
    for (int i = 0; i < m; ++i) largest = std::max(largest, n[i][i]);
    for (int j = 0; j < m; ++j) {  // n = L L^T in the lower triangle
        double d = n[j][j];
        for (int k = 0; k < j; ++k) d -= n[j][k] * n[j][k];
        if (!(d > 1e-12 * largest)) return false;
        n[j][j] = std::sqrt(d);
        for (int i = j + 1; i < m; ++i) {
            double s = n[i][j];
            for (int k = 0; k < j; ++k) s -= n[i][k] * n[j][k];
            n[i][j] = s / n[j][j];
        }
    }
    for (double* r : {r1, r2}) {
        for (int i = 0; i < m; ++i) {  // L y = r
            for (int k = 0; k < i; ++k) r[i] -= n[i][k] * r[k];
            r[i] /= n[i][i];
        }
        for (int i = m - 1; i >= 0; --i) {  // L^T c = y
            for (int k = i + 1; k < m; ++k) r[i] -= n[k][i] * r[k];
            r[i] /= n[i][i];
        }
    }
    for (int i = 0; i < m; ++i) {
        c1[i] = r1[i];
        c2[i] = r2[i];
    }
    return true;
}

void basis_row(double s, double t, int m, const int p_of[], const int q_of[], double* row) {
    for (int i = 0; i < m; ++i) row[i] = std::pow(s, p_of[i]) * std::pow(t, q_of[i]);
}

double pixel_distance(const SolverWcs* wcs, const SolverStar& detection, const SolverStar& star) {
    double x, y;
    if (!kestil_solver_wcs_sky_to_pixel(wcs, star.ra, star.dec, &x, &y))
        return HUGE_VAL;
    return std::hypot(x - detection.x, y - detection.y);
}

double sum_of_squares(const Field& field, const std::vector<Pair>& pairs, const SolverWcs* wcs) {
    double sum = 0.0;
    for (const Pair& pair : pairs) {
        const double d = pixel_distance(wcs, field.detections[pair.detection],
                                        field.index_stars[pair.index]);
        sum += d * d;
    }
    return sum;
}

double rms_of(const Field& field, const std::vector<Pair>& pairs, const SolverWcs* wcs) {
    if (pairs.empty()) return 0.0;
    return std::sqrt(sum_of_squares(field, pairs, wcs) / static_cast<double>(pairs.size()));
}

// One index star per detection and one detection per index star, closest pairs first, within
// the radius that widens toward the corners; sorted by detection.
std::vector<Pair> match_stars(const Field& field, const SolverWcs* wcs) {
    struct Candidate { double distance; int32_t detection, index; };
    std::vector<Candidate> candidates;
    const double widest = match_radius_px + corner_widening_px;
    for (int32_t i = 0; i < field.index_count; ++i) {
        double x, y;
        const SolverStar& star = field.index_stars[i];
        if (!kestil_solver_wcs_sky_to_pixel(wcs, star.ra, star.dec, &x, &y)) continue;
        if (x < 0.5 - widest || x > field.width + 0.5 + widest || y < 0.5 - widest ||
            y > field.height + 0.5 + widest)
            continue;
        const double rho = std::hypot(x - wcs->crpix[0], y - wcs->crpix[1]) / field.half_diagonal;
        const double radius = match_radius_px + corner_widening_px * std::min(rho * rho, 1.0);
        auto first = std::lower_bound(field.by_x.begin(), field.by_x.end(), x - radius,
                                      [&](int32_t d, double value) {
                                          return field.detections[d].x < value;
                                      });
        for (auto it = first; it != field.by_x.end(); ++it) {
            const SolverStar& detection = field.detections[*it];
            if (detection.x > x + radius) break;
            const double distance = std::hypot(detection.x - x, detection.y - y);
            if (distance <= radius) candidates.push_back({distance, *it, i});
        }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.distance < b.distance || (a.distance == b.distance && a.index < b.index);
    });
    std::vector<uint8_t> detection_used(static_cast<size_t>(field.detection_count), 0);
    std::vector<uint8_t> index_used(static_cast<size_t>(field.index_count), 0);
    std::vector<Pair> pairs;
    for (const Candidate& c : candidates) {
        if (detection_used[static_cast<size_t>(c.detection)] || index_used[static_cast<size_t>(c.index)])
            continue;
        detection_used[static_cast<size_t>(c.detection)] = 1;
        index_used[static_cast<size_t>(c.index)] = 1;
        pairs.push_back({c.detection, c.index});
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.detection < b.detection; });
    return pairs;
}

// Whether the pairs are many enough and spread wide enough for the model's terms.
bool model_allowed(const Field& field, const std::vector<Pair>& pairs, const Model& model) {
    if (static_cast<int>(pairs.size()) < model.min_pairs) return false;
    int count[grid_cells][grid_cells] = {};
    for (const Pair& pair : pairs) {
        const SolverStar& d = field.detections[pair.detection];
        const int cx = std::clamp(static_cast<int>((d.x - 0.5) * grid_cells / field.width), 0, grid_cells - 1);
        const int cy = std::clamp(static_cast<int>((d.y - 0.5) * grid_cells / field.height), 0, grid_cells - 1);
        ++count[cx][cy];
    }
    int cells = 0;
    for (const auto& column : count)
        for (int c : column) cells += c > 0;
    const int last = grid_cells - 1;
    const int corners = (count[0][0] > 0) + (count[0][last] > 0) + (count[last][0] > 0) +
                        (count[last][last] > 0);
    return cells >= model.min_cells && corners >= model.min_corners;
}

// Basis functions of a model at the scaled offsets (s, t): 1, s, t, then its terms.
void model_row(const Model& model, double s, double t, double* row) {
    row[0] = 1.0;
    row[1] = s;
    row[2] = t;
    for (int i = 0; i < model.term_count; ++i) {
        const Term& term = model.terms[i];
        row[3 + i] = 0.0;
        for (int k = 0; k < term.count; ++k)
            row[3 + i] += std::pow(s, term.p[k]) * std::pow(t, term.q[k]);
    }
}

// The plate of the model fitted to the pairs: CRVAL, CD and the forward terms, the reference
// pixel kept. The tangent point moves to the fitted sky position of the reference pixel and the
// fit is repeated there, three times in all (the offset shrinks to rounding).
bool fit_plate(const Field& field, const std::vector<Pair>& pairs, const SolverWcs* start,
               const Model& model, PlateCandidate* result) {
    const int m = 3 + model.term_count;
    const double scale = std::sqrt(std::fabs(start->cd[0][0] * start->cd[1][1] -
                                             start->cd[0][1] * start->cd[1][0]));
    const double length = field.half_diagonal;
    SolverWcs wcs = *start;
    wcs.sip_order = 0;
    wcs.inverse_order = 0;
    std::memset(wcs.a, 0, sizeof wcs.a);
    std::memset(wcs.b, 0, sizeof wcs.b);
    std::memset(wcs.ap, 0, sizeof wcs.ap);
    std::memset(wcs.bp, 0, sizeof wcs.bp);
    std::vector<double> design(pairs.size() * static_cast<size_t>(m));
    std::vector<double> z1(pairs.size()), z2(pairs.size());
    for (int iteration = 0; iteration < 3; ++iteration) {
        const double ra0 = wcs.crval[0] * rad_per_deg, dec0 = wcs.crval[1] * rad_per_deg;
        for (size_t k = 0; k < pairs.size(); ++k) {
            const SolverStar& d = field.detections[pairs[k].detection];
            const SolverStar& s = field.index_stars[pairs[k].index];
            double xi, eta;
            if (!project(ra0, dec0, s.ra * rad_per_deg, s.dec * rad_per_deg, &xi, &eta)) return false;
            z1[k] = xi * deg_per_rad / scale;
            z2[k] = eta * deg_per_rad / scale;
            model_row(model, (d.x - wcs.crpix[0]) / length, (d.y - wcs.crpix[1]) / length,
                      &design[k * static_cast<size_t>(m)]);
        }
        double c1[max_basis], c2[max_basis];
        if (!least_squares(design, z1, z2, m, c1, c2)) return false;
        const double cd[2][2] = {{c1[1] * scale / length, c1[2] * scale / length},
                                 {c2[1] * scale / length, c2[2] * scale / length}};
        const double det = cd[0][0] * cd[1][1] - cd[0][1] * cd[1][0];
        if (!std::isfinite(det) || det == 0.0) return false;
        std::memcpy(wcs.cd, cd, sizeof cd);
        wcs.sip_order = model.sip_order;
        std::memset(wcs.a, 0, sizeof wcs.a);
        std::memset(wcs.b, 0, sizeof wcs.b);
        for (int i = 0; i < model.term_count; ++i) {
            // The term in pixels: its monomials share one degree; then through CD^-1.
            const Term& term = model.terms[i];
            const double f = scale / std::pow(length, term.p[0] + term.q[0]);
            const double dxi = c1[3 + i] * f, deta = c2[3 + i] * f;
            for (int k = 0; k < term.count; ++k) {
                wcs.a[term.p[k]][term.q[k]] += (cd[1][1] * dxi - cd[0][1] * deta) / det;
                wcs.b[term.p[k]][term.q[k]] += (cd[0][0] * deta - cd[1][0] * dxi) / det;
            }
        }
        double ra, dec;
        deproject(ra0, dec0, c1[0] * scale * rad_per_deg, c2[0] * scale * rad_per_deg, &ra, &dec);
        wcs.crval[0] = ra * deg_per_rad;
        wcs.crval[1] = dec * deg_per_rad;
    }
    result->wcs = wcs;
    result->rss = sum_of_squares(field, pairs, &wcs);
    result->pairs = static_cast<int32_t>(pairs.size());
    result->parameters = m;
    return std::isfinite(result->rss);
}

// Bayesian information criterion of a fit: 2 n residuals (x and y), 2 m parameters.
double information(const PlateCandidate& c) {
    const double n = 2.0 * c.pairs;
    const double rss = std::max(c.rss, n * 1e-12);  // a perfect fit is as good as 1e-6 pixel
    return n * std::log(rss / n) + 2.0 * c.parameters * std::log(n);
}

// The fit of least information criterion among the models the pairs allow up to max_order, and
// the fit of the allowed model of the highest clip rank, which judges outliers.
bool best_plate(const Field& field, const std::vector<Pair>& pairs, const SolverWcs* start,
                int max_order, PlateCandidate* best, PlateCandidate* judge) {
    bool found = false;
    int judge_rank = 0;
    for (const Model& model : models) {
        if (model.sip_order > max_order || !model_allowed(field, pairs, model)) continue;
        PlateCandidate candidate;
        if (!fit_plate(field, pairs, start, model, &candidate)) continue;
        if (!found || information(candidate) < information(*best)) *best = candidate;
        if (model.clip_rank > judge_rank) {
            *judge = candidate;
            judge_rank = model.clip_rank;
        }
        found = true;
    }
    return found && judge_rank > 0;
}

// Drops the pairs more than 3 median residuals (at least 1 pixel) off the plate.
std::vector<Pair> clip_pairs(const Field& field, const std::vector<Pair>& pairs,
                             const SolverWcs* wcs) {
    if (pairs.empty()) return pairs;
    std::vector<double> residuals;
    for (const Pair& pair : pairs)
        residuals.push_back(pixel_distance(wcs, field.detections[pair.detection],
                                           field.index_stars[pair.index]));
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double limit = std::max(clip_floor_px, clip_median_factor * sorted[sorted.size() / 2]);
    std::vector<Pair> kept;
    for (size_t k = 0; k < pairs.size(); ++k)
        if (residuals[k] <= limit) kept.push_back(pairs[k]);
    return kept;
}

// The inverse terms of order sip_order + 1, fitted to the forward map at a grid of points
// spanning the image: u - u' as a polynomial in (u', v').
bool fit_inverse(const Field& field, SolverWcs* wcs) {
    const int order = wcs->sip_order + 1;
    int p_of[max_basis], q_of[max_basis];
    const int m = monomials(1, order, p_of, q_of);
    const double length = field.half_diagonal;
    std::vector<double> design, z1, z2;
    std::vector<double> row(static_cast<size_t>(m));
    for (int i = 0; i < inverse_grid; ++i)
        for (int j = 0; j < inverse_grid; ++j) {
            const double u = 0.5 + field.width * i / (inverse_grid - 1.0) - wcs->crpix[0];
            const double v = 0.5 + field.height * j / (inverse_grid - 1.0) - wcs->crpix[1];
            const double up = u + polynomial(wcs->a, 2, wcs->sip_order, u, v);
            const double vp = v + polynomial(wcs->b, 2, wcs->sip_order, u, v);
            basis_row(up / length, vp / length, m, p_of, q_of, row.data());
            design.insert(design.end(), row.begin(), row.end());
            z1.push_back(u - up);
            z2.push_back(v - vp);
        }
    double c1[max_basis], c2[max_basis];
    if (!least_squares(design, z1, z2, m, c1, c2)) return false;
    for (int i = 0; i < m; ++i) {
        const double f = 1.0 / std::pow(length, p_of[i] + q_of[i]);
        wcs->ap[p_of[i]][q_of[i]] = c1[i] * f;
        wcs->bp[p_of[i]][q_of[i]] = c2[i] * f;
    }
    wcs->inverse_order = order;
    return true;
}

// Match, fit the best plate, drop the pairs far off it and fit again, until the pairs repeat.
// Result: the pairs of the last fit (empty when no fit was possible) and its plate.
std::vector<Pair> iterate_fits(const Field& field, const SolverWcs* start, int max_order,
                               PlateCandidate* plate) {
    SolverWcs current = *start;
    std::vector<Pair> previous, kept;
    for (int round = 0; round < max_rounds; ++round) {
        std::vector<Pair> pairs = match_stars(field, &current);
        if (round > 0 && pairs == previous) break;
        previous = pairs;
        PlateCandidate fit, judge;
        if (!best_plate(field, pairs, start, max_order, &fit, &judge)) break;
        std::vector<Pair> clipped = pairs;
        bool fitted = true;
        for (int clip = 0; clip < clip_rounds && fitted; ++clip) {
            std::vector<Pair> next = clip_pairs(field, clipped, &judge.wcs);
            if (next.size() == clipped.size()) break;
            clipped = next;
            fitted = best_plate(field, clipped, start, max_order, &fit, &judge);
        }
        if (!fitted) break;
        kept = clipped;
        *plate = fit;
        current = fit.wcs;
    }
    return kept;
}

void write_matches(const Field& field, const std::vector<Pair>& pairs, const SolverWcs* wcs,
                   SolverMatch* matches, int32_t capacity, int32_t* count) {
    int32_t written = 0;
    for (const Pair& pair : pairs) {
        if (written >= capacity) break;
        const SolverStar& d = field.detections[pair.detection];
        const SolverStar& s = field.index_stars[pair.index];
        matches[written++] = {d.x, d.y, s.ra, s.dec, pixel_distance(wcs, d, s), d.flux};
    }
    *count = written;
}

// Whether a TAN refit (3 parameters per axis) fits the pairs better than the given plate beyond
// what refitting gains by chance, by the information criterion: on noisy centroids (blends, a
// few pixels of stars) a refit follows the noise at the corners, where it extrapolates.
bool refit_beyond_chance(size_t pairs, double given_rms, double refit_rms) {
    if (!(refit_rms < given_rms)) return false;
    const double n = 2.0 * static_cast<double>(pairs);
    const double floor = 1e-6;  // a perfect fit is as good as 1e-6 pixel
    const double given = std::max(given_rms, floor), refit = std::max(refit_rms, floor);
    return n * std::log(given * given / (refit * refit)) > 6.0 * std::log(n);
}

bool refine(const Field& field, int max_order, SolverWcs* wcs, SolverMatch* matches,
            int32_t capacity, int32_t* match_count, double* rms_linear, double* rms_fitted) {
    SolverWcs result = *wcs;
    std::vector<Pair> pairs;
    double linear = 0.0, fitted = 0.0;
    PlateCandidate plate;
    if (max_order >= 1) pairs = iterate_fits(field, wcs, max_order, &plate);
    if (pairs.empty()) {
        pairs = match_stars(field, wcs);  // match only, or too few pairs for any fit
        linear = fitted = rms_of(field, pairs, wcs);
    } else {
        const double given = rms_of(field, pairs, wcs);
        PlateCandidate tan;
        const bool tan_fitted = fit_plate(field, pairs, wcs, models[0], &tan);
        const double tan_rms = tan_fitted ? rms_of(field, pairs, &tan.wcs) : HUGE_VAL;
        const double plate_rms = rms_of(field, pairs, &plate.wcs);
        linear = std::min(given, tan_rms);
        if (plate.wcs.sip_order > 0 && plate_rms < linear && fit_inverse(field, &plate.wcs)) {
            result = plate.wcs;
            fitted = plate_rms;
        } else {
            if (refit_beyond_chance(pairs.size(), given, tan_rms)) result = tan.wcs;
            fitted = linear;
        }
    }
    write_matches(field, pairs, &result, matches, capacity, match_count);
    *wcs = result;
    *rms_linear = linear;
    *rms_fitted = fitted;
    return true;
}

}  // namespace

extern "C" {

bool kestil_solver_wcs_pixel_to_sky(const SolverWcs* wcs, double x, double y, double* ra_deg,
                                    double* dec_deg) {
    if (!orders_valid(wcs)) return false;
    double u = x - wcs->crpix[0], v = y - wcs->crpix[1];
    if (wcs->sip_order > 0) {
        const double du = polynomial(wcs->a, 2, wcs->sip_order, u, v);
        const double dv = polynomial(wcs->b, 2, wcs->sip_order, u, v);
        u += du;
        v += dv;
    }
    const double xi = (wcs->cd[0][0] * u + wcs->cd[0][1] * v) * rad_per_deg;
    const double eta = (wcs->cd[1][0] * u + wcs->cd[1][1] * v) * rad_per_deg;
    double ra, dec;
    deproject(wcs->crval[0] * rad_per_deg, wcs->crval[1] * rad_per_deg, xi, eta, &ra, &dec);
    if (!std::isfinite(ra) || !std::isfinite(dec)) return false;
    *ra_deg = ra * deg_per_rad;
    *dec_deg = dec * deg_per_rad;
    return true;
}

bool kestil_solver_wcs_sky_to_pixel(const SolverWcs* wcs, double ra, double dec, double* x,
                                    double* y) {
    if (!orders_valid(wcs)) return false;
    double xi, eta;
    if (!project(wcs->crval[0] * rad_per_deg, wcs->crval[1] * rad_per_deg, ra * rad_per_deg,
                 dec * rad_per_deg, &xi, &eta))
        return false;
    xi *= deg_per_rad;
    eta *= deg_per_rad;
    const double det = wcs->cd[0][0] * wcs->cd[1][1] - wcs->cd[0][1] * wcs->cd[1][0];
    if (!std::isfinite(det) || det == 0.0) return false;
    double u = (wcs->cd[1][1] * xi - wcs->cd[0][1] * eta) / det;
    double v = (wcs->cd[0][0] * eta - wcs->cd[1][0] * xi) / det;
    if (wcs->sip_order > 0 && !undistort(wcs, u, v, &u, &v)) return false;
    if (!std::isfinite(u) || !std::isfinite(v)) return false;
    *x = u + wcs->crpix[0];
    *y = v + wcs->crpix[1];
    return true;
}

bool kestil_solver_refine_wcs(const SolverStar* detections, int32_t detection_count,
                              const SolverStar* index_stars, int32_t index_count, int32_t width,
                              int32_t height, int32_t max_order, SolverWcs* wcs,
                              SolverMatch* matches, int32_t match_capacity, int32_t* match_count,
                              double* rms_linear, double* rms_fitted) {
    if (!wcs || !match_count || !rms_linear || !rms_fitted || detection_count < 0 ||
        index_count < 0 || match_capacity < 0 || (detection_count > 0 && !detections) ||
        (index_count > 0 && !index_stars) || (match_capacity > 0 && !matches) || width <= 0 ||
        height <= 0 || max_order < 0 || max_order > SOLVER_SIP_MAX_ORDER || !orders_valid(wcs))
        return false;
    const double det = wcs->cd[0][0] * wcs->cd[1][1] - wcs->cd[0][1] * wcs->cd[1][0];
    if (!std::isfinite(det) || det == 0.0) return false;
    try {
        Field field{detections, detection_count, index_stars, index_count, width, height,
                    0.5 * std::hypot(static_cast<double>(width), static_cast<double>(height)), {}};
        // Detections at no finite position are left out (and would break the sort).
        for (int32_t i = 0; i < detection_count; ++i)
            if (std::isfinite(detections[i].x) && std::isfinite(detections[i].y))
                field.by_x.push_back(i);
        std::sort(field.by_x.begin(), field.by_x.end(), [&](int32_t a, int32_t b) {
            return detections[a].x < detections[b].x;
        });
        return refine(field, max_order, wcs, matches, match_capacity, match_count, rms_linear,
                      rms_fitted);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // extern "C"
