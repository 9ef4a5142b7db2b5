// tools/catalog/catalog_csv.h - reader of star catalogue CSV files (ra,dec,mag in degrees)
// The file starts with a header line naming its columns; the columns "ra", "dec" and "mag" are
// read (any order, extra columns ignored; a field in double quotes may hold commas), one star
// per following line. Input may be plain or gzip-compressed (recognised by its content, not its
// name). Empty lines are skipped; any other line that does not hold three finite numbers in
// those columns fails the whole read.
// Single-threaded per call; keeps no state.
#ifndef KESTIL_TOOLS_CATALOG_CATALOG_CSV_H
#define KESTIL_TOOLS_CATALOG_CATALOG_CSV_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// One catalogue row.
typedef struct CsvStar {
    double ra;   // degrees, as written (0 <= ra < 360 in the project's catalogues)
    double dec;  // degrees
    double mag;  // magnitude
} CsvStar;

// A catalogue in memory, in file order.
typedef struct CsvCatalog {
    CsvStar* stars;  // count rows (release with free_catalog_csv)
    size_t count;
} CsvCatalog;

// Given:    path        plain or gzip CSV file
//           mag_limit   rows with mag > mag_limit are skipped (pass INFINITY or NAN for none)
// Returned: catalog     the rows (only on success; empty catalogues succeed)
//           line        (optional) 1-based line number of a malformed row, 0 otherwise
//           message     static failure text: "Cannot open catalog file", "Cannot read catalog
//                       file", "Catalog header lacks ra, dec or mag", "Malformed catalog row"
// Result:   true on success
bool read_catalog_csv(const char* path, double mag_limit, CsvCatalog* catalog, size_t* line,
                      const char** message);

// Releases the rows of a catalogue filled by read_catalog_csv (null or empty is fine).
void free_catalog_csv(CsvCatalog* catalog);

#ifdef __cplusplus
}
#endif

#endif
