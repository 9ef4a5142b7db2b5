// solver/image/noise_filter.cpp - noise estimate, defective-pixel repair and Gaussian smoothing
// Single-precision arithmetic throughout, as the detector's thresholds were tuned with it.
#include "solver/image/noise_filter.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "framework/alloc.h"
#include "framework/log.h"
#include "solver/image/noise_filter_parts.hpp"

namespace {

using namespace kestil_noise_filter_parts;

// Noise of the image from the differences of horizontal neighbours: the larger of 1, the
// smallest non-zero difference and the median difference scaled to a Gaussian sigma.
float estimate_noise(const uint16_t* pixels, size_t width, size_t height) {
    auto* histogram = static_cast<uint32_t*>(kestil_checked_calloc(65536, sizeof(uint32_t)));
    // Small differences, the usual ones, are counted in four interleaved tables so that
    // neighbouring equal differences do not wait for each other's increment.
    uint32_t small[4][256] = {};
    for (size_t y = 0; y < height; ++y) {
        const uint16_t* row = pixels + y * width;
        for (size_t x = 1; x < width; ++x) {
            const int difference = int(row[x]) - int(row[x - 1]);
            const unsigned magnitude = unsigned(difference < 0 ? -difference : difference);
            if (magnitude < 256)
                ++small[x & 3][magnitude];
            else
                ++histogram[magnitude];
        }
    }
    for (const auto& table : small)
        for (unsigned d = 0; d < 256; ++d) histogram[d] += table[d];
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

// Smallest excess over the darkest neighbour that can pass the ten-sigma test, as an integer:
// a cheap pre-test before the exact single-precision one. NaN lets every pixel through.
int32_t least_excess(float threshold) {
    if (std::isnan(threshold)) return INT32_MIN;
    if (threshold > 70000.0f) return 70000;  // no excess of 16-bit samples gets there
    if (threshold < -70000.0f) return -70000;
    return int32_t(std::floor(threshold)) - 1;
}

// One repair pass over every interior pixel of the snapshot, writing into out (which may
// differ from the snapshot only where this pass writes). The darkest neighbours of a row are
// found with column minima first, a loop the compiler vectorises.
// Result: the number of pixels written; their indices go to replaced while there are at most
// limit of them (more are not needed: the next pass is a full one then).
size_t full_pass(const uint16_t* snapshot, uint16_t* out, size_t w, size_t h, float threshold,
                 size_t limit, std::vector<size_t>* replaced) {
    size_t written = 0;
    const int32_t least = least_excess(threshold);
    std::vector<uint16_t> column_min(w), darkest(w);
    for (size_t y = 1; y + 1 < h; ++y) {
        const uint16_t* above = snapshot + (y - 1) * w;
        const uint16_t* here = snapshot + y * w;
        const uint16_t* below = snapshot + (y + 1) * w;
        for (size_t x = 0; x < w; ++x)
            column_min[x] = std::min(std::min(above[x], here[x]), below[x]);
        for (size_t x = 1; x + 1 < w; ++x)
            darkest[x] = std::min(std::min(column_min[x - 1], column_min[x + 1]),
                                  std::min(above[x], below[x]));
        for (size_t x = 1; x + 1 < w; ++x) {
            if (int32_t(here[x]) - int32_t(darkest[x]) < least) continue;
            uint16_t value;
            if (repair_pixel(snapshot, w, x, y, threshold, &value)) {
                out[y * w + x] = value;
                if (++written <= limit) replaced->push_back(y * w + x);
            }
        }
    }
    return written;
}

// A later pass: only pixels next to (or at) a pixel written by the previous pass can decide
// differently from it, so only those are tested, against the image as the previous pass left
// it; the writes are applied after the pass.
size_t sparse_pass(uint16_t* image, size_t w, size_t h, float threshold,
                   const std::vector<size_t>& previous, std::vector<size_t>* replaced) {
    std::vector<size_t> candidates;
    candidates.reserve(previous.size() * 9);
    for (size_t index : previous) {
        const size_t y = index / w, x = index % w;
        for (size_t cy = y - 1; cy <= y + 1; ++cy)
            for (size_t cx = x - 1; cx <= x + 1; ++cx)
                if (cy >= 1 && cy + 1 < h && cx >= 1 && cx + 1 < w) candidates.push_back(cy * w + cx);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    std::vector<std::pair<size_t, uint16_t>> writes;
    for (size_t index : candidates) {
        uint16_t value;
        if (repair_pixel(image, w, index % w, index / w, threshold, &value))
            writes.emplace_back(index, value);
    }
    for (const auto& [index, value] : writes) {
        image[index] = value;
        replaced->push_back(index);
    }
    return writes.size();
}

}  // namespace

extern "C" uint32_t replace_defective_pixels(const uint16_t* source, uint16_t* destination,
                                             int width, int height, float noise_sigma) {
    const size_t w = size_t(width), h = size_t(height);
    const size_t count = w * h;
    if (source != destination) std::memmove(destination, source, count * sizeof(uint16_t));
    if (width < 3 || height < 3) return 0;
    const float threshold = 10.0f * noise_sigma;
    // Each pass reads a snapshot of the image as the previous pass left it. The first pass
    // reads the source itself; later passes test only around the previous pass's writes while
    // those are few, else they take a full snapshot.
    const size_t sparse_limit = count / 64;
    uint16_t* snapshot = nullptr;
    std::vector<size_t> previous, replaced;
    size_t previous_count = 0;
    uint32_t total = 0;
    for (int pass = 0; pass < max_repair_passes; ++pass) {
        replaced.clear();
        size_t written;
        if (pass == 0 && source != destination) {
            written = full_pass(source, destination, w, h, threshold, sparse_limit, &replaced);
        } else if (pass > 0 && previous_count <= sparse_limit) {
            written = sparse_pass(destination, w, h, threshold, previous, &replaced);
        } else {
            if (!snapshot) snapshot = allocate<uint16_t>(count);
            std::memcpy(snapshot, destination, count * sizeof(uint16_t));
            written = full_pass(snapshot, destination, w, h, threshold, sparse_limit, &replaced);
        }
        total += uint32_t(written);
        if (written == 0) break;
        previous.swap(replaced);
        previous_count = written;
    }
    std::free(snapshot);
    return total;
}

namespace {

// One row of the horizontal pass. Interior columns take the seven samples directly (a loop the
// compiler vectorises); the three columns at each end repeat the edge sample.
void smooth_row(const uint16_t* row, float* out, size_t w, const std::array<float, 7>& k) {
    const size_t first_interior = std::min<size_t>(kernel_radius, w);
    const size_t end_interior = w > 2 * kernel_radius ? w - kernel_radius : first_interior;
    for (size_t x = first_interior; x < end_interior; ++x) {
        const uint16_t* p = row + x - kernel_radius;
        float s = float(p[0]) * k[0];
        s += float(p[1]) * k[1];
        s += float(p[2]) * k[2];
        s += float(p[3]) * k[3];
        s += float(p[4]) * k[4];
        s += float(p[5]) * k[5];
        s += float(p[6]) * k[6];
        out[x] = s;
    }
    const auto edge = [&](size_t x) {
        float s = float(row[clamp_index(ptrdiff_t(x) - kernel_radius, w)]) * k[0];
        for (int i = -kernel_radius + 1; i <= kernel_radius; ++i)
            s += float(row[clamp_index(ptrdiff_t(x) + i, w)]) * k[i + kernel_radius];
        out[x] = s;
    };
    for (size_t x = 0; x < first_interior; ++x) edge(x);
    for (size_t x = end_interior; x < w; ++x) edge(x);
}

// One row of the vertical pass over seven horizontal-pass rows, rounded to 16 bits.
void smooth_column_row(const float* const* rows, uint16_t* out, size_t w,
                       const std::array<float, 7>& k) {
    for (size_t x = 0; x < w; ++x) {
        float s = rows[0][x] * k[0];
        s += rows[1][x] * k[1];
        s += rows[2][x] * k[2];
        s += rows[3][x] * k[3];
        s += rows[4][x] * k[4];
        s += rows[5][x] * k[5];
        s += rows[6][x] * k[6];
        // The weights sum to 1 within rounding: the result stays within 0..65535.
        out[x] = uint16_t(int32_t(s + 0.5f));
    }
}

}  // namespace

extern "C" void gaussian_smooth(const uint16_t* source, uint16_t* destination, int width,
                                int height) {
    if (width < 1 || height < 1) return;
    const size_t w = size_t(width), h = size_t(height);
    const auto weights = gaussian_weights();
    // The horizontal pass is kept for the last eight rows only: an output row needs the seven
    // around it, so the ring never overwrites a row still in use.
    constexpr size_t ring_rows = 8;
    float* ring = allocate<float>(ring_rows * w);
    size_t computed = 0;  // horizontal rows done
    for (size_t y = 0; y < h; ++y) {
        const size_t needed = std::min(y + kernel_radius, h - 1) + 1;
        for (; computed < needed; ++computed)
            smooth_row(source + computed * w, ring + (computed % ring_rows) * w, w, weights);
        const float* rows[7];
        for (int i = -kernel_radius; i <= kernel_radius; ++i)
            rows[i + kernel_radius] = ring + (clamp_index(ptrdiff_t(y) + i, h) % ring_rows) * w;
        smooth_column_row(rows, destination + y * w, w, weights);
    }
    std::free(ring);
}

extern "C" uint16_t* filtered_image(const SolverImage* image) {
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
    const uint32_t replaced = replace_defective_pixels(a, b, int(w), int(h), noise_sigma);
    gaussian_smooth(b, a, int(w), int(h));
    std::free(b);
    kestil_debug("%s: noise sigma %.1f, %d defective pixels replaced", "filtered_image",
                 double(noise_sigma), int(replaced));
    return a;
}
