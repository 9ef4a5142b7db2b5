// framework/star_detector_parts.hpp - the parts of the star detector that have one form
// Limits, pixel layouts and working values, the working image, background cells, candidate
// lists, the accepted stars' bookkeeping and the box measurements' pixel access, as
// framework/star_detector.cpp uses them. The benchmark that keeps the detector's first form
// (bench/identity) shares these instead of copies, so that its reference differs from the
// product only where the product was made faster. Positions, units and formats as in
// framework/star_detector.h. C++ only; no state; any thread.
#ifndef KESTIL_FRAMEWORK_STAR_DETECTOR_PARTS_HPP
#define KESTIL_FRAMEWORK_STAR_DETECTOR_PARTS_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "framework/handles.hpp"
#include "framework/log.h"
#include "framework/star_detector.h"

namespace kestil_detector_parts {

constexpr const char* finder_name = "kestil_find_stars_fast_threshold";
constexpr int max_radius = 128;
constexpr int max_dimension = 178956970;
constexpr int max_pixels = 536870911;
constexpr int grid = 12;  // background map: grid x grid cells
constexpr int refine_iterations = 2;

// Layout of one pixel format.
struct PixelLayout {
    int bytes;            // per pixel
    uint16_t saturation;  // largest working value
    bool mono;
};

inline bool pixel_layout(int32_t format, PixelLayout* layout) {
    switch (format) {
        case KESTIL_PIXEL_FORMAT_RAW1: *layout = {1, 255, true}; return true;
        case KESTIL_PIXEL_FORMAT_RAW2: *layout = {2, 65535, true}; return true;
        case KESTIL_PIXEL_FORMAT_RAW3: *layout = {3, 255, false}; return true;
        case KESTIL_PIXEL_FORMAT_RGB6: *layout = {4, 255, false}; return true;
        case KESTIL_PIXEL_FORMAT_BGR6: *layout = {4, 255, false}; return true;
        case KESTIL_PIXEL_FORMAT_RAW6: *layout = {6, 65535, false}; return true;
        default: return false;
    }
}

inline uint16_t load16(const uint8_t* p) {
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline uint16_t median3(uint16_t a, uint16_t b, uint16_t c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Working value of the pixel at `p` (mono sample or median of the colour channels).
inline uint16_t working_value(int32_t format, const uint8_t* p) {
    switch (format) {
        case KESTIL_PIXEL_FORMAT_RAW1: return p[0];
        case KESTIL_PIXEL_FORMAT_RAW2: return load16(p);
        case KESTIL_PIXEL_FORMAT_RAW3: return median3(p[0], p[1], p[2]);
        case KESTIL_PIXEL_FORMAT_RGB6: return median3(p[0], p[1], p[2]);
        case KESTIL_PIXEL_FORMAT_BGR6: return median3(p[1], p[2], p[3]);
        default: return median3(load16(p), load16(p + 2), load16(p + 4));  // RAW6
    }
}

// Fills the working image, one format switch per frame.
template <typename Convert>
inline void convert_frame(const uint8_t* data, size_t pixels, int bytes, uint16_t* work,
                          Convert convert) {
    for (size_t i = 0; i < pixels; ++i) work[i] = convert(data + i * bytes);
}

inline void build_working_image(int32_t format, const uint8_t* data, size_t pixels,
                                uint16_t* work) {
    switch (format) {
        case KESTIL_PIXEL_FORMAT_RAW1:
            for (size_t i = 0; i < pixels; ++i) work[i] = data[i];
            break;
        case KESTIL_PIXEL_FORMAT_RAW2:
            std::memcpy(work, data, pixels * 2);
            break;
        case KESTIL_PIXEL_FORMAT_RAW3:
            convert_frame(data, pixels, 3, work,
                          [](const uint8_t* p) { return median3(p[0], p[1], p[2]); });
            break;
        case KESTIL_PIXEL_FORMAT_RGB6:
            convert_frame(data, pixels, 4, work,
                          [](const uint8_t* p) { return median3(p[0], p[1], p[2]); });
            break;
        case KESTIL_PIXEL_FORMAT_BGR6:
            convert_frame(data, pixels, 4, work,
                          [](const uint8_t* p) { return median3(p[1], p[2], p[3]); });
            break;
        default:  // RAW6
            convert_frame(data, pixels, 6, work, [](const uint8_t* p) {
                return median3(load16(p), load16(p + 2), load16(p + 4));
            });
            break;
    }
}

struct Cell {
    double background;
    double noise;
};

// Start of cell `index` of `cells` along a dimension of `size` pixels.
inline int cell_start(int64_t index, int64_t size) {
    return static_cast<int>(index * size / grid);
}

inline int cell_index(int64_t position, int64_t size) {
    return static_cast<int>(std::min<int64_t>(grid - 1, grid * position / size));
}

struct Candidate {
    int32_t x;
    int32_t y;
    double value;
};

struct CandidateList {
    std::unique_ptr<Candidate, FreeDeleter> items;
    int count = 0;
    int capacity = 0;
};

inline int border_width(int height) {
    if (height >= 80) return 20;
    if (height >= 4) return height / 4;
    return 1;
}

inline void sort_by_value(Candidate* items, int count) {
    if (count < 2) return;
    std::stable_sort(items, items + count,
                     [](const Candidate& a, const Candidate& b) { return a.value > b.value; });
}

struct Frame {
    int32_t format;
    const void* data;
    const uint16_t* work;
    int width;
    int height;
    uint16_t saturation;
};

inline double centre_distance(const Frame& frame, double x, double y) {
    const int half_width = frame.width / 2, half_height = frame.height / 2;
    return std::hypot(x - half_width, y - half_height) / std::min(half_width, half_height);
}

// Marks the new star and every accepted star closer than 2 x radius to it.
inline void mark_close_stars(int radius, DetectedStar* accepted, int accepted_count,
                             DetectedStar* star) {
    const double limit = 4.0 * radius * radius;
    for (int k = 0; k < accepted_count; ++k) {
        const double dx = accepted[k].x - star->x, dy = accepted[k].y - star->y;
        if (dx * dx + dy * dy < limit) {
            kestil_debug("kestil_find_stars(): star (%lf, %lf), too close to #%u = (%lf, %lf)",
                         star->x, star->y, static_cast<unsigned>(k + 1), accepted[k].x,
                         accepted[k].y);
            accepted[k].close_to_other = true;
            star->close_to_other = true;
        }
    }
}

// Common checks of the digest and the profile; the box centre on success.
inline bool box_centre(const void* data, double x, double y, int radius, int width,
                       int height, int* cx, int* cy) {
    if (!data || radius < 1 || radius > max_radius || width <= 1 || height <= 1) return false;
    if (radius > (width - 2) / 2 || radius > (height - 2) / 2) return false;
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    const double rx = std::round(x), ry = std::round(y);  // halves away from zero
    if (rx < radius || ry < radius || rx >= width - radius || ry >= height - radius)
        return false;
    *cx = static_cast<int>(rx);
    *cy = static_cast<int>(ry);
    return true;
}

// Mono value with isolated hot pixels replaced: a pixel more than twice the largest of its
// four diagonal neighbours takes the second largest of them (the third of the five values).
inline uint16_t hot_filtered(const uint8_t* data, int bytes, int width, int height, int x,
                             int y) {
    x = std::clamp(x, 1, width - 2);
    y = std::clamp(y, 1, height - 2);
    auto at = [&](int column, int row) -> uint16_t {
        const uint8_t* p = data + (static_cast<size_t>(row) * width + column) * bytes;
        return bytes == 1 ? p[0] : load16(p);
    };
    const uint16_t centre = at(x, y);
    uint16_t d[4] = {at(x - 1, y - 1), at(x + 1, y - 1), at(x - 1, y + 1), at(x + 1, y + 1)};
    const uint16_t first = std::max(std::max(d[0], d[1]), std::max(d[2], d[3]));
    if (centre <= 2 * static_cast<uint32_t>(first)) return centre;
    // second largest of the four diagonals
    std::sort(d, d + 4);
    return d[2];
}

// Values of the box's outer ring (8 x radius of them).
inline int ring_values(const uint16_t* box, int radius, double* ring) {
    const int side = 2 * radius + 1;
    int n = 0;
    for (int column = 0; column < side; ++column) {
        ring[n++] = box[column];
        ring[n++] = box[static_cast<size_t>(side - 1) * side + column];
    }
    for (int row = 1; row < side - 1; ++row) {
        ring[n++] = box[static_cast<size_t>(row) * side];
        ring[n++] = box[static_cast<size_t>(row) * side + side - 1];
    }
    return n;
}

inline double mean_of(const double* values, int count) {
    double sum = 0.0;
    for (int i = 0; i < count; ++i) sum += values[i];
    return sum / count;
}

}  // namespace kestil_detector_parts

#endif
