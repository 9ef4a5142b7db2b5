// python/wcs_cards.hpp - the plate of a solve as the text of FITS header cards
// The cards of a SolverWcs (solver/solve.h): a TAN projection in ICRS degrees about its
// reference pixel with its CD matrix, plus the SIP distortion terms (A, B and the inverse AP,
// BP) when the plate has them, and the image size (IMAGEW, IMAGEH), closed by END. Cards are 80
// characters each with no line ends (as astropy.io.fits.Header.fromstring reads them); the
// text is not padded to a 2880-byte block. Numbers carry twelve significant digits.
// Reference: FITS Standard 4.0 (fixed-format cards); Calabretta & Greisen 2002, A&A 395, 1077;
// Shupe et al. 2005, ASP Conf. Ser. 347, 491 (SIP). Any thread; no state.
#ifndef KESTIL_PYTHON_WCS_CARDS_HPP
#define KESTIL_PYTHON_WCS_CARDS_HPP

#include <cstdint>
#include <string>

#include "solver/solve.h"

namespace kestil::python {

// Given:  wcs             the plate (sip_order 0 for TAN only)
//         width, height   the image as stored, pixels
// Result: the cards, a multiple of 80 characters ending with the END card
std::string wcs_cards(const SolverWcs& wcs, int32_t width, int32_t height);

}  // namespace kestil::python

#endif
