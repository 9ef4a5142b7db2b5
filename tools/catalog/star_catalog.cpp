// tools/catalog/star_catalog.cpp - star catalogues in the formats people have, as one star list
#include "tools/catalog/star_catalog.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "framework/alloc.h"
#include "framework/angles.h"
#include "tools/catalog/catalog_readers.hpp"

namespace kestil::catalog {

namespace {

constexpr double rad_per_mas = rad_per_deg / 3.6e6;
constexpr double j2000_year = 2000.0;
// How much of the file is looked at to find its format: the header line of a wide CSV table
// fits, and a FITS or ECSV header or a Tycho-2 record needs far less.
constexpr size_t head_size = 64 * 1024;

// The column list "RA,DEC,MAG": three non-empty names.
bool parse_columns(const char* text, ColumnNames* names) {
    std::string* parts[] = {&names->ra, &names->dec, &names->mag};
    std::string_view rest(text);
    for (int i = 0; i < 3; ++i) {
        const size_t comma = rest.find(',');
        if ((comma == std::string_view::npos) != (i == 2)) return false;
        const std::string_view name = trim(rest.substr(0, comma));
        if (name.empty()) return false;
        parts[i]->assign(name);
        if (i < 2) rest.remove_prefix(comma + 1);
    }
    return true;
}

// The format of a file from its first bytes (unpacked); AUTO with a failure when none fits.
CatalogFormat detect_format(std::string_view head, Failure* failure) {
    if (head.empty()) {
        *failure = {"Empty catalog file", 0};
        return CATALOG_FORMAT_AUTO;
    }
    if (head.substr(0, 9) == "SIMPLE  =") return CATALOG_FORMAT_FITS;
    if (head.substr(0, 7) == "# %ECSV") return CATALOG_FORMAT_GAIA;
    std::string_view line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Tycho-2: 206 bytes, with the separators after the identifier, the flag and the mean position
    if (line.size() == 206 && line[12] == '|' && line[14] == '|' && line[27] == '|' &&
        line[40] == '|')
        return CATALOG_FORMAT_TYCHO2;
    size_t start = 0;
    // the first line that is neither blank nor a '#' comment
    while ((trim(line).empty() || line.front() == '#') && start + line.size() < head.size()) {
        start += line.size() + 1;
        line = head.substr(start, head.find('\n', start) - start);
    }
    if (line.find(',') != std::string_view::npos) {
        bool gaia = false;
        split_fields(line, ',', [&](std::string_view field, int) {
            gaia = gaia || same_name(trim(field), "phot_g_mean_mag");
            return true;
        });
        return gaia ? CATALOG_FORMAT_GAIA : CATALOG_FORMAT_CSV;
    }
    *failure = {"Unknown catalog format", 0};
    return CATALOG_FORMAT_AUTO;
}

// A delimited table (Gaia CSV or ECSV, or CSV with named columns).
bool read_named_table(const char* path, const ColumnNames& names, const char* missing_header,
                      double mag_limit, StarList* stars, Failure* failure) {
    const TableLayout layout{{names.ra.c_str(), names.dec.c_str(), names.mag.c_str(), "pmra", "pmdec",
                          "ref_epoch"},
                         6, 3, true, missing_header};
    return read_table(
        path, layout,
        [&](const double* v, size_t line, Failure* bad) {
            CsvStar star;
            switch (table_star({v[0], v[1], v[2], v[3], v[4], v[5]}, mag_limit, &star)) {
            case RowUse::kept: stars->push_back(star); return true;
            case RowUse::skipped: return true;
            case RowUse::malformed: break;
            }
            *bad = {"Malformed catalog row", line};
            return false;
        },
        failure);
}

// The stars of any format but plain CSV, in file order.
bool read_other(const char* path, CatalogFormat format, const ColumnNames* names,
                double mag_limit, StarList* stars, Failure* failure) {
    switch (format) {
    case CATALOG_FORMAT_TYCHO2:
        if (names) {
            *failure = {"Column names do not apply to Tycho-2 records", 0};
            return false;
        }
        return read_tycho2(path, mag_limit, stars, failure);
    case CATALOG_FORMAT_FITS: return read_fits_table(path, names, mag_limit, stars, failure);
    case CATALOG_FORMAT_GAIA: {
        const ColumnNames gaia{"ra", "dec", "phot_g_mean_mag"};
        return read_named_table(path, names ? *names : gaia,
                                names ? "Catalog header lacks the named columns"
                                      : "Catalog header lacks ra, dec or phot_g_mean_mag",
                                mag_limit, stars, failure);
    }
    default:  // CSV with column names
        return read_named_table(path, *names, "Catalog header lacks the named columns",
                                mag_limit, stars, failure);
    }
}

// read_star_catalog_with_line without its checks of the arguments; may throw std::bad_alloc.
bool read_catalog(const char* path, const CatalogReadOptions& options, CsvCatalog* catalog,
                  Failure* failure) {
    ColumnNames names;
    if (options.columns && !parse_columns(options.columns, &names)) {
        *failure = {"Bad column list (want RA,DEC,MAG)", 0};
        return false;
    }
    CatalogFormat format = options.format;
    if (format == CATALOG_FORMAT_AUTO) {
        std::string head;
        if (!read_head(path, head_size, &head)) {
            *failure = {"Cannot open catalog file", 0};
            return false;
        }
        format = detect_format(head, failure);
        if (format == CATALOG_FORMAT_AUTO) return false;
    }
    StarList stars;
    const bool read =
        format == CATALOG_FORMAT_CSV && !options.columns
            ? read_csv_rows(path, options.mag_limit, true, &stars, failure)
            : read_other(path, format, options.columns ? &names : nullptr, options.mag_limit,
                         &stars, failure);
    if (!read) return false;
    std::stable_sort(stars.begin(), stars.end(),
                     [](const CsvStar& a, const CsvStar& b) { return a.mag < b.mag; });
    catalog->count = stars.size();
    catalog->stars = static_cast<CsvStar*>(kestil_checked_malloc(sizeof(CsvStar) * stars.size()));
    if (!stars.empty()) std::memcpy(catalog->stars, stars.data(), sizeof(CsvStar) * stars.size());
    return true;
}

}  // namespace

void move_to_j2000(double pmra, double pmdec, double epoch, double* ra, double* dec) {
    const double years = j2000_year - epoch;
    const double a = *ra * rad_per_deg, d = *dec * rad_per_deg;
    const double ca = std::cos(a), sa = std::sin(a), cd = std::cos(d), sd = std::sin(d);
    // r0 + t * (pmra * p + pmdec * q), with p = (-sin a, cos a, 0) towards east and
    // q = (-sin d cos a, -sin d sin a, cos d) towards north
    const double east = pmra * rad_per_mas * years, north = pmdec * rad_per_mas * years;
    const double x = cd * ca - east * sa - north * sd * ca;
    const double y = cd * sa + east * ca - north * sd * sa;
    const double z = sd + north * cd;
    *ra = normal_ra(std::atan2(y, x) / rad_per_deg);
    *dec = std::atan2(z, std::hypot(x, y)) / rad_per_deg;
}

double normal_ra(double ra) {
    if (ra >= 0.0 && ra < 360.0) return ra;
    ra = std::fmod(ra, 360.0);
    if (ra < 0.0) ra += 360.0;
    return ra < 360.0 ? ra : 0.0;  // -1e-17 + 360 rounds to 360
}

RowUse table_star(const TableRow& row, double mag_limit, CsvStar* star) {
    if (std::isnan(row.ra) || std::isnan(row.dec) || std::isnan(row.mag)) return RowUse::skipped;
    if (!(row.dec >= -90.0 && row.dec <= 90.0)) return RowUse::malformed;
    if (row.mag > mag_limit) return RowUse::skipped;
    *star = {normal_ra(row.ra), row.dec, row.mag};
    if (std::isfinite(row.pmra) && std::isfinite(row.pmdec) && std::isfinite(row.epoch))
        move_to_j2000(row.pmra, row.pmdec, row.epoch, &star->ra, &star->dec);
    return RowUse::kept;
}

}  // namespace kestil::catalog

extern "C" bool parse_catalog_format(const char* text, CatalogFormat* format) {
    static const struct {
        const char* name;
        CatalogFormat format;
    } names[] = {{"csv", CATALOG_FORMAT_CSV},
                 {"tycho2", CATALOG_FORMAT_TYCHO2},
                 {"gaia", CATALOG_FORMAT_GAIA},
                 {"fits", CATALOG_FORMAT_FITS}};
    if (!text || !format) return false;
    for (const auto& n : names) {
        if (std::strcmp(text, n.name) != 0) continue;
        *format = n.format;
        return true;
    }
    return false;
}

extern "C" bool read_star_catalog_with_line(const char* path, const CatalogReadOptions* options,
                                            CsvCatalog* catalog, size_t* line,
                                            const char** message) {
    const CatalogReadOptions none{CATALOG_FORMAT_AUTO, nullptr, INFINITY};
    kestil::catalog::Failure failure;
    bool ok = false;
    if (!path || !catalog) {
        failure = {"Cannot open catalog file", 0};
    } else if (options && (options->format < CATALOG_FORMAT_AUTO ||
                           options->format > CATALOG_FORMAT_FITS)) {
        failure = {"Unknown catalog format", 0};
    } else {
        try {
            ok = kestil::catalog::read_catalog(path, options ? *options : none, catalog, &failure);
        } catch (const std::bad_alloc&) {
            kestil_out_of_memory();
        }
    }
    if (line) *line = ok ? 0 : failure.line;
    if (!ok && message) *message = failure.message;
    return ok;
}

extern "C" bool read_star_catalog(const char* path, const CatalogReadOptions* options,
                                  CsvCatalog* catalog, const char** message) {
    return read_star_catalog_with_line(path, options, catalog, nullptr, message);
}
