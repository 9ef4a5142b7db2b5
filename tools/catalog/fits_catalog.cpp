// tools/catalog/fits_catalog.cpp - star columns of a FITS binary table, through cfitsio
#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "tools/catalog/catalog_readers.hpp"

namespace kestil::catalog {

namespace {

struct FitsCloser {
    void operator()(fitsfile* file) const noexcept {
        int status = 0;
        fits_close_file(file, &status);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

constexpr long long rows_per_read = 65536;

// The usual column names, most specific catalogue first within each list.
constexpr const char* usual_ra[] = {"ra",      "ra_icrs", "raj2000",    "_raj2000",
                                    "radeg",   "ramdeg",  "alpha_j2000"};
constexpr const char* usual_dec[] = {"dec",      "de",    "dec_icrs", "de_icrs",    "dej2000",
                                     "_dej2000", "dedeg", "demdeg",   "delta_j2000"};
constexpr const char* usual_mag[] = {"mag", "phot_g_mean_mag", "vtmag", "vmag",
                                     "gmag", "btmag", "bmag"};

// Column numbers in the order wanted: ra, dec, magnitude, pmra, pmdec, ref_epoch (0 = absent).
struct StarColumns {
    int number[6] = {0, 0, 0, 0, 0, 0};
};

// Moves to the first binary table HDU.
bool find_binary_table(fitsfile* file) {
    for (int hdu = 2;; ++hdu) {
        int type = 0, status = 0;
        if (fits_movabs_hdu(file, hdu, &type, &status)) return false;
        if (type == BINARY_TBL) return true;
    }
}

// The TTYPEn names of the table's columns ("" where a column has none).
std::vector<std::string> column_names(fitsfile* file) {
    int count = 0, status = 0;
    fits_get_num_cols(file, &count, &status);
    std::vector<std::string> names(static_cast<size_t>(status ? 0 : count));
    for (int n = 1; n <= static_cast<int>(names.size()); ++n) {
        char key[FLEN_KEYWORD], value[FLEN_VALUE];
        status = 0;
        fits_make_keyn("TTYPE", n, key, &status);
        if (!fits_read_key(file, TSTRING, key, value, nullptr, &status))
            names[static_cast<size_t>(n - 1)] = value;
    }
    return names;
}

// The number of the first column named like any of the candidates, taken in their order.
template <size_t N>
int column_of(const std::vector<std::string>& names, const char* const (&candidates)[N]) {
    for (const char* candidate : candidates)
        for (size_t i = 0; i < names.size(); ++i)
            if (same_name(trim(names[i]), candidate)) return static_cast<int>(i + 1);
    return 0;
}

bool find_columns(const std::vector<std::string>& names, const ColumnNames* given,
                  StarColumns* columns) {
    int* n = columns->number;
    if (given) {
        const char* ra[] = {given->ra.c_str()};
        const char* dec[] = {given->dec.c_str()};
        const char* mag[] = {given->mag.c_str()};
        n[0] = column_of(names, ra), n[1] = column_of(names, dec), n[2] = column_of(names, mag);
    } else {
        n[0] = column_of(names, usual_ra), n[1] = column_of(names, usual_dec);
        n[2] = column_of(names, usual_mag);
    }
    constexpr const char* pmra[] = {"pmra"};
    constexpr const char* pmdec[] = {"pmdec"};
    constexpr const char* epoch[] = {"ref_epoch"};
    n[3] = column_of(names, pmra), n[4] = column_of(names, pmdec), n[5] = column_of(names, epoch);
    return n[0] && n[1] && n[2];
}

// Whether a column holds one number per row (after TSCAL and TZERO).
bool numeric_scalar(fitsfile* file, int column) {
    int type = 0, status = 0;
    LONGLONG repeat = 0, width = 0;
    if (fits_get_eqcoltypell(file, column, &type, &repeat, &width, &status)) return false;
    switch (type) {
    case TBYTE: case TSBYTE: case TSHORT: case TUSHORT: case TINT: case TUINT: case TLONG:
    case TULONG: case TLONGLONG: case TULONGLONG: case TFLOAT: case TDOUBLE:
        return repeat == 1;
    default:
        return false;
    }
}

bool read_rows(fitsfile* file, const StarColumns& columns, double mag_limit, StarList* stars,
               Failure* failure) {
    int status = 0;
    LONGLONG rows = 0;
    if (fits_get_num_rowsll(file, &rows, &status)) {
        *failure = {"Cannot read FITS table", 0};
        return false;
    }
    std::vector<double> values[6];
    for (LONGLONG first = 1; first <= rows; first += rows_per_read) {
        const LONGLONG count = std::min(rows_per_read, rows - first + 1);
        for (int c = 0; c < 6; ++c) {
            values[c].assign(static_cast<size_t>(count), NAN);
            double null_value = NAN;
            int any_null = 0;
            if (columns.number[c] &&
                fits_read_col(file, TDOUBLE, columns.number[c], first, 1, count, &null_value,
                              values[c].data(), &any_null, &status)) {
                *failure = {"Cannot read FITS table", 0};
                return false;
            }
        }
        for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
            const TableRow row{values[0][i], values[1][i], values[2][i],
                               values[3][i], values[4][i], values[5][i]};
            CsvStar star;
            const RowUse use = table_star(row, mag_limit, &star);
            if (use == RowUse::kept) stars->push_back(star);
            if (use != RowUse::malformed) continue;
            *failure = {"Malformed catalog row", static_cast<size_t>(first) + i};
            return false;
        }
    }
    return true;
}

}  // namespace

bool read_fits_table(const char* path, const ColumnNames* names, double mag_limit,
                     StarList* stars, Failure* failure) {
    fitsfile* opened = nullptr;
    int status = 0;
    // The disk-file form takes the name as it is: no extended syntax ("file.fits[2]").
    if (fits_open_diskfile(&opened, path, READONLY, &status)) {
        if (opened) FitsCloser()(opened);
        FILE* plain = std::fopen(path, "rb");
        *failure = {plain ? "Not a FITS file" : "Cannot open catalog file", 0};
        if (plain) std::fclose(plain);
        return false;
    }
    FitsHandle file(opened);
    if (!find_binary_table(file.get())) {
        *failure = {"No binary table in FITS file", 0};
        return false;
    }
    StarColumns columns;
    if (!find_columns(column_names(file.get()), names, &columns)) {
        *failure = {"FITS table lacks ra, dec or mag columns", 0};
        return false;
    }
    for (int c = 0; c < 6; ++c) {
        if (!columns.number[c] || numeric_scalar(file.get(), columns.number[c])) continue;
        if (c >= 3) {  // an odd proper-motion column: no correction
            columns.number[3] = columns.number[4] = columns.number[5] = 0;
            continue;
        }
        *failure = {"FITS catalog column is not a number", 0};
        return false;
    }
    return read_rows(file.get(), columns, mag_limit, stars, failure);
}

}  // namespace kestil::catalog
