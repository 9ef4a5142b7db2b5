// tools/catalog/catalog_text.cpp - text services shared by the catalogue readers
#include "tools/catalog/catalog_text.hpp"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <memory>
#include <vector>

namespace kestil::catalog {

namespace {

constexpr unsigned chunk_size = 1u << 16;

struct GzCloser {
    void operator()(gzFile file) const noexcept { gzclose(file); }
};
using GzHandle = std::unique_ptr<gzFile_s, GzCloser>;

GzHandle open_gz(const char* path) {
    if (!path) return GzHandle(nullptr);
    GzHandle file(gzopen(path, "rb"));
    if (file) gzbuffer(file.get(), 64 * 1024);
    return file;
}

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool blank(std::string_view line) { return trim(line).empty(); }

// The delimiter an ECSV comment line sets ("# delimiter: ','"), or 0 when it sets none.
// Result: false for a delimiter ECSV does not allow.
bool ecsv_delimiter(std::string_view comment, char* delimiter) {
    comment.remove_prefix(1);  // '#'
    while (!comment.empty() && comment.front() == ' ') comment.remove_prefix(1);
    constexpr std::string_view key = "delimiter:";
    if (comment.substr(0, key.size()) != key) return true;
    comment.remove_prefix(key.size());
    while (!comment.empty() && comment.front() == ' ') comment.remove_prefix(1);
    while (!comment.empty() && comment.back() == ' ') comment.remove_suffix(1);
    if (comment.size() == 3 && (comment.front() == '\'' || comment.front() == '"') &&
        comment.back() == comment.front())
        comment = comment.substr(1, 1);
    if (comment != "," && comment != " ") return false;
    *delimiter = comment.front();
    return true;
}

// Column positions of the wanted names in a header line (the last one of a repeated name).
bool find_columns(std::string_view header, char delimiter, const TableLayout& layout, int* index) {
    std::fill(index, index + max_table_columns, -1);
    const bool whole = split_fields(header, delimiter, [&](std::string_view field, int at) {
        for (int i = 0; i < layout.count; ++i)
            if (same_name(trim(field), layout.names[i])) index[i] = at;
        return true;
    });
    if (!whole) return false;
    for (int i = 0; i < layout.required; ++i)
        if (index[i] < 0) return false;
    return true;
}

// The wanted values of one data row; false when the row is malformed.
bool row_values(std::string_view line, char delimiter, const TableLayout& layout, const int* index,
                double* values) {
    int last = -1;
    for (int i = 0; i < layout.count; ++i) {
        values[i] = NAN;
        last = std::max(last, index[i]);
    }
    int seen = -1;
    bool numbers = true;
    const bool whole = split_fields(line, delimiter, [&](std::string_view field, int at) {
        seen = at;
        for (int i = 0; i < layout.count; ++i) {
            if (index[i] != at || null_field(trim(field))) continue;
            if (!parse_number(field, &values[i])) numbers = false;
        }
        return at < last && numbers;
    });
    return whole && numbers && seen >= last;
}

}  // namespace

bool for_each_line(const char* path, const LineTaker& take, Failure* failure) {
    GzHandle file = open_gz(path);
    if (!file) {
        *failure = {"Cannot open catalog file", 0};
        return false;
    }
    std::string pending;  // an incomplete last line of the previous chunk
    // Not zero-filled: a short file touches only the pages it fills.
    const std::unique_ptr<char[]> chunk = std::make_unique_for_overwrite<char[]>(chunk_size);
    size_t number = 0;
    while (true) {
        const int got = gzread(file.get(), chunk.get(), chunk_size);
        if (got < 0) {
            *failure = {"Cannot read catalog file", 0};
            return false;
        }
        if (got == 0) break;
        const std::string_view data(chunk.get(), static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end; (end = data.find('\n', start)) != data.npos; start = end + 1) {
            bool more;
            if (!pending.empty()) {
                pending.append(data.substr(start, end - start));
                more = take(without_cr(pending), ++number);
                pending.clear();
            } else {
                more = take(without_cr(data.substr(start, end - start)), ++number);
            }
            if (!more) return true;
        }
        pending.append(data.substr(start));
    }
    if (!pending.empty()) take(without_cr(pending), ++number);
    return true;
}

bool read_head(const char* path, size_t size, std::string* head) {
    GzHandle file = open_gz(path);
    if (!file) return false;
    head->assign(size, '\0');
    size_t have = 0;
    while (have < size) {
        const int got = gzread(file.get(), head->data() + have,
                               static_cast<unsigned>(std::min<size_t>(size - have, chunk_size)));
        if (got < 0) return false;
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    head->resize(have);
    return true;
}

std::string_view trim(std::string_view text) {
    auto edge = [](char c) { return c == ' ' || c == '\t' || c == '"' || c == '\r'; };
    while (!text.empty() && edge(text.front())) text.remove_prefix(1);
    while (!text.empty() && edge(text.back())) text.remove_suffix(1);
    return text;
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool parse_number(std::string_view field, double* value) {
    field = trim(field);
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    if (field.empty()) return false;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), *value);
    return error == std::errc() && end == field.data() + field.size() && std::isfinite(*value);
}

bool null_field(std::string_view field) {
    return field.empty() || same_name(field, "null") || same_name(field, "nan") || field == "--";
}

bool read_table(const char* path, const TableLayout& layout, const RowTaker& take, Failure* failure) {
    char delimiter = ',';
    bool ecsv = false;
    bool have_header = false;
    int index[max_table_columns];
    double values[max_table_columns];
    Failure found;
    const bool read = for_each_line(path, [&](std::string_view line, size_t number) {
        if (number == 1 && line.substr(0, 7) == "# %ECSV") {
            ecsv = true;
            delimiter = ' ';
        }
        if (layout.comments && !line.empty() && line.front() == '#') {
            if (ecsv && !have_header && !ecsv_delimiter(line, &delimiter)) {
                found = {"Unsupported ECSV delimiter", number};
                return false;
            }
            return true;
        }
        if (blank(line)) return true;
        if (!have_header) {
            if (!find_columns(line, delimiter, layout, index)) {
                found = {layout.missing_header, 0};
                return false;
            }
            have_header = true;
            return true;
        }
        if (!row_values(line, delimiter, layout, index, values)) {
            found = {"Malformed catalog row", number};
            return false;
        }
        return take(values, number, &found);
    }, failure);
    if (!read) return false;
    if (!found.message && !have_header) found = {layout.missing_header, 0};
    if (found.message) *failure = found;
    return !found.message;
}

}  // namespace kestil::catalog
