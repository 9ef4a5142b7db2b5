// bench/identity/reference_star_detector.cpp - the star detector in its first, straightforward form
// The framework's star finder and its box measurements as they were first written (histograms
// built per cell, the local median by nth_element, a copied working image, every pixel scanned,
// the hot-pixel filter per box value), kept here unchanged apart from their names so that
// solve_identity can check the product's faster detector against it. The parts that never
// changed come from framework/star_detector_parts.hpp, as in the product. Not part of the
// product.
#include "bench/identity/reference_star_detector.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "framework/alloc.h"
#include "framework/handles.hpp"
#include "framework/log.h"
#include "framework/star_detector_parts.hpp"

static_assert(std::endian::native == std::endian::little,
              "16-bit samples are read as little-endian host words");

namespace identity {

namespace {

using namespace kestil_detector_parts;

// ---------------------------------------------------------------------------------------------
// Background and noise map

// Histogram scratch for the cells: one bin per possible 16-bit value, twice (values and
// deviations). Null when it could not be allocated: every cell then uses mean and deviation.
struct Histograms {
    std::unique_ptr<uint32_t, FreeDeleter> values;
    std::unique_ptr<uint32_t, FreeDeleter> deviations;
};

// First bin whose running count exceeds `half`; -1 when none does.
int running_median_bin(const uint32_t* bins, int count, uint32_t half) {
    uint64_t running = 0;
    for (int k = 0; k < count; ++k) {
        running += bins[k];
        if (running > half) return k;
    }
    return -1;
}

// Background (median) and noise (1.4826 x MAD) of the pixels [x0, x1) x [y0, y1), by
// histograms over the cell's value range; mean and standard deviation when the cell is mostly
// saturated or no histogram is available.
Cell cell_statistics(const uint16_t* work, int width, int x0, int x1, int y0, int y1,
                     uint16_t saturation, Histograms& histograms) {
    if (x1 <= x0 || y1 <= y0) return {0.0, 0.0};
    uint64_t n = 0, sum = 0, sum_squares = 0;
    uint16_t low = 65535, high = 0;
    for (int y = y0; y < y1; ++y) {
        const uint16_t* row = work + static_cast<size_t>(y) * width;
        for (int x = x0; x < x1; ++x) {
            uint16_t v = row[x];
            sum += v;
            sum_squares += static_cast<uint64_t>(v) * v;
            low = std::min(low, v);
            high = std::max(high, v);
        }
        n += static_cast<uint64_t>(x1 - x0);
    }
    const double mean = static_cast<double>(sum) / static_cast<double>(n);
    const Cell moments{mean, std::sqrt(std::fabs(static_cast<double>(sum_squares) /
                                                     static_cast<double>(n) -
                                                 mean * mean))};
    if (!histograms.values || !histograms.deviations) return moments;

    const int bins = high - low + 1;
    uint32_t* values = histograms.values.get();
    std::fill(values, values + bins, 0u);
    uint64_t m = 0;
    for (int y = y0; y < y1; ++y) {
        const uint16_t* row = work + static_cast<size_t>(y) * width;
        for (int x = x0; x < x1; ++x) {
            uint16_t v = row[x];
            if (v < saturation) {
                ++values[v - low];
                ++m;
            }
        }
    }
    // A cell with no unsaturated pixel at all has no median: also mean and deviation.
    if (m < n / 10 || m == 0) return moments;
    const uint32_t half = static_cast<uint32_t>(m / 2);
    const int median = running_median_bin(values, bins, half);
    uint32_t* deviations = histograms.deviations.get();
    std::fill(deviations, deviations + bins, 0u);
    for (int k = 0; k < bins; ++k) deviations[std::abs(k - median)] += values[k];
    const int mad = running_median_bin(deviations, bins, half);
    return {static_cast<double>(low) + median, 1.4826 * mad};
}

void background_map(const uint16_t* work, int width, int height, uint16_t saturation,
                    Cell map[grid][grid]) {
    // A failed histogram allocation is not fatal: the cells fall back to mean and deviation.
    Histograms histograms{
        std::unique_ptr<uint32_t, FreeDeleter>(
            static_cast<uint32_t*>(std::malloc(65536 * sizeof(uint32_t)))),
        std::unique_ptr<uint32_t, FreeDeleter>(
            static_cast<uint32_t*>(std::malloc(65536 * sizeof(uint32_t))))};
    for (int r = 0; r < grid; ++r) {
        const int y0 = cell_start(r, height);
        const int y1 = std::min(height, cell_start(r + 1, height));
        for (int c = 0; c < grid; ++c) {
            const int x0 = cell_start(c, width);
            const int x1 = std::min(width, cell_start(c + 1, width));
            map[r][c] = cell_statistics(work, width, x0, x1, y0, y1, saturation, histograms);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Candidates

// Local maxima standing above floor(background + 4.5 noise) of their cell, row by row.
void scan_local_maxima(const uint16_t* work, int width, int height, const Cell map[grid][grid],
                       CandidateList& list) {
    const int border = border_width(height);
    std::vector<int> column_cell(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) column_cell[static_cast<size_t>(x)] = cell_index(x, width);
    for (int y = border; y < height - border; ++y) {
        const Cell* cells = map[cell_index(y, height)];
        int64_t limits[grid];
        for (int c = 0; c < grid; ++c)
            limits[c] = static_cast<int64_t>(cells[c].background + 4.5 * cells[c].noise);
        const uint16_t* row = work + static_cast<size_t>(y) * width;
        const uint16_t* above = row - width;
        const uint16_t* below = row + width;
        for (int x = border; x < width - border; ++x) {
            const uint16_t v = row[x];
            const int cell = column_cell[static_cast<size_t>(x)];
            if (v <= limits[cell]) continue;
            if (v < row[x - 1] || v < row[x + 1] || v < above[x - 1] || v < above[x] ||
                v < above[x + 1] || v < below[x - 1] || v < below[x] || v < below[x + 1])
                continue;
            if (list.count == list.capacity) {
                const int grown = list.capacity * 2;
                void* block = std::realloc(list.items.get(), sizeof(Candidate) *
                                                                 static_cast<size_t>(grown));
                if (!block) {
                    kestil_error("%s(): candidates realloc to %d failed", finder_name, grown);
                    break;  // keep what was found; the next row tries again
                }
                (void)list.items.release();
                list.items.reset(static_cast<Candidate*>(block));
                list.capacity = grown;
            }
            list.items.get()[list.count++] = {x, y, v - cells[cell].background};
        }
    }
}

// Median (rank n/2) of the working values in the box around (x, y), clipped to the frame.
uint16_t local_median(const uint16_t* work, int width, int height, int x, int y, int radius,
                      uint16_t* scratch) {
    const int x0 = std::max(0, x - radius), x1 = std::min(width - 1, x + radius);
    const int y0 = std::max(0, y - radius), y1 = std::min(height - 1, y + radius);
    size_t n = 0;
    for (int row = y0; row <= y1; ++row) {
        const uint16_t* line = work + static_cast<size_t>(row) * width;
        for (int column = x0; column <= x1; ++column) scratch[n++] = line[column];
    }
    std::nth_element(scratch, scratch + n / 2, scratch + n);
    return scratch[n / 2];
}

// Keeps the candidates with more than 5 of their 8 neighbours above floor(local median +
// threshold x cell noise), stopping after `limit` have passed; each passed candidate is moved
// to the front (order kept) with its value replaced by the signal of its digest.
int screen_candidates(int32_t format, const void* data, const uint16_t* work, int width,
                      int height, int radius, double threshold, const Cell map[grid][grid],
                      int limit, CandidateList& list) {
    const size_t side = static_cast<size_t>(2 * radius + 1);
    std::unique_ptr<uint16_t, FreeDeleter> scratch(
        static_cast<uint16_t*>(kestil_checked_malloc(side * side * sizeof(uint16_t))));
    Candidate* items = list.items.get();
    int passed = 0;
    for (int i = 0; i < list.count && passed < limit; ++i) {
        Candidate candidate = items[i];
        const int x = candidate.x, y = candidate.y;
        const uint16_t median = local_median(work, width, height, x, y, radius, scratch.get());
        const Cell& cell = map[cell_index(y, height)][cell_index(x, width)];
        const double level = std::floor(median + threshold * cell.noise);
        const uint16_t* row = work + static_cast<size_t>(y) * width;
        const uint16_t* above = row - width;
        const uint16_t* below = row + width;
        const uint16_t neighbours[8] = {above[x - 1], above[x], above[x + 1], row[x - 1],
                                        row[x + 1],   below[x - 1], below[x], below[x + 1]};
        int bright = 0;
        for (uint16_t v : neighbours) bright += v > level;
        if (bright <= 5) continue;
        FrameDigest digest{};
        double px = x, py = y;
        reference_frame_digest_iterative(format, data, &px, &py, radius, width, height, &digest,
                                         refine_iterations);
        candidate.value = digest.signal;
        items[passed++] = candidate;
    }
    kestil_debug("%s(): evaluated %d of %d local maxima", finder_name, passed, list.count);
    sort_by_value(items, passed);
    return passed;
}

// ---------------------------------------------------------------------------------------------
// Refinement and acceptance

// Refines one screened candidate into `star`; false when it is dropped.
bool refine_candidate(const Frame& frame, int radius, const DetectedStar* accepted,
                      int accepted_count, DetectedStar* star) {
    FrameDigest digest{};
    double x = star->x, y = star->y;
    if (reference_frame_digest_iterative(frame.format, frame.data, &x, &y, radius, frame.width,
                                         frame.height, &digest, refine_iterations) != 0)
        return false;
    star->x = digest.centroid_x;
    star->y = digest.centroid_y;
    star->lum = digest.signal;

    double hfd = 1000.0;  // a refused call counts as too wide
    const int status = reference_psf(frame.format, frame.data, star->x, star->y, radius,
                                     frame.width, frame.height, nullptr, &hfd, nullptr);
    if (hfd > 1.8 * radius || hfd <= 1.5) {
        kestil_debug("kestil_find_stars(): rejected star (%lf, %lf), hfd = %.1f > radius = %d",
                     star->x, star->y, hfd, radius);
        return false;
    }
    kestil_debug("kestil_find_stars(): res = %d hfd = %.1f radius = %d star precise position "
                 "refined to (%lf, %lf)",
                 status, hfd, radius, star->x, star->y);
    if (status != 0) return false;

    for (int k = 0; k < accepted_count; ++k) {
        const double dx = accepted[k].x - star->x, dy = accepted[k].y - star->y;
        if (dx * dx + dy * dy < 4.0) {
            kestil_debug("kestil_find_stars(): star (%lf, %lf) skipped, duplicate of #%u = "
                         "(%lf, %lf)",
                         star->x, star->y, static_cast<unsigned>(k + 1), accepted[k].x,
                         accepted[k].y);
            return false;
        }
    }
    return true;
}

int accept_stars(const Frame& frame, int radius, const Candidate* passed, int passed_count,
                 int max_stars, DetectedStar* list) {
    int accepted = 0;
    for (int i = 0; i < passed_count && accepted < max_stars; ++i) {
        const Candidate& candidate = passed[i];
        DetectedStar star{};
        star.x = candidate.x;
        star.y = candidate.y;
        if (radius >= 3) {
            if (!refine_candidate(frame, radius, list, accepted, &star)) continue;
            mark_close_stars(radius, list, accepted, &star);
        } else if (radius == 2) {
            continue;  // too small to refine, too large for the integer-position path
        }
        const uint16_t peak =
            frame.work[static_cast<size_t>(candidate.y) * frame.width + candidate.x];
        star.oversaturated = peak == frame.saturation;
        star.ncdist = centre_distance(frame, star.x, star.y);
        list[accepted++] = star;
    }
    return accepted;
}

// ---------------------------------------------------------------------------------------------
// Box measurements

// Box values, row by row, into `box`: hot-pixel filtered for mono formats when `filter`,
// otherwise the raw sample (mono) or the median of the channels (colour).
void read_box(int32_t format, const PixelLayout& layout, const uint8_t* data, int width,
              int height, int cx, int cy, int radius, bool filter, uint16_t* box) {
    size_t n = 0;
    for (int row = cy - radius; row <= cy + radius; ++row) {
        for (int column = cx - radius; column <= cx + radius; ++column) {
            if (layout.mono && filter) {
                box[n++] = hot_filtered(data, layout.bytes, width, height, column, row);
            } else {
                const uint8_t* p =
                    data + (static_cast<size_t>(row) * width + column) * layout.bytes;
                box[n++] = working_value(format, p);
            }
        }
    }
}

std::vector<uint16_t>& box_scratch(int radius) {
    thread_local std::vector<uint16_t> box;
    const size_t side = static_cast<size_t>(2 * radius + 1);
    if (box.size() < side * side) box.resize(side * side);
    return box;
}

}  // namespace

double reference_stddev(const double* values, int count) {
    if (count < 1 || !values) return 0.0;
    const double mean = mean_of(values, count);
    double squares = 0.0;
    for (int i = 0; i < count; ++i) squares += (values[i] - mean) * (values[i] - mean);
    return std::sqrt(squares / count);
}

int reference_frame_digest(int32_t format, const void* data, double* x, double* y, int radius,
                           int width, int height, FrameDigest* digest) {
    PixelLayout layout;
    int cx = 0, cy = 0;
    if (!x || !y || !digest || !pixel_layout(format, &layout) ||
        !box_centre(data, *x, *y, radius, width, height, &cx, &cy))
        return 1;
    std::vector<uint16_t>& box = box_scratch(radius);
    read_box(format, layout, static_cast<const uint8_t*>(data), width, height, cx, cy, radius,
             true, box.data());
    const int side = 2 * radius + 1;
    const size_t count = static_cast<size_t>(side) * side;
    uint64_t sum = 0;
    uint16_t high = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += box[i];
        high = std::max(high, box[i]);
    }
    const double mean = static_cast<double>(sum) / static_cast<double>(count);
    double ring[8 * max_radius];
    const double sigma = reference_stddev(ring, ring_values(box.data(), radius, ring));
    const double threshold = mean + 5.0 * sigma;
    kestil_debug("Selection: threshold = %.3lf, max = %.3lf, average = %.3lf, stddev = %.3lf",
                 threshold, static_cast<double>(high), mean, sigma);
    if (high <= threshold) return 8;

    double signal = 0.0, sum_x = 0.0, sum_y = 0.0;
    for (int row = 0; row < side; ++row) {
        for (int column = 0; column < side; ++column) {
            const double w = box[static_cast<size_t>(row) * side + column] - threshold;
            if (w <= 0.0) continue;
            signal += w;
            sum_x += (cx - radius + column) * w;
            sum_y += (cy - radius + row) * w;
        }
    }
    digest->algorithm = 1;
    digest->width = width;
    digest->height = height;
    digest->signal = signal;
    digest->centroid_x = sum_x / signal + 0.5;
    digest->centroid_y = sum_y / signal + 0.5;
    digest->snr = sigma > 0.0 ? signal / sigma : std::sqrt(signal);
    *x = digest->centroid_x;
    *y = digest->centroid_y;
    kestil_debug("kestil_selection_frame_digest: centroid = [%5.2f, %5.2f], signal = %.3f, "
                 "stddev_noise = %.3f, SNR = %3f",
                 digest->centroid_x, digest->centroid_y, signal, sigma, digest->snr);
    return 0;
}

int reference_frame_digest_iterative(int32_t format, const void* data, double* x, double* y,
                                     int radius, int width, int height, FrameDigest* digest,
                                     int iterations) {
    int status = 0;
    for (int i = 0; i < iterations; ++i) {
        status = reference_frame_digest(format, data, x, y, radius, width, height, digest);
        if (status == 0) continue;
        kestil_debug("%s(): No star found around X = %.3f, Y= %3f, iterations = %d. Searching "
                     "in wider vicinity",
                     "kestil_selection_frame_digest_iterative", x ? *x : 0.0, y ? *y : 0.0,
                     iterations);
        const int wider = static_cast<int>(2.5 * radius);
        status = reference_frame_digest(format, data, x, y, wider, width, height, digest);
        for (int k = 0; k < iterations; ++k)
            status = reference_frame_digest(format, data, x, y, radius, width, height, digest);
        return status;
    }
    return status;
}

int reference_psf(int32_t format, const void* data, double x, double y, int radius, int width,
                  int height, double* fwhm, double* hfd, double* peak) {
    PixelLayout layout;
    int cx = 0, cy = 0;
    if (!pixel_layout(format, &layout) || !box_centre(data, x, y, radius, width, height, &cx, &cy))
        return 1;
    std::vector<uint16_t>& box = box_scratch(radius);
    read_box(format, layout, static_cast<const uint8_t*>(data), width, height, cx, cy, radius,
             false, box.data());
    const int side = 2 * radius + 1;
    const size_t count = static_cast<size_t>(side) * side;
    double ring[8 * max_radius];
    const int ring_count = ring_values(box.data(), radius, ring);
    const double background = mean_of(ring, ring_count);
    const double sigma = reference_stddev(ring, ring_count);
    const double high = *std::max_element(box.begin(), box.begin() + static_cast<long>(count));
    const double threshold = background + 2.0 * sigma;
    kestil_debug("HFD : background = %2f, stddev = %.2f, threshold = %.2f, max = %.2f",
                 background, sigma, threshold, high);

    double diameter = 2.0 * radius + 1.0;
    if (high >= threshold) {
        double weighted = 0.0, total = 0.0;
        for (int row = 0; row < side; ++row) {
            for (int column = 0; column < side; ++column) {
                const double v = box[static_cast<size_t>(row) * side + column] - threshold;
                if (v <= 0.0) continue;
                weighted += std::hypot(cx - radius + column - x, cy - radius + row - y) * v;
                total += v;
            }
        }
        if (total > 0.0) diameter = 2.0 * weighted / total;
    }
    if (hfd) *hfd = diameter;
    if (peak) *peak = high - background;
    if (fwhm) {
        const double half = background + (high - background) / 2.0;
        size_t above = 0;
        for (size_t i = 0; i < count; ++i) above += box[i] >= half;
        *fwhm = 2.0 * std::sqrt(static_cast<double>(above) / std::numbers::pi);
    }
    return 0;
}

int reference_find_stars(int32_t format, const void* data, int radius, double threshold,
                         int width, int height, int max_stars, DetectedStar* list, int* found) {
    if (!data || !list || !found || radius < 0 || radius > max_radius) return 1;
    if (width < 1 || height < 1 || max_stars < 1) return 1;
    if (width > max_dimension || height > max_dimension || width > max_pixels / height) return 1;
    PixelLayout layout;
    if (!pixel_layout(format, &layout)) return 1;

    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::unique_ptr<uint16_t, FreeDeleter> work(
        static_cast<uint16_t*>(kestil_checked_malloc(pixels * sizeof(uint16_t))));
    build_working_image(format, static_cast<const uint8_t*>(data), pixels, work.get());

    Cell map[grid][grid];
    background_map(work.get(), width, height, layout.saturation, map);

    // Candidates never outnumber the pixels, so a huge max_stars does not size the first block.
    CandidateList candidates;
    candidates.capacity =
        std::max(512, static_cast<int>(std::min<size_t>(static_cast<size_t>(max_stars), pixels)));
    candidates.items.reset(static_cast<Candidate*>(
        kestil_checked_malloc(sizeof(Candidate) * static_cast<size_t>(candidates.capacity))));
    scan_local_maxima(work.get(), width, height, map, candidates);
    sort_by_value(candidates.items.get(), candidates.count);

    const int limit = max_stars >= 536870912 ? candidates.count : 4 * max_stars;
    const int passed = screen_candidates(format, data, work.get(), width, height, radius,
                                         threshold, map, limit, candidates);

    const Frame frame{format, data, work.get(), width, height, layout.saturation};
    const int accepted =
        accept_stars(frame, radius, candidates.items.get(), passed, max_stars, list);
    candidates.items.reset();
    work.reset();

    std::stable_sort(list, list + accepted,
                     [](const DetectedStar& a, const DetectedStar& b) { return a.lum > b.lum; });
    kestil_debug("%s: Refined stars:", finder_name);
    for (int i = 0; i < accepted; ++i)
        kestil_debug("%s: star #%u = (%lf, %lf), ncdist = %lf, lum = %lf, close_to_other = %d, "
                     "oversaturated = %d",
                     finder_name, static_cast<unsigned>(i + 1), list[i].x, list[i].y,
                     list[i].ncdist, list[i].lum, list[i].close_to_other ? 1 : 0,
                     list[i].oversaturated ? 1 : 0);
    *found = accepted;
    kestil_debug("%s: found %d stars with threshold %.1f\n", finder_name, accepted, threshold);
    return 0;
}

}  // namespace identity
