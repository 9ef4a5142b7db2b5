// tools/catalog/catalog_csv.cpp - reader of star catalogue CSV files (ra,dec,mag in degrees)
#include "tools/catalog/catalog_csv.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework/alloc.h"
#include "tools/catalog/catalog_readers.hpp"

namespace kestil::catalog {

bool read_csv_rows(const char* path, double mag_limit, bool sky_checked, StarList* stars,
                   Failure* failure) {
    const TableLayout layout{{"ra", "dec", "mag"}, 3, 3, false, "Catalog header lacks ra, dec or mag"};
    const bool limited = !std::isnan(mag_limit);
    return read_table(
        path, layout,
        [&](const double* v, size_t line, Failure* bad) {
            if (std::isnan(v[0]) || std::isnan(v[1]) || std::isnan(v[2]) ||
                (sky_checked && !(v[1] >= -90.0 && v[1] <= 90.0))) {
                *bad = {"Malformed catalog row", line};
                return false;
            }
            if (!limited || v[2] <= mag_limit)
                stars->push_back({sky_checked ? normal_ra(v[0]) : v[0], v[1], v[2]});
            return true;
        },
        failure);
}

}  // namespace kestil::catalog

extern "C" bool read_catalog_csv(const char* path, double mag_limit, CsvCatalog* catalog,
                                 size_t* line_number, const char** message) {
    if (line_number) *line_number = 0;
    kestil::catalog::Failure failure;
    kestil::catalog::StarList stars;
    bool ok = false;
    try {
        ok = catalog && kestil::catalog::read_csv_rows(path, mag_limit, false, &stars, &failure);
        if (!catalog) failure = {"Cannot open catalog file", 0};
    } catch (const std::bad_alloc&) {
        kestil_out_of_memory();
    }
    if (!ok) {
        if (message) *message = failure.message;
        if (line_number) *line_number = failure.line;
        return false;
    }
    catalog->count = stars.size();
    catalog->stars = static_cast<CsvStar*>(kestil_checked_malloc(sizeof(CsvStar) * stars.size()));
    if (!stars.empty()) std::memcpy(catalog->stars, stars.data(), sizeof(CsvStar) * stars.size());
    return true;
}

extern "C" void free_catalog_csv(CsvCatalog* catalog) {
    if (!catalog) return;
    std::free(catalog->stars);
    catalog->stars = nullptr;
    catalog->count = 0;
}
