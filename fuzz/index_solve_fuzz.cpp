// fuzz/index_solve_fuzz.cpp - index files that may be corrupted, mapped and then solved against
// The input describes an index rather than holding its 4 MB. Its first byte chooses the quad
// scale (low bits) and the mode (top bit):
// - free: catalogue stars (raw floats) and quads (codes in range, star numbers below the star
//   count, raw sizes);
// - sky: the stars of the simulated image placed on the sky by a WCS read from the input (centre,
//   angle, parity; the field is 1.6 quad scales wide), and quads of four of them chosen by the
//   input, coded by make_image_quad as the index builder does, so that the solve gets through
//   quad and star matching to the fit.
// Then come up to 8 patches of 4 bytes each into one of the file's sections (header, stars,
// bucket table, codes, sizes, quad stars) and a cut of the file's end. The index is written by
// the project's writer, patched, and read by map_index. Accepted files are solved against
// through kestil_solver_solve with the simulated image, so that the engine meets every index
// that passes the checks.
// Checks: an accepted index has every section inside its mapping and a bucket table from 0 to
// the quad count; the solve returns (within its time limit) and a solution, when
// there is one, has finite values in range; an untouched sky-mode index that solves gives the
// true centre within 3 pixels and the true scale within 1 %.
#include <fcntl.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#if __has_include("solver/engine/image_quads.h")
#include "framework/angles.h"
#include "solver/engine/image_quads.h"
#define KESTIL_FUZZ_SKY_MODE 1  // quads coded as the engine codes them
#else
#define KESTIL_FUZZ_SKY_MODE 0  // before the engine is built: sky inputs run in free mode
#endif
#include "solver/image/solver_image.h"
#include "solver/index/index_file.h"
#include "solver/solve.h"
#include "solver/solver_types.h"

namespace {

constexpr float published_scales[] = {0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f, 20.0f};
constexpr uint64_t bucket_table_bytes = uint64_t{INDEX_BUCKET_COUNT} * 4;

// Reads the input front to back; zeros once it is used up.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
    float f32() {
        uint32_t bits = u32();
        float value;
        memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The section offsets the writer uses (see the header of index_file.h): stars after the
// header, the bucket table, the codes 8-aligned, the sizes, the quad stars.
struct Section { uint64_t offset, length; };

std::vector<Section> sections(uint32_t star_count, uint32_t quad_count) {
    const uint64_t stars = INDEX_HEADER_SIZE;
    const uint64_t buckets = stars + uint64_t{star_count} * 8;
    const uint64_t codes = (buckets + bucket_table_bytes + 7) / 8 * 8;
    const uint64_t sizes = codes + uint64_t{quad_count} * 8;
    const uint64_t quad_stars = sizes + uint64_t{quad_count} * 4;
    return {{0, INDEX_HEADER_SIZE},          {stars, uint64_t{star_count} * 8},
            {buckets, bucket_table_bytes},   {codes, uint64_t{quad_count} * 8},
            {sizes, uint64_t{quad_count} * 4}, {quad_stars, uint64_t{quad_count} * 16}};
}

// A quad code with its fields in range: x1, y1, x2 in 0..1000, y2 in -1000..1000.
uint64_t code_from(Reader& in) {
    const uint64_t x1 = in.u16() % 1001, y1 = in.u16() % 1001, x2 = in.u16() % 1001;
    const int16_t y2 = int16_t(int(in.u16() % 2001) - 1000);
    return (x1 << 48) | (y1 << 32) | (x2 << 16) | uint16_t(y2);
}

// The stars of the simulated image: 15 on a 5 x 3 grid of 43 x 50-pixel cells inside the
// detector's 20-pixel border of a 256 x 192 image, each within 6 pixels of its cell's centre:
// far enough apart that the detector's 33-pixel boxes see one star each, and never two in a
// cell of the quad grid. Brightest first.
constexpr uint32_t image_width = 256, image_height = 192;
struct SimStar { float x, y, peak; };

const std::vector<SimStar>& simulated_stars() {
    static const std::vector<SimStar> stars = [] {
        std::vector<SimStar> list;
        uint32_t seed = 12345;
        auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 5; ++column) {
                const float x = 35.5f + float(column * 43) + float((next() >> 8) % 1200) / 100.0f;
                const float y = 39.0f + float(row * 50) + float((next() >> 8) % 1200) / 100.0f;
                list.push_back({x, y, 2000.0f + float((next() >> 8) % 40000)});
            }
        std::sort(list.begin(), list.end(), [](const SimStar& a, const SimStar& b) { return a.peak > b.peak; });
        return list;
    }();
    return stars;
}

// The RAW2 file of the simulated image: a flat sky of 1000 with round Gaussian stars
// (sigma 1.3 pixels), the same for every input (the fuzzer varies the index, not the image).
const std::vector<uint8_t>& simulated_image() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<float> sky(size_t(image_width) * image_height, 1000.0f);
        for (const SimStar& star : simulated_stars())
            for (uint32_t y = 0; y < image_height; ++y)
                for (uint32_t x = 0; x < image_width; ++x) {
                    const float dx = float(x) + 0.5f - star.x, dy = float(y) + 0.5f - star.y;
                    sky[y * image_width + x] += star.peak * expf(-(dx * dx + dy * dy) / (2.0f * 1.3f * 1.3f));
                }
        std::vector<uint8_t> file(sizeof(RawImageHeader) + sky.size() * 2);
        const RawImageHeader header = {PIXEL_FORMAT_RAW2, image_width, image_height};
        memcpy(file.data(), &header, sizeof header);
        for (size_t i = 0; i < sky.size(); ++i) {
            const uint16_t sample = uint16_t(fminf(sky[i], 65535.0f));
            memcpy(file.data() + sizeof header + 2 * i, &sample, 2);
        }
        return file;
    }();
    return bytes;
}

// Where the sky mode put the image: centre (radians), pixel scale (radians per pixel).
struct Truth {
    bool known = false;
    double ra = 0.0, dec = 0.0, scale = 0.0;
};

#if KESTIL_FUZZ_SKY_MODE
// Sky mode: the simulated stars through a WCS, as catalogue stars; quads of four of them.
void describe_sky(Reader& in, float scale_deg, std::vector<CatalogStar>* stars,
                  std::vector<CatalogQuad>* quads, Truth* truth) {
    const double ra0 = double(in.u16()) / 65536.0 * 2.0 * pi;
    const double dec0 = (double(in.u16()) / 65535.0 - 0.5) * 0.999 * pi;
    const double angle = double(in.u16()) / 65536.0 * 2.0 * pi;
    const double parity = (in.u8() & 1) ? -1.0 : 1.0;
    const double scale = double(scale_deg) * rad_per_deg * 1.6 / image_width;
    *truth = {true, ra0, dec0, scale};
    std::vector<ImageStar> plane;  // standard coordinates (radians) for the quad codes
    for (const SimStar& star : simulated_stars()) {
        const double u = star.x - image_width / 2.0, v = (star.y - image_height / 2.0) * parity;
        const double xi = scale * (u * cos(angle) - v * sin(angle));
        const double eta = scale * (u * sin(angle) + v * cos(angle));
        // Inverse gnomonic projection about (ra0, dec0).
        const double denominator = cos(dec0) - eta * sin(dec0);
        double ra = ra0 + atan2(xi, denominator);
        ra = fmod(ra + 2.0 * pi, 2.0 * pi);
        const double dec = atan2(sin(dec0) + eta * cos(dec0), hypot(xi, denominator));
        stars->push_back({float(ra), float(dec)});
        plane.push_back({1.0f / star.peak, float(xi), float(eta)});
    }
    const uint32_t count = in.u8() % 129;
    for (uint32_t q = 0; q < count; ++q) {
        uint32_t chosen[4];
        for (uint32_t& c : chosen) c = in.u8() % uint32_t(plane.size());
        if (chosen[0] == chosen[1] || chosen[0] == chosen[2] || chosen[0] == chosen[3] ||
            chosen[1] == chosen[2] || chosen[1] == chosen[3] || chosen[2] == chosen[3])
            continue;
        ImageQuad quad;
        make_image_quad(&plane[chosen[0]], &plane[chosen[1]], &plane[chosen[2]], &plane[chosen[3]], &quad);
        CatalogQuad entry{};
        entry.code = quad.code;
        entry.size = quad.length;
        for (int k = 0; k < 4; ++k) entry.stars[k] = uint32_t(quad.stars[k] - plane.data());
        quads->push_back(entry);
    }
}
#endif

// Free mode: stars and quads as the input gives them.
void describe_free(Reader& in, std::vector<CatalogStar>* stars, std::vector<CatalogQuad>* quads) {
    const uint32_t star_count = in.u8() % 65;
    const uint32_t quad_count = star_count < 4 ? 0 : in.u8() % 129;
    stars->resize(star_count);
    for (CatalogStar& star : *stars) {
        star.ra = in.f32();
        star.dec = in.f32();
    }
    quads->resize(quad_count);
    for (CatalogQuad& quad : *quads) {
        quad.code = code_from(in);
        quad.size = in.f32();
        for (uint32_t& star : quad.stars) star = in.u8() % star_count;
    }
}

// Writes the described index to path; false when the writer refused (nothing to test then).
// Returned: untouched   whether no patch or cut was applied
bool write_described_index(Reader& in, const std::string& path, float scale, bool sky,
                           Truth* truth, bool* untouched) {
    std::vector<CatalogStar> stars;
    std::vector<CatalogQuad> quads;
#if KESTIL_FUZZ_SKY_MODE
    if (sky)
        describe_sky(in, scale, &stars, &quads, truth);
    else
#else
    (void)sky;
    (void)truth;
#endif
        describe_free(in, &stars, &quads);
    const uint32_t star_count = uint32_t(stars.size()), quad_count = uint32_t(quads.size());
    const char* message = nullptr;
    if (!kestil_solver_write_index(path.c_str(), scale, stars.data(), star_count, quads.data(),
                                   quad_count, &message))
        return false;

    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) fuzz::fail("can't open the written index");
    const std::vector<Section> parts = sections(star_count, quad_count);
    const int patches = in.u8() % 9;
    *untouched = patches == 0;
    for (int i = 0; i < patches; ++i) {
        const Section& part = parts[in.u8() % parts.size()];
        const uint32_t where = in.u32(), value = in.u32();
        if (part.length < 4) continue;
        const uint64_t offset = part.offset + (where % (part.length - 3));
        if (pwrite(fd, &value, sizeof value, off_t(offset)) != sizeof value) fuzz::fail("pwrite");
    }
    const uint32_t cut = in.u32();
    struct stat status;
    if (fstat(fd, &status) != 0) fuzz::fail("fstat");
    if (cut & 1) {
        *untouched = false;
        const uint64_t size = uint64_t(status.st_size);
        if (ftruncate(fd, off_t(size - (cut >> 1) % (size + 1))) != 0) fuzz::fail("ftruncate");
    }
    close(fd);
    return true;
}

bool inside(const void* view, uint64_t bytes, const IndexFile& index) {
    const auto* begin = static_cast<const uint8_t*>(index.mapping);
    const auto* at = static_cast<const uint8_t*>(view);
    return at >= begin + INDEX_HEADER_SIZE && at <= begin + index.mapping_size &&
           bytes <= uint64_t(begin + index.mapping_size - at);
}

void check_mapped(const IndexFile& index) {
    const uint64_t quads = index.quad_count;
    fuzz::check(inside(index.stars, uint64_t{index.star_count} * 8, index), "stars inside");
    fuzz::check(inside(index.buckets, bucket_table_bytes, index), "buckets inside");
    fuzz::check(inside(index.codes, quads * 8, index), "codes inside");
    fuzz::check(inside(index.sizes, quads * 4, index), "sizes inside");
    fuzz::check(inside(index.quad_stars, quads * 16, index), "quad stars inside");
    // The table's order is map_index's own check; walking its million entries again here would
    // only halve the rate of this already slow target.
    fuzz::check(index.buckets[0] == 0 && index.buckets[INDEX_BUCKET_COUNT - 1] == quads, "bucket ends");
}

// Angle between two directions (radians), by the haversine formula (good at small angles).
double separation(double ra1, double dec1, double ra2, double dec2) {
    const double a = sin((dec2 - dec1) / 2.0), b = sin((ra2 - ra1) / 2.0);
    return 2.0 * asin(fmin(1.0, sqrt(a * a + cos(dec1) * cos(dec2) * b * b)));
}

void solve_against(Reader& in, const char* folder, float scale, const Truth& truth) {
    SolveRequest settings;
    memset(&settings, 0, sizeof settings);
    snprintf(settings.index_dir, sizeof settings.index_dir, "%s", folder);
    settings.scales[0] = scale;
    settings.scale_count = 1;
    settings.epoch = 2000.0;
    settings.downsample = 1;
    settings.cpu_limit = 5.0;  // the solve must end by itself; this only bounds a slow one
    const uint8_t flags = in.u8();
    if (flags & 1) {
        settings.ra = double(in.u16() % 24000) / 1000.0;
        settings.dec = double(int(in.u16() % 18001) - 9000) / 100.0;
        settings.radius = double(in.u8() % 60);
    }
    if (flags & 2) settings.scale_hint = double(in.u16() % 5000 + 1) / 1e5;
    if (flags & 4) settings.parity = (flags & 8) ? 1 : -1;
    if (flags & 16) settings.depth = in.u8() % 30;

    const std::vector<uint8_t>& image = simulated_image();
    SolverSolution solution;
    memset(&solution, 0, sizeof solution);
    if (getenv("KESTIL_FUZZ_LOG")) {  // looking into one input: progress and the result
        settings.progress = [](void*, const char* line) { fputs(line, stderr); };
    }
    kestil_solver_solve(&settings, image.data(), uint32_t(image.size()), &solution);
    if (getenv("KESTIL_FUZZ_LOG"))
        fprintf(stderr, "solved %d (%s): RA %.6f h Dec %.6f deg scale %.3g deg/px, %d stars; truth %s RA %.6f h Dec %.6f deg scale %.3g\n",
                solution.solved, solution.message ? solution.message : "", solution.ra_j2000,
                solution.dec_j2000, solution.scale, solution.matched_stars, truth.known ? "known" : "unknown",
                truth.ra * deg_per_rad / deg_per_hour, truth.dec * deg_per_rad,
                truth.scale * deg_per_rad);
    if (!solution.solved) {
        fuzz::check(solution.message != nullptr, "an unsolved image says why");
        return;
    }
    fuzz::check(isfinite(solution.ra) && solution.ra >= 0.0 && solution.ra < 24.0, "ra");
    fuzz::check(isfinite(solution.dec) && fabs(solution.dec) <= 90.0, "dec");
    fuzz::check(isfinite(solution.angle) && solution.angle >= 0.0 && solution.angle < 360.0, "angle");
    fuzz::check(isfinite(solution.scale) && solution.scale > 0.0, "scale");
    fuzz::check(solution.parity == 1 || solution.parity == -1, "parity");
    fuzz::check(solution.matched_stars >= 6, "at least 6 matched stars");
    fuzz::check(memchr(solution.index, 0, sizeof solution.index) != nullptr, "index label");
    if (!truth.known) return;
    const double ra = solution.ra_j2000 * deg_per_hour * rad_per_deg, dec = solution.dec_j2000 * rad_per_deg;
    // 3 pixels: the detector's centroids of blended Gaussian stars are good to a fraction of a
    // pixel; a wrong match is off by many pixels or the whole field.
    fuzz::check(separation(ra, dec, truth.ra, truth.dec) <= 3.0 * truth.scale, "true centre");
    const double solved_scale = solution.scale * rad_per_deg;
    fuzz::check(fabs(solved_scale / truth.scale - 1.0) <= 0.01, "true scale");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    static fuzz::TempDir folder;
    Reader in(data, size);
    const uint8_t choice = in.u8();
    const float scale = published_scales[(choice & 0x7F) % 7];
    const bool sky = (choice & 0x80) != 0;

    SolverSettings naming;
    memset(&naming, 0, sizeof naming);
    snprintf(naming.index_dir, sizeof naming.index_dir, "%s", folder.path());
    char path[SOLVER_PATH_SIZE];
    index_file_name(path, sizeof path, &naming, scale);

    Truth truth;
    bool untouched = false;
    if (write_described_index(in, path, scale, sky, &truth, &untouched)) {
        IndexFile index;
        if (map_index(path, &index)) {
            check_mapped(index);
            kestil_solver_release_index(&index);
            truth.known = truth.known && untouched;
            solve_against(in, folder.path(), scale, truth);
        }
    }
    unlink(path);  // the folder is empty again between inputs
    return 0;
}
