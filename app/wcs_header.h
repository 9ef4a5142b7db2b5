// app/wcs_header.h - a solved image as a FITS header with its WCS (no data)
// A gnomonic (TAN) projection about the image centre in J2000 (ICRS) coordinates: CRVAL in
// degrees, CRPIX the image centre in FITS pixel coordinates (the first pixel's centre is 1),
// a CD matrix in degrees per pixel from the scale, angle and parity of the solution. The header
// is cards of 80 bytes padded with spaces to one 2880-byte block; no line ends.
// With lens distortion terms (a SolverWcs of SIP order 2 or 3) the plate's cards come from the
// WCS instead: CTYPE 'RA---TAN-SIP' and 'DEC--TAN-SIP', its CRVAL, CRPIX and CD, then A_ORDER,
// A_p_q, B_ORDER, B_p_q (2 <= p + q <= order) and AP_ORDER, AP_p_q, BP_ORDER, BP_p_q (1 <= p + q
// <= inverse order), two blocks in all.
// Reference: FITS Standard 4.0 (cards, fixed format); Calabretta & Greisen 2002, A&A 395, 1077;
// Shupe et al. 2005, ASP Conf. Ser. 347, 491 (SIP).
// Main thread only (the header is built on the stack; DATE reads the clock).
#ifndef KESTIL_APP_WCS_HEADER_H
#define KESTIL_APP_WCS_HEADER_H

#include <stddef.h>
#include <stdio.h>

#include "solver/solve.h"
#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { WCS_CARD_SIZE = 80, WCS_BLOCK_SIZE = 2880, WCS_HEADER_CAPACITY = 8640 };

// A header being built: room for 108 cards; a card that doesn't fit is dropped. The longest
// header (SIP order 3) takes 71.
typedef struct WcsHeader {
    char data[WCS_HEADER_CAPACITY];
    size_t position;  // bytes written, a multiple of 80
} WcsHeader;

// Given:  name      keyword, padded or cut to 8 characters
//         value     value text or null; a text beginning with an apostrophe (a FITS string)
//                   is left-justified after "= ", any other right-justified to column 30
//         comment   or null; added after " / " when the card has room
// Effect: appends one 80-byte card when the position is at most 8560
void append_card(WcsHeader* header, const char* name, const char* value, const char* comment);

// Appends a card of a number: twelve significant digits, an upper-case exponent where needed,
// no trailing zeros.
void append_number(WcsHeader* header, const char* name, double value, const char* comment);

// Appends the cards of a plate given as a WCS: CTYPE1/2 (TAN, or TAN-SIP when sip_order is
// above 0), CUNIT1/2, RADESYS, EQUINOX, CRVAL, CRPIX, CD and, with terms, A_ORDER, A_p_q,
// B_ORDER, B_p_q and the inverse AP_, BP_ (orders beyond the record's are cut to it).
void append_wcs_cards(WcsHeader* header, const SolverWcs* wcs);

// Returned: header   the cards of the solution padded to a multiple of 2880 bytes
// Result: the number of bytes to write (2880)
size_t format_wcs_header(const SolverSettings* settings, const SolverSolution* solution,
                         WcsHeader* header);

// The same with the plate of wcs when it has distortion terms (sip_order 2 or 3 and orders in
// range); for null or any other wcs exactly the bytes of format_wcs_header.
// Result: the number of bytes to write (2880 or 5760)
size_t format_wcs_header_with(const SolverSettings* settings, const SolverSolution* solution,
                              const SolverWcs* wcs, WcsHeader* header);

// Writes the header of a solved image to the given stream, respectively to the standard output,
// in one write.
void write_wcs_header_to(FILE* out, const SolverSettings* settings,
                         const SolverSolution* solution);
void write_wcs_header(const SolverSettings* settings, const SolverSolution* solution);
// The header of format_wcs_header_with to the given stream, in one write.
void write_wcs_header_with(FILE* out, const SolverSettings* settings,
                           const SolverSolution* solution, const SolverWcs* wcs);

#ifdef __cplusplus
}
#endif

#endif
