// solver/image/fits_cards.hpp - the header cards the FITS reader uses, read from one header
// A header is a sequence of 2880-byte blocks of 36 cards of 80 characters up to the card
// "END     ". Keywords sit in columns 1-8, "=" in column 9 and the value from column 11, cut at
// "/". Numbers are read as decimal text; a card whose value can't be read is ignored, and a
// later card overrides an earlier one of the same keyword.
// Reference: FITS Standard 4.0, sections 3-4, 7.3 (binary tables); the tiled image compression
// convention (Pence et al. 2010). Single-threaded per call; keeps no state.
#ifndef KESTIL_SOLVER_IMAGE_FITS_CARDS_HPP
#define KESTIL_SOLVER_IMAGE_FITS_CARDS_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace kestil::image {

constexpr size_t fits_block_size = 2880;
constexpr int fits_max_axes = 999;
// Columns of a compressed image's table kept (the convention uses at most six).
constexpr int fits_max_tile_columns = 8;

// The kind of an extension, from its XTENSION card.
enum class FitsExtension { none, image, binary_table, other };

constexpr double fits_absent = std::numeric_limits<double>::quiet_NaN();

// The cards of a tile-compressed image's table beyond the image description: what cfitsio
// needs to expand the tiles. Numbers are fits_absent and texts empty when their card is.
struct FitsTileCards {
    std::string compression, quantization;         // ZCMPTYPE, ZQUANTIZ
    double tiles[4] = {fits_absent, fits_absent, fits_absent, fits_absent};  // ZTILEn at n
    double parameters[3] = {fits_absent, fits_absent, fits_absent};          // ZVALn at n
    double dither_offset = fits_absent;            // ZDITHER0
    double zscale = fits_absent, zzero = fits_absent, zblank = fits_absent, blank = fits_absent;
    double fields = fits_absent, heap_offset = fits_absent;  // TFIELDS, THEAP
    std::string names[fits_max_tile_columns + 1], formats[fits_max_tile_columns + 1];  // TTYPEn,
                                                                                      // TFORMn
};

// The header values the reader uses, before validation.
struct FitsCards {
    double bitpix = 0, naxis = 0, bzero = 0, bscale = 1;
    double axes[fits_max_axes + 1] = {};  // NAXISn at n; NAXIS3 is 1 unless given
    // Extensions: the kind, the size of the heap and the group count of the data.
    FitsExtension extension = FitsExtension::none;
    double pcount = 0, gcount = 1;
    // Tile-compressed images: ZIMAGE = T, the image described by the Z cards and the tiles.
    bool zimage = false;
    double zbitpix = 0, znaxis = 0, zaxes[4] = {0, 0, 0, 1};
    FitsTileCards tile;
    FitsCards() { axes[3] = 1; }
};

// Reads the cards of the header that starts at offset, up to "END     ".
// Returned: cards; bayer set when a card "BAYERPAT" is seen; length, the header's bytes (whole
//           blocks). Result: false when the buffer ends before the block holding "END     ".
bool read_fits_header(const uint8_t* bytes, size_t available, size_t offset, FitsCards* cards,
                      bool* bayer, size_t* length);

// A finite whole number from minimum to maximum.
inline bool whole_in_range(double value, double minimum, double maximum) {
    return std::isfinite(value) && value == std::floor(value) && value >= minimum &&
           value <= maximum;
}

// The image description the reader supports: BITPIX 8, 16, 32, -32 or -64, NAXIS 2 or 3,
// axes[1] and axes[2] of 1 to 65535 and axes[3] (planes) of 1 to 16.
inline bool supported_fits_image(double bitpix, double naxis, const double* axes) {
    const double b = bitpix;
    return (b == 8 || b == 16 || b == 32 || b == -32 || b == -64) && (naxis == 2 || naxis == 3) &&
           whole_in_range(axes[1], 1, 65535) && whole_in_range(axes[2], 1, 65535) &&
           whole_in_range(axes[3], 1, 16);
}

}  // namespace kestil::image

#endif
