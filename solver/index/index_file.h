// solver/index/index_file.h - index file name, layout, validation, loading and writing
// An index holds, for one quad scale, catalogue stars (J2000, single-precision radians) and
// quads (64-bit shape codes, base lengths in radians, four star indexes), sorted into a
// 1001 x 1001 bucket table by the first two code fields. Little-endian on disk. A mapped index
// is read-only and may be read from any thread; loading and releasing are single-threaded.
#ifndef KESTIL_SOLVER_INDEX_INDEX_FILE_H
#define KESTIL_SOLVER_INDEX_INDEX_FILE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    INDEX_VERSION = 2,
    INDEX_HEADER_SIZE = 64,
    INDEX_GRID = 1001,
    INDEX_BUCKET_COUNT = 1002002,  // 1001 x 1001 buckets and the end entry
    INDEX_OWNED_SLOTS = 6
};

typedef struct IndexHeader {
    uint32_t magic;  // "ZEPH"
    uint32_t version;
    float scale;     // quad scale, degrees
    uint32_t star_count;
    uint32_t quad_count;
} IndexHeader;

typedef struct CatalogStar {
    float ra;   // radians, J2000
    float dec;  // radians, J2000
} CatalogStar;

typedef struct CatalogQuad {
    uint64_t code;      // x1, y1, x2, y2 from the most significant 16 bits down
    float size;         // angular length of the base, radians
    uint32_t stars[4];  // base origin, base end, first and second non-base star
} CatalogQuad;

typedef struct IndexFile {
    float scale;
    uint32_t star_count;
    uint32_t quad_count;
    const CatalogStar* stars;
    const uint32_t* buckets;     // INDEX_BUCKET_COUNT entries
    const uint64_t* codes;       // quad_count entries
    const float* sizes;          // quad_count entries
    const uint32_t* quad_stars;  // 4 x quad_count entries
    const uint8_t* in_cone;      // one flag per star in a cone view; null = every star usable
    const void* mapping;         // the whole file, read-only; null in a cone view
    uint64_t mapping_size;
    void* owned[INDEX_OWNED_SLOTS];  // heap buffers freed on release
} IndexFile;

// Formats the path of the index of scale in settings->index_dir (the bare name without
// settings or with an empty directory) into buffer, truncating. Result: the formatted length.
int index_file_name(char* buffer, size_t size, const SolverSettings* settings, float scale);

// The same for an index directory (null or empty: the bare name); at most SOLVER_PATH_SIZE
// bytes of directory are used.
int kestil_solver_index_path(char* buffer, size_t size, const char* directory, float scale);

// Reads the 64-byte header from the start of file. Result: true when magic and version are good;
// diagnostics on the standard error otherwise.
bool kestil_solver_index_read_header(FILE* file, IndexHeader* header);

// Maps the file and checks header offsets and the bucket table. Result: true with the record
// filled; false with the record zeroed, nothing held and an error log line.
bool map_index(const char* path, IndexFile* index);

// Opens, header-checks and maps an index for solving. On success a debug log line names the
// counts; on any failure "kestil_solver: failed to load <path>" goes to the standard error
// (after the log line of the step that failed) and the record is zeroed.
// Result: true when loaded.
bool kestil_solver_load_index(const char* path, IndexFile* index);

// Unmaps the mapping, frees the owned buffers and zeroes the record.
void kestil_solver_release_index(IndexFile* index);

// Whether the file at path is a usable index of scale: its header is good and names this scale
// with stars and quads, and the whole file passes the layout check of map_index (whose error
// log line names a failure there). Used for installed and for freshly downloaded indexes.
// Result: true when valid; the file is not held afterwards.
bool kestil_solver_index_valid(const char* path, float scale);

// Writes a complete index file: quads are sorted into their buckets (stable, so the output is
// deterministic), written to "<path>.tmp" and renamed into place, so a failed write never leaves
// a partial file at path. Given quads with their codes, sizes and star indexes (< star_count).
// Result: true on success; false with a static message otherwise: "a quad code is out of
// range", "a quad star index is out of range", "the index path is too long", "the index file
// can't be written" or "the index file can't be installed".
bool kestil_solver_write_index(const char* path, float scale, const CatalogStar* stars,
                               uint32_t star_count, const CatalogQuad* quads, uint32_t quad_count,
                               const char** message);

#ifdef __cplusplus
}
#endif

#endif
