// tools/index_builder/catalog_csv.cpp - reads ra,dec,mag CSV catalogues, plain or gzip
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/index_builder/index_builder.h"

namespace {

struct GzCloser {
    void operator()(gzFile_s* file) const noexcept { gzclose(file); }
};

// Parses one number and the separator after it; false on anything but a number.
bool parse_field(const char** cursor, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(*cursor, &end);
    if (end == *cursor || errno == ERANGE || !std::isfinite(*value)) return false;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end == ',') ++end;
    *cursor = end;
    return true;
}

}  // namespace

extern "C" CatalogEntry* read_star_catalog(const char* path, size_t* count, const char** message) {
    std::unique_ptr<gzFile_s, GzCloser> file(gzopen(path, "rb"));
    if (!file) {
        *message = "cannot open the catalogue";
        return nullptr;
    }
    std::vector<CatalogEntry> entries;
    char line[4096];
    bool first = true;
    while (gzgets(file.get(), line, sizeof line)) {
        const char* cursor = line;
        double ra = 0, dec = 0, mag = 0;
        bool ok = parse_field(&cursor, &ra) && parse_field(&cursor, &dec) &&
                  parse_field(&cursor, &mag);
        bool blank = line[strspn(line, " \t\r\n")] == '\0';
        if (!ok) {
            if (first || blank) {  // the header line, or an empty line
                first = false;
                continue;
            }
            *message = "malformed catalogue line";
            return nullptr;
        }
        first = false;
        if (ra < 0 || ra >= 360 || dec < -90 || dec > 90) {
            *message = "catalogue position out of range";
            return nullptr;
        }
        entries.push_back({ra, dec, static_cast<float>(mag)});
    }
    int error = 0;
    gzerror(file.get(), &error);
    if (error != Z_OK && error != Z_STREAM_END) {
        *message = "catalogue read error";
        return nullptr;
    }
    auto* result = static_cast<CatalogEntry*>(std::malloc(std::max<size_t>(1, entries.size()) *
                                                          sizeof(CatalogEntry)));
    if (!result) {
        *message = "out of memory";
        return nullptr;
    }
    if (!entries.empty()) std::memcpy(result, entries.data(), entries.size() * sizeof(CatalogEntry));
    *count = entries.size();
    return result;
}
