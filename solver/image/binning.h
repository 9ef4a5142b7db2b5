// solver/image/binning.h - box-average binning of 16-bit mono samples
// Every path of image input ends in the same n x n box average with truncating integer
// division; the right and bottom remainders are dropped. Single-threaded per call.
#ifndef KESTIL_SOLVER_IMAGE_BINNING_H
#define KESTIL_SOLVER_IMAGE_BINNING_H

#include <stdint.h>

#include "solver/image/solver_image.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:    source          width x height samples, row-major
//           factor          n >= 1 (n x n x 65535 must fit 32 bits: n <= 256)
// Returned: destination     (width / n) x (height / n) samples; may be the source itself
void bin_pixels(const uint16_t* source, uint32_t width, uint32_t height, int32_t factor,
                uint16_t* destination);

// Bins a "RAW2" image in place by factor n and shrinks its width and height; the block keeps
// its size. Factors below 2 and other signatures leave the image unchanged.
void kestil_solver_bin_image(SolverImage* image, int32_t factor);

#ifdef __cplusplus
}
#endif

#endif
