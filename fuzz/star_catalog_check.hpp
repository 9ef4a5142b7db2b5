// fuzz/star_catalog_check.hpp - the documented results of read_star_catalog, checked
// Shared by the catalogue targets: the input is written to a private file, read with and
// without a magnitude limit, and both results are held to the header's promises.
#ifndef KESTIL_FUZZ_STAR_CATALOG_CHECK_HPP
#define KESTIL_FUZZ_STAR_CATALOG_CHECK_HPP

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "fuzz/fuzz_support.hpp"
#include "tools/catalog/star_catalog.h"

namespace fuzz {

// The failure texts tools/catalog/star_catalog.h lists.
inline bool documented_failure(const char* message) {
    static const char* const texts[] = {
        "Cannot open catalog file", "Cannot read catalog file", "Empty catalog file",
        "Unknown catalog format", "Bad column list (want RA,DEC,MAG)",
        "Column names do not apply to Tycho-2 records", "Catalog header lacks ra, dec or mag",
        "Malformed catalog row", "Catalog header lacks the named columns",
        "Catalog header lacks ra, dec or phot_g_mean_mag", "Unsupported ECSV delimiter",
        "Malformed Tycho-2 record", "Not a FITS file", "No binary table in FITS file",
        "FITS table lacks ra, dec or mag columns", "FITS catalog column is not a number",
        "Cannot read FITS table"};
    if (!message) return false;
    for (const char* text : texts)
        if (strcmp(message, text) == 0) return true;
    return false;
}

// The file as the readers see it: gzip unpacked (zlib reads other files as they are).
inline std::string unpacked(const std::string& path) {
    std::string text;
    gzFile file = gzopen(path.c_str(), "rb");
    if (!file) fail("can't read the input file back");
    char buffer[65536];
    for (int got; (got = gzread(file, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(got));
    gzclose(file);
    return text;
}

// Whether the found format would be FITS: those files go to cfitsio, a system library without
// the fuzzer's coverage, and their row numbers are no lines. The targets leave them out.
inline bool fits_content(const std::string& text) { return text.compare(0, 9, "SIMPLE  =") == 0; }

// Reads path with options, then again with the limit `limit`; checks that a success gives
// finite stars in range sorted by magnitude (no more than the file has lines), that a failure
// gives a documented text and a line inside the file, and that the limited read is the
// unlimited one without the stars fainter than the limit, in the same order.
inline void check_star_catalog(const std::string& path, CatalogReadOptions options, double limit,
                               const std::string& text) {
    size_t lines = 1;
    for (char c : text) lines += c == '\n';
    CsvCatalog all{}, bright{};
    const char* message = nullptr;
    size_t line = 0;
    options.mag_limit = INFINITY;
    const bool ok = read_star_catalog_with_line(path.c_str(), &options, &all, &line, &message);
    if (!ok) {
        check(documented_failure(message), "a documented failure text");
        check(line <= lines, "failure line inside the file");
    } else {
        check(line == 0 && all.count <= lines, "no more stars than lines");
        for (size_t i = 0; i < all.count; ++i) {
            const CsvStar& s = all.stars[i];
            check(isfinite(s.ra) && isfinite(s.dec) && isfinite(s.mag), "finite stars");
            check(s.ra >= 0 && s.ra < 360 && s.dec >= -90 && s.dec <= 90, "positions in range");
            check(i == 0 || all.stars[i - 1].mag <= s.mag, "sorted by magnitude");
        }
    }
    options.mag_limit = limit;
    const bool limited = read_star_catalog(path.c_str(), &options, &bright, &message);
    check(limited == ok, "the limit changes no verdict");
    if (ok) {
        size_t k = 0;
        for (size_t i = 0; i < all.count; ++i) {
            if (all.stars[i].mag > limit) continue;
            check(k < bright.count && memcmp(&all.stars[i], &bright.stars[k], sizeof(CsvStar)) == 0,
                  "limited read is the bright part of the full one");
            ++k;
        }
        check(k == bright.count, "limited read has nothing else");
    }
    free_catalog_csv(&all);
    free_catalog_csv(&bright);
}

// Writes the bytes to path. Result: whether all were written.
inline bool write_input(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && ok;
}

}  // namespace fuzz

#endif
