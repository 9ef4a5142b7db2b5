// Tests of the star detector: refused arguments, the background map, the scan border, screening
// and its limits, refinement (hot pixels, flat tops, close pairs, saturation), the six pixel
// formats and the box measurements.
#include "framework/star_detector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "framework/angles.h"
#include "framework/log.h"
#include "tests/support/log_capture.hpp"

namespace {

constexpr int32_t raw1 = KESTIL_PIXEL_FORMAT_RAW1;
constexpr int32_t raw2 = KESTIL_PIXEL_FORMAT_RAW2;

// A 16-bit mono frame with helpers to draw on it.
struct Frame {
    int width, height;
    std::vector<uint16_t> pixels;

    Frame(int w, int h, uint16_t level) : width(w), height(h), pixels(size_t(w) * h, level) {}

    uint16_t& at(int x, int y) { return pixels[size_t(y) * width + x]; }

    // Gaussian noise of the given sigma around the current values (fixed seed).
    void add_noise(double sigma, unsigned seed) {
        std::mt19937 random(seed);
        std::normal_distribution<double> normal(0.0, sigma);
        for (uint16_t& p : pixels) p = clip(p + normal(random));
    }

    // A point-sampled Gaussian of total flux `flux` and width `sigma` centred at (cx, cy), pixel
    // centres at c + 0.5.
    void add_star(double cx, double cy, double flux, double sigma) {
        const double norm = flux / (2 * pi * sigma * sigma);
        const int reach = int(std::ceil(6 * sigma));
        for (int y = int(cy) - reach; y <= int(cy) + reach; ++y)
            for (int x = int(cx) - reach; x <= int(cx) + reach; ++x) {
                if (x < 0 || y < 0 || x >= width || y >= height) continue;
                const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
                at(x, y) = clip(at(x, y) + norm * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma)));
            }
    }

    static uint16_t clip(double v) { return uint16_t(std::lround(std::clamp(v, 0.0, 65535.0))); }
};

struct Result {
    int status = -1;
    int found = -7;
    std::vector<DetectedStar> stars;
};

Result detect(int32_t format, const void* data, int width, int height, int radius = 16,
              int max_stars = 500, double threshold = 3.5) {
    Result r;
    r.stars.resize(size_t(max_stars));
    r.status = kestil_find_stars_fast_threshold(format, data, radius, threshold, width, height,
                                                max_stars, r.stars.data(), &r.found);
    if (r.status == 0) r.stars.resize(size_t(r.found));
    return r;
}

Result detect(const Frame& f, int radius = 16, int max_stars = 500) {
    return detect(raw2, f.pixels.data(), f.width, f.height, radius, max_stars);
}

// Captures the debug log of one test.
class DetectorLog : public ::testing::Test {
protected:
    bool logged(const std::string& text) const { return captured.contains(text); }
    int evaluated_lines(const std::string& prefix) const {
        int n = 0;
        for (const std::string& l : captured.lines()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    test_support::LogCapture captured{3};
};

TEST(StarDetector, RefusedArgumentsWriteNothing) {
    std::vector<uint16_t> data(100 * 100, 100);
    struct Case { int32_t format; bool data, list, found; int radius, width, height, max_stars; const char* what; };
    const Case cases[] = {
        {raw2, false, true, true, 16, 100, 100, 10, "no data"},
        {raw2, true, false, true, 16, 100, 100, 10, "no list"},
        {raw2, true, true, false, 16, 100, 100, 10, "no count"},
        {raw2, true, true, true, -1, 100, 100, 10, "negative radius"},
        {raw2, true, true, true, 129, 100, 100, 10, "radius 129"},
        {raw2, true, true, true, 16, 0, 100, 10, "width 0"},
        {raw2, true, true, true, 16, 100, 0, 10, "height 0"},
        {raw2, true, true, true, 16, 100, 100, 0, "max_stars 0"},
        {raw2, true, true, true, 16, 178956971, 1, 10, "width above 178956970"},
        {raw2, true, true, true, 16, 1, 178956971, 10, "height above 178956970"},
        {raw2, true, true, true, 16, 536870911 / 3 + 1, 3, 10, "pixel count above 536870911"},
        {0x34574152, true, true, true, 16, 100, 100, 10, "unknown format RAW4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DetectedStar list[2];
        std::memset(list, 0x5a, sizeof list);
        int found = -7;
        EXPECT_EQ(1, kestil_find_stars_fast_threshold(c.format, c.data ? data.data() : nullptr,
                                                      c.radius, 3.5, c.width, c.height, c.max_stars,
                                                      c.list ? list : nullptr, c.found ? &found : nullptr));
        EXPECT_EQ(-7, found);
        EXPECT_EQ(0x5a, reinterpret_cast<unsigned char*>(list)[0]);
    }
}

TEST(StarDetector, EmptyAndNoiseOnlyFramesYieldNothing) {
    Frame flat(300, 200, 1000);
    Result r = detect(flat);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0, r.found);

    Frame zero(300, 200, 0);
    r = detect(zero);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0, r.found);

    // Fully saturated frames: every cell falls back to mean and deviation, including cells of
    // one pixel whose median would be undefined (no unsaturated pixel, and n / 10 = 0).
    for (int side : {12, 30, 100}) {
        Frame full(side, side, 65535);
        r = detect(full, 3);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0, r.found);
    }

    Frame noise(300, 200, 1000);
    noise.add_noise(10.0, 1);
    r = detect(noise);
    EXPECT_EQ(0, r.status);
    EXPECT_LE(r.found, 3);  // pure noise: 5-sigma box thresholds leave at most a stray peak
}

TEST(StarDetector, LoneHotPixelIsNeverReported) {
    Frame f(300, 200, 1000);
    f.add_noise(10.0, 2);
    f.at(150, 100) = 60000;
    f.at(60, 50) = 20000;
    EXPECT_EQ(0, detect(f).found);
}

TEST(StarDetector, SingleStarIsRefinedToItsCentre) {
    struct Case { double x, y, sigma; };
    const Case cases[] = {{150.5, 100.5, 1.2}, {150.3, 99.8, 1.5}, {80.75, 60.25, 2.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.x);
        Frame f(300, 200, 1000);
        f.add_noise(5.0, 3);
        f.add_star(c.x, c.y, 200000, c.sigma);
        Result r = detect(f);
        ASSERT_EQ(1, r.found);
        // the thresholded centroid of a point-sampled Gaussian is biased by well under 0.1 px
        EXPECT_NEAR(c.x, r.stars[0].x, 0.1);
        EXPECT_NEAR(c.y, r.stars[0].y, 0.1);
        EXPECT_GT(r.stars[0].lum, 0.0);
        EXPECT_FALSE(r.stars[0].oversaturated);
        EXPECT_FALSE(r.stars[0].close_to_other);
        // ncdist: distance from (150, 100) over min(150, 100)
        EXPECT_NEAR(std::hypot(r.stars[0].x - 150, r.stars[0].y - 100) / 100, r.stars[0].ncdist, 1e-12);
    }
}

TEST(StarDetector, ClosePairsAreFlaggedOnBothStars) {
    struct Case { double separation; bool close; };
    const Case cases[] = {{20.0, true}, {31.0, true}, {33.0, false}, {60.0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.separation);
        Frame f(300, 200, 1000);
        f.add_noise(5.0, 4);
        f.add_star(100.5, 100.5, 300000, 1.5);           // brighter: accepted first
        f.add_star(100.5 + c.separation, 100.5, 150000, 1.5);
        Result r = detect(f);
        ASSERT_EQ(2, r.found);
        EXPECT_GT(r.stars[0].lum, r.stars[1].lum);
        EXPECT_EQ(c.close, r.stars[0].close_to_other);
        EXPECT_EQ(c.close, r.stars[1].close_to_other);
    }
}

TEST_F(DetectorLog, FlatTopIsRefinedOnce) {
    // A star centred between pixel columns 99 and 100, with its two top pixels made equal:
    // both are local maxima, both refine to the same centroid, and the second is a duplicate.
    Frame f(300, 200, 1000);
    f.add_noise(5.0, 10);
    f.add_star(100.0, 100.5, 200000, 1.5);
    const uint16_t top = std::max(f.at(99, 100), f.at(100, 100));
    f.at(99, 100) = f.at(100, 100) = top;
    Result r = detect(f);
    ASSERT_EQ(1, r.found);
    EXPECT_NEAR(100.0, r.stars[0].x, 0.05);  // noise of 5 against a signal of 10^5
    EXPECT_NEAR(100.5, r.stars[0].y, 0.05);
    int duplicates = 0;
    for (const std::string& l : captured.lines())
        duplicates += l.find("skipped, duplicate of #1 = (") != std::string::npos;
    EXPECT_EQ(1, duplicates);
}

TEST(StarDetector, SaturatedPeakSetsTheFlag) {
    Frame f(300, 200, 1000);
    f.add_noise(5.0, 5);
    f.add_star(100.5, 100.5, 3000000, 1.5);  // clips at 65535
    f.add_star(200.5, 100.5, 100000, 1.5);
    Result r = detect(f);
    ASSERT_EQ(2, r.found);
    EXPECT_TRUE(r.stars[0].oversaturated);
    EXPECT_NEAR(100.5, r.stars[0].x, 0.1);  // clipped symmetrically: the centroid stays put
    EXPECT_FALSE(r.stars[1].oversaturated);
}

TEST_F(DetectorLog, MostlySaturatedCellsUseMeanAndDeviation) {
    // 240 x 240: cells of 20 x 20. Cell (0, 0) is 95% saturated; the 5% left are dark. With a
    // median its background would be the dark level and every plateau pixel a local maximum;
    // mean and deviation lift its scan limit above 65535, so no candidate exists at all.
    // Cell (1, 1), inside the scan border.
    Frame g(240, 240, 1000);
    for (int y = 20; y < 40; ++y)
        for (int x = 20; x < 40; ++x) g.at(x, y) = ((y - 20) * 20 + x) % 20 == 0 ? 1000 : 65535;
    Result r = detect(g);
    EXPECT_EQ(0, r.found);
    EXPECT_TRUE(logged("kestil_find_stars_fast_threshold(): evaluated 0 of 0 local maxima"));

    // The same cell with 15% dark pixels keeps median and MAD: the plateau pixels become
    // candidates.
    captured.clear();
    Frame h(240, 240, 1000);
    for (int y = 20; y < 40; ++y)
        for (int x = 20; x < 40; ++x) h.at(x, y) = (x % 20 < 3) ? 1000 : 65535;
    r = detect(h);
    EXPECT_FALSE(logged("kestil_find_stars_fast_threshold(): evaluated 0 of 0 local maxima"));
}

TEST_F(DetectorLog, BorderDependsOnTheHeightAlone) {
    // Lone bright pixels on a flat frame are all candidates when inside the scan area; the
    // screening log counts them.
    struct Case { int height; int border; };
    const Case cases[] = {{200, 20}, {80, 20}, {79, 19}, {60, 15}, {4, 1}, {3, 1}, {2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.height);
        captured.clear();
        Frame f(100, c.height, 100);
        int inside = 0;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < 100; x += 3) {
                if ((x + y) % 2) continue;
                f.at(x, y) = 1000;
                inside += y >= c.border && y < c.height - c.border && x >= c.border && x < 100 - c.border;
            }
        Result r = detect(f);
        EXPECT_EQ(0, r.found);
        char expected[96];
        snprintf(expected, sizeof expected, "kestil_find_stars_fast_threshold(): evaluated 0 of %d local maxima", inside);
        EXPECT_TRUE(logged(expected)) << expected;
    }
}

TEST(StarDetector, StarNearTheBorderIsStillReported) {
    // 22 px from the left edge: the wider retry box (40 px) never fits, the normal one does.
    Frame f(300, 200, 1000);
    f.add_noise(5.0, 6);
    f.add_star(22.5, 100.5, 200000, 1.5);
    f.add_star(150.5, 21.5, 200000, 1.5);
    Result r = detect(f);
    ASSERT_EQ(2, r.found);
    for (const DetectedStar& s : r.stars) {
        const bool left = s.x < 100;
        EXPECT_NEAR(left ? 22.5 : 150.5, s.x, 0.1);
        EXPECT_NEAR(left ? 100.5 : 21.5, s.y, 0.1);
    }
}

TEST_F(DetectorLog, CapAndScreeningLimit) {
    // 60 x 60 stars on a 14-pixel grid, all distinct in brightness: 3600 candidates.
    Frame f(60 * 14 + 40, 60 * 14 + 40, 1000);
    f.add_noise(3.0, 7);
    int n = 0;
    for (int j = 0; j < 60; ++j)
        for (int i = 0; i < 60; ++i) f.add_star(27.5 + 14 * i, 27.5 + 14 * j, 20000 + 40.0 * n++, 1.0);
    const int radius = 5;
    Result r = detect(f, radius, 500);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(500, r.found);
    // Noise may add a stray maximum or two to the 3600 of the stars.
    EXPECT_EQ(1, evaluated_lines("kestil_find_stars_fast_threshold(): evaluated 2000 of 36"));
    for (int i = 1; i < r.found; ++i) EXPECT_GE(r.stars[i - 1].lum, r.stars[i].lum);
    // The accepted stars are the brightest 500 (index 3100 and up), give or take the noise.
    for (const DetectedStar& s : r.stars) {
        const int i = int(std::lround((s.x - 27.5) / 14)), j = int(std::lround((s.y - 27.5) / 14));
        EXPECT_GE(j * 60 + i, 3000);
        EXPECT_FALSE(s.close_to_other);
    }

    captured.clear();
    r = detect(f, radius, 10);
    EXPECT_EQ(10, r.found);
    EXPECT_EQ(1, evaluated_lines("kestil_find_stars_fast_threshold(): evaluated 40 of 36"));
}

TEST(StarDetector, SixPixelFormatsAgree) {
    // One 8-bit scene; mono formats carry it directly, colour formats as the median channel
    // with the other channels above and below it and junk in the ignored byte.
    const int w = 200, h = 150;
    Frame f(w, h, 20);
    f.add_noise(2.0, 8);
    f.add_star(70.5, 60.5, 2500, 1.5);
    f.add_star(140.25, 90.75, 1800, 1.8);
    std::vector<uint8_t> mono8(size_t(w) * h), rgb(size_t(w) * h * 3), rgb4(size_t(w) * h * 4),
        bgr4(size_t(w) * h * 4), raw6(size_t(w) * h * 6);
    std::vector<uint16_t> mono16(size_t(w) * h);
    for (size_t i = 0; i < mono8.size(); ++i) {
        const uint8_t v = uint8_t(std::min<int>(255, f.pixels[i]));
        const uint8_t lo = uint8_t(v / 2), hi = 255;
        mono8[i] = v;
        mono16[i] = uint16_t(v * 257);
        rgb[3 * i] = hi, rgb[3 * i + 1] = v, rgb[3 * i + 2] = lo;
        rgb4[4 * i] = lo, rgb4[4 * i + 1] = hi, rgb4[4 * i + 2] = v, rgb4[4 * i + 3] = 0x77;
        bgr4[4 * i] = 0x77, bgr4[4 * i + 1] = v, bgr4[4 * i + 2] = lo, bgr4[4 * i + 3] = hi;
        const uint16_t samples[3] = {uint16_t(v * 257), uint16_t(lo * 257), 65535};
        std::memcpy(&raw6[6 * i], samples, 6);
    }
    struct Case { int32_t format; const void* data; const char* what; };
    const Case cases[] = {{raw1, mono8.data(), "RAW1"},
                          {raw2, mono16.data(), "RAW2"},
                          {KESTIL_PIXEL_FORMAT_RAW3, rgb.data(), "RAW3"},
                          {KESTIL_PIXEL_FORMAT_RGB6, rgb4.data(), "RGB6"},
                          {KESTIL_PIXEL_FORMAT_BGR6, bgr4.data(), "BGR6"},
                          {KESTIL_PIXEL_FORMAT_RAW6, raw6.data(), "RAW6"}};
    Result reference = detect(raw1, mono8.data(), w, h);
    ASSERT_EQ(2, reference.found);
    EXPECT_NEAR(70.5, reference.stars[0].x, 0.1);
    EXPECT_NEAR(60.5, reference.stars[0].y, 0.1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = detect(c.format, c.data, w, h);
        ASSERT_EQ(2, r.found);
        for (int i = 0; i < 2; ++i) {
            // The 16-bit formats scale every value by 257: thresholds and centroids are the same.
            EXPECT_NEAR(reference.stars[i].x, r.stars[i].x, 1e-9);
            EXPECT_NEAR(reference.stars[i].y, r.stars[i].y, 1e-9);
        }
    }
}

TEST(StarDetector, SmallRadiiPaths) {
    Frame f(300, 200, 1000);
    f.add_noise(5.0, 9);
    f.add_star(150.5, 100.5, 200000, 1.5);
    EXPECT_EQ(0, detect(f, 2).found);  // refinement needs radius 3
    Result r = detect(f, 3);
    ASSERT_EQ(1, r.found);
    EXPECT_NEAR(150.5, r.stars[0].x, 0.1);
}

TEST(Stddev, PopulationDeviation) {
    struct Case { std::vector<double> values; double expected; };
    const Case cases[] = {{{}, 0.0}, {{5.0}, 0.0}, {{2, 4, 4, 4, 5, 5, 7, 9}, 2.0}, {{1, 3}, 1.0}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(c.expected, kestil_stddev(c.values.data(), int(c.values.size())));
    EXPECT_EQ(0.0, kestil_stddev(nullptr, -1));
}

TEST(FrameDigest, CentroidHotPixelAndRefusals) {
    Frame f(40, 40, 100);
    // A symmetric 3 x 3 star on pixel (20, 20): centroid exactly at its centre 20.5.
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) f.at(20 + dx, 20 + dy) = uint16_t(dx || dy ? 500 : 2000);
    FrameDigest d{};
    double x = 20, y = 20;
    ASSERT_EQ(0, kestil_selection_frame_digest(raw2, f.pixels.data(), &x, &y, 5, 40, 40, &d));
    EXPECT_DOUBLE_EQ(20.5, x);
    EXPECT_DOUBLE_EQ(20.5, y);
    EXPECT_EQ(1, d.algorithm);
    EXPECT_EQ(40, d.width);
    EXPECT_GT(d.signal, 0.0);

    // A lone hot pixel is replaced by its diagonal neighbours' level: nothing stands out.
    Frame g(40, 40, 100);
    g.at(20, 20) = 5000;
    x = 20, y = 20;
    EXPECT_EQ(8, kestil_selection_frame_digest(raw2, g.pixels.data(), &x, &y, 5, 40, 40, &d));
    EXPECT_EQ(20.0, x);

    struct Case { double x, y; int radius; const char* what; };
    const Case refused[] = {{20, 20, 0, "radius 0"},       {20, 20, 129, "radius 129"},
                            {20, 20, 20, "radius above (40 - 2) / 2"},
                            {NAN, 20, 5, "not finite"},   {4.4, 20, 5, "box off the left"},
                            {20, 34.5, 5, "box off the bottom (rounds to 35)"}};
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        x = c.x, y = c.y;
        EXPECT_EQ(1, kestil_selection_frame_digest(raw2, f.pixels.data(), &x, &y, c.radius, 40, 40, &d));
        double hfd = 7.0;
        EXPECT_EQ(1, kestil_selection_psf(raw2, f.pixels.data(), c.x, c.y, c.radius, 40, 40, nullptr, &hfd, nullptr));
        EXPECT_EQ(7.0, hfd);
    }
}

TEST(FrameDigest, HalfFluxDiameter) {
    Frame f(40, 40, 100);
    // Flat box: nothing above background, hfd = 2 radius + 1.
    double hfd = 0.0;
    ASSERT_EQ(0, kestil_selection_psf(raw2, f.pixels.data(), 20.5, 20.5, 5, 40, 40, nullptr, &hfd, nullptr));
    EXPECT_EQ(11.0, hfd);
    // One bright pixel at (20, 20) measured from (20.5, 20.5): its distance to the integer
    // indices is sqrt(0.5), so hfd = 2 sqrt(0.5).
    f.at(20, 20) = 1000;
    double fwhm = 0.0, peak = 0.0;
    ASSERT_EQ(0, kestil_selection_psf(raw2, f.pixels.data(), 20.5, 20.5, 5, 40, 40, &fwhm, &hfd, &peak));
    EXPECT_DOUBLE_EQ(2 * std::sqrt(0.5), hfd);
    EXPECT_DOUBLE_EQ(900.0, peak);
}

TEST_F(DetectorLog, IterativeDigestRetriesWiderAndLogs) {
    Frame f(100, 100, 100);
    FrameDigest d{};
    double x = 50, y = 50;
    EXPECT_EQ(8, kestil_selection_frame_digest_iterative(raw2, f.pixels.data(), &x, &y, 16, 100, 100, &d, 2));
    EXPECT_TRUE(logged("kestil_selection_frame_digest_iterative(): No star found around X = 50.000, "
                       "Y= 50.000000, iterations = 2. Searching in wider vicinity"));
    // A star 20 px off the start is found by the wider box and then re-centred.
    f.add_star(70.5, 50.5, 100000, 1.5);
    x = 50, y = 50;
    EXPECT_EQ(0, kestil_selection_frame_digest_iterative(raw2, f.pixels.data(), &x, &y, 16, 100, 100, &d, 2));
    EXPECT_NEAR(70.5, x, 0.1);
    EXPECT_NEAR(50.5, y, 0.1);
}

}  // namespace

namespace {

TEST(FrameDigest, AlignedAndUnalignedSamplesAgree) {
    // 16-bit samples on an odd address take the byte-wise path; boxes touching the frame's
    // edges exercise the clamped hot-pixel filter. Both paths must agree exactly.
    Frame f(64, 48, 500);
    f.add_noise(20.0, 12);
    f.add_star(5.5, 5.5, 60000, 1.2);
    f.add_star(58.2, 42.7, 60000, 1.2);
    f.add_star(30.5, 20.5, 60000, 1.2);
    for (int i = 0; i < 30; ++i) f.at((i * 37) % 64, (i * 11) % 48) = uint16_t(9000 + 100 * i);  // hot
    f.at(0, 0) = 30000;
    f.at(63, 47) = 30000;
    std::vector<uint8_t> shifted(f.pixels.size() * 2 + 1);
    std::memcpy(shifted.data() + 1, f.pixels.data(), f.pixels.size() * 2);
    const double starts[][2] = {{5, 5}, {58, 42}, {30, 20}, {10, 10}, {54, 38}, {4.6, 30}};
    for (int radius : {4, 5, 10}) {
        for (const auto& start : starts) {
            SCOPED_TRACE(start[0]);
            FrameDigest a{}, b{};
            double xa = start[0], ya = start[1], xb = start[0], yb = start[1];
            const int sa = kestil_selection_frame_digest(raw2, f.pixels.data(), &xa, &ya, radius, 64, 48, &a);
            const int sb = kestil_selection_frame_digest(raw2, shifted.data() + 1, &xb, &yb, radius, 64, 48, &b);
            EXPECT_EQ(sa, sb);
            EXPECT_EQ(xa, xb);
            EXPECT_EQ(ya, yb);
            EXPECT_EQ(a.signal, b.signal);
        }
    }
    Result aligned = detect(raw2, f.pixels.data(), 64, 48, 4), unaligned = detect(raw2, shifted.data() + 1, 64, 48, 4);
    ASSERT_EQ(aligned.found, unaligned.found);
    ASSERT_GT(aligned.found, 0);
    for (int i = 0; i < aligned.found; ++i) {
        EXPECT_EQ(aligned.stars[size_t(i)].x, unaligned.stars[size_t(i)].x);
        EXPECT_EQ(aligned.stars[size_t(i)].lum, unaligned.stars[size_t(i)].lum);
    }
}

}  // namespace
