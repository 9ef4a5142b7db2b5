// solver/image/fits_reader.h - the image of a FITS file held in memory
// Reads size, sample encoding (BITPIX 8, 16, 32, -32, -64), BZERO/BSCALE, 1 to 16 planes and the
// Bayer flag, and bins while converting. Values that do not fit 0..65535 are stretched onto
// it; so are floating-point values inside it that span less than 255 (0..1 data above all),
// from their finite range, with NaN and infinite samples becoming 0.
// The image is the primary array; when the primary header has no data (NAXIS = 0) it is the
// first image extension, plain or tile-compressed (a binary table with ZIMAGE = T, decompressed
// in memory by cfitsio).
// Reference: FITS Standard 4.0 (header blocks of 2880 bytes, big-endian samples, extensions);
// the tiled image compression convention (Pence et al. 2010, FITS registered convention).
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
    // A tile-compressed image: the header of its table (null for any other image), from which
    // compressed_length bytes of the buffer remain, with data pointing at the table's rows.
    const uint8_t* compressed_header;
    int32_t compressed_length;
    // The caller's message slot given to parse_fits_header: fits_image reports there the tiles
    // of a compressed image that do not expand.
    const char** message;
} FitsInfo;

// Given:    data, length   the whole file
// Returned: info           the image description (on success)
//           bayer          set to true when a "BAYERPAT" card is seen in the primary header or
//                          in the headers read up to the image extension; never reset
//           message        "Truncated FITS header", "Unsupported FITS image" or
//                          "Truncated FITS image" on failure; kept in info for fits_image
// Result:   true when the header describes a supported image whose data are all present
//           (for a compressed image: whose table and heap are, and whose samples take at most
//           1024 times their bytes: the sky compresses 2 to 10 times, constant data about 100
//           times in rows and gzip at most 1032 times, so a larger claim is refused before
//           anything is allocated)
bool parse_fits_header(const void* data, int32_t length, FitsInfo* info, bool* bayer,
                       const char** message);

// Result: the physical value (raw x bscale + bzero) of the sample at position, 0 when not finite.
double read_fits_sample(const uint8_t* position, const FitsInfo* info);

// Returned: minimum, maximum   range of the combined plane
// Result:   width x height floats (release with free()): the planes weighted 0.299/0.587/0.114
//           for three planes, 1/planes each otherwise, summed in plane order
float* combine_fits_planes(const FitsInfo* info, float* minimum, float* maximum);

// Given:  info from parse_fits_header; factor >= 1 with width / factor and height / factor > 0
// Result: the converted image of (width / factor) x (height / factor) pixels; null only for a
//         compressed image whose tiles do not decompress to the described image, with
//         *info->message set to "Unreadable compressed FITS image"
SolverImage* fits_image(const FitsInfo* info, int32_t factor);

#ifdef __cplusplus
}
#endif

#endif
