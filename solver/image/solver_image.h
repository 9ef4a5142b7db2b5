// solver/image/solver_image.h - the working image and the single entry of image input
// SolverImage is the framework's raw image format held in memory: a 12-byte header
// (signature "RAW2", width, height) followed by width x height 16-bit samples, row-major,
// in one heap block made by new_solver_image and released with free().
// kestil_solver_load_image recognises raw, FITS, JPEG and camera raw input, reads it and bins it.
// Single-threaded per call; keeps no state.
#ifndef KESTIL_SOLVER_IMAGE_SOLVER_IMAGE_H
#define KESTIL_SOLVER_IMAGE_SOLVER_IMAGE_H

#include <stdbool.h>
#include <stdint.h>

#include "framework/pixel_formats.h"

#ifdef __cplusplus
extern "C" {
#endif

// The framework's pixel format codes under the solver's names.
enum {
    PIXEL_FORMAT_RAW1 = KESTIL_PIXEL_FORMAT_RAW1,
    PIXEL_FORMAT_RAW2 = KESTIL_PIXEL_FORMAT_RAW2,
    PIXEL_FORMAT_RAW3 = KESTIL_PIXEL_FORMAT_RAW3,
    PIXEL_FORMAT_RAW6 = KESTIL_PIXEL_FORMAT_RAW6,
    PIXEL_FORMAT_RGB6 = KESTIL_PIXEL_FORMAT_RGB6,
    PIXEL_FORMAT_BGR6 = KESTIL_PIXEL_FORMAT_BGR6
};

typedef struct RawImageHeader {
    uint32_t signature;
    uint32_t width;
    uint32_t height;
} RawImageHeader;

typedef struct SolverImage {
    uint32_t signature;  // always PIXEL_FORMAT_RAW2 here
    uint32_t width;      // after binning
    uint32_t height;
    uint16_t pixels[];   // width x height samples
} SolverImage;

// Result: a zero-filled image of width x height with signature "RAW2" (release with free()).
SolverImage* new_solver_image(uint32_t width, uint32_t height);

// Given:    data, length   the whole image file; downsample, the requested binning factor
// Returned: bin_factor     the factor applied (even for a Bayer mosaic)
//           image_width, image_height   size before binning (only on success)
//           bayer          true when the input declared a Bayer mosaic
//           message        static failure text (untouched on success)
// Result:   the binned working image, or null on failure
SolverImage* kestil_solver_load_image(const void* data, int32_t length, int32_t downsample,
                                      int32_t* bin_factor, int32_t* image_width,
                                      int32_t* image_height, bool* bayer, const char** message);

#ifdef __cplusplus
}
#endif

#endif
