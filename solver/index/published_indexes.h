// solver/index/published_indexes.h - the table of published indexes and their labels
// Seven indexes are published, one per quad scale (degrees): 0.2, 0.5, 1, 2, 5, 10 and 20, in
// the order of the list command, of the "all" selection and of the help text. Scales are floats
// compared for exact equality. Labels carry UTF-8 degree signs. Constant data; any thread.
#ifndef KESTIL_SOLVER_INDEX_PUBLISHED_INDEXES_H
#define KESTIL_SOLVER_INDEX_PUBLISHED_INDEXES_H

#ifdef __cplusplus
extern "C" {
#endif

enum { PUBLISHED_INDEX_COUNT = 7 };

typedef struct PublishedIndex {
    float scale;          // quad scale, degrees
    const char* catalog;  // "Gaia DR3" below 1 degree, "Tycho-2" from 1 degree up
    const char* fov;      // field of view range the index suits, e.g. "1° - 2°"
    const char* size;     // download size, display text only, e.g. "538 MB"
} PublishedIndex;

extern const PublishedIndex published_scales[PUBLISHED_INDEX_COUNT];

// Given:     scale    quad scale, degrees
// Returned:  field_min, field_max   the fields it serves, degrees (geometric mean of the sides):
//                     the published ranges (20 -> 20..30), s..2s for any other scale
void kestil_solver_published_field_range(float scale, double* field_min, double* field_max);

// Given:     scale    quad scale, degrees
// Returned:  buffer   the label, 128 bytes (SOLVER_LABEL_SIZE), cut when longer:
//                     "%g° %s (FOV %s)" for a published scale, "%g° %s" for any other
// Result:    the length of the label before cutting
int index_label(float scale, char* buffer);

#ifdef __cplusplus
}
#endif

#endif
