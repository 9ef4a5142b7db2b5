// solver/image/dslr_reader.h - camera raw files as mono sensor mosaics
// The sensor's colour-filter mosaic becomes the working image sample for sample at its native
// values (no demosaicing, no black level, no scaling). Single-threaded per call; no state.
#ifndef KESTIL_SOLVER_IMAGE_DSLR_READER_H
#define KESTIL_SOLVER_IMAGE_DSLR_READER_H

#include <stdint.h>

#include "solver/image/solver_image.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:    data, length   the whole file
// Returned: message        "Unsupported image format" when the camera raw decoder refuses the
//                          data, "Unsupported camera raw image" for a sample form not read here
// Result:   the full-size image, or null
SolverImage* dslr_image(const void* data, int32_t length, const char** message);

#ifdef __cplusplus
}
#endif

#endif
