// bench/stars/image_stars_bench.cpp - time of kestil_solver_image_stars (noise filter plus star
// detector) on a simulated 3000 x 2000 field with 2000 stars.
// Usage: image_stars_bench [repetitions]   (default 15; the median and the best are reported)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/clock.h"
#include "solver/stars/image_stars.h"
#include "tools/simulator/simulator.hpp"

using namespace kestil_simulator;

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    SimulatorSettings s;
    s.wcs.ra_deg = 150.0;
    s.wcs.dec_deg = 20.0;
    s.wcs.scale_arcsec = 3.0;
    s.wcs.angle_deg = 12.0;
    s.wcs.width = 3000;
    s.wcs.height = 2000;
    s.fwhm_px = 3.0;
    s.hot_pixels = 200;
    s.cosmic_rays = 20;
    s.seed = 2026;
    const std::vector<CsvStar> catalog = random_stars(s.wcs, 2000, 6.0, 14.0, 0.0, s.seed);
    const SkyImage sky = render_sky(s, catalog.data(), catalog.size());

    std::unique_ptr<SolverImage, decltype(&std::free)> image(new_solver_image(3000, 2000), &std::free);
    std::memcpy(image->pixels, sky.pixels.data(), sky.pixels.size() * sizeof(uint16_t));
    std::vector<ImageStar> stars(SOLVER_MAX_IMAGE_STARS);

    std::vector<double> times;
    int found = 0;
    for (int i = 0; i < repetitions; ++i) {
        const double start = kestil_monotonic_time();
        found = kestil_solver_image_stars(image.get(), stars.data());
        times.push_back(kestil_monotonic_time() - start);
    }
    std::sort(times.begin(), times.end());
    const double pixels = 3000.0 * 2000.0;
    const double median = times[times.size() / 2];
    std::printf("kestil_solver_image_stars, 3000 x 2000, %zu stars rendered, %d found\n",
                sky.stars.size(), found);
    std::printf("median %.1f ms = %.1f ns/pixel, best %.1f ms = %.1f ns/pixel (%d runs)\n",
                median * 1e3, median * 1e9 / pixels, times[0] * 1e3, times[0] * 1e9 / pixels,
                repetitions);
    return 0;
}
