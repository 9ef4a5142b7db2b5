// solver/image/fits_tiles.hpp - tile-compressed FITS images expanded in memory by cfitsio
// A compressed image is a binary table whose rows hold its tiles, compressed (RICE_1, GZIP_1
// or GZIP_2 here), in a heap after the rows. cfitsio expands them but trusts the table's cards
// (a tile size of 0 divides by zero) and allocates what the tile descriptors claim; so the
// cards are checked here, every descriptor must lie inside the heap, and cfitsio is handed a
// file written here from the checked values alone, followed by the original rows and heap.
// Nothing is written to disk. Single-threaded per call; keeps no state.
// Reference: the tiled image compression convention (Pence et al. 2010, FITS registered
// convention); FITS Standard 4.0, 7.3.5 (array descriptors); cfitsio 4.
#ifndef KESTIL_SOLVER_IMAGE_FITS_TILES_HPP
#define KESTIL_SOLVER_IMAGE_FITS_TILES_HPP

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "solver/image/fits_cards.hpp"

namespace kestil::image {

// One column of the table: tiles (an array descriptor, P or Q) or a value per tile.
struct TileColumn {
    std::string name;           // COMPRESSED_DATA, GZIP_COMPRESSED_DATA, UNCOMPRESSED_DATA,
                                // ZSCALE, ZZERO or ZBLANK
    std::string format;         // TFORM as checked, e.g. "1PB(2880)" or "1D"
    size_t offset = 0;          // bytes from the start of a row
    size_t descriptor = 0;      // 8 (P) or 16 (Q) bytes for an array descriptor, else 0
    size_t element_bytes = 0;   // bytes per element (of the array, or of the value)
};

// A compressed image's tiles, checked.
struct TileLayout {
    int bitpix = 0, naxis = 0;
    long axes[4] = {0, 0, 0, 1}, tiles[4] = {0, 1, 1, 1};  // ZNAXISn, ZTILEn at n
    std::string compression;    // RICE_1, GZIP_1 or GZIP_2
    long block_size = 0, bytes_per_pixel = 0;             // RICE_1: ZVAL1, ZVAL2
    std::string quantization;   // ZQUANTIZ, or empty
    long dither_offset = 0;     // ZDITHER0 (1..10000), or 0 when absent
    double zscale = fits_absent, zzero = fits_absent, zblank = fits_absent;
    double bzero = 0, bscale = 1;
    std::vector<TileColumn> columns;
    size_t row_bytes = 0, rows = 0, heap_offset = 0, heap_gap = 0;  // NAXIS1, NAXIS2, THEAP,
                                                                    // PCOUNT
    const uint8_t* table = nullptr;  // rows, then the heap: row_bytes x rows + heap_gap bytes
};

// Given:    cards      the header of a binary table with ZIMAGE = T
//           table      its data; remaining bytes of the buffer from there
// Returned: layout     (on success)
// Result:   true when the image is 2 or 3 axes of BITPIX 8, 16, 32, -32 or -64 within the
//           reader's limits, compressed with RICE_1, GZIP_1 or GZIP_2 in tiles that cover it
//           exactly, and every descriptor of every row lies inside the heap
bool tile_layout(const FitsCards& cards, const uint8_t* table, size_t remaining,
                 TileLayout* layout);

// Bytes of the table's rows and heap.
inline size_t tile_table_bytes(const TileLayout& layout) {
    return layout.row_bytes * layout.rows + layout.heap_gap;
}

struct FreeBlock {
    void operator()(void* block) const noexcept { std::free(block); }
};

// A FITS file in memory.
struct FitsBuffer {
    std::unique_ptr<unsigned char, FreeBlock> bytes;
    size_t length = 0;
};

// Given:    layout   from tile_layout
// Returned: plain    a FITS file whose primary array is the image, uncompressed, with its
//                    BITPIX, NAXISn, BZERO and BSCALE (on success)
// Result:   false when cfitsio cannot expand the tiles (corrupt compressed data)
bool decompress_fits_tiles(const TileLayout& layout, FitsBuffer* plain);

}  // namespace kestil::image

#endif
