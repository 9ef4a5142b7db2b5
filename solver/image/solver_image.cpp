// solver/image/solver_image.cpp - the working image, format detection and the raw image path
#include "solver/image/solver_image.h"

#include <climits>
#include <cstring>
#include <string_view>

#include "framework/alloc.h"
#include "framework/raw_image.h"
#include "solver/image/binning.h"
#include "solver/image/dslr_reader.h"
#include "solver/image/fits_reader.h"
#include "solver/image/jpeg_reader.h"
#include "solver/image/pixel_convert.hpp"

namespace {

using namespace kestil::image;

constexpr size_t raw_header_size = sizeof(RawImageHeader);
constexpr uint32_t max_raw_side = 65535;
constexpr uint32_t max_raw_pixels = 0x1FFFFFFF;

// The factor actually applied: at least 1; for a Bayer mosaic even and at least 2, so that
// whole 2 x 2 colour cells are merged.
int32_t effective_factor(int32_t downsample, bool bayer) {
    int32_t factor = downsample < 1 ? 1 : downsample;
    if (bayer) {
        if (factor < 2) factor = 2;
        if (factor % 2 != 0) factor = factor == INT32_MAX ? factor - 1 : factor + 1;
    }
    return factor;
}

bool too_small(uint32_t width, uint32_t height, int32_t factor) {
    return width / uint32_t(factor) == 0 || height / uint32_t(factor) == 0;
}

// "BAYERPAT" anywhere in the bytes after the pixels of a mono raw image.
bool trailer_declares_bayer(const unsigned char* trailer, size_t trailer_length) {
    if (trailer_length < 8) return false;
    const std::string_view text(reinterpret_cast<const char*>(trailer), trailer_length);
    return text.find("BAYERPAT") != std::string_view::npos;
}

// Full-size conversion of the 8-bit and colour layouts.
SolverImage* convert_raw(uint32_t signature, const unsigned char* pixels, uint32_t width,
                         uint32_t height) {
    SolverImage* image = new_solver_image(width, height);
    const size_t count = size_t(width) * height;
    uint16_t* out = image->pixels;
    switch (signature) {
        case PIXEL_FORMAT_RAW1:
            for (size_t i = 0; i < count; ++i) out[i] = uint16_t(pixels[i] * 257u);
            break;
        case PIXEL_FORMAT_RAW3:
            for (size_t i = 0; i < count; ++i)
                out[i] = grey_8bit(pixels[3 * i], pixels[3 * i + 1], pixels[3 * i + 2]);
            break;
        case PIXEL_FORMAT_RAW6:
            for (size_t i = 0; i < count; ++i) {
                const unsigned char* p = pixels + 6 * i;
                out[i] = grey_16bit(load_le16(p), load_le16(p + 2), load_le16(p + 4));
            }
            break;
        default:
            break;
    }
    return image;
}

SolverImage* load_raw(const unsigned char* data, int32_t length, int32_t downsample,
                      int32_t* bin_factor, uint32_t* width_out, uint32_t* height_out,
                      bool* bayer, const char** message) {
    if (!kestil_validate_raw_image(data, length)) {
        *message = "Invalid or truncated RAW image";
        return nullptr;
    }
    RawImageHeader header;
    std::memcpy(&header, data, raw_header_size);
    const uint32_t width = header.width, height = header.height;
    if (width > max_raw_side || height > max_raw_side || width > max_raw_pixels / height) {
        *message = "Unsupported RAW image geometry";
        return nullptr;
    }
    const uint32_t bytes_per_pixel = header.signature == PIXEL_FORMAT_RAW1   ? 1
                                     : header.signature == PIXEL_FORMAT_RAW2 ? 2
                                     : header.signature == PIXEL_FORMAT_RAW3 ? 3
                                                                             : 6;
    const size_t pixel_bytes = size_t(width) * height * bytes_per_pixel;
    const unsigned char* pixels = data + raw_header_size;
    if (header.signature == PIXEL_FORMAT_RAW1 || header.signature == PIXEL_FORMAT_RAW2) {
        const size_t trailer_length = size_t(length) - raw_header_size - pixel_bytes;
        if (trailer_declares_bayer(pixels + pixel_bytes, trailer_length)) *bayer = true;
    }
    const int32_t factor = effective_factor(downsample, *bayer);
    *bin_factor = factor;
    if (too_small(width, height, factor)) {
        *message = "Image is too small for downsampling";
        return nullptr;
    }
    SolverImage* image;
    if (header.signature == PIXEL_FORMAT_RAW2) {
        // Binned straight from the caller's buffer: no full-size copy.
        image = new_solver_image(width / factor, height / factor);
        if (factor == 1)
            std::memcpy(image->pixels, pixels, pixel_bytes);
        else
            bin_samples(LittleEndianBytes{pixels}, width, height, uint32_t(factor),
                        image->pixels);
    } else {
        image = convert_raw(header.signature, pixels, width, height);
        kestil_solver_bin_image(image, factor);
    }
    *width_out = width;
    *height_out = height;
    return image;
}

SolverImage* load_fits(const unsigned char* data, int32_t length, int32_t downsample,
                       int32_t* bin_factor, uint32_t* width_out, uint32_t* height_out,
                       bool* bayer, const char** message) {
    FitsInfo info;
    if (!parse_fits_header(data, length, &info, bayer, message)) return nullptr;
    const int32_t factor = effective_factor(downsample, *bayer);
    *bin_factor = factor;
    if (too_small(uint32_t(info.width), uint32_t(info.height), factor)) {
        *message = "Image is too small for downsampling";
        return nullptr;
    }
    *width_out = uint32_t(info.width);
    *height_out = uint32_t(info.height);
    return fits_image(&info, factor);
}

// JPEG and camera raw: decoded at full size, never a Bayer mosaic, binned in place.
SolverImage* bin_decoded(SolverImage* image, int32_t downsample, int32_t* bin_factor,
                         uint32_t* width_out, uint32_t* height_out, const char** message) {
    if (!image) return nullptr;
    const int32_t factor = effective_factor(downsample, false);
    *bin_factor = factor;
    const uint32_t width = image->width, height = image->height;
    if (too_small(width, height, factor)) {
        std::free(image);
        *message = "Image is too small for downsampling";
        return nullptr;
    }
    kestil_solver_bin_image(image, factor);
    *width_out = width;
    *height_out = height;
    return image;
}

bool starts_with(const unsigned char* data, int32_t length, std::string_view prefix) {
    return size_t(length) >= prefix.size() && std::memcmp(data, prefix.data(), prefix.size()) == 0;
}

}  // namespace

extern "C" SolverImage* new_solver_image(uint32_t width, uint32_t height) {
    const size_t bytes = sizeof(SolverImage) + size_t(width) * height * sizeof(uint16_t);
    auto* image = static_cast<SolverImage*>(kestil_checked_calloc(1, bytes));
    image->signature = PIXEL_FORMAT_RAW2;
    image->width = width;
    image->height = height;
    return image;
}

extern "C" SolverImage* kestil_solver_load_image(const void* data, int32_t length,
                                                 int32_t downsample, int32_t* bin_factor,
                                                 int32_t* image_width, int32_t* image_height,
                                                 bool* bayer, const char** message) {
    *bayer = false;
    if (!data || length < 0) {
        *message = "Invalid image data";
        return nullptr;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint32_t width = 0, height = 0;
    SolverImage* image;
    if (starts_with(bytes, length, "RAW1") || starts_with(bytes, length, "RAW2") ||
        starts_with(bytes, length, "RAW3") || starts_with(bytes, length, "RAW6")) {
        image = load_raw(bytes, length, downsample, bin_factor, &width, &height, bayer, message);
    } else if (starts_with(bytes, length, "SIMPLE  =")) {
        image = load_fits(bytes, length, downsample, bin_factor, &width, &height, bayer, message);
    } else if (starts_with(bytes, length, "\xFF\xD8\xFF")) {
        image = bin_decoded(jpeg_image(bytes, uint32_t(length), message), downsample,
                            bin_factor, &width, &height, message);
    } else {
        image = bin_decoded(dslr_image(bytes, length, message), downsample, bin_factor, &width,
                            &height, message);
    }
    if (!image) return nullptr;
    *image_width = int32_t(width);
    *image_height = int32_t(height);
    return image;
}
