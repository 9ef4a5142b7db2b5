// tools/catalog/catalog_readers.hpp - the format readers behind read_star_catalog
// C++ only, for tools/catalog itself. Each reader appends the stars of one file, in file order,
// to a list (read_star_catalog sorts it); degrees, J2000, the conventions of star_catalog.h.
// Single-threaded per call; no state.
#ifndef KESTIL_TOOLS_CATALOG_CATALOG_READERS_HPP
#define KESTIL_TOOLS_CATALOG_CATALOG_READERS_HPP

#include <string>
#include <vector>

#include "tools/catalog/catalog_csv.h"
#include "tools/catalog/catalog_text.hpp"

namespace kestil::catalog {

using StarList = std::vector<CsvStar>;

// The three columns named by the caller ("RA,DEC,MAG").
struct ColumnNames {
    std::string ra, dec, mag;
};

// The values a table row offers, NaN where absent: position (deg), magnitude, and the proper
// motion (mas/yr, pmra including cos dec) with its epoch (Julian years).
struct TableRow {
    double ra, dec, mag, pmra, pmdec, epoch;
};
enum class RowUse { kept, skipped, malformed };

// Given:    row        a table row
//           mag_limit  magnitudes above it are skipped (NaN: none)
// Returned: star       the position at J2000, ra in [0, 360), and the magnitude (when kept)
// Result:   skipped for a null ra, dec or magnitude or one over the limit; malformed for dec
//           outside -90..90; else kept
RowUse table_star(const TableRow& row, double mag_limit, CsvStar* star);

// A finite ra (deg) brought into [0, 360).
double normal_ra(double ra);

// The project's CSV (catalog_csv.h), rows in file order. With sky_checked as read_star_catalog
// wants them: a row with dec outside -90..90 is malformed, ra is brought into [0, 360).
bool read_csv_rows(const char* path, double mag_limit, bool sky_checked, StarList* stars,
                   Failure* failure);

// Moves a position (deg) by its proper motion (mas/yr) from epoch (Julian years) to J2000.0,
// uniform motion along the tangent at the start (see star_catalog.h). ra comes out in [0, 360).
void move_to_j2000(double pmra, double pmdec, double epoch, double* ra, double* dec);

// Tycho-2 main catalogue records. Failure texts: for_each_line's, "Malformed Tycho-2 record".
bool read_tycho2(const char* path, double mag_limit, StarList* stars, Failure* failure);

// The first binary table of a FITS file; names null for the usual ones (star_catalog.h).
bool read_fits_table(const char* path, const ColumnNames* names, double mag_limit,
                     StarList* stars, Failure* failure);

}  // namespace kestil::catalog

#endif
