// Tests of the solver's image stars: refused geometry, tiny images, the 500 cap, and detection
// quality against the sky simulator's truth (completeness and position error, printed).
#include "solver/stars/image_stars.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/handles.hpp"
#include "tools/simulator/simulator.hpp"

using namespace kestil_simulator;

namespace {

using ImageHandle = std::unique_ptr<SolverImage, FreeDeleter>;

ImageHandle to_solver_image(const SkyImage& sky) {
    ImageHandle image(new_solver_image(uint32_t(sky.width), uint32_t(sky.height)));
    std::memcpy(image->pixels, sky.pixels.data(), sky.pixels.size() * sizeof(uint16_t));
    return image;
}

std::vector<ImageStar> find(const SolverImage* image, int* count) {
    std::vector<ImageStar> stars(SOLVER_MAX_IMAGE_STARS, ImageStar{-1.0f, -1.0f, -1.0f});
    *count = kestil_solver_image_stars(image, stars.data());
    return stars;
}

TEST(ImageStars, UnusableGeometryYieldsNothing) {
    // Header-only records: the geometry is refused before any sample is read.
    struct Case { uint32_t width, height; const char* what; };
    const Case cases[] = {{0, 10, "width 0"},
                          {10, 0, "height 0"},
                          {65536, 1, "width 65536"},
                          {1, 65536, "height 65536"},
                          {8193, 65535, "more than 536870911 pixels"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ImageHandle header(static_cast<SolverImage*>(std::calloc(1, sizeof(SolverImage))));
        header->signature = PIXEL_FORMAT_RAW2;
        header->width = c.width;
        header->height = c.height;
        int count = -1;
        std::vector<ImageStar> stars = find(header.get(), &count);
        EXPECT_EQ(0, count);
        EXPECT_EQ(-1.0f, stars[0].x);  // nothing written
    }
    ImageStar list[1];
    EXPECT_EQ(0, kestil_solver_image_stars(nullptr, list));
    ImageHandle small(new_solver_image(4, 4));
    EXPECT_EQ(0, kestil_solver_image_stars(small.get(), nullptr));
}

TEST(ImageStars, TwoByTwoImageIsSearchedUnfiltered) {
    ImageHandle image(new_solver_image(2, 2));
    image->pixels[0] = 60000;
    int count = -1;
    find(image.get(), &count);
    EXPECT_EQ(0, count);  // the 1-pixel border leaves nothing to scan
}

SimulatorSettings field_settings(int width, int height, double fwhm, uint64_t seed) {
    SimulatorSettings s;
    s.wcs.ra_deg = 200.0;
    s.wcs.dec_deg = -30.0;
    s.wcs.scale_arcsec = 2.5;
    s.wcs.angle_deg = 17.0;
    s.wcs.width = width;
    s.wcs.height = height;
    s.fwhm_px = fwhm;
    s.seed = seed;
    return s;
}

// Truth stars the detector must find: unsaturated, peak SNR >= 20, clear of the 20-pixel scan
// border, and without any other star of peak above the noise within 24 pixels (the 33-pixel
// refinement box and a margin).
std::vector<const TruthStar*> eligible(const SkyImage& image, const SimulatorSettings& s) {
    const double noise = std::sqrt(s.sky_adu / s.gain + s.read_noise_adu * s.read_noise_adu);
    std::vector<const TruthStar*> out;
    for (const TruthStar& t : image.stars) {
        if (t.saturated || t.peak_snr < 20.0) continue;
        if (t.x < 21 || t.y < 21 || t.x > image.width - 21 || t.y > image.height - 21) continue;
        bool crowded = false;
        for (const TruthStar& o : image.stars)
            if (&o != &t && o.peak > noise && std::hypot(o.x - t.x, o.y - t.y) < 24.0) crowded = true;
        if (!crowded) out.push_back(&t);
    }
    return out;
}

// How many wanted stars have a detection within 1.5 px (further off is another object), and the
// rms distance of those matches (infinite when there are none).
struct TruthMatch {
    int matched = 0;
    double rms = INFINITY;
};
TruthMatch match_truth(const std::vector<const TruthStar*>& wanted, const std::vector<ImageStar>& stars,
                       int count) {
    TruthMatch m;
    double squares = 0.0;
    for (const TruthStar* t : wanted) {
        double best = 1e9;
        for (int i = 0; i < count; ++i)
            best = std::min(best, std::hypot(stars[size_t(i)].x - t->x, stars[size_t(i)].y - t->y));
        if (best > 1.5) continue;
        ++m.matched;
        squares += best * best;
    }
    if (m.matched) m.rms = std::sqrt(squares / m.matched);
    return m;
}

TEST(ImageStars, FindsSimulatedStarsAccurately) {
    struct Case { double fwhm; Psf psf; };
    const Case cases[] = {{2.0, Psf::gaussian}, {3.0, Psf::gaussian}, {4.0, Psf::moffat}, {5.0, Psf::gaussian}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fwhm);
        SimulatorSettings s = field_settings(1600, 1200, c.fwhm, 11 + uint64_t(c.fwhm));
        s.psf = c.psf;
        s.flux_mag10 *= c.fwhm * c.fwhm / 4.0;  // the same peaks whatever the width
        const std::vector<CsvStar> catalog = random_stars(s.wcs, 300, 7.0, 14.5, 20.0, s.seed);
        const SkyImage sky = render_sky(s, catalog.data(), catalog.size());
        ImageHandle image = to_solver_image(sky);
        int count = 0;
        std::vector<ImageStar> stars = find(image.get(), &count);
        ASSERT_GT(count, 0);
        ASSERT_LT(count, SOLVER_MAX_IMAGE_STARS);  // the cap does not interfere here
        for (int i = 1; i < count; ++i) EXPECT_LE(stars[size_t(i) - 1].inv_lum, stars[size_t(i)].inv_lum);

        const std::vector<const TruthStar*> wanted = eligible(sky, s);
        EXPECT_GE(wanted.size(), 30u);  // enough for a meaningful completeness figure
        const auto [matched, rms] = match_truth(wanted, stars, count);
        const double completeness = double(matched) / double(wanted.size());
        std::printf("[  figures ] FWHM %.0f px (%s): %d detected, %zu eligible, %d found (%.1f%%), "
                    "rms position error %.3f px\n",
                    c.fwhm, c.psf == Psf::gaussian ? "Gaussian" : "Moffat", count, wanted.size(),
                    matched, 100.0 * completeness, rms);
        EXPECT_GE(completeness, 0.95);
        EXPECT_LE(rms, 0.1);
    }
}

TEST(ImageStars, BayerFitsThroughTheImageInput) {
    // An RGGB mosaic in a 16-bit FITS file: the loader bins it 2 x 2, so every position halves
    // (the centre of binned column c, c + 0.5, is the centre 2c + 1 of the two columns it merges).
    SimulatorSettings s = field_settings(1600, 1200, 4.0, 41);
    s.bayer = true;
    s.flux_mag10 *= 4.0;
    const std::vector<CsvStar> catalog = random_stars(s.wcs, 250, 7.0, 14.0, 20.0, s.seed);
    const SkyImage sky = render_sky(s, catalog.data(), catalog.size());
    std::vector<uint8_t> bytes;
    const char* message = nullptr;
    ASSERT_TRUE(encode_image(sky, s, ImageFormat::fits16, 0, &bytes, &message));
    int32_t factor = 0, width = 0, height = 0;
    bool bayer = false;
    ImageHandle image(kestil_solver_load_image(bytes.data(), int32_t(bytes.size()), 1, &factor, &width,
                                               &height, &bayer, &message));
    ASSERT_TRUE(image) << message;
    ASSERT_EQ(2, factor);
    int count = 0;
    std::vector<ImageStar> stars = find(image.get(), &count);
    // Eligible as above, on the binned scale: the binned border is 20 binned pixels.
    SkyImage binned_truth = sky;
    binned_truth.width /= 2;
    binned_truth.height /= 2;
    for (TruthStar& t : binned_truth.stars) t.x /= 2, t.y /= 2;
    const std::vector<const TruthStar*> wanted = eligible(binned_truth, s);
    ASSERT_GE(wanted.size(), 20u);
    const auto [matched, rms] = match_truth(wanted, stars, count);
    std::printf("[  figures ] Bayer FITS binned 2 x 2: %d detected, %zu eligible, %d found, rms %.3f px\n",
                count, wanted.size(), matched, rms);
    EXPECT_GE(double(matched), 0.95 * double(wanted.size()));
    EXPECT_LE(rms, 0.1);
}

TEST(ImageStars, PureNoiseYieldsAlmostNothing) {
    for (uint64_t seed : {21u, 22u, 23u}) {
        SimulatorSettings s = field_settings(1200, 900, 3.0, seed);
        const SkyImage sky = render_sky(s, nullptr, 0);
        ImageHandle image = to_solver_image(sky);
        int count = -1;
        find(image.get(), &count);
        std::printf("[  figures ] pure noise, seed %llu: %d stars\n", (unsigned long long)seed, count);
        EXPECT_LE(count, 3);
    }
}

TEST(ImageStars, CrowdedFieldIsCappedAt500) {
    SimulatorSettings s = field_settings(1600, 1200, 2.5, 31);
    const std::vector<CsvStar> catalog = random_stars(s.wcs, 1500, 6.0, 11.0, 0.0, s.seed);
    const SkyImage sky = render_sky(s, catalog.data(), catalog.size());
    ImageHandle image = to_solver_image(sky);
    int count = 0;
    std::vector<ImageStar> stars = find(image.get(), &count);
    ASSERT_EQ(SOLVER_MAX_IMAGE_STARS, count);
    for (int i = 1; i < count; ++i) EXPECT_LE(stars[size_t(i) - 1].inv_lum, stars[size_t(i)].inv_lum);
    EXPECT_GT(stars[0].inv_lum, 0.0f);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(stars[size_t(i)].x > 0 && stars[size_t(i)].x < 1600);
        EXPECT_TRUE(stars[size_t(i)].y > 0 && stars[size_t(i)].y < 1200);
    }
}

}  // namespace
