// app/wcs_header.cpp - a solved image as a FITS header with its WCS (no data)
#include "app/wcs_header.h"

#include <math.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace {

constexpr size_t card_work_size = 128;
constexpr size_t number_size = 32;
constexpr size_t date_size = 96;
constexpr size_t comment_size = 96;
constexpr size_t keyword_size = 32;
constexpr double rad_per_deg = 0.017453292519943295;
constexpr double deg_per_hour = 15.0;

// Copies a card text into the header, space-padded or cut to exactly 80 bytes.
void put_card(WcsHeader* header, const char* text) {
    if (header->position > WCS_HEADER_CAPACITY - WCS_CARD_SIZE) return;
    char card[WCS_CARD_SIZE + 1];
    snprintf(card, sizeof card, "%-80.80s", text);
    memcpy(header->data + header->position, card, WCS_CARD_SIZE);
    header->position += WCS_CARD_SIZE;
}

// DATE card: now in UTC as a FITS string; left out when the time can't be formatted.
void append_date(WcsHeader* header) {
    time_t now = time(nullptr);
    struct tm utc {};
    if (!gmtime_r(&now, &utc)) return;
    char text[date_size];
    if (strftime(text, sizeof text, "'%Y-%m-%dT%H:%M:%S'", &utc) == 0 || text[0] == '\0') return;
    append_card(header, "DATE", text, "creation date of this file, UTC");
}

// COMMENT card naming the image file (its last path component), printable ASCII only.
void append_file_comment(WcsHeader* header, const char* image_file) {
    const char* name = image_file ? image_file : "";
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    char text[comment_size];
    snprintf(text, sizeof text, "COMMENT Solution of %s", name);
    for (char* p = text; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) > 0x7E) *p = '?';
    put_card(header, text);
}


// CUNIT, RADESYS and EQUINOX: the same for both kinds of plate.
void append_units(WcsHeader* header) {
    append_card(header, "CUNIT1", "'deg'", "unit of CRVAL1 and CD1_n");
    append_card(header, "CUNIT2", "'deg'", "unit of CRVAL2 and CD2_n");
    append_card(header, "RADESYS", "'ICRS'", "reference system of the catalogs");
    append_card(header, "EQUINOX", "2000.0", "equinox of the coordinates");
}

// <name>_ORDER and <name>_p_q for low <= p + q <= order, by increasing p + q, then p.
void append_terms(WcsHeader* header, const char* name,
                  const double terms[SOLVER_SIP_MAX_ORDER + 2][SOLVER_SIP_MAX_ORDER + 2], int low,
                  int order, const char* order_comment) {
    char keyword[keyword_size];
    snprintf(keyword, sizeof keyword, "%s_ORDER", name);
    append_number(header, keyword, order, order_comment);
    for (int degree = low; degree <= order; ++degree)
        for (int p = degree; p >= 0; --p) {
            snprintf(keyword, sizeof keyword, "%s_%d_%d", name, p, degree - p);
            append_number(header, keyword, terms[p][degree - p], nullptr);
        }
}

// The plate's cards: from the solution's centre, scale, angle and parity (TAN), or from a WCS.
void append_plate(WcsHeader* header, const SolverSolution* solution, const SolverWcs* wcs) {
    const char* const cd_comment = "transformation matrix, degrees per pixel";
    if (!wcs) {
        const double s = solution->scale;
        const double p = solution->parity == -1 ? -1.0 : 1.0;
        const double theta =
            (solution->parity == -1 ? solution->angle + 180.0 : solution->angle) * rad_per_deg;
        append_card(header, "CTYPE1", "'RA---TAN'", "TAN (gnomonic) projection");
        append_card(header, "CTYPE2", "'DEC--TAN'", "TAN (gnomonic) projection");
        append_units(header);
        append_number(header, "CRVAL1", solution->ra_j2000 * deg_per_hour,
                      "RA of the reference pixel, degrees");
        append_number(header, "CRVAL2", solution->dec_j2000, "Dec of the reference pixel, degrees");
        append_number(header, "CRPIX1", (solution->image_width + 1) * 0.5,
                      "X of the reference pixel, the image center");
        append_number(header, "CRPIX2", (solution->image_height + 1) * 0.5,
                      "Y of the reference pixel, the image center");
        append_number(header, "CD1_1", -s * cos(theta), cd_comment);
        append_number(header, "CD1_2", s * sin(theta) * p, cd_comment);
        append_number(header, "CD2_1", s * sin(theta), cd_comment);
        append_number(header, "CD2_2", s * cos(theta) * p, cd_comment);
        return;
    }
    append_wcs_cards(header, wcs);
}

// The FITS header of a solution: the plate's cards (above) among the fixed ones.
size_t format_header(const SolverSettings* settings, const SolverSolution* solution,
                     const SolverWcs* wcs, WcsHeader* header) {
    memset(header, 0, sizeof *header);
    append_card(header, "SIMPLE", "T", "file does conform to FITS standard");
    append_card(header, "BITPIX", "8", "no image data, the WCS header only");
    append_card(header, "NAXIS", "0", nullptr);
    append_card(header, "WCSAXES", "2", "number of WCS axes");
    append_plate(header, solution, wcs);
    append_number(header, "IMAGEW", solution->image_width, "image width, pixels");
    append_number(header, "IMAGEH", solution->image_height, "image height, pixels");
    append_card(header, "PLTSOLVD", "T", "plate solved");
    append_date(header);
    append_card(header, "CREATOR", "'kestil_solver'", "software that solved the image");
    append_file_comment(header, settings->image_file);
    put_card(header, "END");

    while (header->position % WCS_BLOCK_SIZE != 0) header->data[header->position++] = ' ';
    return header->position;
}

}  // namespace

extern "C" {

void append_card(WcsHeader* header, const char* name, const char* value, const char* comment) {
    char text[card_work_size];
    size_t length = static_cast<size_t>(snprintf(text, sizeof text, "%-8.8s", name));
    if (value) {
        const char* format = value[0] == '\'' ? "= %-20s" : "= %20s";
        snprintf(text + length, sizeof text - length, format, value);
        length = strlen(text);
    }
    if (comment && length < WCS_CARD_SIZE)
        snprintf(text + length, sizeof text - length, " / %s", comment);
    put_card(header, text);
}

void append_number(WcsHeader* header, const char* name, double value, const char* comment) {
    char text[number_size];
    snprintf(text, sizeof text, "%.12G", value);
    append_card(header, name, text, comment);
}

void append_wcs_cards(WcsHeader* header, const SolverWcs* wcs) {
    const char* const cd_comment = "transformation matrix, degrees per pixel";
    const int32_t order = std::clamp(wcs->sip_order, 0, static_cast<int32_t>(SOLVER_SIP_MAX_ORDER));
    const int32_t inverse_order =
        std::clamp(wcs->inverse_order, 0, static_cast<int32_t>(SOLVER_SIP_MAX_ORDER) + 1);
    if (order > 0) {
        append_card(header, "CTYPE1", "'RA---TAN-SIP'", "TAN projection, SIP distortion");
        append_card(header, "CTYPE2", "'DEC--TAN-SIP'", "TAN projection, SIP distortion");
    } else {
        append_card(header, "CTYPE1", "'RA---TAN'", "TAN (gnomonic) projection");
        append_card(header, "CTYPE2", "'DEC--TAN'", "TAN (gnomonic) projection");
    }
    append_units(header);
    append_number(header, "CRVAL1", wcs->crval[0], "RA of the reference pixel, degrees");
    append_number(header, "CRVAL2", wcs->crval[1], "Dec of the reference pixel, degrees");
    append_number(header, "CRPIX1", wcs->crpix[0], "X of the reference pixel, the image center");
    append_number(header, "CRPIX2", wcs->crpix[1], "Y of the reference pixel, the image center");
    append_number(header, "CD1_1", wcs->cd[0][0], cd_comment);
    append_number(header, "CD1_2", wcs->cd[0][1], cd_comment);
    append_number(header, "CD2_1", wcs->cd[1][0], cd_comment);
    append_number(header, "CD2_2", wcs->cd[1][1], cd_comment);
    if (order == 0) return;
    append_terms(header, "A", wcs->a, 2, order, "polynomial order, pixel x distortion");
    append_terms(header, "B", wcs->b, 2, order, "polynomial order, pixel y distortion");
    if (inverse_order > 0) {
        append_terms(header, "AP", wcs->ap, 1, inverse_order, "order of the inverse of A");
        append_terms(header, "BP", wcs->bp, 1, inverse_order, "order of the inverse of B");
    }
}

size_t format_wcs_header(const SolverSettings* settings, const SolverSolution* solution,
                         WcsHeader* header) {
    return format_header(settings, solution, nullptr, header);
}

size_t format_wcs_header_with(const SolverSettings* settings, const SolverSolution* solution,
                              const SolverWcs* wcs, WcsHeader* header) {
    const bool terms = wcs && wcs->sip_order > 0 && wcs->sip_order <= SOLVER_SIP_MAX_ORDER &&
                       wcs->inverse_order >= 0 && wcs->inverse_order <= SOLVER_SIP_MAX_ORDER + 1;
    return format_header(settings, solution, terms ? wcs : nullptr, header);
}

void write_wcs_header_to(FILE* out, const SolverSettings* settings,
                         const SolverSolution* solution) {
    WcsHeader header;
    size_t size = format_wcs_header(settings, solution, &header);
    fwrite(header.data, 1, size, out);
}

void write_wcs_header_with(FILE* out, const SolverSettings* settings,
                           const SolverSolution* solution, const SolverWcs* wcs) {
    WcsHeader header;
    size_t size = format_wcs_header_with(settings, solution, wcs, &header);
    fwrite(header.data, 1, size, out);
}

void write_wcs_header(const SolverSettings* settings, const SolverSolution* solution) {
    write_wcs_header_to(stdout, settings, solution);
}

}  // extern "C"
