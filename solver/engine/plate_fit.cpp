// solver/engine/plate_fit.cpp - the plate solution fitted to the star pairs
#include "solver/engine/plate_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/alloc.h"
#include "framework/angles.h"
#include "framework/log.h"

namespace {

constexpr int anchor_count = 8;
constexpr int max_reselections = 20;
constexpr float tolerance_pixels = 3.0f;

// Work arrays of one call, allocated once through the checked allocator.
template <typename T>
struct Buffer {
    explicit Buffer(size_t count)
        : data(static_cast<T*>(kestil_checked_calloc(count > 0 ? count : 1, sizeof(T)))) {}
    ~Buffer() { free(data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    T* data;
};

struct Best {
    int32_t count = 0;
    PlateFit fit{};
    float rms = 0.0f;
    float ra0 = 0.0f, dec0 = 0.0f;
    int32_t pairs = 0;  // pairs the fit was given
};

void project_all(const StarMatch* pairs, int32_t n, float ra0, float dec0, float* xi, float* eta,
                 uint8_t* valid) {
    for (int32_t i = 0; i < n; ++i)
        valid[i] = project_tangent(ra0, dec0, pairs[i].catalog_star->ra,
                                   pairs[i].catalog_star->dec, &xi[i], &eta[i]);
}

}  // namespace

extern "C" bool project_tangent(float ra0, float dec0, float ra, float dec, float* xi,
                                float* eta) {
    float dra = ra - ra0;
    if (dra > static_cast<float>(pi)) dra -= static_cast<float>(two_pi);
    if (dra <= -static_cast<float>(pi)) dra += static_cast<float>(two_pi);
    auto cos_dec0 = static_cast<float>(std::cos(static_cast<double>(dec0)));
    auto sin_dec0 = static_cast<float>(std::sin(static_cast<double>(dec0)));
    auto cos_dec = static_cast<float>(std::cos(static_cast<double>(dec)));
    auto sin_dec = static_cast<float>(std::sin(static_cast<double>(dec)));
    auto cos_dra = static_cast<float>(std::cos(static_cast<double>(dra)));
    auto sin_dra = static_cast<float>(std::sin(static_cast<double>(dra)));
    float cos_theta = cos_dec0 * cos_dec * cos_dra + sin_dec0 * sin_dec;
    if (cos_theta <= 0.0f) return false;
    float x = cos_dec * sin_dra / cos_theta;
    float y = (cos_dec0 * sin_dec - sin_dec0 * cos_dec * cos_dra) / cos_theta;
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    *xi = x;
    *eta = y;
    return true;
}

extern "C" void deproject_tangent(float ra0, float dec0, float xi, float eta, float* ra,
                                  float* dec) {
    double sin_dec0 = std::sin(static_cast<double>(dec0));
    double cos_dec0 = std::cos(static_cast<double>(dec0));
    double d = cos_dec0 - eta * sin_dec0;
    double a = ra0 + std::atan2(static_cast<double>(xi), d);
    a = std::fmod(a, two_pi);
    if (a < 0) a += two_pi;
    auto result = static_cast<float>(a);
    if (result >= static_cast<float>(two_pi)) result = 0.0f;  // rounding up to 2 pi
    *ra = result;
    *dec = static_cast<float>(std::atan2(eta * cos_dec0 + sin_dec0, std::sqrt(d * d + xi * xi)));
}

extern "C" bool fit_plane(const float* x, const float* y, const float* z, int32_t m,
                          float c[3]) {
    if (m < 3) return false;
    double s1 = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0, sz = 0, sxz = 0, syz = 0;
    for (int32_t i = 0; i < m; ++i) {
        double xi = x[i], yi = y[i], zi = z[i];
        s1 += 1;
        sx += xi;
        sy += yi;
        sxx += xi * xi;
        sxy += xi * yi;
        syy += yi * yi;
        sz += zi;
        sxz += xi * zi;
        syz += yi * zi;
    }
    // Normal equations [s1 sx sy; sx sxx sxy; sy sxy syy] c = [sz sxz syz], Cramer's rule.
    auto det3 = [](double a, double b, double cc, double d, double e, double f, double g, double h,
                   double k) { return a * (e * k - f * h) - b * (d * k - f * g) + cc * (d * h - e * g); };
    double det = det3(s1, sx, sy, sx, sxx, sxy, sy, sxy, syy);
    if (std::fabs(det) < 1e-14) return false;
    c[0] = static_cast<float>(det3(sz, sx, sy, sxz, sxx, sxy, syz, sxy, syy) / det);
    c[1] = static_cast<float>(det3(s1, sz, sy, sx, sxz, sxy, sy, syz, syy) / det);
    c[2] = static_cast<float>(det3(s1, sx, sz, sx, sxx, sxz, sy, sxy, syz) / det);
    return true;
}

extern "C" bool fit_plate(const PlatePairs* pairs, const uint8_t* selected, PlateFit* fit) {
    int32_t n = pairs->n;
    float* gx = pairs->scratch;
    float* gy = gx + n;
    float* gxi = gy + n;
    float* geta = gxi + n;
    int32_t m = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (!selected[i]) continue;
        gx[m] = pairs->x[i];
        gy[m] = pairs->y[i];
        gxi[m] = pairs->xi[i];
        geta[m] = pairs->eta[i];
        ++m;
    }
    if (m < 3) return false;
    float cx[3], ce[3];
    if (!fit_plane(gx, gy, gxi, m, cx) || !fit_plane(gx, gy, geta, m, ce)) return false;
    PlateFit f{cx[0], cx[1], cx[2], ce[0], ce[1], ce[2], 0.0f, 0.0f, m};
    f.scale = (std::sqrt(f.xi_x * f.xi_x + f.eta_x * f.eta_x) +
               std::sqrt(f.xi_y * f.xi_y + f.eta_y * f.eta_y)) * 0.5f;
    float sum = 0.0f;
    for (int32_t i = 0; i < m; ++i) {
        float dxi = gxi[i] - (f.xi0 + f.xi_x * gx[i] + f.xi_y * gy[i]);
        float deta = geta[i] - (f.eta0 + f.eta_x * gx[i] + f.eta_y * gy[i]);
        sum += dxi * dxi + deta * deta;
    }
    f.rms = std::sqrt(sum / static_cast<float>(m));
    if (!(f.scale > 0.0f) || !std::isfinite(f.rms)) return false;
    *fit = f;
    return true;
}

extern "C" int32_t refine_plate(const PlatePairs* pairs, uint8_t* selected, PlateFit* fit) {
    for (int reselections = 0;;) {
        if (!fit_plate(pairs, selected, fit)) return 0;
        float tolerance = tolerance_pixels * fit->scale;
        bool changed = false;
        int32_t count = 0;
        for (int32_t i = 0; i < pairs->n; ++i) {
            bool in = false;
            if (pairs->valid[i]) {
                float dxi = pairs->xi[i] - (fit->xi0 + fit->xi_x * pairs->x[i] +
                                            fit->xi_y * pairs->y[i]);
                float deta = pairs->eta[i] - (fit->eta0 + fit->eta_x * pairs->x[i] +
                                              fit->eta_y * pairs->y[i]);
                in = std::sqrt(dxi * dxi + deta * deta) <= tolerance;
            }
            if (in != (selected[i] != 0)) changed = true;
            selected[i] = in;
            count += in;
        }
        if (count < 3) return 0;
        if (!changed) return count;
        if (++reselections == max_reselections)
            return fit_plate(pairs, selected, fit) ? fit->count : 0;
    }
}

extern "C" bool kestil_solver_compute_center(const StarMatch* pairs, int32_t n, int32_t width,
                                             int32_t height, float* ra, float* dec, float* angle,
                                             float* scale, int32_t* parity, int32_t* matched,
                                             float* rms) {
    return kestil_solver_compute_center_at(pairs, n, static_cast<float>(width) * 0.5f,
                                           static_cast<float>(height) * 0.5f, ra, dec, angle,
                                           scale, parity, matched, rms);
}

namespace {

// The best fit of the pairs about (centre_x, centre_y): seeds of three anchors grown by
// refine_plate, then re-centred on the fitted image centre. False (logged) below 6 pairs.
bool best_fit(const StarMatch* pairs, int32_t n, float centre_x, float centre_y, Best* result) {
    if (n < 3) return false;
    auto count = static_cast<size_t>(n);
    Buffer<StarMatch> sorted(count);
    std::memcpy(sorted.data, pairs, count * sizeof(StarMatch));
    std::stable_sort(sorted.data, sorted.data + n,
                     [](const StarMatch& p, const StarMatch& q) { return p.votes > q.votes; });
    Buffer<float> x(count), y(count), xi(count), eta(count), scratch(4 * count);
    Buffer<uint8_t> valid(count), selected(count), best_selected(count);
    for (int32_t i = 0; i < n; ++i) {
        x.data[i] = sorted.data[i].image_star->x - centre_x;
        y.data[i] = sorted.data[i].image_star->y - centre_y;
    }
    PlatePairs work{n, x.data, y.data, xi.data, eta.data, valid.data, scratch.data};

    Best best;
    int anchors = std::min(n, anchor_count);
    for (int t = 0; t < anchors; ++t) {
        float ra0 = sorted.data[t].catalog_star->ra;
        float dec0 = sorted.data[t].catalog_star->dec;
        project_all(sorted.data, n, ra0, dec0, xi.data, eta.data, valid.data);
        for (int i = 0; i < anchors; ++i)
            for (int j = i + 1; j < anchors; ++j)
                for (int k = j + 1; k < anchors; ++k) {
                    if (!valid.data[i] || !valid.data[j] || !valid.data[k]) continue;
                    std::memset(selected.data, 0, count);
                    selected.data[i] = selected.data[j] = selected.data[k] = 1;
                    PlateFit fit{};
                    int32_t found = refine_plate(&work, selected.data, &fit);
                    if (found > best.count ||
                        (found == best.count && found > 0 && fit.rms < best.rms)) {
                        best = {found, fit, fit.rms, ra0, dec0};
                        std::memcpy(best_selected.data, selected.data, count);
                    }
                }
    }
    if (best.count < SOLVER_MIN_FIT_PAIRS) {
        kestil_error("%s: no consistent set of matches found (%d of %d)",
                     "kestil_solver_compute_center", best.count, n);
        return false;
    }

    // Re-centre on the fitted image centre and refit there.
    float ra_c = 0.0f, dec_c = 0.0f;
    deproject_tangent(best.ra0, best.dec0, best.fit.xi0, best.fit.eta0, &ra_c, &dec_c);
    project_all(sorted.data, n, ra_c, dec_c, xi.data, eta.data, valid.data);
    std::memcpy(selected.data, best_selected.data, count);
    PlateFit refit{};
    int32_t found = refine_plate(&work, selected.data, &refit);
    if (found >= SOLVER_MIN_FIT_PAIRS) best = {found, refit, refit.rms, ra_c, dec_c};
    best.pairs = n;
    *result = best;
    return true;
}

void log_solution(const Best& best, float angle) {
    float ra = 0.0f, dec = 0.0f;
    deproject_tangent(best.ra0, best.dec0, best.fit.xi0, best.fit.eta0, &ra, &dec);
    kestil_debug("%s: RA = %.3f°, DEC = %.3f°, rotation = %.2f°, scale = %.02f\"/pix, "
                 "%d of %d matches, rms = %.2f\"",
                 "kestil_solver_compute_center", ra * deg_per_rad, dec * deg_per_rad,
                 angle * deg_per_rad, best.fit.scale / rad_per_arcsec, best.count, best.pairs,
                 best.rms / rad_per_arcsec);
}

}  // namespace

extern "C" void kestil_solver_plate_orientation(const PlateFit* f, float* angle, int32_t* parity) {
    float d = f->xi_x * f->eta_y - f->xi_y * f->eta_x;
    float q = d >= 0.0f ? 1.0f : -1.0f;
    auto turned = static_cast<float>(-std::atan2(static_cast<double>(q * f->eta_x - f->xi_y),
                                                 static_cast<double>(q * f->xi_x + f->eta_y)));
    auto a = static_cast<float>(std::fmod(turned + 4.0 * pi, two_pi));
    *angle = a < static_cast<float>(two_pi) ? a : 0.0f;
    *parity = d < 0.0f ? 1 : -1;
}

extern "C" bool kestil_solver_compute_center_model(const StarMatch* pairs, int32_t n,
                                                   float centre_x, float centre_y,
                                                   PlateModel* model, int32_t* matched) {
    Best best;
    if (!best_fit(pairs, n, centre_x, centre_y, &best)) return false;
    *model = {best.ra0, best.dec0, centre_x, centre_y, best.fit};
    *matched = best.count;
    float angle = 0.0f;
    int32_t parity = 0;
    kestil_solver_plate_orientation(&best.fit, &angle, &parity);
    log_solution(best, angle);
    return true;
}

extern "C" bool kestil_solver_compute_center_at(const StarMatch* pairs, int32_t n,
                                                float centre_x, float centre_y, float* ra,
                                                float* dec, float* angle, float* scale,
                                                int32_t* parity, int32_t* matched, float* rms) {
    Best best;
    if (!best_fit(pairs, n, centre_x, centre_y, &best)) return false;

    const PlateFit& f = best.fit;
    float centre_ra = 0.0f, centre_dec = 0.0f;
    deproject_tangent(best.ra0, best.dec0, f.xi0, f.eta0, &centre_ra, &centre_dec);
    kestil_solver_plate_orientation(&f, angle, parity);
    *scale = f.scale;
    *matched = best.count;
    *rms = best.rms;
    *ra = centre_ra;
    *dec = centre_dec;
    log_solution(best, *angle);
    return true;
}
