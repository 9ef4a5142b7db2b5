// solver/image/dslr_reader.cpp - camera raw files as mono sensor mosaics
#include "solver/image/dslr_reader.h"

#include <cstdlib>

#include "framework/dslr_raw.h"
#include "framework/log.h"
#include "solver/image/pixel_convert.hpp"

namespace {

using namespace kestil::image;

// Converts the framework's sample block into the image; false for a form not read here.
bool convert_samples(const DslrRawImage& raw, SolverImage* image) {
    const size_t count = size_t(raw.width) * raw.height;
    const auto* bytes = static_cast<const unsigned char*>(raw.data);
    uint16_t* out = image->pixels;
    if (raw.bits == 16 && raw.colors == 1 && raw.size >= count * 2) {
        for (size_t i = 0; i < count; ++i) out[i] = load_le16(bytes + 2 * i);
    } else if (raw.bits == 8 && raw.colors == 1 && raw.size >= count) {
        for (size_t i = 0; i < count; ++i) out[i] = uint16_t(bytes[i] * 257u);
    } else if (raw.bits == 8 && raw.colors == 3 && raw.size >= count * 3) {
        for (size_t i = 0; i < count; ++i)
            out[i] = grey_8bit(bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]);
    } else if (raw.bits == 16 && raw.colors == 3 && raw.size >= count * 6) {
        for (size_t i = 0; i < count; ++i) {
            const unsigned char* p = bytes + 6 * i;
            out[i] = grey_16bit(load_le16(p), load_le16(p + 2), load_le16(p + 4));
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace

extern "C" SolverImage* dslr_image(const void* data, int32_t length, const char** message) {
    DslrRawImage raw;
    const int status = kestil_dslr_raw_process_image(data, uint64_t(length < 0 ? 0 : length), &raw);
    if (status != 0 || !raw.data || raw.width == 0 || raw.height == 0) {
        std::free(raw.data);
        *message = "Unsupported image format";
        return nullptr;
    }
    SolverImage* image = new_solver_image(raw.width, raw.height);
    if (!convert_samples(raw, image)) {
        std::free(raw.data);
        std::free(image);
        *message = "Unsupported camera raw image";
        return nullptr;
    }
    std::free(raw.data);
    kestil_debug("%s: %d x %d, %d bit, %d color(s)", "dslr_image", int(raw.width),
                 int(raw.height), int(raw.bits), int(raw.colors));
    return image;
}
