// framework/star_detector.h - the framework's star finder and the box measurements it uses
// Finds stars in one monochrome or colour frame: a 12 x 12 background and noise map, a scan for
// local maxima above it, a screening by the local median, and a refinement by a threshold-
// weighted centroid (frame digest) and a half-flux diameter. Positions are pixels with the
// centre of pixel column c at c + 0.5 (row r at r + 0.5); brightnesses are summed sample values
// above the local threshold. Diagnostics go to the debug log, the one error to the error log.
// No state between calls; any thread, one call per frame.
#ifndef KESTIL_FRAMEWORK_STAR_DETECTOR_H
#define KESTIL_FRAMEWORK_STAR_DETECTOR_H

#include <stdbool.h>
#include <stdint.h>

#include "framework/pixel_formats.h"  // the detector's format codes

#ifdef __cplusplus
extern "C" {
#endif

// One accepted star.
typedef struct DetectedStar {
    double x;             // refined column position, pixels (centre of column c at c + 0.5)
    double y;             // refined row position, pixels
    double ncdist;        // distance from (width/2, height/2) over min(width/2, height/2)
    double lum;           // summed signal above the box's detection threshold
    bool oversaturated;   // working value at the integer candidate position is the maximum
    bool close_to_other;  // another accepted star lies closer than 2 x radius
} DetectedStar;

// Result of a frame digest (algorithm 1: threshold-weighted centroid).
typedef struct FrameDigest {
    int algorithm;      // 1 = centroid
    int width;          // frame size, pixels
    int height;
    double snr;         // signal / ring standard deviation (sqrt(signal) when that is 0)
    double signal;      // sum of the box values above the threshold, minus the threshold
    double centroid_x;  // pixels, centre of column c at c + 0.5
    double centroid_y;
} FrameDigest;

// Finds stars, brightest first.
// Given:    format          one of the six KESTIL_PIXEL_FORMAT_* codes
//           data            width x height pixels, row-major, no padding
//           radius          0..128, half-size of the screening and refinement boxes, pixels
//           threshold       screening factor in units of the cell noise above the local median
//           width, height   frame size, pixels (at most 536870911 pixels)
//           max_stars       >= 1, the most stars to return
// Returned: list            room for max_stars records; the accepted stars by lum, largest first
//           found           number of records written (only on success)
// Result:   0 on success; 1 when the arguments or the format are refused (nothing written)
int kestil_find_stars_fast_threshold(int32_t format, const void* data, int radius,
                                     double threshold, int width, int height, int max_stars,
                                     DetectedStar* list, int* found);

// Threshold-weighted centroid in the (2 radius + 1)^2 box around (round(x), round(y)); mono
// pixels pass a hot-pixel filter first. Threshold = box mean + 5 x ring standard deviation.
// Given:    format, data, width, height   the frame as above (width, height >= 2)
//           x, y            start position, pixels (finite)
//           radius          1..128, at most (width - 2) / 2 and (height - 2) / 2
// Returned: x, y            the centroid (only on success)
//           digest          filled on success
// Result:   0 on success, 8 when no pixel of the box stands above the threshold,
//           1 on refused arguments (including a box that does not fit in the frame)
int kestil_selection_frame_digest(int32_t format, const void* data, double* x, double* y,
                                  int radius, int width, int height, FrameDigest* digest);

// The frame digest repeated `iterations` times from each new centroid; at the first failure
// one digest with radius 2.5 x radius, then `iterations` more with radius.
// Result:   the status of the last digest call (0 when all of the first round succeeded)
int kestil_selection_frame_digest_iterative(int32_t format, const void* data, double* x,
                                            double* y, int radius, int width, int height,
                                            FrameDigest* digest, int iterations);

// Star profile in the box around (round(x), round(y)); background and noise from the box's
// outer ring, threshold = background + 2 standard deviations.
// Given:    format, data, width, height, radius   as for the frame digest
//           x, y            the star position, pixels (sub-pixel)
// Returned: fwhm            (optional) 2 sqrt(n / pi) for the n box pixels at or above half
//                           the peak over the background, pixels
//           hfd             (optional) 2 x the signal-weighted mean distance of the pixels
//                           above the threshold from (x, y), pixels; 2 radius + 1 when none
//           peak            (optional) box maximum minus the background
//           Each output is untouched on failure.
// Result:   0 on success, 1 on refused arguments or a box that does not fit
int kestil_selection_psf(int32_t format, const void* data, double x, double y, int radius,
                         int width, int height, double* fwhm, double* hfd, double* peak);

// Result: population standard deviation of count values (0 when count < 1)
double kestil_stddev(const double* values, int count);

#ifdef __cplusplus
}
#endif

#endif
