// python/wcs_cards.cpp - the plate of a solve as the text of FITS header cards
#include "python/wcs_cards.hpp"

#include "app/wcs_header.h"

namespace kestil::python {

std::string wcs_cards(const SolverWcs& wcs, int32_t width, int32_t height) {
    WcsHeader header{};
    append_card(&header, "WCSAXES", "2", "number of WCS axes");
    append_wcs_cards(&header, &wcs);
    append_number(&header, "IMAGEW", width, "image width, pixels");
    append_number(&header, "IMAGEH", height, "image height, pixels");
    append_card(&header, "END", nullptr, nullptr);
    return std::string(header.data, header.position);
}

}  // namespace kestil::python
