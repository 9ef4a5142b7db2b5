// app/wcs_header.h - a solved image as a FITS header with its WCS (no data)
// A gnomonic (TAN) projection about the image centre in J2000 (ICRS) coordinates: CRVAL in
// degrees, CRPIX the image centre in FITS pixel coordinates (the first pixel's centre is 1),
// a CD matrix in degrees per pixel from the scale, angle and parity of the solution. The header
// is cards of 80 bytes padded with spaces to one 2880-byte block; no line ends.
// Reference: FITS Standard 4.0 (cards, fixed format); Calabretta & Greisen 2002, A&A 395, 1077.
// Main thread only (the header is built on the stack; DATE reads the clock).
#ifndef KESTIL_APP_WCS_HEADER_H
#define KESTIL_APP_WCS_HEADER_H

#include <stddef.h>
#include <stdio.h>

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { WCS_CARD_SIZE = 80, WCS_BLOCK_SIZE = 2880, WCS_HEADER_CAPACITY = 5760 };

// A header being built: room for 72 cards; a card that doesn't fit is dropped.
typedef struct WcsHeader {
    char data[WCS_HEADER_CAPACITY];
    size_t position;  // bytes written, a multiple of 80
} WcsHeader;

// Given:  name      keyword, padded or cut to 8 characters
//         value     value text or null; a text beginning with an apostrophe (a FITS string)
//                   is left-justified after "= ", any other right-justified to column 30
//         comment   or null; added after " / " when the card has room
// Effect: appends one 80-byte card when the position is at most 5680
void append_card(WcsHeader* header, const char* name, const char* value, const char* comment);

// Returned: header   the cards of the solution padded to a multiple of 2880 bytes
// Result: the number of bytes to write (2880)
size_t format_wcs_header(const SolverSettings* settings, const SolverSolution* solution,
                         WcsHeader* header);

// Writes the header of a solved image to the given stream, respectively to the standard output,
// in one write.
void write_wcs_header_to(FILE* out, const SolverSettings* settings,
                         const SolverSolution* solution);
void write_wcs_header(const SolverSettings* settings, const SolverSolution* solution);

#ifdef __cplusplus
}
#endif

#endif
