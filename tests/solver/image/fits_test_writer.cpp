// FITS files written by cfitsio for the image input tests.
#include "fits_test_writer.hpp"

#include <fitsio.h>

#include <string>

namespace image_test {

namespace {

// The headers and data before the image of the layout's container.
void write_container(fitsfile* f, Container container, int bitpix, int* status) {
    if (container == Container::extension || container == Container::after_table)
        fits_create_img(f, BYTE_IMG, 0, nullptr, status);
    if (container == Container::after_table) {
        char name[] = "MAG", form[] = "E";
        char* names[] = {name};
        char* forms[] = {form};
        fits_create_tbl(f, BINARY_TBL, 3, 1, names, forms, nullptr, "STARS", status);
        float mags[] = {6.5f, 7.25f, 9.0f};
        fits_write_col(f, TFLOAT, 1, 1, 1, 3, mags, status);
    }
    const int compression = container == Container::rice    ? RICE_1
                            : container == Container::gzip1 ? GZIP_1
                            : container == Container::gzip2 ? GZIP_2
                                                            : 0;
    if (compression) {
        fits_set_compression_type(f, compression, status);
        // Floating-point data are compressed without loss only when not quantized.
        if (bitpix < 0) fits_set_quantize_level(f, 0.0, status);
    }
}

// cfitsio does not convert types when writing compressed images: the values in the image's own.
void write_compressed_values(fitsfile* f, int bitpix, const std::vector<double>& values,
                             int* status) {
    const LONGLONG n = LONGLONG(values.size());
    auto write = [&](int type, auto sample) {
        std::vector<decltype(sample)> typed(values.begin(), values.end());
        fits_write_img(f, type, 1, n, typed.data(), status);
    };
    switch (bitpix) {
        case BYTE_IMG: write(TBYTE, (unsigned char)0); break;
        case SHORT_IMG: write(TSHORT, short(0)); break;
        case USHORT_IMG: write(TUSHORT, (unsigned short)0); break;
        case LONG_IMG: write(TINT, 0); break;
        case FLOAT_IMG: write(TFLOAT, 0.0f); break;
        default: write(TDOUBLE, 0.0); break;
    }
}

}  // namespace

Bytes write_fits(const FitsLayout& s) {
    TempDir dir;
    const std::string path = dir.file("image.fits");
    fitsfile* f = nullptr;
    int status = 0;
    fits_create_file(&f, ("!" + path).c_str(), &status);
    write_container(f, s.container, s.bitpix, &status);
    std::vector<long> axes = s.axes;
    if (s.whole_image_tile) fits_set_tile_dim(f, int(axes.size()), axes.data(), &status);
    fits_create_img(f, s.bitpix, int(axes.size()), axes.data(), &status);
    if (s.write_scaling) {
        double bscale = s.bscale, bzero = s.bzero;
        fits_write_key(f, TDOUBLE, "BSCALE", &bscale, nullptr, &status);
        fits_write_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
    }
    if (s.bayer) fits_write_key_str(f, "BAYERPAT", "RGGB", "colour filter pattern", &status);
    for (int i = 0; i < s.comment_cards; ++i)
        fits_write_comment(f, ("filler card " + std::to_string(i)).c_str(), &status);
    if (s.container >= Container::rice) {
        write_compressed_values(f, s.bitpix, s.values, &status);
    } else {
        if (!s.physical) fits_set_bscale(f, 1.0, 0.0, &status);  // store the numbers as given
        std::vector<double> values = s.values;
        fits_write_img(f, TDOUBLE, 1, LONGLONG(values.size()), values.data(), &status);
    }
    fits_close_file(f, &status);
    EXPECT_EQ(0, status) << "cfitsio status";
    return read_bytes(path);
}

FitsLayout row(int bitpix, std::vector<double> values) {
    return FitsLayout{bitpix, {long(values.size()), 1}, std::move(values)};
}
FitsLayout scaled(FitsLayout s, double bzero, double bscale) {
    s.bzero = bzero, s.bscale = bscale, s.write_scaling = true;
    return s;
}

}  // namespace image_test
