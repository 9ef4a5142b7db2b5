// python/array_image.cpp - a 2-D array of samples as the framework's raw image file (RAW2)
#include "python/array_image.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "solver/image/solver_image.h"

namespace kestil::python {

namespace {

constexpr size_t header_size = sizeof(RawImageHeader);

void store_le32(unsigned char* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A RAW2 file of width x height whose samples come from sample(i), i in row-major order.
template <typename Sample>
std::vector<unsigned char> raw2_file(uint32_t width, uint32_t height, Sample sample) {
    const size_t count = size_t(width) * height;
    std::vector<unsigned char> bytes(header_size + 2 * count);
    store_le32(bytes.data(), PIXEL_FORMAT_RAW2);
    store_le32(bytes.data() + 4, width);
    store_le32(bytes.data() + 8, height);
    unsigned char* out = bytes.data() + header_size;
    for (size_t i = 0; i < count; ++i) {
        uint16_t value = sample(i);
        out[2 * i] = static_cast<unsigned char>(value);
        out[2 * i + 1] = static_cast<unsigned char>(value >> 8);
    }
    return bytes;
}

}  // namespace

std::vector<unsigned char> raw2_from_u8(const uint8_t* samples, uint32_t width, uint32_t height) {
    return raw2_file(width, height,
                     [samples](size_t i) { return static_cast<uint16_t>(samples[i] * 257u); });
}

std::vector<unsigned char> raw2_from_u16(const uint16_t* samples, uint32_t width,
                                         uint32_t height) {
    return raw2_file(width, height, [samples](size_t i) { return samples[i]; });
}

std::vector<unsigned char> raw2_from_real(const double* samples, uint32_t width,
                                          uint32_t height) {
    const size_t count = size_t(width) * height;
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(samples[i])) continue;
        low = std::min(low, samples[i]);
        high = std::max(high, samples[i]);
    }
    // Constant or no finite value: every sample 0. Halves keep the span finite for values near
    // the ends of the double range; the ratio to it lies in 0..1.
    const double span = high * 0.5 - low * 0.5;
    const bool flat = !(span > 0.0);
    return raw2_file(width, height, [=](size_t i) {
        double v = samples[i];
        if (flat || !std::isfinite(v)) return uint16_t(0);
        double scaled = (v * 0.5 - low * 0.5) / span * 65535.0;
        return static_cast<uint16_t>(std::clamp(std::floor(scaled + 0.5), 0.0, 65535.0));
    });
}

}  // namespace kestil::python
