// framework/raw_image.cpp - validation of the framework's raw image format
#include "framework/raw_image.h"

#include <cstring>

namespace {

constexpr int32_t max_count = 2147483647;

// Bytes per pixel of a raw layout; 0 for an unknown signature.
uint32_t raw_bytes_per_pixel(const unsigned char* signature) {
    if (std::memcmp(signature, "RAW", 3) != 0) return 0;
    switch (signature[3]) {
        case '1': return 1;
        case '2': return 2;
        case '3': return 3;
        case '6': return 6;
        default: return 0;
    }
}

uint32_t read_le32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

}  // namespace

extern "C" bool kestil_validate_raw_image(const void* data, int32_t size) {
    if (!data || size < 12) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const uint32_t bytes_per_pixel = raw_bytes_per_pixel(bytes);
    if (bytes_per_pixel == 0) return false;
    const uint32_t width = read_le32(bytes + 4);
    const uint32_t height = read_le32(bytes + 8);
    if (width == 0 || height == 0) return false;
    if (width > max_count / bytes_per_pixel) return false;
    if (height > (max_count / bytes_per_pixel) / width) return false;
    // Both limits keep the product within a signed 32-bit count.
    const uint64_t pixel_bytes = uint64_t(width) * height * bytes_per_pixel;
    return pixel_bytes <= uint64_t(size) - 12;
}
