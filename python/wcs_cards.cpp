// python/wcs_cards.cpp - the plate of a solve as the text of FITS header cards
#include "python/wcs_cards.hpp"

#include <algorithm>
#include <cstdio>

#include "app/wcs_header.h"

namespace kestil::python {

namespace {

constexpr size_t keyword_size = 16;
constexpr size_t number_size = 32;
// The highest orders the records hold: the inverse one above the forward one. At these orders
// the cards number 64, within the 72 of a WcsHeader.
constexpr int32_t max_forward_order = SOLVER_SIP_MAX_ORDER;
constexpr int32_t max_inverse_order = SOLVER_SIP_MAX_ORDER + 1;

void number_card(WcsHeader* header, const char* name, double value, const char* comment) {
    char text[number_size];
    snprintf(text, sizeof text, "%.12G", value);
    append_card(header, name, text, comment);
}

// The cards <prefix>_ORDER and <prefix>_p_q for lowest <= p + q <= order.
void polynomial_cards(WcsHeader* header, const char* prefix,
                      const double (*terms)[SOLVER_SIP_MAX_ORDER + 2], int32_t order,
                      int32_t lowest) {
    char name[keyword_size];
    snprintf(name, sizeof name, "%s_ORDER", prefix);
    number_card(header, name, order, "polynomial order, SIP convention");
    for (int32_t p = 0; p <= order; ++p)
        for (int32_t q = 0; p + q <= order; ++q) {
            if (p + q < lowest) continue;
            snprintf(name, sizeof name, "%s_%d_%d", prefix, p, q);
            number_card(header, name, terms[p][q], nullptr);
        }
}

}  // namespace

std::string wcs_cards(const SolverWcs& wcs, int32_t width, int32_t height) {
    WcsHeader header{};
    const bool sip = wcs.sip_order > 0;
    const char* const cd_comment = "transformation matrix, degrees per pixel";
    append_card(&header, "WCSAXES", "2", "number of WCS axes");
    append_card(&header, "CTYPE1", sip ? "'RA---TAN-SIP'" : "'RA---TAN'",
                sip ? "TAN projection with SIP distortion" : "TAN (gnomonic) projection");
    append_card(&header, "CTYPE2", sip ? "'DEC--TAN-SIP'" : "'DEC--TAN'",
                sip ? "TAN projection with SIP distortion" : "TAN (gnomonic) projection");
    append_card(&header, "CUNIT1", "'deg'", "unit of CRVAL1 and CD1_n");
    append_card(&header, "CUNIT2", "'deg'", "unit of CRVAL2 and CD2_n");
    append_card(&header, "RADESYS", "'ICRS'", "reference system of the catalogs");
    append_card(&header, "EQUINOX", "2000.0", "equinox of the coordinates");
    number_card(&header, "CRVAL1", wcs.crval[0], "RA of the reference pixel, degrees");
    number_card(&header, "CRVAL2", wcs.crval[1], "Dec of the reference pixel, degrees");
    number_card(&header, "CRPIX1", wcs.crpix[0], "X of the reference pixel");
    number_card(&header, "CRPIX2", wcs.crpix[1], "Y of the reference pixel");
    number_card(&header, "CD1_1", wcs.cd[0][0], cd_comment);
    number_card(&header, "CD1_2", wcs.cd[0][1], cd_comment);
    number_card(&header, "CD2_1", wcs.cd[1][0], cd_comment);
    number_card(&header, "CD2_2", wcs.cd[1][1], cd_comment);
    if (sip) {
        const int32_t order = std::min(wcs.sip_order, max_forward_order);
        const int32_t inverse_order = std::min(wcs.inverse_order, max_inverse_order);
        polynomial_cards(&header, "A", wcs.a, order, 2);
        polynomial_cards(&header, "B", wcs.b, order, 2);
        if (inverse_order > 0) {
            polynomial_cards(&header, "AP", wcs.ap, inverse_order, 1);
            polynomial_cards(&header, "BP", wcs.bp, inverse_order, 1);
        }
    }
    number_card(&header, "IMAGEW", width, "image width, pixels");
    number_card(&header, "IMAGEH", height, "image height, pixels");
    append_card(&header, "END", nullptr, nullptr);
    return std::string(header.data, header.position);
}

}  // namespace kestil::python
