// solver/engine/image_quads.h - quads of image stars and their shape codes
// A quad is four stars described by a code that does not change when the four stars are moved,
// rotated, scaled or mirrored together: the two stars farthest apart form the base, the other
// two are given in the frame of the base (origin (0, 0), end (1, 0)) in thousandths of its
// length. The canonical form (direction of the base, order of the other two, the mirror that
// makes y1 non-negative) is the contract with the index files, whose quads are coded by the same
// function. Positions in working-image pixels; any plane coordinates work for make_image_quad.
// Single-threaded per call.
#ifndef KESTIL_SOLVER_ENGINE_IMAGE_QUADS_H
#define KESTIL_SOLVER_ENGINE_IMAGE_QUADS_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/stars/image_stars.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SOLVER_MAX_IMAGE_QUADS = 1000000, SOLVER_QUAD_GRID = 10 };

typedef struct ImageQuad {
    uint64_t code;                // x1, y1, x2, y2 as 16-bit fields from the top; y2 signed
    float length;                 // base length, pixels
    float x1, y1;                 // first non-base star in the base frame, base lengths
    float x2, y2;                 // second non-base star
    const ImageStar* stars[4];    // base origin, base end, first and second non-base star
} ImageQuad;

// Given:    s0, s1, s2, s3   four distinct stars (only x and y are read)
// Returned: quad             the quad in canonical form
void make_image_quad(const ImageStar* s0, const ImageStar* s1, const ImageStar* s2,
                     const ImageStar* s3, ImageQuad* quad);

// Given:    stars      image stars, brightest first; k of them are used
//           width, height, cell   working-image size and grid cell, pixels
// Returned: occupied   number of grid cells holding a star
//           quads      room for SOLVER_MAX_IMAGE_QUADS records, overwritten from the start
// Result:   number of quads, one per combination of four occupied cells, sorted by star order
uint32_t kestil_solver_build_image_quads(const ImageStar* stars, int32_t k, int32_t width,
                                         int32_t height, int32_t cell, int32_t* occupied,
                                         ImageQuad* quads);

#ifdef __cplusplus
}
#endif

#endif
