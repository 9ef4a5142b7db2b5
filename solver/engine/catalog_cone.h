// solver/engine/catalog_cone.h - an index restricted to the stars around a position hint
// The cone view shares the arrays of a loaded index and owns one flag per catalogue star; the
// quad matching skips every index quad with a star outside the cone. Angles in radians, J2000.
// Single-threaded per call.
#ifndef KESTIL_SOLVER_ENGINE_CATALOG_CONE_H
#define KESTIL_SOLVER_ENGINE_CATALOG_CONE_H

#include <stdint.h>

#include "solver/index/index_file.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:    index              a loaded index (read only)
//           ra, dec, radius    cone centre and radius, radians; radius >= pi takes every star
// Returned: view               the cone view; released with kestil_solver_release_index, which
//                              frees only its flags
// Result:   number of catalogue stars in the cone
int32_t kestil_solver_cone_catalog(const IndexFile* index, float ra, float dec, float radius,
                                   IndexFile* view);

#ifdef __cplusplus
}
#endif

#endif
