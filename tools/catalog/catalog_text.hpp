// tools/catalog/catalog_text.hpp - text services shared by the catalogue readers
// C++ only, for tools/catalog itself: lines of a plain or gzip file, its first bytes, fields and
// numbers of delimited text, and delimited tables whose columns are found by name in a header
// line (CSV, and ECSV with its commented YAML header). Single-threaded per call; no state.
#ifndef KESTIL_TOOLS_CATALOG_CATALOG_TEXT_HPP
#define KESTIL_TOOLS_CATALOG_CATALOG_TEXT_HPP

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kestil::catalog {

// Why a read failed: a static message and the 1-based line (or table row) it concerns, 0 when
// it concerns no single line.
struct Failure {
    const char* message = nullptr;
    size_t line = 0;
};

// Called with each line (without its "\n" and a "\r" before it) and its 1-based number; returns
// false to stop the read.
using LineTaker = std::function<bool(std::string_view line, size_t number)>;

// Given:    path     plain or gzip file (gzip recognised by its magic bytes, not its name)
//           take     called for each line in order; a last line without "\n" counts too
// Returned: failure  "Cannot open catalog file" or "Cannot read catalog file" (line 0)
// Result:   true when the file was read to its end or take stopped it
bool for_each_line(const char* path, const LineTaker& take, Failure* failure);

// Given:    path, size   plain or gzip file, how many bytes at most
// Returned: head         its first bytes, unpacked (fewer when the file is shorter)
// Result:   false when the file can't be opened or read
bool read_head(const char* path, size_t size, std::string* head);

// The text without blanks, tabs, a line end's "\r" or double quotes at either end.
std::string_view trim(std::string_view text);
// Whether two names are equal ignoring ASCII case.
bool same_name(std::string_view a, std::string_view b);
// The whole field (trimmed, a leading '+' allowed) as a finite number; false otherwise.
bool parse_number(std::string_view field, double* value);
// Whether a field stands for a missing value: empty, "null", "nan" or "--" (any case).
bool null_field(std::string_view field);

// Splits one line into fields at the delimiter (',', or ' ' where runs of blanks count as one
// and blanks before the first field are ignored). A field that starts with a double quote runs
// to its closing quote ("" inside it is a quote), so quoted text may hold the delimiter.
// give(field, index) receives each field with its quotes; it returns false to stop.
// Result: false when a quoted field is not closed or is followed by anything but the delimiter.
// (A template: it runs for every field of catalogues of millions of rows.)
template <typename Give>
bool split_fields(std::string_view line, char delimiter, Give&& give) {
    const bool blanks = delimiter == ' ';
    size_t at = 0;
    auto skip_blanks = [&] {
        while (blanks && at < line.size() && line[at] == ' ') ++at;
    };
    skip_blanks();
    for (int index = 0;; ++index) {
        size_t end;
        if (at < line.size() && line[at] == '"') {
            end = at + 1;
            while (true) {  // to the closing quote; "" inside is a quote
                end = line.find('"', end);
                if (end == std::string_view::npos) return false;
                if (end + 1 < line.size() && line[end + 1] == '"') {
                    end += 2;
                    continue;
                }
                ++end;
                break;
            }
            if (end < line.size() && line[end] != delimiter) return false;
        } else {
            end = std::min(line.find(delimiter, at), line.size());
        }
        if (!give(line.substr(at, end - at), index)) return true;
        if (end >= line.size()) return true;
        at = end + 1;
        skip_blanks();
        if (blanks && at >= line.size()) return true;  // blanks at the end of the line
    }
}

// A delimited table read by column names. The header is the first line that is neither blank
// nor, with comments, a '#' line; when the file's first line starts with "# %ECSV", a
// "# delimiter: ','" (or ' ') line among the comments sets the delimiter, else it is ' '
// (the ECSV default); plain files use ','.
constexpr int max_table_columns = 6;
struct TableLayout {
    const char* names[max_table_columns];  // wanted columns; the first `required` must exist
    int count;
    int required;
    bool comments;               // '#' lines anywhere are skipped
    const char* missing_header;  // failure text when a required column is absent
};

// One data row: value[i] for names[i], NaN where the column is absent or the field is null
// (null_field). Returns false to stop the read with failure->message set by the caller.
using RowTaker = std::function<bool(const double* values, size_t line, Failure* failure)>;

// Given:    path, layout   plain or gzip file, the wanted columns
//           take         called for each non-blank data row
// Returned: failure      for_each_line's texts, layout.missing_header (also for a file without
//                        any header), "Unsupported ECSV delimiter", "Malformed catalog row"
//                        (a wanted field that is neither null nor a number, a row too short,
//                        a bad quote; with its line) or what take set
// Result:   true on success
bool read_table(const char* path, const TableLayout& layout, const RowTaker& take, Failure* failure);

}  // namespace kestil::catalog

#endif
