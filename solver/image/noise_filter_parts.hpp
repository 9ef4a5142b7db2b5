// solver/image/noise_filter_parts.hpp - the parts of the noise filter that have one form
// Its constants, the repair test of one pixel, the smoothing kernel and the edge clamp, as
// solver/image/noise_filter.cpp uses them. The benchmark that keeps the filter's first form
// (bench/identity) shares these instead of copies, so that its reference differs from the
// product only where the product was made faster. Single-precision arithmetic, as the
// detector's thresholds were tuned with it. C++ only; no state; any thread.
#ifndef KESTIL_SOLVER_IMAGE_NOISE_FILTER_PARTS_HPP
#define KESTIL_SOLVER_IMAGE_NOISE_FILTER_PARTS_HPP

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "framework/alloc.h"

namespace kestil_noise_filter_parts {

// Median absolute difference of two samples with independent Gaussian noise of deviation
// sigma: 0.6745 x sqrt(2) x sigma.
constexpr double median_difference_per_sigma = 0.9538870478206527;
constexpr int max_repair_passes = 4;
constexpr int kernel_radius = 3;

template <typename T>
inline T* allocate(size_t count) {
    return static_cast<T*>(kestil_checked_malloc(count * sizeof(T)));
}

// The repair test of one interior pixel of the snapshot; writes the repaired value.
inline bool repair_pixel(const uint16_t* s, size_t width, size_t x, size_t y, float threshold,
                         uint16_t* value) {
    const uint16_t* above = s + (y - 1) * width + x;
    const uint16_t* here = s + y * width + x;
    const uint16_t* below = s + (y + 1) * width + x;
    const int ul = above[-1], u = above[0], ur = above[1];
    const int l = here[-1], r = here[1];
    const int dl = below[-1], d = below[0], dr = below[1];
    const int m = std::min({ul, u, ur, l, r, dl, d, dr});
    const float excess = float(int(here[0]) - m);
    if (!(threshold > excess)) {
        const double tenth = 0.1 * double(excess);
        const double horizontal = double(float(std::max(l, r) - m));
        const double vertical = double(float(std::max(u, d) - m));
        if (tenth > horizontal || tenth > vertical) {
            std::array<int, 8> sorted = {ul, u, ur, l, r, dl, d, dr};
            std::sort(sorted.begin(), sorted.end());
            *value = uint16_t((sorted[3] + sorted[4]) / 2);
            return true;
        }
    }
    return false;
}

// Weights of the 7-tap kernel exp(-i^2/2), i = -3..3, normalised in single precision.
inline std::array<float, 2 * kernel_radius + 1> gaussian_weights() {
    std::array<float, 2 * kernel_radius + 1> w{};
    float sum = 0.0f;
    for (int i = -kernel_radius; i <= kernel_radius; ++i) {
        w[i + kernel_radius] = std::exp(float(-double(i * i) / 2.0));
        sum += w[i + kernel_radius];
    }
    for (float& weight : w) weight = weight / sum;
    return w;
}

inline size_t clamp_index(ptrdiff_t index, size_t size) {
    if (index < 0) return 0;
    if (size_t(index) >= size) return size - 1;
    return size_t(index);
}

}  // namespace kestil_noise_filter_parts

#endif
