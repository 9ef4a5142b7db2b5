// solver/image/pixel_convert.hpp - grey conversion and binning kernels shared by the readers
// Colour becomes grey as 0.299 R + 0.587 G + 0.114 B in single precision, summed in that order;
// results are truncated after adding 0.5 and kept to their low 16 bits.
#ifndef KESTIL_SOLVER_IMAGE_PIXEL_CONVERT_HPP
#define KESTIL_SOLVER_IMAGE_PIXEL_CONVERT_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "framework/alloc.h"

namespace kestil::image {

static_assert(std::endian::native == std::endian::little, "raw samples are read as stored");

constexpr float red_weight = 0.299f;
constexpr float green_weight = 0.587f;
constexpr float blue_weight = 0.114f;

inline float grey_of(float r, float g, float b) {
    return r * red_weight + g * green_weight + b * blue_weight;
}

// Truncates toward zero and keeps the low 16 bits. Values no 32-bit integer can hold (only
// produced by degenerate ranges, never by valid data) and NaN give 0 instead of undefined
// behaviour.
inline uint16_t truncate_sample(float value) {
    if (!(value > -2147483648.0f && value < 2147483648.0f)) return 0;
    return static_cast<uint16_t>(static_cast<int32_t>(value));
}

inline uint16_t grey_8bit(uint8_t r, uint8_t g, uint8_t b) {
    return truncate_sample(grey_of(r, g, b) * 257.0f + 0.5f);
}

inline uint16_t grey_16bit(uint16_t r, uint16_t g, uint16_t b) {
    return truncate_sample(grey_of(r, g, b) + 0.5f);
}

inline uint16_t load_le16(const unsigned char* bytes) {
    uint16_t value;
    std::memcpy(&value, bytes, 2);
    return value;
}

// Sample sources for the binning kernel: aligned 16-bit samples, or little-endian byte pairs
// at any address (a raw file's pixels inside the caller's buffer).
struct SampleArray {
    const uint16_t* samples;
    uint32_t operator[](size_t index) const { return samples[index]; }
};
struct LittleEndianBytes {
    const unsigned char* bytes;
    uint32_t operator[](size_t index) const { return load_le16(bytes + 2 * index); }
};

// Box average of factor x factor cells (see binning.h). Output row r is written only after
// its source rows are read and lies at or before them, so source and destination may be the
// same array. The accumulators are one output row of 32-bit sums.
template <typename Source>
void bin_samples(Source source, uint32_t width, uint32_t height, uint32_t factor,
                 uint16_t* destination) {
    const size_t out_width = width / factor;
    const size_t out_height = height / factor;
    if (factor == 2) {
        // Each output sample reads its four sources just before it is written; the sample it
        // overwrites has been read already, so the in-place rule holds here too.
        for (size_t r = 0; r < out_height; ++r) {
            const size_t top = 2 * r * width;
            const size_t bottom = top + width;
            uint16_t* out = destination + r * out_width;
            for (size_t k = 0; k < out_width; ++k) {
                const uint32_t sum = source[top + 2 * k] + source[top + 2 * k + 1] +
                                     source[bottom + 2 * k] + source[bottom + 2 * k + 1];
                out[k] = static_cast<uint16_t>(sum / 4);
            }
        }
        return;
    }
    auto* sums = static_cast<uint32_t*>(kestil_checked_malloc((out_width ? out_width : 1) * 4));
    const uint32_t cell = factor * factor;
    for (size_t r = 0; r < out_height; ++r) {
        std::memset(sums, 0, out_width * 4);
        for (size_t row = r * factor; row < (r + 1) * factor; ++row) {
            const size_t start = row * width;
            for (size_t k = 0; k < out_width; ++k) {
                uint32_t sum = 0;
                for (size_t i = 0; i < factor; ++i) sum += source[start + k * factor + i];
                sums[k] += sum;
            }
        }
        uint16_t* out = destination + r * out_width;
        for (size_t k = 0; k < out_width; ++k) out[k] = static_cast<uint16_t>(sums[k] / cell);
    }
    std::free(sums);
}

}  // namespace kestil::image

#endif
