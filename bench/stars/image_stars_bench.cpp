// bench/stars/image_stars_bench.cpp - time of kestil_solver_image_stars (noise filter plus star
// detector) on a simulated 3000 x 2000 field with 2000 stars.
// Usage: image_stars_bench [repetitions]   (default 15; the median and the best are reported,
// in wall-clock time and in the thread's processor time, which a busy machine inflates less)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/clock.h"
#include "framework/handles.hpp"
#include "framework/star_detector.h"
#include "solver/image/noise_filter.h"
#include "solver/stars/image_stars.h"
#include "tools/simulator/simulator.hpp"

using namespace kestil_simulator;

namespace {
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
}  // namespace

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

    HeapBlock<SolverImage> image(new_solver_image(3000, 2000));
    std::memcpy(image->pixels, sky.pixels.data(), sky.pixels.size() * sizeof(uint16_t));
    std::vector<ImageStar> stars(SOLVER_MAX_IMAGE_STARS);

    std::vector<double> wall, processor;
    int found = 0;
    for (int i = 0; i < repetitions; ++i) {
        const double start = kestil_monotonic_time(), start_cpu = thread_seconds();
        found = kestil_solver_image_stars(image.get(), stars.data());
        processor.push_back(thread_seconds() - start_cpu);
        wall.push_back(kestil_monotonic_time() - start);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(processor.begin(), processor.end());
    const double pixels = 3000.0 * 2000.0;
    std::printf("kestil_solver_image_stars, 3000 x 2000, %zu stars rendered, %d found, %d runs\n",
                sky.stars.size(), found, repetitions);
    for (const auto* times : {&wall, &processor}) {
        const double median = (*times)[times->size() / 2], best = (*times)[0];
        std::printf("%-9s median %.1f ms = %.1f ns/pixel, best %.1f ms = %.1f ns/pixel\n",
                    times == &wall ? "wall" : "processor", median * 1e3, median * 1e9 / pixels,
                    best * 1e3, best * 1e9 / pixels);
    }

    // The two parts on their own, processor time: the noise filter, then the detector on its
    // output.
    std::vector<double> filter_times, detector_times;
    std::vector<DetectedStar> detected(SOLVER_MAX_IMAGE_STARS);
    for (int i = 0; i < repetitions; ++i) {
        double start = thread_seconds();
        uint16_t* filtered = filtered_image(image.get());
        filter_times.push_back(thread_seconds() - start);
        start = thread_seconds();
        kestil_find_stars_fast_threshold(KESTIL_PIXEL_FORMAT_RAW2, filtered, 16, 3.5, 3000, 2000,
                                         SOLVER_MAX_IMAGE_STARS, detected.data(), &found);
        detector_times.push_back(thread_seconds() - start);
        std::free(filtered);
    }
    std::sort(filter_times.begin(), filter_times.end());
    std::sort(detector_times.begin(), detector_times.end());
    std::printf("filter    median %.1f ns/pixel; detector median %.1f ns/pixel (processor)\n",
                filter_times[filter_times.size() / 2] * 1e9 / pixels,
                detector_times[detector_times.size() / 2] * 1e9 / pixels);
    return 0;
}
