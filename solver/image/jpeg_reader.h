// solver/image/jpeg_reader.h - JPEG decoding into the working image
// Decodes with the IJG library interface at its default settings and reduces colour to grey
// (0.299/0.587/0.114 for three components, the plain mean otherwise, 8 bits expanded by 257).
// Library warnings go to the standard error as the library writes them. Any thread; no state.
#ifndef KESTIL_SOLVER_IMAGE_JPEG_READER_H
#define KESTIL_SOLVER_IMAGE_JPEG_READER_H

#include <stdint.h>

#include "solver/image/solver_image.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:    data, length   the whole JPEG stream
// Returned: message        "Broken JPEG image" or "Unsupported JPEG image" on failure
// Result:   the full-size image, or null
SolverImage* jpeg_image(const void* data, uint32_t length, const char** message);

#ifdef __cplusplus
}
#endif

#endif
