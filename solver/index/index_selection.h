// solver/index/index_selection.h - which installed indexes to try for an image, in what order
// An index counts as installed when its file is readable (its contents are not looked at here).
// With a pixel scale hint the scales are ordered by fit to the field of view, |ln(s / target)|
// with target = 0.7 x sqrt(width x height) x hint in degrees; without a hint from the largest
// scale down. Any thread; progress lines go to the request's progress callback.
#ifndef KESTIL_SOLVER_INDEX_INDEX_SELECTION_H
#define KESTIL_SOLVER_INDEX_INDEX_SELECTION_H

#include <stdbool.h>

#include "solver/solve.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:     request         selected scales and index directory
//            scale_hint      degrees per pixel of the image as read; <= 0 = no hint
//            width, height   image size as read, pixels
// Returned:  scales          installed selected scales in the order to try
//                            (room for request->scale_count entries)
// Result:    the number of scales written, 0 when none of the selected indexes is installed
int list_index_scales(const SolveRequest* request, double scale_hint, int width, int height,
                      float* scales);

// Given:     index_dir                          the index directory (null or empty: the
//                                               working directory)
//            candidates, count                  scales to choose from, in order
//            field_width, field_height          field of view, radians
// Returned:  path      the chosen index's path (SOLVER_PATH_SIZE bytes)
//            selected  the chosen scale
// Result:    true when a candidate's index is readable: the best fit, the earliest of equals;
//            false with an error log line otherwise
bool kestil_solver_select_index(const char* index_dir, const float* candidates,
                                int count, float field_width, float field_height, char* path,
                                float* selected);

#ifdef __cplusplus
}
#endif

#endif
