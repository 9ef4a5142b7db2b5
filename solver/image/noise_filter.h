// solver/image/noise_filter.h - noise estimate, defective-pixel repair and Gaussian smoothing
// Prepares a cleaned copy of the working image for star detection. Single-threaded per call.
#ifndef KESTIL_SOLVER_IMAGE_NOISE_FILTER_H
#define KESTIL_SOLVER_IMAGE_NOISE_FILTER_H

#include <stdint.h>

#include "solver/image/solver_image.h"

#ifdef __cplusplus
extern "C" {
#endif

// Result: a new width x height array of filtered 16-bit samples (release with free()), or null
//         when the image is smaller than 3 x 3 or is neither "RAW2" nor "RAW1".
uint16_t* filtered_image(const SolverImage* image);

// Copies source into destination and repairs isolated defective pixels there (at most 4 passes).
// Result: the number of replacements over all passes.
uint32_t replace_defective_pixels(const uint16_t* source, uint16_t* destination, int width,
                                  int height, float noise_sigma);

// Separable 7-tap Gaussian (sigma 1 pixel) with repeated edge samples.
void gaussian_smooth(const uint16_t* source, uint16_t* destination, int width, int height);

#ifdef __cplusplus
}
#endif

#endif
