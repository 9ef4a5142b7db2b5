// solver/image/fits_tiles.cpp - tile-compressed FITS images expanded in memory by cfitsio
#include "solver/image/fits_tiles.hpp"

#include <fitsio.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "framework/alloc.h"

namespace kestil::image {

namespace {

constexpr double max_random_offset = 10000;  // cfitsio's dither sequence has 10000 values

// Bytes of an element of type code (B, I, J, K, E, D); 0 for any other.
size_t element_bytes(char code) {
    switch (code) {
        case 'B': return 1;
        case 'I': return 2;
        case 'J': case 'E': return 4;
        case 'K': case 'D': return 8;
        default: return 0;
    }
}

// A column's format: "[1]PB[(max)]" or "[1]QB[(max)]" for the tile arrays, "[1]<type>" for the
// values per tile.
bool parse_column(const std::string& name, const std::string& format, TileColumn* column) {
    std::string upper;
    for (char c : name) upper += char(std::toupper(static_cast<unsigned char>(c)));
    const bool array = upper == "COMPRESSED_DATA" || upper == "GZIP_COMPRESSED_DATA";
    // UNCOMPRESSED_DATA, an older way of storing floats, is not read.
    if (!array && upper != "ZSCALE" && upper != "ZZERO" && upper != "ZBLANK") return false;
    size_t i = format.size() > 0 && format[0] == '1' ? 1 : 0;
    if (array) {
        if (i >= format.size() || (format[i] != 'P' && format[i] != 'Q')) return false;
        column->descriptor = format[i] == 'P' ? 8 : 16;
        ++i;
    }
    // cfitsio reads the tile arrays as bytes: only byte arrays hold the stream as written.
    if (i >= format.size() || (column->element_bytes = element_bytes(format[i])) == 0 ||
        (array && format[i] != 'B'))
        return false;
    ++i;
    if (array && i < format.size()) {  // the optional largest array length
        if (format[i] != '(' || format.back() != ')' || format.size() - i < 3 ||
            format.size() - i > 12)
            return false;
        for (size_t k = i + 1; k + 1 < format.size(); ++k)
            if (!std::isdigit(static_cast<unsigned char>(format[k]))) return false;
        i = format.size();
    }
    if (i != format.size()) return false;
    column->name = upper;
    column->format = format;
    return true;
}

bool known_quantization(const std::string& q) {
    return q.empty() || q == "NONE" || q == "NO_DITHER" || q == "SUBTRACTIVE_DITHER_1" ||
           q == "SUBTRACTIVE_DITHER_2";
}

// The image, its tiles and the compression parameters from the Z cards.
bool read_image_cards(const FitsCards& cards, TileLayout* t) {
    const FitsTileCards& z = cards.tile;
    if (!supported_fits_image(cards.zbitpix, cards.znaxis, cards.zaxes)) return false;
    t->bitpix = int(cards.zbitpix);
    t->naxis = int(cards.znaxis);
    for (int n = 1; n <= 3; ++n) t->axes[n] = long(cards.zaxes[n]);
    for (int n = 1; n <= t->naxis; ++n) {
        const double tile = std::isnan(z.tiles[n]) ? (n == 1 ? cards.zaxes[1] : 1) : z.tiles[n];
        if (!whole_in_range(tile, 1, cards.zaxes[n])) return false;
        t->tiles[n] = long(tile);
    }
    if (z.compression != "RICE_1" && z.compression != "GZIP_1" && z.compression != "GZIP_2")
        return false;
    t->compression = z.compression;
    if (t->compression == "RICE_1") {
        const double bytes = std::isnan(z.parameters[2]) ? 4 : z.parameters[2];
        if ((z.parameters[1] != 16 && z.parameters[1] != 32) ||
            (bytes != 1 && bytes != 2 && bytes != 4))
            return false;
        t->block_size = long(z.parameters[1]);
        t->bytes_per_pixel = long(bytes);
    }
    // cfitsio reads tiles of samples quantized from floating point, or with ZQUANTIZ = 'NONE'
    // gzip-compressed floats, whatever the image's BITPIX: only the combinations its writer
    // makes keep its reads inside its buffers.
    if (!known_quantization(z.quantization) || (t->bitpix > 0 && !z.quantization.empty()) ||
        (t->compression == "RICE_1" && z.quantization == "NONE"))
        return false;
    t->quantization = z.quantization;
    if (!std::isnan(z.dither_offset) && !whole_in_range(z.dither_offset, 1, max_random_offset))
        return false;
    t->dither_offset = std::isnan(z.dither_offset) ? 0 : long(z.dither_offset);
    const double blank = std::isnan(z.zblank) ? z.blank : z.zblank;
    if ((!std::isnan(z.zscale) && !std::isfinite(z.zscale)) ||
        (!std::isnan(z.zzero) && !std::isfinite(z.zzero)) ||
        (!std::isnan(blank) && !whole_in_range(blank, -2147483648.0, 2147483647.0)) ||
        !std::isfinite(cards.bzero) || !std::isfinite(cards.bscale))
        return false;
    t->zscale = z.zscale;
    t->zzero = z.zzero;
    t->zblank = blank;
    t->bzero = cards.bzero;
    t->bscale = cards.bscale;
    return true;
}

// The table's shape: one row per tile, the columns filling a row exactly, the heap inside the
// data.
bool read_table_cards(const FitsCards& cards, size_t remaining, TileLayout* t) {
    const FitsTileCards& z = cards.tile;
    const double limit = double(remaining);
    if (cards.bitpix != 8 || cards.naxis != 2 || !whole_in_range(cards.axes[1], 1, limit) ||
        !whole_in_range(cards.axes[2], 1, limit) || !whole_in_range(cards.pcount, 0, limit) ||
        cards.gcount != 1 || !whole_in_range(z.fields, 1, fits_max_tile_columns))
        return false;
    t->row_bytes = size_t(cards.axes[1]);
    t->rows = size_t(cards.axes[2]);
    t->heap_gap = size_t(cards.pcount);
    double tiles = 1;
    for (int n = 1; n <= t->naxis; ++n) tiles *= double((t->axes[n] - 1) / t->tiles[n] + 1);
    if (double(t->rows) != tiles || double(t->row_bytes) * double(t->rows) > limit) return false;
    const size_t rows_bytes = t->row_bytes * t->rows;
    const double heap = std::isnan(z.heap_offset) ? double(rows_bytes) : z.heap_offset;
    if (!whole_in_range(heap, double(rows_bytes), double(rows_bytes + t->heap_gap)) ||
        rows_bytes + t->heap_gap > remaining)
        return false;
    t->heap_offset = size_t(heap);
    size_t offset = 0;
    bool tiles_column = false;
    for (int n = 1; n <= int(z.fields); ++n) {
        TileColumn column;
        if (!parse_column(z.names[n], z.formats[n], &column)) return false;
        for (const TileColumn& other : t->columns)
            if (other.name == column.name) return false;
        if (column.name == "GZIP_COMPRESSED_DATA" && t->bitpix > 0) return false;
        tiles_column = tiles_column || column.name == "COMPRESSED_DATA";
        column.offset = offset;
        offset += column.descriptor ? column.descriptor : column.element_bytes;
        t->columns.push_back(column);
    }
    return tiles_column && offset == t->row_bytes;
}

// The array descriptor of a row: the element count and the offset into the heap.
void read_descriptor(const TileLayout& t, size_t row, const TileColumn& c, uint64_t* count,
                     uint64_t* offset) {
    const uint8_t* d = t.table + row * t.row_bytes + c.offset;
    const size_t half = c.descriptor / 2;
    *count = *offset = 0;
    for (size_t i = 0; i < half; ++i) *count = *count << 8 | d[i];
    for (size_t i = half; i < c.descriptor; ++i) *offset = *offset << 8 | d[i];
}

// Every array descriptor of every row inside the heap.
bool descriptors_inside_heap(const TileLayout& t) {
    const uint64_t heap = tile_table_bytes(t) - t.heap_offset;
    for (size_t row = 0; row < t.rows; ++row)
        for (const TileColumn& c : t.columns) {
            if (!c.descriptor) continue;
            uint64_t count, offset;
            read_descriptor(t, row, c, &count, &offset);
            if (count > heap || offset > heap || count * c.element_bytes > heap - offset)
                return false;
        }
    return true;
}

// The bytes of a row's array in the heap (inside it: descriptors_inside_heap held).
const uint8_t* tile_bytes(const TileLayout& t, size_t row, const TileColumn& c, size_t* length) {
    uint64_t count, offset;
    read_descriptor(t, row, c, &count, &offset);
    *length = size_t(count) * c.element_bytes;
    return t.table + t.heap_offset + offset;
}

// Whether a gzip stream inflates to exactly expected bytes. cfitsio grows its output for as
// long as inflate asks for room, without a bound, and takes the type of a tile's samples from
// their count of bytes; a stream of any other length must not reach it.
bool gzip_stream_gives(const uint8_t* bytes, size_t length, size_t expected) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return false;  // gzip wrapper
    stream.next_in = const_cast<Bytef*>(bytes);  // zlib only reads its input
    stream.avail_in = uInt(length);
    unsigned char chunk[16384];
    int result = Z_OK;
    while (result == Z_OK && stream.total_out <= expected) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
    }
    const bool exact = result == Z_STREAM_END && stream.total_out == expected;
    inflateEnd(&stream);
    return exact;
}

// Pixels of the tile in row (0-based): tiles run along axis 1 first, those at the far edges
// are cut to the image.
size_t tile_pixels(const TileLayout& t, size_t row) {
    size_t pixels = 1;
    for (int n = 1; n <= t.naxis; ++n) {
        const size_t across = size_t((t.axes[n] - 1) / t.tiles[n] + 1);
        const size_t first = (row % across) * size_t(t.tiles[n]);
        pixels *= std::min(size_t(t.tiles[n]), size_t(t.axes[n]) - first);
        row /= across;
    }
    return pixels;
}

// Whether cfitsio's RICE_1 decoder stays inside a tile's stream of length bytes. It reads
// without bounds within a block of pixels (a run of zero bytes takes it anywhere), so the
// stream is walked here first exactly as it walks it: the first value in bytes_per_pixel
// bytes, then per block a code of fsbits bits giving fs: below 0 a block of equal values,
// fsmax values written out in 8 x bytes_per_pixel bits each, else values Rice-coded with fs
// low bits (Rice 1979; White & Percival, the convention's RICE_1).
bool rice_stream_in_bounds(const uint8_t* c, size_t length, size_t pixels, int bytes_per_pixel,
                           size_t block) {
    const int fsbits = bytes_per_pixel == 1 ? 3 : bytes_per_pixel == 2 ? 4 : 5;
    const int fsmax = bytes_per_pixel == 1 ? 6 : bytes_per_pixel == 2 ? 14 : 25;
    const int bbits = 1 << fsbits;
    constexpr int max_bits = 1 << 28;  // a zero run of 32 MB; the decoder's count overflows later
    size_t next = size_t(bytes_per_pixel);
    auto read = [&](uint32_t* byte) {
        if (next >= length) return false;
        *byte = c[next++];
        return true;
    };
    uint32_t b = 0, byte = 0;
    if (!read(&b)) return false;
    int nbits = 8;
    for (size_t i = 0; i < pixels;) {
        nbits -= fsbits;
        for (; nbits < 0; nbits += 8) {
            if (!read(&byte)) return false;
            b = b << 8 | byte;
        }
        const int fs = int(b >> nbits) - 1;
        b &= (1u << nbits) - 1;
        const size_t end = std::min(i + block, pixels);
        if (fs < 0) {
            i = end;
        } else if (fs == fsmax) {
            for (; i < end; ++i) {
                for (int k = bbits - nbits - 8; k >= 0; k -= 8)
                    if (!read(&b)) return false;
                if (nbits > 0) {
                    if (!read(&b)) return false;
                    b &= (1u << nbits) - 1;
                } else {
                    b = 0;
                }
            }
        } else {
            for (; i < end; ++i) {
                for (; b == 0; nbits += 8)
                    if (nbits > max_bits || !read(&b)) return false;
                if (b > 255) return false;  // not reached from a valid state
                const int nzero = nbits - std::bit_width(b);  // bits of b after its zeros
                nbits -= nzero + 1;
                b ^= 1u << nbits;
                nbits -= fs;
                for (; nbits < 0; nbits += 8) {
                    if (!read(&byte)) return false;
                    b = b << 8 | byte;
                }
                b &= (1u << nbits) - 1;
            }
        }
    }
    return true;
}

// Bytes per sample of a gzip-compressed tile as cfitsio writes it: the image's own, but for
// quantized floating-point images 32-bit integers.
size_t gzip_sample_bytes(const TileLayout& t) {
    if (t.bitpix < 0 && t.quantization != "NONE") return 4;
    return size_t(std::abs(t.bitpix) / 8);
}

// The length of a row's array in the named column, and where it starts; 0 without the column.
size_t row_array(const TileLayout& t, size_t row, const char* name, const uint8_t** bytes) {
    for (const TileColumn& c : t.columns) {
        if (c.name != name) continue;
        size_t length = 0;
        *bytes = tile_bytes(t, row, c, &length);
        return length;
    }
    return 0;
}

// Every tile stream can be handed to cfitsio: RICE_1 streams stay inside their bytes, gzip
// streams give exactly their tile's samples. A tile without compressed data is a gzip stream
// of floating-point samples in GZIP_COMPRESSED_DATA.
bool tile_streams_sound(const TileLayout& t) {
    for (size_t row = 0; row < t.rows; ++row) {
        const size_t pixels = tile_pixels(t, row);
        const uint8_t* bytes = nullptr;
        size_t length = row_array(t, row, "COMPRESSED_DATA", &bytes);
        bool sound;
        if (length == 0) {
            length = row_array(t, row, "GZIP_COMPRESSED_DATA", &bytes);
            sound = length > 0 && gzip_stream_gives(bytes, length,
                                                    pixels * size_t(std::abs(t.bitpix) / 8));
        } else if (t.compression == "RICE_1") {
            sound = rice_stream_in_bounds(bytes, length, pixels, int(t.bytes_per_pixel),
                                          size_t(t.block_size));
        } else {
            sound = gzip_stream_gives(bytes, length, pixels * gzip_sample_bytes(t));
        }
        if (!sound) return false;
    }
    return true;
}

// One header card: the keyword in columns 1-8, "= " and the value.
void add_card(std::string* header, const char* keyword, const std::string& value) {
    char card[81];
    std::snprintf(card, sizeof card, "%-8.8s= %-70.70s", keyword, value.c_str());
    header->append(card, 80);
}
std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value == std::floor(value) && std::fabs(value) < 1e15
                                         ? "%20.0f" : "%20.17G", value);
    return text;
}
std::string quoted(const std::string& value) { return "'" + value + "'"; }
const std::string logical_true = std::string(19, ' ') + "T";
void end_header(std::string* header) {
    header->append("END");
    header->append((fits_block_size - header->size() % fits_block_size) % fits_block_size, ' ');
}

// A file holding an empty primary array and the compressed image, with only the cards written
// here from the checked layout, then the original rows and heap.
std::string canonical_file(const TileLayout& t) {
    std::string file;
    add_card(&file, "SIMPLE", logical_true);
    add_card(&file, "BITPIX", number(8));
    add_card(&file, "NAXIS", number(0));
    end_header(&file);
    std::string h;
    add_card(&h, "XTENSION", quoted("BINTABLE"));
    add_card(&h, "BITPIX", number(8));
    add_card(&h, "NAXIS", number(2));
    add_card(&h, "NAXIS1", number(double(t.row_bytes)));
    add_card(&h, "NAXIS2", number(double(t.rows)));
    add_card(&h, "PCOUNT", number(double(t.heap_gap)));
    add_card(&h, "GCOUNT", number(1));
    add_card(&h, "TFIELDS", number(double(t.columns.size())));
    for (size_t i = 0; i < t.columns.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        add_card(&h, ("TTYPE" + n).c_str(), quoted(t.columns[i].name));
        add_card(&h, ("TFORM" + n).c_str(), quoted(t.columns[i].format));
    }
    add_card(&h, "THEAP", number(double(t.heap_offset)));
    add_card(&h, "ZIMAGE", logical_true);
    add_card(&h, "ZBITPIX", number(t.bitpix));
    add_card(&h, "ZNAXIS", number(t.naxis));
    for (int n = 1; n <= t.naxis; ++n) {
        add_card(&h, ("ZNAXIS" + std::to_string(n)).c_str(), number(double(t.axes[n])));
        add_card(&h, ("ZTILE" + std::to_string(n)).c_str(), number(double(t.tiles[n])));
    }
    add_card(&h, "ZCMPTYPE", quoted(t.compression));
    if (t.compression == "RICE_1") {
        add_card(&h, "ZVAL1", number(double(t.block_size)));
        add_card(&h, "ZVAL2", number(double(t.bytes_per_pixel)));
    }
    if (!t.quantization.empty()) add_card(&h, "ZQUANTIZ", quoted(t.quantization));
    if (t.dither_offset) add_card(&h, "ZDITHER0", number(double(t.dither_offset)));
    if (!std::isnan(t.zscale)) add_card(&h, "ZSCALE", number(t.zscale));
    if (!std::isnan(t.zzero)) add_card(&h, "ZZERO", number(t.zzero));
    if (!std::isnan(t.zblank)) add_card(&h, "ZBLANK", number(t.zblank));
    add_card(&h, "BZERO", number(t.bzero));
    add_card(&h, "BSCALE", number(t.bscale));
    end_header(&h);
    file += h;
    file.append(reinterpret_cast<const char*>(t.table), tile_table_bytes(t));
    file.append((fits_block_size - file.size() % fits_block_size) % fits_block_size, '\0');
    return file;
}

// Bytes of the plain file cfitsio writes: its header in at most two blocks, then the samples
// padded to a block.
size_t plain_file_bytes(const TileLayout& t) {
    const size_t samples = size_t(t.axes[1]) * size_t(t.axes[2]) * size_t(t.axes[3]) *
                           size_t(std::abs(t.bitpix) / 8);
    return (2 + (samples + fits_block_size - 1) / fits_block_size) * fits_block_size;
}

struct FitsCloser {
    void operator()(fitsfile* file) const noexcept {
        int status = 0;
        fits_close_file(file, &status);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

// The buffer as cfitsio reads it: it takes non-const pointers and keeps the addresses of both
// values, reading through them, while the file is open; opened READONLY it never writes.
struct MemoryFile {
    void* buffer;
    size_t size;
};

}  // namespace

bool tile_layout(const FitsCards& cards, const uint8_t* table, size_t remaining,
                 TileLayout* layout) {
    TileLayout t;
    t.table = table;
    if (!read_image_cards(cards, &t) || !read_table_cards(cards, remaining, &t) ||
        !descriptors_inside_heap(t))
        return false;
    *layout = std::move(t);
    return true;
}

bool decompress_fits_tiles(const TileLayout& layout, FitsBuffer* plain) {
    if (!tile_streams_sound(layout)) return false;
    std::string file = canonical_file(layout);
    MemoryFile source{file.data(), file.size()};
    int status = 0;
    fitsfile* opened = nullptr;
    fits_open_memfile(&opened, "image.fits", READONLY, &source.buffer, &source.size, 0, nullptr,
                      &status);
    FitsHandle in(status == 0 ? opened : nullptr);
    int type = 0;
    if (status == 0) fits_movabs_hdu(in.get(), 2, &type, &status);
    // The output starts at the size of the plain file (two header blocks, the samples) and
    // grows, if need be, through kestil_checked_realloc: running out of memory ends the process
    // as everywhere else. cfitsio updates block and size while the file is open.
    size_t size = plain_file_bytes(layout);
    void* block = kestil_checked_malloc(size);
    if (status == 0) {
        fitsfile* created = nullptr;
        fits_create_memfile(&created, &block, &size, fits_block_size, kestil_checked_realloc,
                            &status);
        FitsHandle out(status == 0 ? created : nullptr);
        if (status == 0) fits_img_decompress(in.get(), out.get(), &status);
        if (out) fits_close_file(out.release(), &status);  // writes the last blocks
    }
    if (status != 0) {
        fits_clear_errmsg();  // cfitsio keeps its messages until cleared
        std::free(block);
        return false;
    }
    plain->bytes.reset(static_cast<unsigned char*>(block));
    plain->length = size;
    return true;
}

}  // namespace kestil::image
