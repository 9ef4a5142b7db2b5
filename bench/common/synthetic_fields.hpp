// bench/common/synthetic_fields.hpp - random fields of a catalogue as image star lists
// Shared by the engine benchmarks: a random field (centre within a spread of a point, size
// log-uniform in a range, rotation, mirror) and the star list an ideal detector would report
// for it (gnomonic projection, 0.15 pixel centroid noise, brightest first). Degrees at the edge.
#ifndef KESTIL_BENCH_COMMON_SYNTHETIC_FIELDS_HPP
#define KESTIL_BENCH_COMMON_SYNTHETIC_FIELDS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

#include "framework/angles.h"
#include "solver/stars/image_stars.h"
#include "tools/catalog/catalog_csv.h"

namespace bench_fields {

struct Truth {
    double ra, dec, scale, angle;  // degrees, degrees, degrees per pixel, radians
    bool mirror;
};

// A field centred within spread degrees of (ra, dec), its geometric-mean side log-uniform in
// [field_min, field_max] degrees, on an image of width x height pixels.
inline Truth random_field(double ra, double dec, double spread, double field_min,
                          double field_max, int width, int height, std::mt19937& random) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Truth t{};
    double r = spread * std::sqrt(unit(random)), phi = 2 * pi * unit(random);
    t.dec = dec + r * std::sin(phi);
    t.ra = std::fmod(ra + r * std::cos(phi) / std::cos(t.dec * rad_per_deg) + 360.0, 360.0);
    double field = field_min * std::pow(field_max / field_min, unit(random));
    t.scale = field / std::sqrt(double(width) * height);
    t.angle = 2 * pi * unit(random);
    t.mirror = unit(random) < 0.5;
    return t;
}

// The catalogue stars of the field no fainter than faint, brightest first, at most max_stars.
inline std::vector<ImageStar> field_stars(const CsvStar* catalog, size_t count, int width,
                                          int height, double faint, size_t max_stars,
                                          const Truth& t, std::mt19937& random) {
    std::normal_distribution<double> noise(0.0, 0.15);
    double ra0 = t.ra * rad_per_deg, dec0 = t.dec * rad_per_deg;
    double ca = std::cos(t.angle), sa = std::sin(t.angle);
    std::vector<std::pair<double, ImageStar>> found;
    for (size_t i = 0; i < count; ++i) {
        if (catalog[i].mag > faint) continue;
        double ra = catalog[i].ra * rad_per_deg, dec = catalog[i].dec * rad_per_deg;
        double c = std::sin(dec0) * std::sin(dec) +
                   std::cos(dec0) * std::cos(dec) * std::cos(ra - ra0);
        if (c <= 0.5) continue;
        double xi = std::cos(dec) * std::sin(ra - ra0) / c;
        double eta = (std::cos(dec0) * std::sin(dec) -
                      std::sin(dec0) * std::cos(dec) * std::cos(ra - ra0)) / c;
        // Image x to the east-left (-xi), y down (-eta), then rotated, optionally mirrored.
        double u = -xi / (t.scale * rad_per_deg), v = -eta / (t.scale * rad_per_deg);
        if (t.mirror) u = -u;
        double x = ca * u - sa * v + width / 2.0, y = sa * u + ca * v + height / 2.0;
        if (x < 1 || y < 1 || x >= width - 1 || y >= height - 1) continue;
        ImageStar star{static_cast<float>(std::pow(10.0, 0.4 * catalog[i].mag)),
                       static_cast<float>(x + noise(random)),
                       static_cast<float>(y + noise(random))};
        found.push_back({catalog[i].mag, star});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ImageStar> stars;
    for (size_t i = 0; i < found.size() && i < max_stars; ++i) stars.push_back(found[i].second);
    return stars;
}

}  // namespace bench_fields

#endif
