// app/annotate.h - a picture of a solve as a PNG file: the image, its stars and the sky grid
// The image is decoded again, binned so that its long side is at most 2000 pixels (binning
// b = ceil(long side / 2000) but at most the short side; the loader makes it even for a Bayer
// mosaic), and shown in grey: black at the 0.5th percentile, white at the 99.99th (the star
// cores), an asinh stretch that shows the median (the background) at 12 % grey, or linear for
// an image already stretched that far. A picture whose binned long side is under 800 pixels is
// enlarged by the smallest whole factor n that reaches 800, pixel for pixel, so that the marks
// and text keep their size. The picture is therefore (width / b) * n by (height / b) * n pixels
// (integer division).
// Orientation: FITS images (data beginning "SIMPLE  =") are drawn with their first stored row
// at the bottom, as FITS viewers show them; every other format with it at the top. The marks
// go through the same mapping from the FITS pixel coordinates of SolveDetails.
// Marks: detected stars (small circles), verified matches (larger circles), index stars of the
// field (crosses), an RA/Dec grid at a round spacing with its labels, a compass (north and
// east) and a box with the solution's figures; an unsolved picture shows the detections and
// the reason. The colours are the ANNOTATE_* values below (0xRRGGBB).
// The file is written to a temporary name beside the target and renamed over it, so a failed
// write leaves no file behind. Any thread (cairo surfaces are per call).
#ifndef KESTIL_APP_ANNOTATE_H
#define KESTIL_APP_ANNOTATE_H

#include <stdbool.h>
#include <stdint.h>

#include "solver/solve.h"
#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ANNOTATE_MAX_SIDE = 2000,            // the binned long side is at most this, pixels
    ANNOTATE_MIN_SIDE = 800,             // smaller pictures are enlarged to reach this
    ANNOTATE_DETECTION_RGB = 0xFFC800,   // detected stars: amber circles
    ANNOTATE_MATCH_RGB = 0x1AFF33,       // verified matches: green circles
    ANNOTATE_INDEX_STAR_RGB = 0xFF33E6,  // index stars of the field: magenta crosses
    ANNOTATE_GRID_RGB = 0x5AB4FF         // RA/Dec grid and its labels: sky blue
};

// Given:  target         path of the PNG file to write (replaced when it exists)
//         data, length   the whole image file that was solved
//         solution       its result (solved or not)
//         details        the solve's details (pixels as stored, see solver/solve.h); may be null:
//                        then only the image and the solution's text are drawn
// Result: true when the picture is in place; false after one line on the standard error,
//         "kestil_solver: can't write '<target>': <reason>", with nothing left behind
bool write_annotation(const char* target, const void* data, uint32_t length,
                      const SolverSolution* solution, const SolveDetails* details);

// Releases the process-wide caches of cairo and fontconfig, so that a leak checker at the exit
// sees nothing held. Call only when no picture is being drawn (at the end of a single-image
// run); a later write_annotation makes them again.
void annotate_release_fonts(void);

#ifdef __cplusplus
}
#endif

#endif
