// fuzz/make_seeds.cpp - writes the seed corpora of the image and index fuzz targets
// Usage: fuzz_make_seeds <corpus folder>   (normally fuzz/corpus; built by the fuzz preset)
// Every seed is a small valid input made here: raw images of the four layouts, FITS files of
// each sample encoding, images in FITS extensions (plain and tile-compressed, from cfitsio),
// JPEG streams from libjpeg's compressor (tools/jpeg) and a camera raw (DNG) file from
// the project's DNG writer. The load_image seeds carry the downsample byte of that target first.
// The seeds are committed; rerun this only when a format gains something worth seeding.
#include <stdio.h>
#include <stdlib.h>
// jpeglib.h needs size_t and FILE declared first.
#include <fitsio.h>
#include <jpeglib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "solver/image/solver_image.h"
#include "tools/dng/dng_writer.h"
#include "tools/jpeg/jpeg_writer.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

bool write_file(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

Bytes read_file(const std::string& path) {
    Bytes bytes;
    if (FILE* file = fopen(path.c_str(), "rb")) {
        int c;
        while ((c = fgetc(file)) != EOF) bytes.push_back(uint8_t(c));
        fclose(file);
    }
    return bytes;
}

void put_le32(Bytes& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(value >> (8 * i)));
}

// A raw image: signature, width, height, then bytes_per_pixel x width x height sample bytes.
Bytes raw_image(uint32_t signature, uint32_t width, uint32_t height, int bytes_per_pixel,
                const char* trailer) {
    Bytes bytes;
    put_le32(bytes, signature);
    put_le32(bytes, width);
    put_le32(bytes, height);
    for (uint32_t i = 0; i < width * height * uint32_t(bytes_per_pixel); ++i)
        bytes.push_back(uint8_t(i * 37 + 11));
    bytes.insert(bytes.end(), trailer, trailer + strlen(trailer));
    return bytes;
}

// A FITS file: the cards padded to 80 characters and the header to 2880 bytes, then big-endian
// samples (a ramp) padded to 2880 bytes.
Bytes fits_image(int bitpix, int width, int height, int planes, const std::vector<std::string>& extra) {
    std::vector<std::string> cards = {"SIMPLE  =                    T",
                                      "BITPIX  = " + std::string(20 - std::to_string(bitpix).size(), ' ') + std::to_string(bitpix),
                                      "NAXIS   =                    " + std::to_string(planes > 1 ? 3 : 2)};
    auto number_card = [](const char* key, int value) {
        std::string text = std::to_string(value);
        return std::string(key) + std::string(8 - strlen(key), ' ') + "= " +
               std::string(20 - text.size(), ' ') + text;
    };
    cards.push_back(number_card("NAXIS1", width));
    cards.push_back(number_card("NAXIS2", height));
    if (planes > 1) cards.push_back(number_card("NAXIS3", planes));
    cards.insert(cards.end(), extra.begin(), extra.end());
    cards.push_back("END");
    Bytes bytes;
    for (std::string card : cards) {
        card.resize(80, ' ');
        bytes.insert(bytes.end(), card.begin(), card.end());
    }
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, ' ');
    const size_t sample_bytes = size_t(abs(bitpix) / 8);
    const size_t count = size_t(width) * height * planes;
    for (size_t i = 0; i < count; ++i) {
        uint8_t sample[8] = {};
        if (bitpix == -32) {
            float value = float(i) * 100.5f;
            uint32_t u;
            memcpy(&u, &value, 4);
            for (int k = 0; k < 4; ++k) sample[k] = uint8_t(u >> (24 - 8 * k));
        } else if (bitpix == -64) {
            double value = double(i) * -3.25;
            uint64_t u;
            memcpy(&u, &value, 8);
            for (int k = 0; k < 8; ++k) sample[k] = uint8_t(u >> (56 - 8 * k));
        } else {
            for (size_t k = 0; k < sample_bytes; ++k) sample[k] = uint8_t((i * 131 + k * 7) & 0xFF);
        }
        bytes.insert(bytes.end(), sample, sample + sample_bytes);
    }
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, 0);
    return bytes;
}

// A JPEG stream of a small gradient from libjpeg's compressor.
Bytes jpeg_image(int width, int height, int components, int quality) {
    kestil_jpeg::JpegLayout layout;
    layout.width = width;
    layout.height = height;
    layout.components = components;
    layout.in_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    layout.quality = quality;
    Bytes bytes;
    kestil_jpeg::encode_jpeg(
        layout,
        [&](int y, uint8_t* row) {
            for (size_t i = 0; i < size_t(width) * components; ++i)
                row[i] = uint8_t(i * 9 + size_t(y) * 13);
        },
        &bytes);
    return bytes;
}

Bytes dng_image(const std::string& folder, int width, int height) {
    std::vector<uint16_t> mosaic(size_t(width) * height);
    for (size_t i = 0; i < mosaic.size(); ++i) mosaic[i] = uint16_t((i * 97) & 0xFFF);
    const std::string path = folder + "/.seed.dng";
    const char* message = nullptr;
    if (!write_cfa_dng(path.c_str(), mosaic.data(), width, height, "RGGB", 12, &message)) {
        fprintf(stderr, "make_seeds: DNG: %s\n", message ? message : "failed");
        return {};
    }
    Bytes bytes = read_file(path);
    unlink(path.c_str());
    return bytes;
}

// How cfitsio writes the image of an extension seed.
struct ExtensionSeed {
    int bitpix;                 // cfitsio image type
    std::vector<long> axes;
    int compression = 0;        // RICE_1, GZIP_1, GZIP_2, or 0 for a plain IMAGE extension
    std::vector<long> tiles;    // tile size; empty: cfitsio's rows
    bool table_first = false;   // a binary table before the image
    float quantize = 0.0f;      // floating point: 0 without loss, else cfitsio's noise level
};

// The seed's values in the image's own type (cfitsio converts none for compressed images).
template <typename T>
void write_values(fitsfile* f, int type, size_t count, double scale, int* status) {
    std::vector<T> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = T(double((i * 37) % 101) * scale);
    fits_write_img(f, type, 1, LONGLONG(count), values.data(), status);
}

// A FITS file from cfitsio: an empty primary array, then the seed's image as an extension.
Bytes extension_image(const std::string& folder, const ExtensionSeed& seed) {
    const std::string path = folder + "/.seed.fits";
    fitsfile* f = nullptr;
    int status = 0;
    fits_create_file(&f, ("!" + path).c_str(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    if (seed.table_first) {
        char name[] = "FLUX", form[] = "1E";
        char* names[] = {name};
        char* forms[] = {form};
        fits_create_tbl(f, BINARY_TBL, 2, 1, names, forms, nullptr, nullptr, &status);
        float flux[] = {1.5f, 2.5f};
        fits_write_col(f, TFLOAT, 1, 1, 1, 2, flux, &status);
    }
    if (seed.compression) {
        fits_set_compression_type(f, seed.compression, &status);
        if (!seed.tiles.empty()) {
            std::vector<long> tiles = seed.tiles;
            fits_set_tile_dim(f, int(tiles.size()), tiles.data(), &status);
        }
        if (seed.bitpix < 0) fits_set_quantize_level(f, seed.quantize, &status);
    }
    std::vector<long> axes = seed.axes;
    fits_create_img(f, seed.bitpix, int(axes.size()), axes.data(), &status);
    fits_write_key_str(f, "BAYERPAT", "RGGB", nullptr, &status);
    size_t count = 1;
    for (long a : axes) count *= size_t(a);
    switch (seed.bitpix) {
        case BYTE_IMG: write_values<unsigned char>(f, TBYTE, count, 2.0, &status); break;
        case USHORT_IMG: write_values<unsigned short>(f, TUSHORT, count, 600.0, &status); break;
        case LONG_IMG: write_values<int>(f, TINT, count, -4000.0, &status); break;
        default: write_values<float>(f, TFLOAT, count, 0.01, &status); break;
    }
    fits_close_file(f, &status);
    Bytes bytes = status == 0 ? read_file(path) : Bytes();
    unlink(path.c_str());
    if (status) fprintf(stderr, "make_seeds: cfitsio status %d\n", status);
    return bytes;
}

// An input of the index_solve target (see fuzz/index_solve_fuzz.cpp for the layout): stars on
// a small patch of sky around (ra0, dec0) radians, quads of consecutive stars, then the given
// patches (section, offset, value), no cut and the solve flags.
Bytes index_description(uint8_t scale_choice, uint8_t stars, uint8_t quads,
                        const std::vector<std::array<uint32_t, 3>>& patches, uint8_t flags) {
    Bytes bytes{scale_choice, stars, quads};
    auto put_float = [&bytes](float value) {
        uint32_t u;
        memcpy(&u, &value, 4);
        put_le32(bytes, u);
    };
    uint32_t seed = 777u + stars;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < stars; ++i) {
        put_float(1.2f + float(next() % 1000) * 1e-5f);
        put_float(0.3f + float(next() % 1000) * 1e-5f);
    }
    if (stars >= 4)
        for (int q = 0; q < quads; ++q) {
            for (int field = 0; field < 4; ++field) {
                uint16_t value = uint16_t(next() % 1001);
                bytes.push_back(uint8_t(value));
                bytes.push_back(uint8_t(value >> 8));
            }
            put_float(0.002f + float(q) * 1e-5f);
            for (int k = 0; k < 4; ++k) bytes.push_back(uint8_t((q + k) % stars));
        }
    bytes.push_back(uint8_t(patches.size()));
    for (const auto& patch : patches) {
        bytes.push_back(uint8_t(patch[0]));
        put_le32(bytes, patch[1]);
        put_le32(bytes, patch[2]);
    }
    put_le32(bytes, 0);  // no cut
    bytes.push_back(flags);
    if (flags & 1) bytes.insert(bytes.end(), {0x50, 0x46, 0x30, 0x11, 10});  // the position hint
    return bytes;
}

// A sky-mode input of the index_solve target: the WCS (centre, angle, parity), the quads of
// every four of the 8 brightest simulated stars, no patch, no cut, then the solve flags.
Bytes sky_description(uint8_t scale_choice, uint16_t ra, uint16_t dec, uint16_t angle,
                      uint8_t parity, uint8_t flags) {
    Bytes bytes{uint8_t(0x80 | scale_choice)};
    for (uint16_t value : {ra, dec, angle}) {
        bytes.push_back(uint8_t(value));
        bytes.push_back(uint8_t(value >> 8));
    }
    bytes.push_back(parity);
    bytes.push_back(70);  // C(8, 4)
    for (int a = 0; a < 8; ++a)
        for (int b = a + 1; b < 8; ++b)
            for (int c = b + 1; c < 8; ++c)
                for (int d = c + 1; d < 8; ++d) bytes.insert(bytes.end(), {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)});
    bytes.push_back(0);  // no patch
    put_le32(bytes, 0);  // no cut
    bytes.push_back(flags);
    return bytes;
}

Bytes with_downsample(uint8_t downsample, const Bytes& file) {
    Bytes bytes{downsample};
    bytes.insert(bytes.end(), file.begin(), file.end());
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    struct Seed { std::string name; Bytes bytes; };
    const std::vector<Seed> fits = {
        {"u16_bayer", fits_image(16, 8, 6, 1, {"BAYERPAT= 'RGGB    '"})},
        {"s16_scaled", fits_image(16, 9, 7, 1, {"BZERO   =              32768.0", "BSCALE  =                  1.0"})},
        {"u8", fits_image(8, 8, 8, 1, {})},
        {"s32", fits_image(32, 5, 4, 1, {})},
        {"f32_rgb", fits_image(-32, 6, 4, 3, {})},
        {"f64", fits_image(-64, 4, 4, 1, {"BSCALE  =                  2.0"})},
    };
    const std::vector<Seed> others = {
        {"raw1", raw_image(PIXEL_FORMAT_RAW1, 6, 4, 1, "")},
        {"raw2_bayer", raw_image(PIXEL_FORMAT_RAW2, 8, 6, 2, "BAYERPAT=RGGB")},
        {"raw3", raw_image(PIXEL_FORMAT_RAW3, 4, 4, 3, "")},
        {"raw6", raw_image(PIXEL_FORMAT_RAW6, 4, 3, 6, "")},
        {"jpeg_grey", jpeg_image(16, 16, 1, 80)},
        {"jpeg_rgb", jpeg_image(24, 16, 3, 75)},
        {"dng_rggb", dng_image(root, 24, 22)},  // LibRaw refuses sides below 22 pixels
    };
    // Files with an empty primary array: the fits_extension target takes what follows it.
    const std::vector<Seed> extensions = {
        {"image_u16", extension_image(root, {USHORT_IMG, {8, 6}})},
        {"table_then_f32", extension_image(root, {FLOAT_IMG, {6, 5}, 0, {}, true})},
        {"rice_u16", extension_image(root, {USHORT_IMG, {12, 8}, RICE_1})},
        {"rice_s32_tiles", extension_image(root, {LONG_IMG, {9, 7}, RICE_1, {4, 4}})},
        {"rice_f32_dithered", extension_image(root, {FLOAT_IMG, {10, 6}, RICE_1, {}, false, 4.0f})},
        {"gzip1_u8", extension_image(root, {BYTE_IMG, {7, 5}, GZIP_1})},
        {"gzip2_f32_planes", extension_image(root, {FLOAT_IMG, {5, 4, 3}, GZIP_2})},
    };
    const std::vector<Seed> indexes = {
        {"no_stars", index_description(2, 0, 0, {}, 0)},
        {"small", index_description(3, 8, 6, {}, 0)},
        {"hinted", index_description(0, 24, 40, {}, 1 | 2 | 16)},
        {"bad_grid", index_description(6, 6, 3, {{0, 20, 1000}}, 0)},
        {"bad_bucket_end", index_description(4, 10, 8, {{2, 4008004, 7}}, 4 | 8)},
        {"sky_orion", sky_description(0, 15000, 32000, 1000, 0, 0)},
        {"sky_mirrored", sky_description(2, 50000, 50000, 40000, 1, 16)},
        {"sky_near_pole", sky_description(5, 3000, 65000, 20000, 0, 4 | 8)},
    };
    bool ok = true;
    for (const Seed& seed : indexes) ok = write_file(root + "/index_solve/" + seed.name, seed.bytes) && ok;
    for (const Seed& seed : fits) {
        ok = write_file(root + "/fits_header/" + seed.name, seed.bytes) && ok;
        ok = write_file(root + "/load_image/fits_" + seed.name, with_downsample(3, seed.bytes)) && ok;
    }
    for (const Seed& seed : extensions) {
        ok = seed.bytes.size() > 2880 && ok;
        if (seed.bytes.size() <= 2880) continue;
        const Bytes after_primary(seed.bytes.begin() + 2880, seed.bytes.end());
        ok = write_file(root + "/fits_extension/" + seed.name, after_primary) && ok;
        ok = write_file(root + "/fits_header/ext_" + seed.name, seed.bytes) && ok;
        ok = write_file(root + "/load_image/ext_" + seed.name, with_downsample(1, seed.bytes)) && ok;
    }
    for (const Seed& seed : others) {
        ok = !seed.bytes.empty() && ok;
        ok = write_file(root + "/load_image/" + seed.name, with_downsample(seed.name == "raw3" ? 1 : 2, seed.bytes)) && ok;
    }
    if (!ok) fprintf(stderr, "make_seeds: a seed could not be made or written\n");
    return ok ? 0 : 1;
}
