// solver/image/fits_hints.h - where a FITS image points and its pixel scale, from its header
// Capture programs record where the telescope pointed and the optics; processing programs and
// earlier solves record a celestial WCS. Either gives the solve a position and a scale hint.
// Headers read: that of the HDU the FITS reader takes the image from (the primary array; the
// first image extension when the primary has NAXIS = 0; the binary table of a tile-compressed
// image), and, when that is an extension, the primary header too, for the cards the extension
// lacks (capture programs write them there). A file whose image the reader refuses is read
// from its primary header alone. Within one header the last card of a keyword counts.
// Position, first found (each pair from one header, the image's before the primary's):
//   1. a celestial WCS of the image's header: CTYPE1 'RA--...' and CTYPE2 'DEC-...' with
//      CRVAL1/CRVAL2 (degrees); the sky at the image centre ((NAXIS1 + 1) / 2, (NAXIS2 + 1) / 2)
//      through CRPIX1/CRPIX2 and CDi_j (or CDELTi with PCi_j or CROTA2), deprojected as TAN
//      whatever the projection code (exact for TAN, an approximation near the reference point
//      for the others; SIP terms are left out); CRVAL itself when CRPIX or the matrix is missing;
//   2. RA/DEC: numbers in degrees, or sexagesimal strings ("hh mm ss.s", "hh:mm:ss.s"; the RA in
//      hours, the declination in degrees; a string holding one number is degrees);
//   3. OBJCTRA/OBJCTDEC: sexagesimal strings, hours and degrees (a number too, in those units).
// Sexagesimal fields are separated by blanks, ":" or the letters h, d, m, s; minutes and
// seconds below 60. RA 0..24 h (0..360 degrees; 24 h or 360 degrees read as 0), declination
// -90..90; a CRVAL1 outside 0..360 is brought into it. NaN, infinities and anything else are
// refused, and the family is passed over.
// Equinox: EQUINOX (or EPOCH without it; a number, or a string such as 'J2000' or 'B1950') of the
// header the position came from, else of the other header read; RADESYS 'ICRS' means J2000,
// 'FK4' without an equinox B1950. A position of another equinox (1800 to 2200, else the card is
// ignored) is precessed to J2000 (IAU 1976, framework/precession.h). A position without any
// equinox card is J2000: the FITS default, and what current capture programs write for
// OBJCTRA/RA. A program that wrote the mount's coordinates of the date instead would be off by
// the precession since 2000 (about 0.4 degree in 2026), which the search radius around a
// header hint covers; precessing from DATE-OBS would put every J2000 writer off by as much.
// Scale, first found (degrees per pixel of the image as stored):
//   1. CDi_j of that celestial WCS: sqrt |det CD|; else CDELT1, CDELT2 (times |det PC|):
//      sqrt |CDELT1 CDELT2 det PC|;
//   2. PIXSCALE, SCALE, SECPIX, SECPIX1: arcseconds per pixel;
//   3. FOCALLEN (mm) with XPIXSZ (microns): XPIXSZ is taken as the size of a pixel as stored,
//      binning included, which is what capture programs write there;
//   4. FOCALLEN with PIXSIZE1 (microns of the sensor's pixel, before binning) times XBINNING
//      (1 when absent; a whole number 1 to 64).
//   206.264806 arcseconds per pixel for one micron per millimetre. A scale outside 0.01 to 3600
//   arcseconds per pixel (or a WCS matrix whose determinant is not finite and nonzero) is
//   refused and the next family tried.
// Reference: FITS Standard 4.0, 4.4.2.1 (EQUINOX, EPOCH) and 8 (WCS); Calabretta & Greisen
// 2002, A&A 395, 1077 (TAN, eqs. 12-15, 54); Lieske et al. 1977 (precession).
// Single-threaded per call; keeps no state.
#ifndef KESTIL_SOLVER_IMAGE_FITS_HINTS_H
#define KESTIL_SOLVER_IMAGE_FITS_HINTS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { FITS_HINT_TEXT_SIZE = 80 };

typedef struct FitsHints {
    bool has_position;
    double ra;                 // hours, J2000, 0 <= ra < 24
    double dec;                // degrees, J2000
    double equinox;            // with a position: the Julian epoch of the cards' equinox,
                               // years (2000 when they name none)
    bool position_from_wcs;    // a celestial WCS (a solved plate) rather than a pointing
    char position_cards[FITS_HINT_TEXT_SIZE];  // the cards used, e.g. "OBJCTRA/OBJCTDEC",
                                               // "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDi_j",
                                               // with " (primary header)" and ", EQUINOX 1950"
                                               // where they apply
    bool has_scale;
    double scale;              // degrees per pixel of the image as stored
    char scale_cards[FITS_HINT_TEXT_SIZE];     // e.g. "CDi_j", "PIXSCALE", "FOCALLEN/XPIXSZ"
} FitsHints;

// Given:    data, length   the whole file
// Returned: hints          zero-filled, then what the header gives (see above)
// Result:   true when a position or a scale was found; false for data that are not FITS
//           ("SIMPLE  =" first), a primary header cut before its END card, or no usable card
bool kestil_solver_fits_hints(const void* data, int32_t length, FitsHints* hints);

#ifdef __cplusplus
}
#endif

#endif
