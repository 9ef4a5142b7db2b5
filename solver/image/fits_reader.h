// solver/image/fits_reader.h - the primary image of a FITS file held in memory
// Reads size, sample encoding (BITPIX 8, 16, 32, -32, -64), BZERO/BSCALE, 1 to 16 planes and the
// Bayer flag; stretches values that do not fit 0..65535 and bins while converting.
// Reference: FITS Standard 4.0 (header blocks of 2880 bytes, big-endian samples).
// Single-threaded per call; keeps no state.
#ifndef KESTIL_SOLVER_IMAGE_FITS_READER_H
#define KESTIL_SOLVER_IMAGE_FITS_READER_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/image/solver_image.h"

#ifdef __cplusplus
extern "C" {
#endif

// How the bytes of one sample are read.
typedef enum FitsSampleType {
    FITS_U8 = 0,          // BITPIX 8, unsigned byte
    FITS_S16_SCALED = 1,  // BITPIX 16 with BZERO != 0 or BSCALE != 1, signed
    FITS_U16 = 2,         // BITPIX 16 without scaling, read as unsigned
    FITS_S32 = 3,         // BITPIX 32, signed
    FITS_F32 = 4,         // BITPIX -32, IEEE single
    FITS_F64 = 5          // BITPIX -64, IEEE double
} FitsSampleType;

typedef struct FitsInfo {
    int32_t bitpix;
    int32_t bytes_per_sample;  // |bitpix| / 8
    int32_t width;             // NAXIS1, 1..65535
    int32_t height;            // NAXIS2, 1..65535
    int32_t planes;            // NAXIS3, 1..16
    FitsSampleType sample_type;
    double bzero;
    double bscale;
    const uint8_t* data;       // first data byte, inside the caller's buffer
} FitsInfo;

// Given:    data, length   the whole file
// Returned: info           the image description (on success)
//           bayer          set to true when a "BAYERPAT" card is seen; never reset
//           message        "Truncated FITS header", "Unsupported FITS image" or
//                          "Truncated FITS image" on failure
// Result:   true when the header describes a supported image whose data are all present
bool parse_fits_header(const void* data, int32_t length, FitsInfo* info, bool* bayer,
                       const char** message);

// Result: the physical value (raw x bscale + bzero) of the sample at position, 0 when not finite.
double read_fits_sample(const uint8_t* position, const FitsInfo* info);

// Returned: minimum, maximum   range of the combined plane
// Result:   width x height floats (release with free()): the planes weighted 0.299/0.587/0.114
//           for three planes, 1/planes each otherwise, summed in plane order
float* combine_fits_planes(const FitsInfo* info, float* minimum, float* maximum);

// Given:  info from parse_fits_header; factor >= 1 with width / factor and height / factor > 0
// Result: the converted image of (width / factor) x (height / factor) pixels
SolverImage* fits_image(const FitsInfo* info, int32_t factor);

#ifdef __cplusplus
}
#endif

#endif
