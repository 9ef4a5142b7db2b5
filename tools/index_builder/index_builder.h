// tools/index_builder/index_builder.h - builds an index file for one quad scale from a catalogue
// Stars: for each of a few density levels, the brightest catalogue star of every equal-area sky
// cell, the cell size matched to the solver's 10 x 10 image grid for the fields the scale
// serves; the index holds the union. Quads: at each level, every star with three of its nearest
// neighbours of that level (4 to 10 by scale, so that whole-sky files keep the published sizes).
// Optionally each quad of the coarsest levels again with the codes seen from image centres
// around it (code variants, for wide fields). Codes and the canonical star order are those of the image
// quads (make_image_quad) applied to the four stars projected onto the tangent plane at their
// centre; sizes are the angular base lengths in radians. Catalogue positions (CsvStar of
// tools/catalog) are J2000 degrees.
// The output depends only on the input (catalogue order breaks ties), not on the number of
// threads. One build per call; each call runs its work on options->threads threads and calls
// the progress callback on the calling thread.
#ifndef KESTIL_TOOLS_INDEX_BUILDER_INDEX_BUILDER_H
#define KESTIL_TOOLS_INDEX_BUILDER_INDEX_BUILDER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "solver/index/index_file.h"
#include "tools/catalog/catalog_csv.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct IndexBuildOptions {
    float scale;         // quad scale, degrees (names the file)
    double field_min;    // smallest and largest field served, degrees (geometric mean of the
    double field_max;    // sides); 0 = from the published table for the scale
    double ra, dec;      // cone centre, degrees
    double radius;       // cone radius, degrees; 0 or less = whole sky
    FILE* progress;      // progress lines; null = none
    // Tuning (0 = the defaults of the scale): the finest and coarsest cell as fractions of the
    // smallest and largest field, and the nearest neighbours a star forms quads with.
    double finest_cell;
    double coarsest_cell;
    int32_t neighbours;
    // Code variants for wide fields: the quads of the coarsest variant_levels levels are coded
    // again as seen from image centres on variant_rings rings around them (ring k at
    // variant_radius * sqrt(k) degrees, k * variant_directions centres). 0 = the defaults
    // (no rings, 3.6 degrees, 12 directions, 1 level); variant_rings < 0 = none.
    int32_t variant_rings;
    double variant_radius;
    int32_t variant_directions;
    int32_t variant_levels;
    int32_t threads;     // threads to build on; 0 or less = one per processor
    // Called now and then with the work done and the whole work (stars handled over all density
    // levels; the total is known from the first call); null = none.
    void (*progress_callback)(void* context, uint64_t done, uint64_t total);
    void* progress_context;
} IndexBuildOptions;

typedef struct IndexBuildReport {
    uint32_t star_count;
    uint32_t quad_count;
    int32_t levels;
    double seconds;      // build time
    uint64_t file_size;  // bytes
} IndexBuildReport;

// Field range served by a quad scale (degrees): the published table, 20 -> 20..30, others s..2s.
void index_field_range(float scale, double* field_min, double* field_max);

// Builds the stars and quads without writing them; stars in radians, quads with star indexes,
// both malloc'ed (the caller frees them). Result: true on success; false with a static message
// (no stars, too many quads, out of memory).
bool build_index_content(const CsvStar* catalog, size_t count, const IndexBuildOptions* options,
                         CatalogStar** stars, uint32_t* star_count, CatalogQuad** quads,
                         uint32_t* quad_count, int32_t* levels, const char** message);

// Builds and writes the index at path through kestil_solver_write_index.
bool build_index_file(const CsvStar* catalog, size_t count, const IndexBuildOptions* options,
                      const char* path, IndexBuildReport* report, const char** message);


#ifdef __cplusplus
}
#endif

#endif
