// Image input benchmark: load and bin a 6000 x 4000 16-bit FITS, an 8-bit JPEG of the same size
// and a RAW2 file by 2, then filter the 3000 x 2000 result. Each case runs in a process of its
// own so that its peak resident memory (ru_maxrss) is its own.
// Usage: image_bench [fits|jpeg|raw2|filter]   (no argument: every case, one child each)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/clock.h"
#include "solver/image/noise_filter.h"
#include "solver/image/solver_image.h"
#include "tools/jpeg/jpeg_writer.hpp"

namespace {

constexpr uint32_t width = 6000, height = 4000;
constexpr uint64_t pixels = uint64_t(width) * height;
constexpr int repeats = 5;

// Sky-like samples: background near 1000 with noise of a few counts and sparse bright stars.
uint16_t sky(uint32_t x, uint32_t y) {
    uint32_t h = x * 2654435761u ^ (y + 0x9E3779B9u) * 2246822519u;
    h ^= h >> 15;
    h *= 2654435761u;
    h ^= h >> 13;
    const uint16_t noise = uint16_t(h & 15);
    return uint16_t(1000 + noise + ((h >> 20) == 0 ? 20000 : 0));
}

long peak_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<uint8_t> fits_file() {
    std::string header;
    auto card = [&header](const std::string& text) { header += text + std::string(80 - text.size(), ' '); };
    card("SIMPLE  =                    T");
    card("BITPIX  =                   16");
    card("NAXIS   =                    2");
    card("NAXIS1  =                 " + std::to_string(width));
    card("NAXIS2  =                 " + std::to_string(height));
    card("END");
    header.resize(2880, ' ');
    std::vector<uint8_t> file(header.begin(), header.end());
    file.resize(2880 + pixels * 2);
    uint8_t* out = file.data() + 2880;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x, out += 2) {
            const uint16_t v = sky(x, y);
            out[0] = uint8_t(v >> 8);
            out[1] = uint8_t(v);
        }
    return file;
}

std::vector<uint8_t> raw2_file() {
    std::vector<uint8_t> file(12 + pixels * 2);
    const uint32_t header[3] = {PIXEL_FORMAT_RAW2, width, height};
    std::memcpy(file.data(), header, 12);
    uint16_t* out = reinterpret_cast<uint16_t*>(file.data() + 12);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) *out++ = sky(x, y);
    return file;
}

std::vector<uint8_t> jpeg_file() {
    kestil_jpeg::JpegLayout layout;
    layout.width = static_cast<int>(width);
    layout.height = static_cast<int>(height);
    layout.quality = 90;
    std::vector<uint8_t> file;
    kestil_jpeg::encode_jpeg(
        layout,
        [](int y, uint8_t* row) {
            for (uint32_t x = 0; x < width; ++x)
                row[x] = uint8_t(sky(x, static_cast<uint32_t>(y)) >> 6);
        },
        &file);
    return file;
}

// Loads and bins by 2 several times; returns the best time per input pixel.
double load_ns_per_pixel(const std::vector<uint8_t>& file, SolverImage** kept) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        int32_t factor, w, h;
        bool bayer;
        const char* message = "";
        const double start = kestil_monotonic_time();
        SolverImage* image = kestil_solver_load_image(file.data(), int32_t(file.size()), 2,
                                                      &factor, &w, &h, &bayer, &message);
        best = std::min(best, (kestil_monotonic_time() - start) * 1e9 / double(pixels));
        if (!image) {
            std::fprintf(stderr, "load failed: %s\n", message);
            std::exit(1);
        }
        if (kept && i == repeats - 1)
            *kept = image;
        else
            std::free(image);
    }
    return best;
}

int run_load(const char* name, std::vector<uint8_t> (*make)()) {
    const long before_kb = peak_kb();
    const std::vector<uint8_t> file = make();
    const long file_kb = peak_kb();
    const double ns = load_ns_per_pixel(file, nullptr);
    const long peak = peak_kb();
    const double binned_mb = (12.0 + double(pixels) / 2) / 1048576.0;
    std::printf("%-6s load+bin by 2: %6.2f ns/input pixel; file %7.1f MB; peak RSS %7.1f MB "
                "(program %5.1f MB, file %7.1f MB, reading %6.1f MB above the file; binned image "
                "%.1f MB)\n",
                name, ns, double(file.size()) / 1048576.0, double(peak) / 1024.0,
                double(before_kb) / 1024.0, double(file_kb - before_kb) / 1024.0,
                double(peak - file_kb) / 1024.0, binned_mb);
    return 0;
}

int run_filter() {
    const std::vector<uint8_t> file = raw2_file();
    SolverImage* image = nullptr;
    load_ns_per_pixel(file, &image);
    const uint64_t count = uint64_t(image->width) * image->height;
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const double start = kestil_monotonic_time();
        uint16_t* filtered = filtered_image(image);
        best = std::min(best, (kestil_monotonic_time() - start) * 1e9 / double(count));
        std::free(filtered);
    }
    // The two named steps alone, for finding where the time goes.
    std::vector<uint16_t> out(count);
    double repair = 1e30, smooth = 1e30;
    uint32_t replaced = 0;
    for (int i = 0; i < repeats; ++i) {
        double start = kestil_monotonic_time();
        replaced = replace_defective_pixels(image->pixels, out.data(), int(image->width),
                                            int(image->height), 4.0f);
        repair = std::min(repair, (kestil_monotonic_time() - start) * 1e9 / double(count));
        start = kestil_monotonic_time();
        gaussian_smooth(image->pixels, out.data(), int(image->width), int(image->height));
        smooth = std::min(smooth, (kestil_monotonic_time() - start) * 1e9 / double(count));
    }
    std::printf("filter filtered_image %u x %u: %6.2f ns/pixel (replace_defective_pixels %.2f "
                "with %u repairs, gaussian_smooth %.2f)\n",
                image->width, image->height, best, repair, replaced, smooth);
    std::free(image);
    return 0;
}

int run_case(const std::string& name) {
    if (name == "fits") return run_load("fits", fits_file);
    if (name == "raw2") return run_load("raw2", raw2_file);
    if (name == "jpeg") return run_load("jpeg", jpeg_file);
    if (name == "filter") return run_filter();
    std::fprintf(stderr, "unknown case %s (fits, jpeg, raw2, filter)\n", name.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return run_case(argv[1]);
    int status = 0;
    for (const char* name : {"fits", "raw2", "jpeg", "filter"}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], name, static_cast<char*>(nullptr));
            _exit(127);
        }
        int child_status = 0;
        waitpid(child, &child_status, 0);
        if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) status = 1;
    }
    return status;
}
