// solver/image/fits_cards.cpp - the header cards the FITS reader uses, read from one header
#include "solver/image/fits_cards.hpp"

#include <cstdlib>
#include <cstring>

namespace kestil::image {

namespace {

constexpr size_t card_size = 80;
constexpr size_t cards_per_block = fits_block_size / card_size;

// The value of a card: columns 11-80 cut at "/", read as a decimal number after leading blanks.
bool card_value(const char* card, double* value) {
    char text[71];
    size_t n = 0;
    size_t column = 10;
    while (column < card_size && card[column] == ' ') ++column;
    for (; column < card_size && card[column] != '/'; ++column) {
        const char c = card[column];
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            break;
        text[n++] = c;
    }
    text[n] = '\0';
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text) return false;
    *value = number;
    return true;
}

// A quoted string value without its trailing blanks ('' stands for a quote); false, text
// untouched, when the value is not a closed string.
bool card_string(const char* card, std::string* text) {
    size_t column = 10;
    while (column < card_size && card[column] == ' ') ++column;
    if (column == card_size || card[column] != '\'') return false;
    std::string value;
    for (++column; column < card_size; ++column) {
        if (card[column] == '\'') {
            if (column + 1 < card_size && card[column + 1] == '\'') {
                value += '\'';
                ++column;
                continue;
            }
            while (!value.empty() && value.back() == ' ') value.pop_back();
            *text = value;
            return true;
        }
        value += card[column];
    }
    return false;
}

FitsExtension extension_of(const char* card) {
    std::string name;
    if (!card_string(card, &name)) return FitsExtension::other;
    return name == "IMAGE"      ? FitsExtension::image
           : name == "BINTABLE" ? FitsExtension::binary_table
                                : FitsExtension::other;
}

// A logical value: T as the first character after the blanks of columns 11-80.
bool card_true(const char* card) {
    size_t column = 10;
    while (column < card_size && card[column] == ' ') ++column;
    return column < card_size && card[column] == 'T';
}

// Keyword of n letters followed by a space in column n + 1 (unless it fills all eight) and "="
// in column 9.
bool is_keyword(const char* card, const char* keyword) {
    const size_t n = std::strlen(keyword);
    return std::memcmp(card, keyword, n) == 0 && (n == 8 || card[n] == ' ') && card[8] == '=';
}

// The number of an indexed keyword ("NAXIS12 =", "ZNAXIS1 ="): the prefix, digits without a
// leading zero ending at a space or at column 9, and "=" in column 9; 0 for any other card.
int indexed_keyword(const char* card, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (std::memcmp(card, prefix, n) != 0 || card[n] < '1' || card[n] > '9') return 0;
    size_t column = n;
    int number = 0;
    while (column < 8 && card[column] >= '0' && card[column] <= '9')
        number = number * 10 + (card[column++] - '0');
    if ((column < 8 && card[column] != ' ') || card[8] != '=') return 0;
    return number;
}

// Where the value of a numeric card of a compressed image's table goes, or null.
double* tile_number(const char* card, FitsTileCards* t) {
    if (const int n = indexed_keyword(card, "ZTILE"); n >= 1 && n <= 3) return &t->tiles[n];
    if (const int n = indexed_keyword(card, "ZVAL"); n >= 1 && n <= 2) return &t->parameters[n];
    if (is_keyword(card, "ZDITHER0")) return &t->dither_offset;
    if (is_keyword(card, "ZSCALE")) return &t->zscale;
    if (is_keyword(card, "ZZERO")) return &t->zzero;
    if (is_keyword(card, "ZBLANK")) return &t->zblank;
    if (is_keyword(card, "BLANK")) return &t->blank;
    if (is_keyword(card, "TFIELDS")) return &t->fields;
    if (is_keyword(card, "THEAP")) return &t->heap_offset;
    return nullptr;
}

// Where the value of a numeric card goes; null for the cards the reader does not use.
double* numeric_target(const char* card, FitsCards* c) {
    if (is_keyword(card, "BITPIX")) return &c->bitpix;
    if (is_keyword(card, "NAXIS")) return &c->naxis;
    if (const int n = indexed_keyword(card, "NAXIS"); n >= 1 && n <= fits_max_axes)
        return &c->axes[n];
    if (is_keyword(card, "BZERO")) return &c->bzero;
    if (is_keyword(card, "BSCALE")) return &c->bscale;
    if (is_keyword(card, "PCOUNT")) return &c->pcount;
    if (is_keyword(card, "GCOUNT")) return &c->gcount;
    if (is_keyword(card, "ZBITPIX")) return &c->zbitpix;
    if (is_keyword(card, "ZNAXIS")) return &c->znaxis;
    if (const int n = indexed_keyword(card, "ZNAXIS"); n >= 1 && n <= 3) return &c->zaxes[n];
    return tile_number(card, &c->tile);
}

// Where the value of a text card goes, or null.
std::string* text_target(const char* card, FitsTileCards* t) {
    if (is_keyword(card, "ZCMPTYPE")) return &t->compression;
    if (is_keyword(card, "ZQUANTIZ")) return &t->quantization;
    if (const int n = indexed_keyword(card, "TTYPE"); n >= 1 && n <= fits_max_tile_columns)
        return &t->names[n];
    if (const int n = indexed_keyword(card, "TFORM"); n >= 1 && n <= fits_max_tile_columns)
        return &t->formats[n];
    return nullptr;
}

void read_card(const char* card, FitsCards* cards, bool* bayer) {
    if (std::memcmp(card, "BAYERPAT", 8) == 0) {
        *bayer = true;
    } else if (double* number = numeric_target(card, cards)) {
        card_value(card, number);
    } else if (std::string* text = text_target(card, &cards->tile)) {
        card_string(card, text);
    } else if (is_keyword(card, "XTENSION")) {
        cards->extension = extension_of(card);
    } else if (is_keyword(card, "ZIMAGE")) {
        cards->zimage = card_true(card);
    }
}

}  // namespace

bool read_fits_header(const uint8_t* bytes, size_t available, size_t offset, FitsCards* cards,
                      bool* bayer, size_t* length) {
    size_t header_length = 0;
    bool end_seen = false;
    while (!end_seen) {
        if (available - offset < header_length + fits_block_size) return false;
        const char* block = reinterpret_cast<const char*>(bytes + offset + header_length);
        for (size_t i = 0; i < cards_per_block && !end_seen; ++i) {
            const char* card = block + i * card_size;
            if (std::memcmp(card, "END     ", 8) == 0)
                end_seen = true;
            else
                read_card(card, cards, bayer);
        }
        header_length += fits_block_size;
    }
    *length = header_length;
    return true;
}

}  // namespace kestil::image
