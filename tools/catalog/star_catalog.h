// tools/catalog/star_catalog.h - star catalogues in the formats people have, as one star list
// Reads a catalogue file into the CsvCatalog record of tools/catalog/catalog_csv.h: ra in
// [0, 360) and dec in -90..90 degrees (ICRS, J2000 equator; a row with dec outside -90..90 is
// malformed, ra is taken modulo 360), the magnitude the catalogue offers, sorted by magnitude
// ascending (a stable sort: stars of equal magnitude keep the file's order, which the index
// builder relies on for ties). Plain and gzip files alike (gzip recognised by its magic bytes).
// Formats, found from the content or forced:
// - CSV: the reader of catalog_csv.h ("ra,dec,mag" header, every row three numbers); with
//   column names given, those columns of any delimited table instead (see "Tables" below).
// - Tycho-2 main catalogue as distributed (tyc2.dat or one of its parts tyc2.dat.00 to .19,
//   plain or gzip; the parts concatenated, even as gzip members, are one file): the records of
//   206 bytes of its published byte layout (Hog et al. 2000, A&A 355, L27; CDS catalogue
//   I/259, ReadMe "Byte-by-byte Description of file: tyc2.dat"), "\n" or "\r\n" ended. The
//   position is the mean position RAmdeg, DEmdeg (epoch J2000); records without one (flag 'X')
//   give the observed position RAdeg, DEdeg, which is at its observation epoch (1990.7 to
//   1992.4) and not moved to J2000: the catalogue has no proper motion for them. The magnitude
//   is VT, or BT where VT is blank; a record with neither is skipped.
// - Gaia (DR3 archive exports): CSV or ECSV (a "# %ECSV" YAML header in '#' lines, then a
//   delimited table) with columns ra, dec, phot_g_mean_mag.
// - FITS: the first binary table HDU (through cfitsio), columns of any numeric type.
// Tables (Gaia, FITS, CSV with column names): a row whose ra, dec or magnitude is null (empty,
// "null", "nan", "--" in text; NaN or TNULL in FITS) is skipped: it has no usable position or
// brightness. When the table also has the columns pmra, pmdec (mas/yr, pmra includes cos dec)
// and ref_epoch (Julian years, e.g. 2016.0) with finite values in a row, its position is moved
// to epoch J2000.0 by uniform motion along the tangent of the sphere (ESA 1997, The Hipparcos
// and Tycho Catalogues, Vol. 1, Sect. 1.5.5, with parallax and radial velocity 0: the direction
// r0 + t (pmra p + pmdec q), normalised; exact for that model, and within 0.2" of the motion
// with perspective acceleration for the fastest known stars over 16 years).
// Column names for FITS found without a list (ASCII case ignored), first match in each list:
//   ra: ra, ra_icrs, raj2000, _raj2000, radeg, ramdeg, alpha_j2000
//   dec: dec, de, dec_icrs, de_icrs, dej2000, _dej2000, dedeg, demdeg, delta_j2000
//   magnitude: mag, phot_g_mean_mag, vtmag, vmag, gmag, btmag, bmag
// Single-threaded per call; keeps no state. Allocation failure ends the process (alloc.h).
#ifndef KESTIL_TOOLS_CATALOG_STAR_CATALOG_H
#define KESTIL_TOOLS_CATALOG_STAR_CATALOG_H

#include <stdbool.h>
#include <stddef.h>

#include "tools/catalog/catalog_csv.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum CatalogFormat {
    CATALOG_FORMAT_AUTO,  // found from the content
    CATALOG_FORMAT_CSV,
    CATALOG_FORMAT_TYCHO2,
    CATALOG_FORMAT_GAIA,
    CATALOG_FORMAT_FITS
} CatalogFormat;

typedef struct CatalogReadOptions {
    CatalogFormat format;
    const char* columns;  // "RA,DEC,MAG": the names of the three columns, or null for the usual
    double mag_limit;     // stars fainter than this are left out; INFINITY (or NAN) = none
} CatalogReadOptions;

// Given:    text     "csv", "tycho2", "gaia" or "fits" (exactly, lower case)
// Returned: format   the format (untouched when the text is none of them)
// Result:   true when the text names a format
bool parse_catalog_format(const char* text, CatalogFormat* format);

// Given:    path      the catalogue file
//           options   format, column names, magnitude limit (null: found, usual, none)
// Returned: catalog   the stars (only on success; release with free_catalog_csv)
//           message   static failure text: "Cannot open catalog file", "Cannot read catalog
//                     file", "Empty catalog file", "Unknown catalog format", "Bad column list
//                     (want RA,DEC,MAG)", "Column names do not apply to Tycho-2 records";
//                     CSV: "Catalog header lacks ra, dec or mag", "Malformed catalog row" (also
//                     for dec outside -90..90); with column names: "Catalog header lacks the
//                     named columns"; Gaia: "Catalog header lacks ra, dec or phot_g_mean_mag",
//                     "Unsupported ECSV delimiter"; tables: "Malformed catalog row" (a field
//                     that is no number, a row too short, dec outside -90..90); Tycho-2:
//                     "Malformed Tycho-2 record" (wrong length, separators or field, a position
//                     outside its range); FITS: "Not a FITS file", "No binary table in FITS
//                     file", "FITS table lacks ra, dec or mag columns", "FITS catalog column is
//                     not a number", "Cannot read FITS table", and "Malformed catalog row" as
//                     for the tables
// Result:   true on success (an empty catalogue too)
bool read_star_catalog(const char* path, const CatalogReadOptions* options, CsvCatalog* catalog,
                       const char** message);

// read_star_catalog, also giving where a malformed row or record is.
// Returned: line   1-based line of the text file (FITS: 1-based table row), 0 when the failure
//                  concerns no single line; set on success too (0)
bool read_star_catalog_with_line(const char* path, const CatalogReadOptions* options,
                                 CsvCatalog* catalog, size_t* line, const char** message);

#ifdef __cplusplus
}
#endif

#endif
