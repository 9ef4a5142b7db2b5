// tools/catalog/catalog_csv.cpp - reader of star catalogue CSV files (ra,dec,mag in degrees)
#include "tools/catalog/catalog_csv.h"

#include <zlib.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/alloc.h"

namespace {

constexpr unsigned chunk_size = 1u << 20;

struct GzCloser {
    void operator()(gzFile file) const noexcept { gzclose(file); }
};
using GzHandle = std::unique_ptr<gzFile_s, GzCloser>;

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '"'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '"'))
        text.remove_suffix(1);
    return text;
}

bool same_name(std::string_view a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

// Column positions of ra, dec and mag.
struct Columns {
    int ra = -1, dec = -1, mag = -1;
    int last() const { return std::max(ra, std::max(dec, mag)); }
};

bool parse_header(std::string_view line, Columns* columns) {
    int index = 0;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        const std::string_view name =
            trim(line.substr(start, comma == std::string_view::npos ? line.npos : comma - start));
        if (same_name(name, "ra")) columns->ra = index;
        if (same_name(name, "dec")) columns->dec = index;
        if (same_name(name, "mag")) columns->mag = index;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
        ++index;
    }
    return columns->ra >= 0 && columns->dec >= 0 && columns->mag >= 0;
}

bool parse_number(std::string_view field, double* value) {
    field = trim(field);
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    if (field.empty()) return false;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), *value);
    return error == std::errc() && end == field.data() + field.size() && std::isfinite(*value);
}

// One data row; false when malformed.
bool parse_row(std::string_view line, const Columns& columns, CsvStar* star) {
    const int last = columns.last();
    size_t start = 0;
    for (int index = 0; index <= last; ++index) {
        if (start > line.size()) return false;
        const size_t comma = line.find(',', start);
        const std::string_view field =
            line.substr(start, comma == std::string_view::npos ? line.npos : comma - start);
        double* target = index == columns.ra    ? &star->ra
                         : index == columns.dec ? &star->dec
                         : index == columns.mag ? &star->mag
                                                : nullptr;
        if (target && !parse_number(field, target)) return false;
        start = comma == std::string_view::npos ? line.size() + 1 : comma + 1;
    }
    return true;
}

bool blank(std::string_view line) { return trim(line).empty(); }

}  // namespace

extern "C" bool read_catalog_csv(const char* path, double mag_limit, CsvCatalog* catalog,
                                 size_t* line_number, const char** message) {
    if (line_number) *line_number = 0;
    const char* failure = nullptr;
    if (!path || !catalog) failure = "Cannot open catalog file";
    GzHandle file(failure ? nullptr : gzopen(path, "rb"));
    if (!failure && !file) failure = "Cannot open catalog file";
    if (failure) {
        if (message) *message = failure;
        return false;
    }
    gzbuffer(file.get(), 256 * 1024);
    const bool limited = !std::isnan(mag_limit);

    std::vector<CsvStar> stars;
    std::string pending;  // an incomplete last line of the previous chunk
    std::vector<char> chunk(chunk_size);
    Columns columns;
    bool have_header = false;
    size_t lines = 0;

    auto take_line = [&](std::string_view line) -> bool {
        ++lines;
        if (!have_header) {
            if (blank(line)) return true;
            if (!parse_header(line, &columns)) {
                failure = "Catalog header lacks ra, dec or mag";
                return false;
            }
            have_header = true;
            return true;
        }
        if (blank(line)) return true;
        CsvStar star;
        if (!parse_row(line, columns, &star)) {
            failure = "Malformed catalog row";
            if (line_number) *line_number = lines;
            return false;
        }
        if (!limited || star.mag <= mag_limit) stars.push_back(star);
        return true;
    };

    while (true) {
        const int got = gzread(file.get(), chunk.data(), chunk_size);
        if (got < 0) {
            failure = "Cannot read catalog file";
            break;
        }
        if (got == 0) break;
        std::string_view data(chunk.data(), static_cast<size_t>(got));
        size_t start = 0;
        while (true) {
            const size_t end = data.find('\n', start);
            if (end == std::string_view::npos) break;
            bool ok;
            if (!pending.empty()) {
                pending.append(data.substr(start, end - start));
                ok = take_line(pending);
                pending.clear();
            } else {
                ok = take_line(data.substr(start, end - start));
            }
            if (!ok) break;
            start = end + 1;
        }
        if (failure) break;
        pending.append(data.substr(start));
    }
    if (!failure && !pending.empty()) take_line(pending);
    if (!failure && !have_header) failure = "Catalog header lacks ra, dec or mag";
    if (failure) {
        if (message) *message = failure;
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
