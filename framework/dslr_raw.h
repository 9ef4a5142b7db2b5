// framework/dslr_raw.h - the sensor mosaic of a camera raw file
// Opens a camera raw file held in memory with LibRaw and returns its visible colour-filter
// mosaic as 16-bit samples at the sensor's native values (no demosaicing, no black level, no
// scaling), with the filter pattern as letters. One LibRaw handle per call; any thread.
#ifndef KESTIL_FRAMEWORK_DSLR_RAW_H
#define KESTIL_FRAMEWORK_DSLR_RAW_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DslrRawImage {
    uint16_t width;           // pixels per row of data
    uint16_t height;          // rows
    uint64_t size;            // bytes of data
    void* data;               // samples, row-major; the caller releases them with free()
    uint8_t bits;             // bits per sample (16)
    uint8_t colors;           // samples per pixel (1 for a mosaic)
    bool debayered;           // false for a mosaic
    char bayer_pattern[37];   // 4 letters (2 x 2 pattern) or 36 (6 x 6 X-Trans), row by row
} DslrRawImage;

// Given:    data, size   the whole camera raw file
// Returned: image        reset on entry; filled on success
// Result:   0 on success; a LibRaw error code of a failed open or unpack; -100007 when no
//           LibRaw handle can be made; -1 when the data are not a one-sample-per-pixel mosaic
//           or the visible area does not lie inside the raw area; -errno when the sample block
//           cannot be allocated. Failures are logged as errors.
int kestil_dslr_raw_process_image(const void* data, uint64_t size, DslrRawImage* image);

#ifdef __cplusplus
}
#endif

#endif
