// app/new_fits.h - a FITS copy of a solved image carrying the solution's WCS
// A FITS input is copied whole: every HDU with its cards and its data bytes as they are, but for
// the header of the HDU that holds the image (the primary array, else the first image extension,
// plain or tile-compressed, which stays compressed): there the old primary WCS cards (CTYPEn,
// CRVALn, CRPIXn, CDELTn, CROTAn, CUNITn, CDi_j, PCi_j, PVi_m, the SIP terms, WCSAXES, LONPOLE,
// LATPOLE, RADESYS, EQUINOX and the like; alternate descriptions such as CTYPE1A are kept) are
// removed and the solution's cards added; a CHECKSUM there is recomputed. Bytes after the last
// HDU are not copied; an HDU whose data the input doesn't hold whole fails the copy.
// Any other input (JPEG, camera raw, the framework's raw format) becomes a 16-bit unsigned FITS
// image (BITPIX 16, BZERO 32768) of the grey pixels the solver reads, at full size (a raw Bayer
// mosaic as stored), the first stored row as FITS row 1, the pixel order the solution uses.
// The file is written to a temporary name in the target's directory and renamed; on failure
// nothing is left behind and an existing target is untouched.
// Diagnostics are single lines "<program>: ..." on the standard error. Any thread; several
// copies may be written at once to different targets.
// Reference: FITS Standard 4.0 (WCS keywords, section 8); Calabretta & Greisen 2002,
// A&A 395, 1077; the SIP convention (Shupe et al. 2005, ASP Conf. Ser. 347, 491).
#ifndef KESTIL_APP_NEW_FITS_H
#define KESTIL_APP_NEW_FITS_H

#include <stdbool.h>
#include <stdint.h>

#include "app/wcs_header.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:  target       the file to write
//         input_path   the image file being solved (may be null)
// Result: true when the target may be written: it is not the input (by device and inode when
//         both exist, else by resolved path), not a directory, and its directory exists;
//         false after "<program>: can't write '<target>': <reason>" on the standard error
bool new_fits_target_allowed(const char* target, const char* input_path);

// Given:  target        the file to write (replaced when it exists)
//         data, length  the whole image file that was solved
//         wcs           the solution's header (format_wcs_header): every card up to END is
//                       added except SIMPLE, XTENSION, BITPIX, NAXIS, NAXISn, EXTEND, PCOUNT and
//                       GCOUNT; a keyword card replaces every card of that keyword, COMMENT and
//                       HISTORY cards are appended
// Result: true when the target was written; false after "<program>: can't write '<target>':
//         <reason>" on the standard error, with no file left behind
bool write_new_fits(const char* target, const void* data, uint32_t length, const WcsHeader* wcs);

#ifdef __cplusplus
}
#endif

#endif
