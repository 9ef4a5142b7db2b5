// solver/index/index_cache.h - mapped index files kept across solves (SolverIndexCache)
// An index is mapped at its first use and stays mapped until the cache is released, so that
// every solve after the first finds it ready. A file replaced on disk (another size, time or
// inode) is mapped anew; the old mapping stays valid for the solves still using it. All
// functions are safe to call from several threads at once.
#ifndef KESTIL_SOLVER_INDEX_INDEX_CACHE_H
#define KESTIL_SOLVER_INDEX_INDEX_CACHE_H

#include "solver/index/index_file.h"
#include "solver/solve.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:  cache, path   the index file (as kestil_solver_load_index takes it)
// Result: the mapped index, read-only and valid until the cache is released; null when the
//         file cannot be loaded (with the loader's diagnostics)
const IndexFile* kestil_solver_cached_index(SolverIndexCache* cache, const char* path);

#ifdef __cplusplus
}
#endif

#endif
