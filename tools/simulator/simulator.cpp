// tools/simulator/simulator.cpp - the WCS and the rendering of synthetic sky images
#include "tools/simulator/simulator.hpp"

#include <algorithm>
#include <cmath>

#include "framework/angles.h"

namespace kestil_simulator {

namespace {

constexpr double fwhm_per_sigma = 2.3548200450309493;  // 2 sqrt(2 ln 2)
constexpr double faintest_adu = 0.02;                   // profiles are cut below this level
constexpr int max_reach_px = 400;

// xoshiro256** seeded by splitmix64 (Blackman and Vigna 2018): the same numbers everywhere.
class Random {
public:
    explicit Random(uint64_t seed) {
        for (uint64_t& s : state) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            s = z ^ (z >> 31);
        }
    }
    uint64_t next() {
        const uint64_t result = rotl(state[1] * 5, 7) * 9;
        const uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotl(state[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Standard normal (Box-Muller, both values used).
    double normal() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        double u = 0.0;
        while (u <= 0.0) u = uniform();
        const double v = uniform();
        const double r = std::sqrt(-2.0 * std::log(u));
        spare = r * std::sin(2.0 * pi * v);
        has_spare = true;
        return r * std::cos(2.0 * pi * v);
    }
    // Poisson deviate: Knuth's product method below 30, the normal approximation above.
    double poisson(double mean) {
        if (mean <= 0.0) return 0.0;
        if (mean < 30.0) {
            const double limit = std::exp(-mean);
            double product = uniform();
            int k = 0;
            while (product > limit) {
                product *= uniform();
                ++k;
            }
            return k;
        }
        return std::max(0.0, std::floor(mean + std::sqrt(mean) * normal() + 0.5));
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t state[4];
    double spare = 0.0;
    bool has_spare = false;
};

// Fraction of a unit-flux Gaussian (centre c, width sigma) falling in [a, a + 1).
double gaussian_share(double a, double c, double sigma) {
    const double k = 1.0 / (sigma * std::numbers::sqrt2);
    return 0.5 * (std::erf((a + 1.0 - c) * k) - std::erf((a - c) * k));
}

struct Geometry {
    double cx, cy;      // image centre, pixels
    double r_corner;    // centre to corner, pixels
};

double vignetting_factor(const SimulatorSettings& s, const Geometry& g, double x, double y) {
    if (s.vignetting == 0.0) return 1.0;
    const double r2 = ((x - g.cx) * (x - g.cx) + (y - g.cy) * (y - g.cy)) / (g.r_corner * g.r_corner);
    return std::max(0.0, 1.0 - s.vignetting * r2);
}

double bayer_factor(bool bayer, int x, int y) {
    if (!bayer) return 1.0;
    const bool even_row = (y % 2) == 0, even_column = (x % 2) == 0;
    if (even_row && even_column) return 0.6;    // R
    if (!even_row && !even_column) return 0.5;  // B
    return 1.0;                                 // G
}

// Adds one star's expected profile to `signal`; returns its brightest pixel.
double render_star(const SimulatorSettings& s, double x, double y, double flux, double vignette,
                   int width, int height, std::vector<double>& signal) {
    double peak = 0.0;
    if (s.psf == Psf::gaussian) {
        const double sigma = s.fwhm_px / fwhm_per_sigma;
        const double centre = flux * vignette / (2.0 * pi * sigma * sigma);
        const double reach_f = centre > faintest_adu
                                   ? sigma * std::sqrt(2.0 * std::log(centre / faintest_adu))
                                   : 0.0;
        const int reach = std::min(max_reach_px, static_cast<int>(std::ceil(reach_f)) + 1);
        const int x0 = std::max(0, static_cast<int>(std::floor(x)) - reach);
        const int x1 = std::min(width - 1, static_cast<int>(std::floor(x)) + reach);
        const int y0 = std::max(0, static_cast<int>(std::floor(y)) - reach);
        const int y1 = std::min(height - 1, static_cast<int>(std::floor(y)) + reach);
        if (x0 > x1 || y0 > y1) return 0.0;
        std::vector<double> column_share(static_cast<size_t>(x1 - x0 + 1));
        for (int c = x0; c <= x1; ++c) column_share[static_cast<size_t>(c - x0)] = gaussian_share(c, x, sigma);
        for (int r = y0; r <= y1; ++r) {
            const double row_flux = flux * vignette * gaussian_share(r, y, sigma);
            double* line = signal.data() + static_cast<size_t>(r) * width;
            for (int c = x0; c <= x1; ++c) {
                const double v = row_flux * column_share[static_cast<size_t>(c - x0)];
                line[c] += v;
                peak = std::max(peak, v);
            }
        }
        return peak;
    }
    // Moffat: I(r) = I0 (1 + (r / alpha)^2)^-beta, I0 = flux (beta - 1) / (pi alpha^2).
    const double beta = std::max(1.01, s.moffat_beta);
    const double alpha = s.fwhm_px / (2.0 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1.0));
    const double centre = flux * vignette * (beta - 1.0) / (pi * alpha * alpha);
    const double reach_f =
        centre > faintest_adu ? alpha * std::sqrt(std::pow(centre / faintest_adu, 1.0 / beta) - 1.0) : 0.0;
    const int reach = std::min(max_reach_px, static_cast<int>(std::ceil(reach_f)) + 1);
    const int x0 = std::max(0, static_cast<int>(std::floor(x)) - reach);
    const int x1 = std::min(width - 1, static_cast<int>(std::floor(x)) + reach);
    const int y0 = std::max(0, static_cast<int>(std::floor(y)) - reach);
    const int y1 = std::min(height - 1, static_cast<int>(std::floor(y)) + reach);
    const double inv_alpha2 = 1.0 / (alpha * alpha);
    const double near2 = 4.0 * s.fwhm_px * s.fwhm_px;
    for (int r = y0; r <= y1; ++r) {
        double* line = signal.data() + static_cast<size_t>(r) * width;
        for (int c = x0; c <= x1; ++c) {
            const double dx = c + 0.5 - x, dy = r + 0.5 - y;
            double v;
            if (dx * dx + dy * dy < near2) {  // 4 x 4 samples inside the pixel near the core
                v = 0.0;
                for (int j = 0; j < 4; ++j)
                    for (int i = 0; i < 4; ++i) {
                        const double sx = dx + (i - 1.5) * 0.25, sy = dy + (j - 1.5) * 0.25;
                        v += std::pow(1.0 + (sx * sx + sy * sy) * inv_alpha2, -beta);
                    }
                v *= centre / 16.0;
            } else {
                v = centre * std::pow(1.0 + (dx * dx + dy * dy) * inv_alpha2, -beta);
            }
            line[c] += v;
            peak = std::max(peak, v);
        }
    }
    return peak;
}

// A straight trail through a random point at a random angle, Gaussian across.
void render_trail(const SimulatorSettings& s, Random& random, int width, int height,
                  std::vector<double>& signal) {
    const double px = random.uniform() * width, py = random.uniform() * height;
    const double angle = random.uniform() * pi;
    const double nx = -std::sin(angle), ny = std::cos(angle);  // unit normal of the trail
    const double sigma = std::max(0.5, s.fwhm_px / fwhm_per_sigma);
    const double reach = 5.0 * sigma;
    for (int r = 0; r < height; ++r) {
        double* line = signal.data() + static_cast<size_t>(r) * width;
        for (int c = 0; c < width; ++c) {
            const double d = (c + 0.5 - px) * nx + (r + 0.5 - py) * ny;
            if (std::fabs(d) < reach) line[c] += s.trail_adu * std::exp(-d * d / (2 * sigma * sigma));
        }
    }
}

void add_cosmic_rays(const SimulatorSettings& s, Random& random, int width, int height,
                     std::vector<double>& value) {
    for (int i = 0; i < s.cosmic_rays; ++i) {
        double x = random.uniform() * width, y = random.uniform() * height;
        const double angle = random.uniform() * 2.0 * pi;
        const int length = 1 + static_cast<int>(random.uniform() * 8.0);
        const double energy = 2000.0 + random.uniform() * 28000.0;
        for (int k = 0; k < length; ++k) {
            const int c = static_cast<int>(x), r = static_cast<int>(y);
            if (c >= 0 && r >= 0 && c < width && r < height) value[static_cast<size_t>(r) * width + c] += energy;
            x += std::cos(angle);
            y += std::sin(angle);
        }
    }
}

void add_hot_pixels(const SimulatorSettings& s, Random& random, int width, int height,
                    std::vector<double>& value) {
    for (int i = 0; i < s.hot_pixels; ++i) {
        const int c = std::min(width - 1, static_cast<int>(random.uniform() * width));
        const int r = std::min(height - 1, static_cast<int>(random.uniform() * height));
        value[static_cast<size_t>(r) * width + c] += 5000.0 + random.uniform() * 60000.0;
    }
}

}  // namespace

void SkyWcs::cd_matrix(double cd[2][2]) const {
    const double s = scale_arcsec / 3600.0;
    const double p = parity == -1 ? -1.0 : 1.0;
    const double theta = (parity == -1 ? angle_deg + 180.0 : angle_deg) * rad_per_deg;
    cd[0][0] = -s * std::cos(theta);
    cd[0][1] = s * std::sin(theta) * p;
    cd[1][0] = s * std::sin(theta);
    cd[1][1] = s * std::cos(theta) * p;
}

bool SkyWcs::sky_to_pixel(double ra, double dec, double* x, double* y) const {
    const double a0 = ra_deg * rad_per_deg, d0 = dec_deg * rad_per_deg, a = ra * rad_per_deg, d = dec * rad_per_deg;
    const double da = a - a0;
    const double cos_c = std::sin(d0) * std::sin(d) + std::cos(d0) * std::cos(d) * std::cos(da);
    if (cos_c <= 0.0) return false;
    const double xi = std::cos(d) * std::sin(da) / cos_c / rad_per_deg;
    const double eta = (std::cos(d0) * std::sin(d) - std::sin(d0) * std::cos(d) * std::cos(da)) / cos_c / rad_per_deg;
    double cd[2][2];
    cd_matrix(cd);
    const double det = cd[0][0] * cd[1][1] - cd[0][1] * cd[1][0];
    const double u = (cd[1][1] * xi - cd[0][1] * eta) / det;
    const double v = (-cd[1][0] * xi + cd[0][0] * eta) / det;
    *x = u + width / 2.0;
    *y = v + height / 2.0;
    return true;
}

void SkyWcs::pixel_to_sky(double x, double y, double* ra, double* dec) const {
    double cd[2][2];
    cd_matrix(cd);
    const double u = x - width / 2.0, v = y - height / 2.0;
    const double xi = (cd[0][0] * u + cd[0][1] * v) * rad_per_deg;
    const double eta = (cd[1][0] * u + cd[1][1] * v) * rad_per_deg;
    const double a0 = ra_deg * rad_per_deg, d0 = dec_deg * rad_per_deg;
    const double denominator = std::cos(d0) - eta * std::sin(d0);
    double a = a0 + std::atan2(xi, denominator);
    a = std::fmod(a, 2.0 * pi);
    if (a < 0.0) a += 2.0 * pi;
    *ra = a / rad_per_deg;
    *dec = std::atan2(eta * std::cos(d0) + std::sin(d0), std::hypot(denominator, xi)) / rad_per_deg;
}

double SkyWcs::field_radius_deg() const {
    return std::hypot(width, height) / 2.0 * scale_arcsec / 3600.0;
}

std::vector<CsvStar> select_cone(const CsvStar* stars, size_t count, double ra_deg,
                                 double dec_deg, double radius_deg) {
    std::vector<CsvStar> selected;
    const double a0 = ra_deg * rad_per_deg, d0 = dec_deg * rad_per_deg;
    const double cx = std::cos(d0) * std::cos(a0), cy = std::cos(d0) * std::sin(a0), cz = std::sin(d0);
    const double limit = std::cos(std::min(180.0, radius_deg) * rad_per_deg);
    for (size_t i = 0; i < count; ++i) {
        const CsvStar& s = stars[i];
        if (std::fabs(s.dec - dec_deg) > radius_deg) continue;  // cheap band test first
        const double a = s.ra * rad_per_deg, d = s.dec * rad_per_deg;
        const double dot = std::cos(d) * (std::cos(a) * cx + std::sin(a) * cy) + std::sin(d) * cz;
        if (dot >= limit) selected.push_back(s);
    }
    return selected;
}

std::vector<CsvStar> random_stars(const SkyWcs& wcs, int count, double mag_bright,
                                  double mag_faint, double margin_px, uint64_t seed) {
    Random random(seed ^ 0x5ca1ab1eULL);
    std::vector<CsvStar> stars;
    const double k = 0.35;
    const double low = std::pow(10.0, k * mag_bright), high = std::pow(10.0, k * mag_faint);
    for (int i = 0; i < count; ++i) {
        const double x = -margin_px + random.uniform() * (wcs.width + 2 * margin_px);
        const double y = -margin_px + random.uniform() * (wcs.height + 2 * margin_px);
        CsvStar star;
        wcs.pixel_to_sky(x, y, &star.ra, &star.dec);
        star.mag = std::log10(low + random.uniform() * (high - low)) / k;
        stars.push_back(star);
    }
    return stars;
}

SkyImage render_sky(const SimulatorSettings& s, const CsvStar* stars, size_t count) {
    const int width = s.wcs.width, height = s.wcs.height;
    SkyImage image;
    image.width = width;
    image.height = height;
    const size_t pixels = static_cast<size_t>(width) * height;
    const Geometry geometry{width / 2.0, height / 2.0, std::hypot(width, height) / 2.0};
    Random random(s.seed);

    // Expected signal above the sky, before vignetting of the sky and the mosaic.
    std::vector<double> signal(pixels, 0.0);
    for (size_t i = 0; i < count; ++i) {
        const CsvStar& star = stars[i];
        if (!(star.mag <= s.mag_limit)) continue;
        double xl, yl;
        if (!s.wcs.sky_to_pixel(star.ra, star.dec, &xl, &yl)) continue;
        double x = xl, y = yl;
        if (s.distortion_k1 != 0.0) {
            const double dx = xl - geometry.cx, dy = yl - geometry.cy;
            const double f = 1.0 + s.distortion_k1 * (dx * dx + dy * dy) / (geometry.r_corner * geometry.r_corner);
            x = geometry.cx + dx * f;
            y = geometry.cy + dy * f;
        }
        if (x < -max_reach_px || y < -max_reach_px || x > width + max_reach_px || y > height + max_reach_px)
            continue;
        const double flux = s.flux_mag10 * std::pow(10.0, -0.4 * (star.mag - 10.0));
        const double vignette = vignetting_factor(s, geometry, x, y);
        const double peak = render_star(s, x, y, flux, vignette, width, height, signal);
        if (peak <= 0.0) continue;
        const double sky = s.sky_adu * vignette;
        const double noise = std::sqrt(sky / s.gain + s.read_noise_adu * s.read_noise_adu);
        TruthStar truth{star.ra, star.dec, star.mag, x, y, xl, yl, flux, peak,
                        noise > 0.0 ? peak / noise : INFINITY, peak + sky >= s.saturation_adu,
                        x >= 0.0 && y >= 0.0 && x < width && y < height};
        image.stars.push_back(truth);
    }
    if (s.satellite_trail) render_trail(s, random, width, height, signal);

    // Expected value per pixel, then the noise.
    std::vector<double>& value = signal;
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            double& v = value[static_cast<size_t>(r) * width + c];
            const double vignette = s.vignetting == 0.0 ? 1.0 : vignetting_factor(s, geometry, c + 0.5, r + 0.5);
            const double expected = (v + s.sky_adu * vignette) * bayer_factor(s.bayer, c, r);
            if (!s.noise) {
                v = expected;
                continue;
            }
            const double electrons = random.poisson(expected * s.gain);
            v = electrons / s.gain + s.read_noise_adu * random.normal();
        }
    }
    add_cosmic_rays(s, random, width, height, value);
    add_hot_pixels(s, random, width, height, value);

    image.pixels.resize(pixels);
    const double top = std::min(65535.0, s.saturation_adu);
    for (size_t i = 0; i < pixels; ++i)
        image.pixels[i] = static_cast<uint16_t>(std::floor(std::clamp(value[i], 0.0, top) + 0.5));
    return image;
}

}  // namespace kestil_simulator
