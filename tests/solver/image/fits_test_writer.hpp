// FITS files written by cfitsio for the image input tests: any encoding, scaling, plane count
// and container (primary array, image extension, tile-compressed image).
#ifndef KESTIL_TESTS_SOLVER_IMAGE_FITS_TEST_WRITER_HPP
#define KESTIL_TESTS_SOLVER_IMAGE_FITS_TEST_WRITER_HPP

#include <vector>

#include "image_test_support.hpp"

namespace image_test {

// Where the image goes: the primary array; an IMAGE extension after a primary header without
// data, straight or after a binary table; a tile-compressed image (after an empty primary).
enum class Container { primary, extension, after_table, rice, gzip1, gzip2 };

struct FitsLayout {
    int bitpix;                 // cfitsio image type (USHORT_IMG writes BITPIX 16, BZERO 32768)
    std::vector<long> axes;
    std::vector<double> values; // stored numbers, or physical ones when physical is set
    double bzero = 0, bscale = 1;
    bool write_scaling = false; // write BZERO/BSCALE cards
    bool physical = false;      // let cfitsio turn physical values into stored ones (compressed
                                // images always take the values as physical)
    bool bayer = false;
    int comment_cards = 0;      // to push END into a later block
    Container container = Container::primary;
    bool whole_image_tile = false;  // compressed: one tile (else cfitsio's one row per tile)
};

// Writes the file with cfitsio and returns its bytes.
Bytes write_fits(const FitsLayout& layout);

// A single row of values.
FitsLayout row(int bitpix, std::vector<double> values);
// With BZERO and BSCALE cards.
FitsLayout scaled(FitsLayout layout, double bzero, double bscale);

}  // namespace image_test

#endif
