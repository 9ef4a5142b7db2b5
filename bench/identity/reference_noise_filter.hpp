// bench/identity/reference_noise_filter.hpp - the noise filter in its first, straightforward form
// The same computation as the product's filtered_image (solver/image/noise_filter.h): noise from
// the median difference of horizontal neighbours, up to 4 passes of isolated-defect repair, a
// separable 7-tap Gaussian (sigma 1 pixel). Bench only: solve_identity compares the product's
// fast filter with it byte for byte. Single-threaded per call.
#ifndef KESTIL_BENCH_IDENTITY_REFERENCE_NOISE_FILTER_HPP
#define KESTIL_BENCH_IDENTITY_REFERENCE_NOISE_FILTER_HPP

#include <cstdint>

#include "solver/image/solver_image.h"

namespace identity {

// Result: a new width x height array of filtered 16-bit samples (release with free()), or null
//         when the image is smaller than 3 x 3 or is neither "RAW2" nor "RAW1".
uint16_t* reference_filtered_image(const SolverImage* image);

// Copies source into destination and repairs isolated defective pixels there (at most 4 passes).
// Result: the number of replacements over all passes.
uint32_t reference_replace_defective_pixels(const uint16_t* source, uint16_t* destination,
                                            int width, int height, float noise_sigma);

// Separable 7-tap Gaussian (sigma 1 pixel) with repeated edge samples.
void reference_gaussian_smooth(const uint16_t* source, uint16_t* destination, int width,
                               int height);

}  // namespace identity

#endif
