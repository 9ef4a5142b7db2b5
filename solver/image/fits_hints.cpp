// solver/image/fits_hints.cpp - where a FITS image points and its pixel scale, from its header
#include "solver/image/fits_hints.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/angles.h"
#include "framework/precession.h"
#include "framework/sexagesimal.h"
#include "solver/image/fits_cards.hpp"
#include "solver/image/fits_reader.h"

namespace {

using namespace kestil::image;

constexpr size_t card_size = 80;
constexpr double arcsec_per_deg = 3600;
constexpr double min_scale_arcsec = 0.01, max_scale_arcsec = 3600;
// One micron of pixel at one millimetre of focal length: 1e-3 rad in arcseconds.
constexpr double arcsec_per_micron_per_mm = 206.264806247;
constexpr double min_equinox = 1800, max_equinox = 2200;
constexpr double max_binning = 64;

// The keywords read, in the order of key_names.
enum Key {
    CTYPE1, CTYPE2, CUNIT1, CUNIT2, CRVAL1, CRVAL2, CRPIX1, CRPIX2,
    CD1_1, CD1_2, CD2_1, CD2_2, CDELT1, CDELT2, PC1_1, PC1_2, PC2_1, PC2_2, CROTA2,
    RADESYS, EQUINOX, EPOCH, RA, DEC, OBJCTRA, OBJCTDEC,
    PIXSCALE, SCALE, SECPIX, SECPIX1, FOCALLEN, XPIXSZ, PIXSIZE1, XBINNING,
    key_count
};
constexpr const char* key_names[key_count] = {
    "CTYPE1", "CTYPE2", "CUNIT1", "CUNIT2", "CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2",
    "CD1_1", "CD1_2", "CD2_1", "CD2_2", "CDELT1", "CDELT2", "PC1_1", "PC1_2", "PC2_1", "PC2_2",
    "CROTA2", "RADESYS", "EQUINOX", "EPOCH", "RA", "DEC", "OBJCTRA", "OBJCTDEC",
    "PIXSCALE", "SCALE", "SECPIX", "SECPIX1", "FOCALLEN", "XPIXSZ", "PIXSIZE1", "XBINNING"};

// The last card of each keyword in one header (null where there is none).
struct HeaderCards {
    const char* card[key_count] = {};
    bool read = false;
    const char* where = "";  // appended to the names of the cards used
};

// Keyword in columns 1-8, blank-padded, and "=" in column 9.
bool keyword_is(const char* card, const char* keyword) {
    const size_t n = std::strlen(keyword);
    if (std::memcmp(card, keyword, n) != 0 || card[8] != '=') return false;
    for (size_t column = n; column < 8; ++column)
        if (card[column] != ' ') return false;
    return true;
}

// Reads the cards of the complete header at header (length bytes, whole blocks) up to END.
void collect_cards(const uint8_t* header, size_t length, const char* where, HeaderCards* cards) {
    cards->read = true;
    cards->where = where;
    for (size_t at = 0; at + card_size <= length; at += card_size) {
        const char* card = reinterpret_cast<const char*>(header + at);
        if (std::memcmp(card, "END     ", 8) == 0) return;
        if (card[8] != '=') continue;
        for (int k = 0; k < key_count; ++k)
            if (keyword_is(card, key_names[k])) cards->card[k] = card;
    }
}

// The value of a card as text without its outer blanks: a quoted string ('' read as ') or the
// free value before "/". False for no card, an empty value or an unclosed string.
bool value_text(const char* card, std::string* text) {
    if (!card) return false;
    size_t column = 10;
    while (column < card_size && card[column] == ' ') ++column;
    std::string value;
    if (column < card_size && card[column] == '\'') {
        bool closed = false;
        for (++column; column < card_size && !closed; ++column) {
            if (card[column] != '\'') value += card[column];
            else if (column + 1 < card_size && card[column + 1] == '\'') value += card[column++];
            else closed = true;
        }
        if (!closed) return false;
        const size_t first = value.find_first_not_of(' ');
        value.erase(0, first == std::string::npos ? value.size() : first);
    } else {
        while (column < card_size && card[column] != '/') value += card[column++];
    }
    while (!value.empty() && value.back() == ' ') value.pop_back();
    if (value.empty()) return false;
    *text = value;
    return true;
}

size_t digits_at(const std::string& text, size_t at) {
    size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return end - at;
}

// A point and digits at *at, passed over. Result: the count of digits (0 without a point).
size_t fraction_at(const std::string& text, size_t* at) {
    if (*at >= text.size() || text[*at] != '.') return 0;
    const size_t digits = digits_at(text, ++*at);
    *at += digits;
    return digits;
}

// A FITS number, the whole text: sign, digits with an optional point, an exponent after E or D.
// False for anything else or a value that is not finite. Read with kestil_atod (no locale).
bool number_from(const std::string& text, double* value) {
    size_t at = text[0] == '+' || text[0] == '-' ? 1 : 0;
    const size_t whole = digits_at(text, at);
    at += whole;
    const size_t fraction = fraction_at(text, &at);
    if (whole + fraction == 0) return false;
    std::string plain = text;
    if (at < text.size() && std::strchr("EeDd", text[at])) {
        plain[at++] = 'E';
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        const size_t exponent = digits_at(text, at);
        if (exponent == 0) return false;
        at += exponent;
    }
    if (at != text.size()) return false;
    const double number = kestil_atod(plain.c_str());
    if (!std::isfinite(number)) return false;
    *value = number;
    return true;
}

bool card_number(const char* card, double* value) {
    std::string text;
    return value_text(card, &text) && number_from(text, value);
}

bool sexagesimal_separator(char c) { return c && std::strchr(" :hdmsHDMS'\"", c); }

// Sexagesimal text: an optional sign and one to three fields, separated by blanks, ":" or the
// letters h, d, m, s (one may follow the last field); only the last field may have a fraction,
// minutes and seconds are below 60. Returned: value (signed, "-00 30" is -0.5), fields.
bool sexagesimal_from(const std::string& text, double* value, int* fields) {
    size_t at = text[0] == '+' || text[0] == '-' ? 1 : 0;
    const bool negative = text[0] == '-';
    double parts[3] = {0, 0, 0};
    int count = 0;
    while (at < text.size()) {
        if (count == 3) return false;
        const size_t start = at, whole = digits_at(text, at);
        at += whole;
        const size_t fraction = fraction_at(text, &at);
        if (whole + fraction == 0) return false;
        parts[count++] = kestil_atod(text.substr(start, at - start).c_str());
        const size_t separator = at;
        while (at < text.size() && sexagesimal_separator(text[at])) ++at;
        if (at < text.size() && (at == separator || fraction > 0)) return false;
    }
    if (count == 0 || parts[1] >= 60 || parts[2] >= 60) return false;
    const double magnitude = parts[0] + parts[1] / 60 + parts[2] / 3600;
    if (!std::isfinite(magnitude)) return false;
    *value = negative ? -magnitude : magnitude;
    *fields = count;
    return true;
}

// A FITS number (one field) or sexagesimal text.
bool card_sexagesimal(const char* card, double* value, int* fields) {
    std::string text;
    if (!value_text(card, &text)) return false;
    *fields = 1;
    return number_from(text, value) || sexagesimal_from(text, value, fields);
}

bool card_text_starts(const char* card, const char* prefix) {
    std::string text;
    return value_text(card, &text) && text.compare(0, std::strlen(prefix), prefix) == 0;
}

struct Position {
    double ra_hours = 0, dec = 0;
};

// RA in hours 0..24 (24 read as 0) and declination -90..90.
bool checked_position(double ra_hours, double dec, Position* position) {
    if (!(ra_hours >= 0 && ra_hours <= 24 && dec >= -90 && dec <= 90)) return false;
    position->ra_hours = ra_hours == 24 ? 0 : ra_hours;
    position->dec = dec;
    return true;
}

// RA/DEC: a lone number in the RA card is degrees, sexagesimal text hours.
bool ra_dec_position(const HeaderCards& h, Position* position) {
    double ra = 0, dec = 0;
    int ra_fields = 0, dec_fields = 0;
    if (!card_sexagesimal(h.card[RA], &ra, &ra_fields) ||
        !card_sexagesimal(h.card[DEC], &dec, &dec_fields))
        return false;
    if (ra_fields == 1 && !(ra >= 0 && ra <= 360)) return false;
    return checked_position(ra_fields == 1 ? ra / 15 : ra, dec, position);
}

bool object_position(const HeaderCards& h, Position* position) {
    double ra = 0, dec = 0;
    int fields = 0;
    return card_sexagesimal(h.card[OBJCTRA], &ra, &fields) &&
           card_sexagesimal(h.card[OBJCTDEC], &dec, &fields) &&
           checked_position(ra, dec, position);
}

// The linear part of a celestial WCS: pixel offsets to intermediate world coordinates (degrees).
struct Plate {
    double cd[2][2] = {};
    const char* cards = "";
};

// A coordinate unit, when given, must be degrees.
bool celestial_wcs(const HeaderCards& h) {
    std::string unit;
    for (Key k : {CUNIT1, CUNIT2})
        if (h.card[k] && (!value_text(h.card[k], &unit) || unit != "deg")) return false;
    return card_text_starts(h.card[CTYPE1], "RA--") && card_text_starts(h.card[CTYPE2], "DEC-");
}

// Matrix cards present all readable, the missing ones taking their defaults; false when none
// is present.
bool matrix_cards(const HeaderCards& h, Key first, const double defaults[4], double m[2][2]) {
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        const char* card = h.card[first + i];
        m[i / 2][i % 2] = defaults[i];
        if (!card) continue;
        if (!card_number(card, &m[i / 2][i % 2])) return false;
        any = true;
    }
    return any;
}

// CDi_j; else CDELTi with PCi_j or CROTA2 (Calabretta & Greisen 2002, eqs. 1-3 and 188).
bool plate_matrix(const HeaderCards& h, Plate* plate) {
    const double zero[4] = {0, 0, 0, 0}, identity[4] = {1, 0, 0, 1};
    if (matrix_cards(h, CD1_1, zero, plate->cd)) {
        plate->cards = "CDi_j";
        return true;
    }
    double cdelt[2] = {0, 0}, pc[2][2] = {{1, 0}, {0, 1}}, rotation = 0;
    if (!card_number(h.card[CDELT1], &cdelt[0]) || !card_number(h.card[CDELT2], &cdelt[1]))
        return false;
    plate->cards = "CDELTi";
    if (h.card[PC1_1] || h.card[PC1_2] || h.card[PC2_1] || h.card[PC2_2]) {
        if (!matrix_cards(h, PC1_1, identity, pc)) return false;
        plate->cards = "CDELTi/PCi_j";
    } else if (h.card[CROTA2]) {
        if (!card_number(h.card[CROTA2], &rotation)) return false;
        plate->cards = "CDELTi/CROTA2";
    }
    const double c = std::cos(rotation * rad_per_deg), s = std::sin(rotation * rad_per_deg);
    // Without PCi_j the rotation is 0 or CROTA2: CD = [CDELT1 c, -CDELT2 s; CDELT1 s, CDELT2 c];
    // with PCi_j, c = 1 and s = 0 and CDi_j = CDELTi PCi_j.
    plate->cd[0][0] = cdelt[0] * pc[0][0] * c;
    plate->cd[0][1] = cdelt[0] * pc[0][1] - cdelt[1] * s;
    plate->cd[1][0] = cdelt[1] * pc[1][0] + cdelt[0] * s;
    plate->cd[1][1] = cdelt[1] * pc[1][1] * c;
    return true;
}

// Degrees per pixel of a scale in arcseconds per pixel inside the plausible range.
bool plausible_scale(double arcsec_per_px, double* degrees_per_px) {
    if (!(arcsec_per_px >= min_scale_arcsec && arcsec_per_px <= max_scale_arcsec)) return false;
    *degrees_per_px = arcsec_per_px / arcsec_per_deg;
    return true;
}

// sqrt |det CD|, when plausible.
bool plate_scale(const Plate& plate, double* degrees_per_px) {
    const double det = plate.cd[0][0] * plate.cd[1][1] - plate.cd[0][1] * plate.cd[1][0];
    return std::isfinite(det) && plausible_scale(std::sqrt(std::fabs(det)) * arcsec_per_deg,
                                                 degrees_per_px);
}

// The sky at pixel offsets (u, v) from the reference point: (xi, eta) = CD (u, v) deprojected
// gnomonically about (ra0, dec0) (Calabretta & Greisen 2002, eqs. 12-15 and 54 with the native
// pole at 180 degrees, in the form of standard coordinates). Degrees; false when not finite.
bool tan_sky(const Plate& plate, double ra0, double dec0, double u, double v, double* ra,
             double* dec) {
    const double xi = (plate.cd[0][0] * u + plate.cd[0][1] * v) * rad_per_deg;
    const double eta = (plate.cd[1][0] * u + plate.cd[1][1] * v) * rad_per_deg;
    const double d0 = dec0 * rad_per_deg;
    const double denominator = std::cos(d0) - eta * std::sin(d0);
    const double alpha = ra0 * rad_per_deg + std::atan2(xi, denominator);
    const double delta = std::atan2(std::sin(d0) + eta * std::cos(d0), std::hypot(xi, denominator));
    if (!std::isfinite(alpha) || !std::isfinite(delta)) return false;
    *ra = std::fmod(alpha / rad_per_deg + 360, 360);
    *dec = delta / rad_per_deg;
    return true;
}

// CRVAL1/CRVAL2 of a celestial WCS moved to the image centre where CRPIX and a plate allow.
bool wcs_position(const HeaderCards& h, int32_t width, int32_t height, Position* position,
                  char* cards, size_t size) {
    double ra = 0, dec = 0, crpix[2] = {0, 0};
    if (!celestial_wcs(h) || !card_number(h.card[CRVAL1], &ra) ||
        !card_number(h.card[CRVAL2], &dec) || !(dec >= -90 && dec <= 90))
        return false;
    ra = std::fmod(std::fmod(ra, 360) + 360, 360);
    Plate plate;
    double scale = 0, centre_ra = 0, centre_dec = 0;
    if (width > 0 && height > 0 && card_number(h.card[CRPIX1], &crpix[0]) &&
        card_number(h.card[CRPIX2], &crpix[1]) && plate_matrix(h, &plate) &&
        plate_scale(plate, &scale) &&
        tan_sky(plate, ra, dec, (width + 1) * 0.5 - crpix[0], (height + 1) * 0.5 - crpix[1],
                &centre_ra, &centre_dec)) {
        std::snprintf(cards, size, "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via %s", plate.cards);
        ra = centre_ra, dec = centre_dec;
    } else {
        std::snprintf(cards, size, "CRVAL1/CRVAL2");
    }
    return checked_position(ra / 15, dec, position);
}

// EQUINOX, else EPOCH: a number or a string "2000", "J2000.0", "B1950" from 1800 to 2200.
bool equinox_card(const char* card, double* equinox) {
    std::string text;
    if (!value_text(card, &text)) return false;
    if (text[0] == 'J' || text[0] == 'B') text.erase(0, 1);
    double value = 0;
    if (text.empty() || !number_from(text, &value) || value < min_equinox || value > max_equinox)
        return false;
    *equinox = value;
    return true;
}

// The equinox of a header's coordinates; false when it names none.
bool header_equinox(const HeaderCards& h, double* equinox) {
    if (card_text_starts(h.card[RADESYS], "ICRS")) {
        *equinox = 2000;  // the ICRS has no equinox; within its accuracy that of J2000
        return true;
    }
    if (equinox_card(h.card[EQUINOX], equinox) || equinox_card(h.card[EPOCH], equinox))
        return true;
    if (card_text_starts(h.card[RADESYS], "FK4")) {
        *equinox = 1950;  // FITS Standard 4.0, 8.3: FK4 without EQUINOX is B1950
        return true;
    }
    return false;
}

// The position: the families in order, each from the image's header, then the primary one.
bool find_position(const HeaderCards& image, const HeaderCards& primary, int32_t width,
                   int32_t height, FitsHints* hints) {
    Position p;
    char cards[FITS_HINT_TEXT_SIZE] = "";
    const HeaderCards* from = &image;
    if (wcs_position(image, width, height, &p, cards, sizeof cards)) {
        hints->position_from_wcs = true;
    } else {
        bool found = false;
        for (int family = 0; family < 2 && !found; ++family)
            for (const HeaderCards* h : {&image, &primary}) {
                if (!h->read) continue;
                found = family == 0 ? ra_dec_position(*h, &p) : object_position(*h, &p);
                if (found) {
                    from = h;
                    std::snprintf(cards, sizeof cards, "%s",
                                  family == 0 ? "RA/DEC" : "OBJCTRA/OBJCTDEC");
                    break;
                }
            }
        if (!found) return false;
    }
    const HeaderCards* other = from == &image ? &primary : &image;
    double equinox = 2000;
    if (!header_equinox(*from, &equinox) && other->read) header_equinox(*other, &equinox);
    char suffix[32] = "";
    if (equinox != 2000) {
        kestil_eq_to_j2k(equinox, &p.ra_hours, &p.dec);
        p.ra_hours = p.ra_hours >= 24 ? p.ra_hours - 24 : p.ra_hours;
        std::snprintf(suffix, sizeof suffix, ", EQUINOX %.6g", equinox);
    }
    hints->has_position = true;
    hints->ra = p.ra_hours;
    hints->dec = p.dec;
    hints->equinox = equinox;
    std::snprintf(hints->position_cards, sizeof hints->position_cards, "%s%s%s", cards,
                  from->where, suffix);
    return true;
}

// Arcseconds per pixel from the cards of one header that give the scale without a WCS.
bool camera_scale(const HeaderCards& h, double* degrees_per_px, const char** cards) {
    double arcsec = 0, focal = 0, pixel = 0, binning = 1;
    for (Key k : {PIXSCALE, SCALE, SECPIX, SECPIX1})
        if (card_number(h.card[k], &arcsec) && plausible_scale(arcsec, degrees_per_px)) {
            *cards = key_names[k];
            return true;
        }
    if (!card_number(h.card[FOCALLEN], &focal) || !(focal > 0)) return false;
    // XPIXSZ: the pixel as stored, binning included (as capture programs write it).
    if (card_number(h.card[XPIXSZ], &pixel) &&
        plausible_scale(arcsec_per_micron_per_mm * pixel / focal, degrees_per_px)) {
        *cards = "FOCALLEN/XPIXSZ";
        return true;
    }
    // PIXSIZE1: the sensor's pixel, before the XBINNING the camera applied.
    if (h.card[XBINNING] &&
        !(card_number(h.card[XBINNING], &binning) && whole_in_range(binning, 1, max_binning)))
        return false;
    if (card_number(h.card[PIXSIZE1], &pixel) &&
        plausible_scale(arcsec_per_micron_per_mm * pixel * binning / focal, degrees_per_px)) {
        *cards = h.card[XBINNING] ? "FOCALLEN/PIXSIZE1/XBINNING" : "FOCALLEN/PIXSIZE1";
        return true;
    }
    return false;
}

bool find_scale(const HeaderCards& image, const HeaderCards& primary, FitsHints* hints) {
    Plate plate;
    double scale = 0;
    if (celestial_wcs(image) && plate_matrix(image, &plate) && plate_scale(plate, &scale)) {
        std::snprintf(hints->scale_cards, sizeof hints->scale_cards, "%s", plate.cards);
    } else {
        const char* cards = nullptr;
        const HeaderCards* from = nullptr;
        for (const HeaderCards* h : {&image, &primary})
            if (h->read && !from && camera_scale(*h, &scale, &cards)) from = h;
        if (!from) return false;
        std::snprintf(hints->scale_cards, sizeof hints->scale_cards, "%s%s", cards, from->where);
    }
    hints->has_scale = true;
    hints->scale = scale;
    return true;
}

// The header of the image the reader found: a compressed image's table, the primary header
// when the data follow it, else the IMAGE extension whose header ends where the data begin
// (the first such header from the end of the primary one, in whole blocks). Null when none.
const uint8_t* image_header(const uint8_t* bytes, size_t available, size_t primary_length,
                            const FitsInfo& info, size_t* length) {
    FitsCards cards;
    bool bayer = false;
    if (info.compressed_header) {
        const size_t offset = size_t(info.compressed_header - bytes);
        return read_fits_header(bytes, available, offset, &cards, &bayer, length)
                   ? info.compressed_header : nullptr;
    }
    const size_t data = size_t(info.data - bytes);
    if (data == primary_length) {
        *length = primary_length;
        return bytes;
    }
    for (size_t offset = primary_length; offset + fits_block_size <= data;
         offset += fits_block_size) {
        FitsCards extension;
        if (std::memcmp(bytes + offset, "XTENSION=", 9) == 0 &&
            read_fits_header(bytes, available, offset, &extension, &bayer, length) &&
            offset + *length == data && extension.extension == FitsExtension::image)
            return bytes + offset;
    }
    return nullptr;
}

bool read_hints(const uint8_t* bytes, size_t available, FitsHints* hints) {
    FitsCards cards;
    bool bayer = false;
    size_t primary_length = 0;
    if (available < 9 || std::memcmp(bytes, "SIMPLE  =", 9) != 0 ||
        !read_fits_header(bytes, available, 0, &cards, &bayer, &primary_length))
        return false;
    HeaderCards image, primary;
    FitsInfo info;
    std::memset(&info, 0, sizeof info);
    const char* message = nullptr;
    size_t length = 0;
    const uint8_t* header = nullptr;
    if (parse_fits_header(bytes, int32_t(available), &info, &bayer, &message))
        header = image_header(bytes, available, primary_length, info, &length);
    if (header && header != bytes) {
        collect_cards(header, length, "", &image);
        collect_cards(bytes, primary_length, " (primary header)", &primary);
    } else {
        collect_cards(bytes, primary_length, "", &image);
    }
    const bool position = find_position(image, primary, info.width, info.height, hints);
    const bool scale = find_scale(image, primary, hints);
    return position || scale;
}

}  // namespace

extern "C" bool kestil_solver_fits_hints(const void* data, int32_t length, FitsHints* hints) {
    std::memset(hints, 0, sizeof *hints);
    if (!data || length <= 0) return false;
    try {
        if (read_hints(static_cast<const uint8_t*>(data), size_t(length), hints)) return true;
    } catch (...) {  // std::bad_alloc from the texts of the cards
    }
    std::memset(hints, 0, sizeof *hints);
    return false;
}
