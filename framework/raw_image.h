// framework/raw_image.h - validation of the framework's raw image format
// A raw image is a 12-byte little-endian header (signature "RAW1", "RAW2", "RAW3" or "RAW6",
// width, height) followed by width x height pixels of 1, 2, 3 or 6 bytes, row-major, and an
// optional trailer. Any thread; no state.
#ifndef KESTIL_FRAMEWORK_RAW_IMAGE_H
#define KESTIL_FRAMEWORK_RAW_IMAGE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Given:  data, size   a raw image held in memory and its byte count (may be null / negative)
// Result: true when the header names a known layout, width and height are non-zero, the pixel
//         byte count fits a signed 32-bit count and the buffer holds all pixels (a trailer
//         after them is allowed); false otherwise
bool kestil_validate_raw_image(const void* data, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
