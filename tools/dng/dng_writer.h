// tools/dng/dng_writer.h - a small writer of colour-filter-array DNG files, for test data
// Writes an uncompressed little-endian DNG holding one 16-bit CFA mosaic, readable by camera raw
// decoders. Single-threaded per call.
#ifndef KESTIL_TOOLS_DNG_DNG_WRITER_H
#define KESTIL_TOOLS_DNG_DNG_WRITER_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Given:  mosaic     width x height samples, row-major, each below 2^bits
//         pattern    the 2 x 2 filter pattern as four letters of R, G, B ("RGGB", "BGGR", ...)
//         bits       significant bits per sample (8 to 16), stored as the white level
// Result: true when the file was written; false with a static message otherwise
bool write_cfa_dng(const char* path, const uint16_t* mosaic, int width, int height,
                   const char* pattern, int bits, const char** message);

#ifdef __cplusplus
}
#endif

#endif
