// bench/identity/reference_star_detector.hpp - the star detector in its first, straightforward form
// The same computations as the product's kestil_find_stars_fast_threshold and box measurements
// (framework/star_detector.h, whose records and pixel format codes these use; units, positions
// and results as documented there). Bench only: solve_identity compares the product's fast
// detector with it. No state between calls; one call per frame.
#ifndef KESTIL_BENCH_IDENTITY_REFERENCE_STAR_DETECTOR_HPP
#define KESTIL_BENCH_IDENTITY_REFERENCE_STAR_DETECTOR_HPP

#include <cstdint>

#include "framework/star_detector.h"

namespace identity {

// As kestil_find_stars_fast_threshold: stars brightest first; 0 on success, 1 when refused.
int reference_find_stars(int32_t format, const void* data, int radius, double threshold,
                         int width, int height, int max_stars, DetectedStar* list, int* found);

// As kestil_selection_frame_digest: 0, 8 (nothing above the threshold) or 1 (refused).
int reference_frame_digest(int32_t format, const void* data, double* x, double* y, int radius,
                           int width, int height, FrameDigest* digest);

// As kestil_selection_frame_digest_iterative.
int reference_frame_digest_iterative(int32_t format, const void* data, double* x, double* y,
                                     int radius, int width, int height, FrameDigest* digest,
                                     int iterations);

// As kestil_selection_psf: 0 on success, 1 when refused.
int reference_psf(int32_t format, const void* data, double x, double y, int radius, int width,
                  int height, double* fwhm, double* hfd, double* peak);

// As kestil_stddev: population standard deviation, 0 when count < 1.
double reference_stddev(const double* values, int count);

}  // namespace identity

#endif
