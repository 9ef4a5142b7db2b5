// tools/deep_catalog/deep_catalog.cpp - synthetic deep star catalogues for a patch of sky
#include "tools/deep_catalog/deep_catalog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "framework/angles.h"
#include "framework/handles.hpp"

namespace {

struct Star {
    double ra, dec, mag;
};

// Uniform in [0, 1) from 53 random bits (independent of the library's distributions).
double uniform(std::mt19937_64& random) {
    return static_cast<double>(random() >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace

extern "C" double deep_star_density(double mag) {
    double d = mag - 12.0;
    return std::pow(10.0, std::log10(45.0) + 0.36 * d - 0.006 * d * d);
}

extern "C" bool write_deep_catalog(double ra, double dec, double radius, double bright,
                                   double faint, uint64_t seed, const char* path, size_t* count,
                                   const char** message) {
    if (radius <= 0 || radius > 30 || faint <= bright) {
        *message = "radius must be in (0, 30] and faint above bright";
        return false;
    }
    double r = radius * rad_per_deg;
    double area = 2.0 * pi * (1.0 - std::cos(r)) / (rad_per_deg * rad_per_deg);
    double low = deep_star_density(bright), high = deep_star_density(faint);
    std::mt19937_64 random(seed);
    // Poisson count by the normal approximation (counts here are thousands or more).
    double mean = area * (high - low);
    double u1 = std::max(uniform(random), 1e-300), u2 = uniform(random);
    double gauss = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * pi * u2);
    auto total = static_cast<size_t>(std::max(0.0, std::llround(mean + gauss * std::sqrt(mean)) * 1.0));
    if (total > 20000000) {
        *message = "too many stars; use a smaller radius or a brighter limit";
        return false;
    }
    std::vector<Star> stars(total);
    double sin_dec0 = std::sin(dec * rad_per_deg), cos_dec0 = std::cos(dec * rad_per_deg);
    for (Star& s : stars) {
        // Uniform on the cap around the pole, then rotated to the centre.
        double z = 1.0 - uniform(random) * (1.0 - std::cos(r));
        double phi = 2.0 * pi * uniform(random);
        double rho = std::sqrt(std::max(0.0, 1.0 - z * z));
        double x = rho * std::cos(phi), y = rho * std::sin(phi);
        // Pole (0, 0, 1) to (ra, dec): tilt about the y axis, then turn about z.
        double xt = x * sin_dec0 + z * cos_dec0;
        double zt = -x * cos_dec0 + z * sin_dec0;
        double a = std::atan2(y, xt) / rad_per_deg + ra;
        s.ra = std::fmod(a + 720.0, 360.0);
        if (s.ra >= 360.0) s.ra = 0.0;
        s.dec = std::asin(std::clamp(zt, -1.0, 1.0)) / rad_per_deg;
        // Magnitude by inverting the cumulative density.
        double target = low + uniform(random) * (high - low);
        double lo = bright, hi = faint;
        for (int i = 0; i < 60; ++i) {
            double mid = 0.5 * (lo + hi);
            (deep_star_density(mid) < target ? lo : hi) = mid;
        }
        s.mag = 0.5 * (lo + hi);
    }
    std::stable_sort(stars.begin(), stars.end(),
                     [](const Star& a, const Star& b) { return a.mag < b.mag; });
    FileHandle file(std::fopen(path, "w"));
    if (!file) {
        *message = "cannot create the output file";
        return false;
    }
    std::fputs("ra,dec,mag\n", file.get());
    for (const Star& s : stars) std::fprintf(file.get(), "%.7f,%.7f,%.3f\n", s.ra, s.dec, s.mag);
    if (std::ferror(file.get()) || std::fclose(file.release()) != 0) {
        *message = "write error";
        return false;
    }
    *count = stars.size();
    return true;
}
