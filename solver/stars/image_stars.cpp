// solver/stars/image_stars.cpp - the solver's list of image stars
#include "solver/stars/image_stars.h"

#include <cstdlib>
#include <memory>

#include "framework/alloc.h"
#include "framework/handles.hpp"
#include "framework/log.h"
#include "framework/star_detector.h"
#include "solver/image/noise_filter.h"

namespace {

// The detector's settings for a solve.
constexpr int detection_radius = 16;          // pixels
constexpr double detection_threshold = 3.5;   // cell noise units above the local median
constexpr int max_pixels = 536870911;
constexpr int max_side = 65535;

}  // namespace

extern "C" int kestil_solver_image_stars(const SolverImage* image, ImageStar* stars) {
    if (!image || !stars) return 0;
    const uint32_t width = image->width, height = image->height;
    if (width == 0 || height == 0 || width > max_side || height > max_side) return 0;
    if (width > static_cast<uint32_t>(max_pixels) / height) return 0;

    std::unique_ptr<DetectedStar, FreeDeleter> detected(static_cast<DetectedStar*>(
        kestil_checked_calloc(SOLVER_MAX_IMAGE_STARS, sizeof(DetectedStar))));
    int found = 0;
    int status;
    {
        // The filtered copy exists only for images of at least 3 x 3 pixels.
        std::unique_ptr<uint16_t, FreeDeleter> filtered(filtered_image(image));
        if (filtered)
            status = kestil_find_stars_fast_threshold(
                KESTIL_PIXEL_FORMAT_RAW2, filtered.get(), detection_radius, detection_threshold,
                static_cast<int>(width), static_cast<int>(height), SOLVER_MAX_IMAGE_STARS,
                detected.get(), &found);
        else
            status = kestil_find_stars_fast_threshold(
                static_cast<int32_t>(image->signature), image->pixels, detection_radius,
                detection_threshold, static_cast<int>(width), static_cast<int>(height),
                SOLVER_MAX_IMAGE_STARS, detected.get(), &found);
    }
    if (status != 0 || found > SOLVER_MAX_IMAGE_STARS) return 0;

    for (int i = 0; i < found; ++i) {
        const DetectedStar& d = detected.get()[i];
        stars[i].inv_lum = static_cast<float>(1.0 / d.lum);
        stars[i].x = static_cast<float>(d.x);
        stars[i].y = static_cast<float>(d.y);
    }
    kestil_debug("%s: detected %d image stars", "kestil_solver_image_stars", found);
    return found;
}
