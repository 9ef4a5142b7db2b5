// Tests of plate verification: a right plate is accepted and plates off by a little are not,
// whichever side carries the evidence; cone queries through the declination bands find the
// same index stars as the linear scan, across the right ascension wrap and at a pole.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "framework/angles.h"
#include "solver/engine/verify.h"

namespace {

// An index of random stars around (ra, dec) in memory; star numbers in brightness order.
struct MemoryIndex {
    std::vector<CatalogStar> stars;
    IndexFile file{};
    MemoryIndex(double ra, double dec, double radius, int count, uint32_t seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        while (static_cast<int>(stars.size()) < count) {
            double x = unit(random) * radius, y = unit(random) * radius;
            if (x * x + y * y > radius * radius) continue;
            float r = 0, d = 0;
            deproject_tangent(static_cast<float>(ra), static_cast<float>(dec),
                              static_cast<float>(x), static_cast<float>(y), &r, &d);
            stars.push_back({r, d});
        }
        file.stars = stars.data();
        file.star_count = static_cast<uint32_t>(stars.size());
    }
};

// A plate of scale arcsec_px turned by angle about (ra, dec) at the centre of a square image.
PlateModel plate(double ra, double dec, double arcsec_px, double angle, int size) {
    double s = arcsec_px * rad_per_arcsec;
    PlateModel m{};
    m.ra0 = static_cast<float>(ra);
    m.dec0 = static_cast<float>(dec);
    m.centre_x = m.centre_y = 0.5f * static_cast<float>(size);
    m.fit.xi_x = static_cast<float>(-s * std::cos(angle));
    m.fit.xi_y = static_cast<float>(s * std::sin(angle));
    m.fit.eta_x = static_cast<float>(s * std::sin(angle));
    m.fit.eta_y = static_cast<float>(s * std::cos(angle));
    m.fit.scale = static_cast<float>(s);
    return m;
}

// Detections of a field: the given share of the index stars that fall in the image (the
// brighter ones more often), with a centroid error, among chance detections.
std::vector<ImageStar> detections(const MemoryIndex& index, const PlateModel& truth, int size,
                                  double share, double jitter_px, int extra, uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> error(0.0f, static_cast<float>(jitter_px));
    std::uniform_real_distribution<float> where(0.0f, static_cast<float>(size));
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<ImageStar> out;
    for (const CatalogStar& s : index.stars) {
        float x = 0, y = 0;
        if (!kestil_solver_plate_pixel(&truth, s.ra, s.dec, &x, &y)) continue;
        if (x < 0 || y < 0 || x >= size || y >= size || chance(random) > share) continue;
        out.push_back({static_cast<float>(out.size() + 1), x + error(random), y + error(random)});
    }
    for (int i = 0; i < extra; ++i)
        out.push_back({static_cast<float>(out.size() + 1), where(random), where(random)});
    // Chance detections mixed in among the real ones by brightness.
    std::shuffle(out.begin(), out.end(), random);
    for (size_t i = 0; i < out.size(); ++i) out[i].inv_lum = static_cast<float>(i + 1);
    return out;
}

TEST(Verify, AcceptsTheRightPlateOnly) {
    const int size = 800;
    const double ra = 3.0, dec = 0.4;
    struct Case {
        const char* what;
        int index_stars;  // in the field's disc
        double share;     // of them detected
        int extra;        // chance detections
        double shift_px, turn_deg, stretch;
        bool accepted;
    };
    // About 60 % of the disc's stars fall inside the square image.
    const Case cases[] = {
        {"right plate, many index stars", 60, 0.6, 150, 0, 0, 1, true},
        {"right plate, few detections among many index stars", 300, 0.05, 10, 0, 0, 1, true},
        {"right plate, many detections and few index stars", 25, 0.8, 400, 0, 0, 1, true},
        {"shifted by 12 pixels", 60, 0.6, 150, 12, 0, 1, false},
        {"turned by 4 degrees", 60, 0.6, 150, 0, 4, 1, false},
        {"scale off by 5 %", 60, 0.6, 150, 0, 0, 1.05, false},
        {"nothing of the index detected", 60, 0.0, 300, 0, 0, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PlateModel truth = plate(ra, dec, 5.0, 0.3, size);
        MemoryIndex index(ra, dec, 0.75 * size * 5.0 * rad_per_arcsec, c.index_stars, 7);
        std::vector<ImageStar> stars = detections(index, truth, size, c.share, 0.4, c.extra, 11);
        ASSERT_FALSE(stars.empty());
        StarGrid grid{};
        kestil_solver_star_grid(stars.data(), static_cast<int32_t>(stars.size()), size, size,
                                &grid);
        PlateModel tried = plate(ra, dec, 5.0 * c.stretch, 0.3 + c.turn_deg * rad_per_deg, size);
        tried.centre_x += static_cast<float>(c.shift_px);
        VerifyResult result{};
        bool accepted = kestil_solver_verify(&tried, &grid, size, size, &index.file, nullptr,
                                             nullptr, 0, 0, 0, nullptr, 0, nullptr, &result);
        EXPECT_EQ(c.accepted, accepted) << "log-odds " << result.log_odds << ", " << result.hits
                                        << " hits of " << result.references;
        kestil_solver_release_star_grid(&grid);
    }
}

// Leaving out the defining stars, or the largest hit terms, lowers the evidence by their worth.
TEST(Verify, DefiningStarsCountForNothing) {
    const int size = 600;
    PlateModel truth = plate(1.0, -0.2, 4.0, 1.0, size);
    MemoryIndex index(1.0, -0.2, 0.45 * size * 4.0 * rad_per_arcsec, 12, 3);
    std::vector<ImageStar> stars = detections(index, truth, size, 1.0, 0.2, 100, 5);
    StarGrid grid{};
    kestil_solver_star_grid(stars.data(), static_cast<int32_t>(stars.size()), size, size, &grid);
    VerifyResult all{}, without{}, dropped{};
    uint32_t four[4] = {0, 1, 2, 3};
    kestil_solver_verify(&truth, &grid, size, size, &index.file, nullptr, nullptr, 0, 0, 0, nullptr,
                         0, nullptr, &all);
    kestil_solver_verify(&truth, &grid, size, size, &index.file, nullptr, four, 4, 0, 0, nullptr, 0,
                         nullptr, &without);
    kestil_solver_verify(&truth, &grid, size, size, &index.file, nullptr, nullptr, 0, 4, 0, nullptr,
                         0, nullptr, &dropped);
    EXPECT_GT(all.log_odds, without.log_odds + 10);
    EXPECT_GT(all.log_odds, dropped.log_odds + 10);
    EXPECT_EQ(all.hits, without.hits + 4);
    kestil_solver_release_star_grid(&grid);
}

// The declination bands and the linear scan see the same index stars, at the right ascension
// wrap, at a pole and in between.
TEST(Verify, BandsFindWhatTheScanFinds) {
    const int size = 1000;
    struct Case {
        double ra, dec;
    };
    const Case cases[] = {{0.0005, 0.1}, {6.283, -0.3}, {2.0, 1.5703}, {4.0, -1.569}, {1.0, 0.7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ra) + " " + std::to_string(c.dec));
        MemoryIndex index(c.ra, c.dec, 0.02, 400, 9);
        PlateModel truth = plate(c.ra, c.dec, 60.0, 0.5, size);
        std::vector<ImageStar> stars = detections(index, truth, size, 0.7, 0.3, 50, 4);
        StarGrid grid{};
        kestil_solver_star_grid(stars.data(), static_cast<int32_t>(stars.size()), size, size,
                                &grid);
        SkyStars sky{};
        kestil_solver_sky_stars(&index.file, 0.004, &sky);
        VerifyResult scanned{}, banded{};
        kestil_solver_verify(&truth, &grid, size, size, &index.file, nullptr, nullptr, 0, 0, 0,
                             nullptr, 0, nullptr, &scanned);
        kestil_solver_verify(&truth, &grid, size, size, &index.file, &sky, nullptr, 0, 0, 0,
                             nullptr, 0, nullptr, &banded);
        EXPECT_GT(scanned.references, 100);
        EXPECT_EQ(scanned.references, banded.references);
        EXPECT_EQ(scanned.hits, banded.hits);
        EXPECT_NEAR(scanned.log_odds, banded.log_odds, 1e-3 * std::fabs(scanned.log_odds) + 0.1);
        kestil_solver_release_sky_stars(&sky);
        kestil_solver_release_star_grid(&grid);
    }
}

}  // namespace
