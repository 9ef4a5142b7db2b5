// bench/identity/reference_noise_filter.cpp - the noise filter in its first, straightforward form
// The filter as it was first written (whole-image snapshot per repair pass, full float image for
// the smoothing, one histogram for the noise), kept here unchanged apart from its names so that
// solve_identity can check the product's faster filter against it. The parts that never changed
// come from solver/image/noise_filter_parts.hpp, as in the product. Not part of the product.
// Single-precision arithmetic throughout, as the detector's thresholds were tuned with it.
#include "bench/identity/reference_noise_filter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "framework/alloc.h"
#include "framework/log.h"
#include "solver/image/noise_filter_parts.hpp"

namespace identity {

namespace {

using namespace kestil_noise_filter_parts;

// Noise of the image from the differences of horizontal neighbours: the larger of 1, the
// smallest non-zero difference and the median difference scaled to a Gaussian sigma.
float estimate_noise(const uint16_t* pixels, size_t width, size_t height) {
    auto* histogram = static_cast<uint32_t*>(kestil_checked_calloc(65536, sizeof(uint32_t)));
    for (size_t y = 0; y < height; ++y) {
        const uint16_t* row = pixels + y * width;
        for (size_t x = 1; x < width; ++x) {
            const int difference = int(row[x]) - int(row[x - 1]);
            ++histogram[difference < 0 ? -difference : difference];
        }
    }
    const uint64_t total = uint64_t(height) * (width - 1);
    uint32_t smallest = 0;
    for (uint32_t d = 1; d < 65536; ++d)
        if (histogram[d]) {
            smallest = d;
            break;
        }
    uint32_t median = 0;
    uint64_t cumulative = 0;
    for (uint32_t d = 0; d < 65536; ++d) {
        cumulative += histogram[d];
        if (2 * cumulative >= total) {
            median = d;
            break;
        }
    }
    std::free(histogram);
    if (median == 0) median = 1;
    const float from_median = float(median / median_difference_per_sigma);
    return std::max({1.0f, float(smallest), from_median});
}

}  // namespace

uint32_t reference_replace_defective_pixels(const uint16_t* source, uint16_t* destination,
                                            int width, int height, float noise_sigma) {
    const size_t w = size_t(width), h = size_t(height);
    const size_t count = w * h;
    std::memcpy(destination, source, count * sizeof(uint16_t));
    if (width < 3 || height < 3) return 0;
    uint16_t* snapshot = allocate<uint16_t>(count);
    const float threshold = 10.0f * noise_sigma;
    uint32_t total = 0;
    for (int pass = 0; pass < max_repair_passes; ++pass) {
        std::memcpy(snapshot, destination, count * sizeof(uint16_t));
        uint32_t replaced = 0;
        for (size_t y = 1; y + 1 < h; ++y)
            for (size_t x = 1; x + 1 < w; ++x) {
                uint16_t value;
                if (repair_pixel(snapshot, w, x, y, threshold, &value)) {
                    destination[y * w + x] = value;
                    ++replaced;
                }
            }
        total += replaced;
        if (replaced == 0) break;
    }
    std::free(snapshot);
    return total;
}

namespace {

void smooth_rows(const uint16_t* source, float* out, size_t w, size_t h,
                 const std::array<float, 7>& k) {
    for (size_t y = 0; y < h; ++y) {
        const uint16_t* row = source + y * w;
        float* o = out + y * w;
        for (size_t x = 0; x < w; ++x) {
            if (x >= kernel_radius && x + kernel_radius < w) {
                const uint16_t* p = row + x - kernel_radius;
                float s = float(p[0]) * k[0];
                s += float(p[1]) * k[1];
                s += float(p[2]) * k[2];
                s += float(p[3]) * k[3];
                s += float(p[4]) * k[4];
                s += float(p[5]) * k[5];
                s += float(p[6]) * k[6];
                o[x] = s;
            } else {
                float s = 0.0f;
                for (int i = -kernel_radius; i <= kernel_radius; ++i)
                    s += float(row[clamp_index(ptrdiff_t(x) + i, w)]) * k[i + kernel_radius];
                o[x] = s;
            }
        }
    }
}

void smooth_columns(const float* in, uint16_t* destination, size_t w, size_t h,
                    const std::array<float, 7>& k) {
    for (size_t y = 0; y < h; ++y) {
        const float* rows[7];
        for (int i = -kernel_radius; i <= kernel_radius; ++i)
            rows[i + kernel_radius] = in + clamp_index(ptrdiff_t(y) + i, h) * w;
        uint16_t* o = destination + y * w;
        for (size_t x = 0; x < w; ++x) {
            float s = rows[0][x] * k[0];
            s += rows[1][x] * k[1];
            s += rows[2][x] * k[2];
            s += rows[3][x] * k[3];
            s += rows[4][x] * k[4];
            s += rows[5][x] * k[5];
            s += rows[6][x] * k[6];
            // The weights sum to 1 within rounding: the result stays within 0..65535.
            o[x] = uint16_t(int32_t(s + 0.5f));
        }
    }
}

}  // namespace

void reference_gaussian_smooth(const uint16_t* source, uint16_t* destination, int width,
                               int height) {
    if (width < 1 || height < 1) return;
    const size_t w = size_t(width), h = size_t(height);
    const auto weights = gaussian_weights();
    float* horizontal = allocate<float>(w * h);
    smooth_rows(source, horizontal, w, h, weights);
    smooth_columns(horizontal, destination, w, h, weights);
    std::free(horizontal);
}

uint16_t* reference_filtered_image(const SolverImage* image) {
    if (image->width < 3 || image->height < 3) return nullptr;
    const size_t w = image->width, h = image->height;
    const size_t count = w * h;
    if (image->signature != PIXEL_FORMAT_RAW2 && image->signature != PIXEL_FORMAT_RAW1)
        return nullptr;
    uint16_t* a = allocate<uint16_t>(count);
    if (image->signature == PIXEL_FORMAT_RAW2) {
        std::memcpy(a, image->pixels, count * sizeof(uint16_t));
    } else {
        const auto* bytes = reinterpret_cast<const uint8_t*>(image->pixels);
        for (size_t i = 0; i < count; ++i) a[i] = bytes[i];
    }
    const float noise_sigma = estimate_noise(a, w, h);
    uint16_t* b = allocate<uint16_t>(count);
    const uint32_t replaced =
        reference_replace_defective_pixels(a, b, int(w), int(h), noise_sigma);
    reference_gaussian_smooth(b, a, int(w), int(h));
    std::free(b);
    kestil_debug("%s: noise sigma %.1f, %d defective pixels replaced", "reference_filtered_image",
                 double(noise_sigma), int(replaced));
    return a;
}

}  // namespace identity
