// tools/catalog/tycho2_catalog.cpp - records of the Tycho-2 main catalogue (tyc2.dat)
// The byte layout is the published one (CDS catalogue I/259, ReadMe, "Byte-by-byte Description
// of file: tyc2.dat"): 206 bytes, fields at fixed 1-based byte ranges with a '|' between them.
#include <string_view>

#include "tools/catalog/catalog_readers.hpp"

namespace kestil::catalog {

namespace {

constexpr size_t record_size = 206;

// The 1-based bytes holding '|' in every record: between all fields but inside the identifier
// (TYC1 TYC2 TYC3) and between HIP and CCDM, which count as one field each.
constexpr int separators[] = {13,  15,  28,  41,  49,  57,  61,  65,  70,  75,  83,
                              91,  94,  98,  102, 106, 110, 117, 123, 130, 136, 140,
                              142, 152, 165, 178, 183, 188, 194, 200, 202};

struct Field {
    int first, last;  // 1-based bytes, inclusive
};
constexpr int pflag_byte = 14;                // ' ', 'P' (photocentre) or 'X' (no mean position)
constexpr Field mean_ra{16, 27};              // RAmdeg, F12.8, epoch J2000
constexpr Field mean_dec{29, 40};             // DEmdeg
constexpr Field bt_mag{111, 116};             // BTmag, F6.3
constexpr Field vt_mag{124, 129};             // VTmag, F6.3
constexpr Field observed_ra{153, 164};        // RAdeg, F12.8, at epoch 1990 + EpRA-1990
constexpr Field observed_dec{166, 177};       // DEdeg

enum class Value { blank, number, bad };

Value read_field(std::string_view record, Field field, double* value) {
    const auto first = static_cast<size_t>(field.first - 1);
    const std::string_view text = record.substr(first, static_cast<size_t>(field.last) - first);
    if (text.find_first_not_of(' ') == std::string_view::npos) return Value::blank;
    return parse_number(text, value) ? Value::number : Value::bad;
}

// The position of a record: the mean one, or the observed one for flag 'X'.
bool record_position(std::string_view record, CsvStar* star) {
    const char flag = record[pflag_byte - 1];
    const bool mean = flag == ' ' || flag == 'P';
    if (!mean && flag != 'X') return false;
    if (read_field(record, mean ? mean_ra : observed_ra, &star->ra) != Value::number ||
        read_field(record, mean ? mean_dec : observed_dec, &star->dec) != Value::number)
        return false;
    if (!(star->ra >= 0.0 && star->ra <= 360.0 && star->dec >= -90.0 && star->dec <= 90.0))
        return false;
    star->ra = normal_ra(star->ra);
    return true;
}

// One record. Result: kept, skipped (no magnitude, or fainter than the limit) or malformed.
RowUse record_star(std::string_view record, double mag_limit, CsvStar* star) {
    if (record.size() != record_size) return RowUse::malformed;
    for (int at : separators)
        if (record[static_cast<size_t>(at - 1)] != '|') return RowUse::malformed;
    if (!record_position(record, star)) return RowUse::malformed;
    const Value vt = read_field(record, vt_mag, &star->mag);
    if (vt == Value::bad) return RowUse::malformed;
    if (vt == Value::blank) {
        const Value bt = read_field(record, bt_mag, &star->mag);
        if (bt == Value::bad) return RowUse::malformed;
        if (bt == Value::blank) return RowUse::skipped;
    }
    return star->mag > mag_limit ? RowUse::skipped : RowUse::kept;
}

}  // namespace

bool read_tycho2(const char* path, double mag_limit, StarList* stars, Failure* failure) {
    Failure bad;
    const bool read = for_each_line(path, [&](std::string_view line, size_t number) {
        if (line.empty()) return true;
        CsvStar star;
        switch (record_star(line, mag_limit, &star)) {
        case RowUse::kept: stars->push_back(star); return true;
        case RowUse::skipped: return true;
        case RowUse::malformed: break;
        }
        bad = {"Malformed Tycho-2 record", number};
        return false;
    }, failure);
    if (read && bad.message) *failure = bad;
    return read && !bad.message;
}

}  // namespace kestil::catalog
