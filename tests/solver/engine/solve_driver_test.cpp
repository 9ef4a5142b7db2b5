// Tests of the solve driver: the stage table, the index walk and when indexes are (re)loaded,
// the messages of unsolved runs, and solutions of simulated images (blind, with hints, binned,
// JNow). Images are rendered by the sky simulator and indexes built by the index builder, both
// into a temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "framework/alloc.h"
#include "framework/precession.h"
#include "solver/engine/image_quads.h"
#include "solver/engine/sip.h"
#include "solver/engine/quad_match.h"
#include "solver/engine/solve_driver.h"
#include "solver/engine/star_match.h"
#include "solver/index/index_file.h"
#include "solver/solve.h"
#include "solver/solver_types.h"
#include "solver/stars/image_stars.h"
#include "tests/support/heap_watch.hpp"
#include "tools/deep_catalog/deep_catalog.h"
#include "tools/index_builder/index_builder.h"
#include "tools/simulator/simulator.hpp"

namespace {

namespace sim = kestil_simulator;

TEST(SolveDriver, StageTable) {
    struct Case {
        int depth, stars;
        std::vector<int> stages;
    };
    const Case cases[] = {{0, 4, {4}},          {0, 40, {40}},          {0, 41, {40, 41}},
                          {0, 100, {40, 100}},  {0, 101, {40, 100, 101}}, {0, 500, {40, 100, 500}},
                          {25, 20, {20}},       {25, 25, {25}},         {25, 300, {25, 300}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.depth) + " " + std::to_string(c.stars));
        int32_t stages[SOLVER_MAX_STAGES] = {};
        int32_t n = kestil_solver_stage_table(c.depth, c.stars, stages);
        EXPECT_EQ(c.stages, std::vector<int>(stages, stages + n));
    }
}

TEST(SolveDriver, WalkAlternatesWithoutAScaleHint) {
    std::string blind, hinted;
    for (int pass = 1; pass <= 3; ++pass)
        for (int step = 0; step < 3; ++step) {
            blind += static_cast<char>('1' + kestil_solver_walk_index(pass, step, 3, 0.0));
            hinted += static_cast<char>('1' + kestil_solver_walk_index(pass, step, 3, 0.001));
        }
    EXPECT_EQ("123321123", blind);
    EXPECT_EQ("123123123", hinted);
}

// Shared data of the solving tests: a synthetic deep catalogue around (150, 30) and indexes of
// scales 1, 2 and 5 built from it, in a temporary directory.
class Sky : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/driver_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        directory = new std::string(pattern);
        std::string csv = *directory + "/deep.csv";
        size_t count = 0;
        const char* message = nullptr;
        ASSERT_TRUE(write_deep_catalog_for_tests(csv, &count, &message)) << message;
        CsvCatalog loaded{};
        ASSERT_TRUE(read_catalog_csv(csv.c_str(), INFINITY, &loaded, nullptr, &message)) << message;
        catalog = new std::vector<CsvStar>(loaded.stars, loaded.stars + loaded.count);
        free_catalog_csv(&loaded);
        for (float scale : {1.0f, 2.0f, 5.0f}) {
            IndexBuildOptions options{};
            options.scale = scale;
            options.ra = 150;
            options.dec = 30;
            options.radius = 4;
            char path[SOLVER_PATH_SIZE];
            kestil_solver_index_path(path, sizeof path, directory->c_str(), scale);
            ASSERT_TRUE(build_index_file(catalog->data(), catalog->size(), &options, path, nullptr,
                                         &message)) << message;
        }
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*directory);
        delete directory;
        delete catalog;
    }
    static bool write_deep_catalog_for_tests(const std::string& path, size_t* count,
                                             const char** message);

    // A RAW2 image of the catalogue.
    static std::vector<uint8_t> image(const sim::SkyWcs& wcs, int count_limit = 0,
                                      double fwhm_px = 3.0) {
        sim::SimulatorSettings s;
        s.wcs = wcs;
        s.fwhm_px = fwhm_px;
        s.flux_mag10 = 200000.0;
        s.seed = 5;
        std::vector<CsvStar> stars = sim::select_cone(catalog->data(), catalog->size(), wcs.ra_deg,
                                                      wcs.dec_deg, wcs.field_radius_deg() + 0.1);
        if (count_limit > 0 && static_cast<int>(stars.size()) > count_limit) stars.resize(static_cast<size_t>(count_limit));
        sim::SkyImage sky = sim::render_sky(s, stars.data(), stars.size());
        std::vector<uint8_t> bytes;
        const char* message = nullptr;
        EXPECT_TRUE(sim::encode_image(sky, s, sim::ImageFormat::raw2, 0, &bytes, &message));
        return bytes;
    }

    // A RAW2 image of random stars that no index knows.
    static std::vector<uint8_t> random_image(const sim::SkyWcs& wcs, int count, uint64_t seed,
                                             uint32_t star_seed) {
        sim::SimulatorSettings s;
        s.wcs = wcs;
        s.seed = seed;
        std::vector<CsvStar> stars = sim::random_stars(wcs, count, 5, 11, 0, star_seed);
        sim::SkyImage sky = sim::render_sky(s, stars.data(), stars.size());
        std::vector<uint8_t> bytes;
        const char* message = nullptr;
        EXPECT_TRUE(sim::encode_image(sky, s, sim::ImageFormat::raw2, 0, &bytes, &message));
        return bytes;
    }

    static SolveRequest settings() {
        SolveRequest s{};
        snprintf(s.index_dir, sizeof s.index_dir, "%s", directory->c_str());
        const float all[] = {0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f, 20.0f};
        std::copy(all, all + 7, s.scales);
        s.scale_count = 7;
        s.epoch = 2000;
        s.downsample = 1;
        s.cpu_limit = 60;
        return s;
    }

    // Solves with progress lines captured.
    static SolverSolution solve(const SolveRequest& s, const std::vector<uint8_t>& bytes,
                                std::string* progress = nullptr) {
        char* text = nullptr;
        size_t size = 0;
        FILE* stream = open_memstream(&text, &size);
        SolveRequest request = s;
        request.progress = [](void* context, const char* line) {
            fputs(line, static_cast<FILE*>(context));
        };
        request.progress_context = stream;
        SolverSolution solution{};
        kestil_solver_solve(&request, bytes.data(), static_cast<uint32_t>(bytes.size()), &solution);
        fclose(stream);
        if (progress) *progress = std::string(text, size);
        free(text);
        return solution;
    }

    static std::string* directory;
    static std::vector<CsvStar>* catalog;
};

std::string* Sky::directory = nullptr;
std::vector<CsvStar>* Sky::catalog = nullptr;

bool Sky::write_deep_catalog_for_tests(const std::string& path, size_t* count, const char** message) {
    // Magnitudes 4 to 14.5 within 4.5 degrees: about 20,000 stars, enough for fields of 1 degree.
    return write_deep_catalog(150, 30, 4.5, 4, 14.5, 11, path.c_str(), count, message);
}

sim::SkyWcs field(double ra, double dec, double arcsec, double angle, int parity, int width,
                  int height) {
    sim::SkyWcs w;
    w.ra_deg = ra;
    w.dec_deg = dec;
    w.scale_arcsec = arcsec;
    w.angle_deg = angle;
    w.parity = parity;
    w.width = width;
    w.height = height;
    return w;
}

double separation_deg(double ra1, double dec1, double ra2, double dec2) {
    double r = M_PI / 180;
    double h = std::pow(std::sin((dec1 - dec2) * r / 2), 2) +
               std::cos(dec1 * r) * std::cos(dec2 * r) * std::pow(std::sin((ra1 - ra2) * r / 2), 2);
    return 2 * std::asin(std::sqrt(h)) / r;
}

std::vector<std::string> lines_with(const std::string& text, const std::string& part) {
    std::vector<std::string> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.find(part) != std::string::npos) found.push_back(line);
        start = end + 1;
    }
    return found;
}

TEST_F(Sky, SolvesBlindWithHintsBinnedAndInJNow) {
    struct Case {
        const char* what;
        double ra, dec, arcsec, angle;
        int parity, downsample;
        double scale_hint, radius;
        double epoch;
        int width, height;
    };
    // The binned image is larger and its stars wider, so that its working image keeps 600 x 450
    // pixels and stars of 2.5 pixels (narrower stars are undersampled after binning).
    const Case cases[] = {
        {"blind", 150.3, 29.8, 6.0, 35.0, 1, 1, 0, 0, 2000, 800, 600},
        {"mirrored, scale hint", 149.6, 30.4, 7.0, 300.0, -1, 1, 7.0 / 3600, 0, 2000, 800, 600},
        {"position hint, binned 2", 150.0, 30.0, 4.0, 120.0, 1, 2, 0, 2, 2000, 1200, 900},
        {"JNow hint and result", 150.4, 30.3, 6.5, 200.0, -1, 1, 6.5 / 3600, 1, 0, 800, 600},
    };
    // The search cone: the radius plus the index scale without a scale hint (2 + 5 for the
    // first index, scale 5), else plus half the image diagonal: 1 + 1000 x 0.5 x 6.5" = 1.90 deg.
    const char* cones[] = {nullptr, nullptr, "within 7.00° of the position hint",
                           "within 1.90° of the position hint"};
    int case_number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes =
            image(field(c.ra, c.dec, c.arcsec, c.angle, c.parity, c.width, c.height), 0,
                  c.downsample == 2 ? 5.0 : 3.0);
        SolveRequest s = settings();
        s.downsample = c.downsample;
        s.scale_hint = c.scale_hint;
        s.epoch = c.epoch;
        double now = kestil_jnow();
        if (c.radius > 0) {
            s.radius = c.radius;
            SphericalPoint hint{(c.ra + 0.3) * M_PI / 180, (c.dec - 0.2) * M_PI / 180, 1};
            if (c.epoch == 0) hint = kestil_precess(&hint, 2000, now);
            s.ra = hint.lon * 180 / M_PI / 15;
            s.dec = hint.lat * 180 / M_PI;
        }
        std::string progress;
        SolverSolution solution = solve(s, bytes, &progress);
        const char* cone = cones[case_number++];
        EXPECT_EQ(cone != nullptr, progress.find("of the position hint") != std::string::npos);
        if (cone) {
            EXPECT_NE(std::string::npos, progress.find(cone)) << progress;
        }
        ASSERT_TRUE(solution.solved) << (solution.message ? solution.message : "");
        SCOPED_TRACE("matched " + std::to_string(solution.matched_stars));
        EXPECT_EQ(nullptr, solution.message);
        EXPECT_EQ(c.width, solution.image_width);
        EXPECT_EQ(c.height, solution.image_height);
        double pixel = c.arcsec / 3600;
        // The centre within one pixel, the scale within 0.1 %, the angle within 0.05 degree.
        EXPECT_LT(separation_deg(solution.ra_j2000 * 15, solution.dec_j2000, c.ra, c.dec), pixel);
        EXPECT_NEAR(pixel, solution.scale, pixel * 1e-3);
        EXPECT_NEAR(0.0, std::remainder(solution.angle - c.angle, 360.0), 0.05);
        EXPECT_EQ(c.parity, solution.parity);
        EXPECT_GE(solution.matched_stars, 6);
        EXPECT_GE(solution.star_matches, solution.matched_stars);
        EXPECT_GT(solution.time, 0.0);
        if (c.epoch == 0) {
            // The result in the equinox of the date: the truth precessed (the two clock readings
            // are moments apart: far below the tolerance).
            SphericalPoint truth{c.ra * M_PI / 180, c.dec * M_PI / 180, 1};
            SphericalPoint dated = kestil_precess(&truth, 2000, now);
            EXPECT_LT(separation_deg(solution.ra * 15, solution.dec, dated.lon * 180 / M_PI,
                                     dated.lat * 180 / M_PI), pixel);
            EXPECT_GT(separation_deg(solution.ra * 15, solution.dec, c.ra, c.dec), 0.1);
        } else {
            EXPECT_EQ(solution.ra_j2000, solution.ra);
            EXPECT_EQ(solution.dec_j2000, solution.dec);
        }
        EXPECT_STRNE("", solution.index);
    }
}

// Binning drops the last columns and rows of a side that is not a multiple of the factor; the
// reported centre must still be the centre of the image as given, not of what binning kept.
TEST_F(Sky, CentreOfOddSizedBinnedImages) {
    struct Case { int width, height, downsample; };
    const Case cases[] = {{1201, 901, 2}, {1200, 899, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " binned " +
                     std::to_string(c.downsample));
        const double arcsec = 4.0;
        std::vector<uint8_t> bytes =
            image(field(150.1, 30.1, arcsec, 25.0, 1, c.width, c.height), 0, 5.0);
        SolveRequest s = settings();
        s.downsample = c.downsample;
        SolverSolution solution = solve(s, bytes);
        ASSERT_TRUE(solution.solved) << (solution.message ? solution.message : "");
        // A quarter pixel: the centroids are good to about a tenth; the half-pixel shift of
        // centring on the binned image alone would be 0.7 pixel here.
        EXPECT_LT(separation_deg(solution.ra_j2000 * 15, solution.dec_j2000, 150.1, 30.1),
                  0.25 * arcsec / 3600);
    }
}

// The details of a solve, binned or not and through a shared index cache: the WCS puts the
// image's corners where the simulator put them, the detections, matches and index stars are in
// the pixels of the image as stored, and a second solve from the cache gives the same plate.
TEST_F(Sky, DetailsGiveTheImageWcsAndItsMatches) {
    SolverIndexCache* cache = kestil_solver_index_cache_create();
    ASSERT_NE(nullptr, cache);
    const double arcsec = 4.0;
    const sim::SkyWcs truth = field(150.1, 30.1, arcsec, 25.0, -1, 1201, 901);
    const std::vector<uint8_t> bytes = image(truth, 0, 5.0);
    for (int downsample : {1, 2, 1}) {
        SCOPED_TRACE("binned " + std::to_string(downsample));
        SolveDetails details{};
        SolveRequest s = settings();
        s.downsample = downsample;
        s.cache = cache;
        s.details = &details;
        SolverSolution solution = solve(s, bytes);
        ASSERT_TRUE(solution.solved) << (solution.message ? solution.message : "");
        ASSERT_TRUE(details.solved);
        EXPECT_EQ(1201, details.width);
        EXPECT_EQ(901, details.height);
        EXPECT_DOUBLE_EQ(601.0, details.wcs.crpix[0]);
        EXPECT_DOUBLE_EQ(451.0, details.wcs.crpix[1]);
        EXPECT_NEAR(solution.ra_j2000 * 15, details.wcs.crval[0], 1e-4);
        EXPECT_NEAR(solution.dec_j2000, details.wcs.crval[1], 1e-4);
        // Corners and centre: the simulator's pixel edge convention is half a pixel off FITS.
        for (double x : {0.5, 600.5, 1200.5})
            for (double y : {0.5, 450.5, 900.5}) {
                double ra = 0, dec = 0, want_ra = 0, want_dec = 0;
                ASSERT_TRUE(kestil_solver_wcs_pixel_to_sky(&details.wcs, x + 0.5, y + 0.5, &ra, &dec));
                truth.pixel_to_sky(x, y, &want_ra, &want_dec);
                EXPECT_LT(separation_deg(ra, dec, want_ra, want_dec),
                          0.3 * downsample * arcsec / 3600)
                    << x << ", " << y;
            }
        ASSERT_GT(details.star_count, 50);
        ASSERT_GT(details.index_star_count, 10);
        EXPECT_GT(details.match_count, 8);
        EXPECT_LT(details.rms_linear, 0.5 * downsample);
        for (int32_t i = 0; i < details.match_count; ++i) {
            const SolverMatch& m = details.matches[i];
            double x = 0, y = 0;
            ASSERT_TRUE(truth.sky_to_pixel(m.ra, m.dec, &x, &y));
            EXPECT_LT(std::hypot(m.x - (x + 0.5), m.y - (y + 0.5)), 1.5 * downsample);
            EXPECT_LT(m.residual, 3.0);
        }
        kestil_solver_release_details(&details);
        EXPECT_EQ(nullptr, details.matches);
    }
    kestil_solver_index_cache_release(cache);
}

// Hints from a FITS header: used where the request has none, named in the progress, and never
// in the way of a solve: a wrong header only adds a search without them.
TEST_F(Sky, HeaderHintsHelpAndWrongOnesCostNoSolve) {
    struct Case {
        const char* what;
        const char* card;     // a card written over the simulated one (80 columns), or null
        bool header_hints;
        const char* progress;  // expected in the progress, or null
        const char* absent;    // not expected in the progress, or null
    };
    const Case cases[] = {
        {"true header", nullptr, true, "Position hint from the FITS header (CRVAL1/CRVAL2",
         "searching without them"},
        {"position 60 degrees off", "CRVAL1  =                210.1", true,
         "Not solved with the header hints, searching without them", nullptr},
        {"scale twice too large", "CD1_1   =        -0.0033333333", true, "Scale hint", nullptr},
        {"hints ignored", nullptr, false, nullptr, "hint from the FITS header"},
    };
    const sim::SkyWcs truth = field(150.1, 30.1, 6.0, 0.0, 1, 800, 600);
    sim::SimulatorSettings settings_sim;
    settings_sim.wcs = truth;
    settings_sim.fwhm_px = 3.0;
    settings_sim.flux_mag10 = 200000.0;
    settings_sim.seed = 5;
    std::vector<CsvStar> stars = sim::select_cone(catalog->data(), catalog->size(), truth.ra_deg,
                                                  truth.dec_deg, truth.field_radius_deg() + 0.1);
    sim::SkyImage sky = sim::render_sky(settings_sim, stars.data(), stars.size());
    std::vector<uint8_t> fits;
    const char* message = nullptr;
    ASSERT_TRUE(sim::encode_image(sky, settings_sim, sim::ImageFormat::fits16, 0, &fits, &message));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = fits;
        if (c.card) {
            std::string card = std::string(c.card) + std::string(80 - strlen(c.card), ' ');
            std::string header(bytes.begin(), bytes.begin() + 2880);
            size_t at = header.find(card.substr(0, 8));
            ASSERT_NE(std::string::npos, at);
            std::copy(card.begin(), card.end(), bytes.begin() + static_cast<long>(at));
        }
        SolveRequest s = settings();
        s.header_hints = c.header_hints;
        std::string progress;
        SolverSolution solution = solve(s, bytes, &progress);
        ASSERT_TRUE(solution.solved) << (solution.message ? solution.message : "") << progress;
        EXPECT_LT(separation_deg(solution.ra_j2000 * 15, solution.dec_j2000, 150.1, 30.1), 1e-3);
        if (c.progress) {
            EXPECT_NE(std::string::npos, progress.find(c.progress)) << progress;
        }
        if (c.absent) {
            EXPECT_EQ(std::string::npos, progress.find(c.absent)) << progress;
        }
    }
}

TEST_F(Sky, WalkOrderAndIndexLoads) {
    // Random stars that no index knows: every attempt fails, so the whole schedule runs.
    std::vector<uint8_t> bytes = random_image(field(10, -40, 20, 0, 1, 1000, 300), 400, 3, 9);
    // A copy of the index directory whose scale-2 file is damaged: it is listed (it exists) but
    // fails to load in every pass, and the walk goes on with the others.
    std::string damaged = *directory + "/damaged";
    std::filesystem::create_directory(damaged);
    for (const char* name : {"index-01deg-tyc2.zeph", "index-05deg-tyc2.zeph"})
        std::filesystem::copy_file(*directory + "/" + name, damaged + "/" + name,
                                   std::filesystem::copy_options::overwrite_existing);
    FILE* bad = fopen((damaged + "/index-02deg-tyc2.zeph").c_str(), "wb");
    ASSERT_NE(nullptr, bad);
    fputs("not an index", bad);
    fclose(bad);
    struct Case {
        double scale_hint;
        bool damaged;
        const char* walk;   // scales of the attempts
        const char* loads;  // scales loaded
    };
    const Case cases[] = {{0, false, "521125521", "5212521"},
                          {20.0 / 3600, false, "215215215", "215215215"},
                          {0, true, "521125521", "5151"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.scale_hint) + (c.damaged ? " damaged" : ""));
        SolveRequest settings = Sky::settings();
        if (c.damaged) snprintf(settings.index_dir, sizeof settings.index_dir, "%s", damaged.c_str());
        settings.no_extended_search = true;  // the walk of the schedule alone
        settings.scale_hint = c.scale_hint;
        test_support::LogCapture log(3);
        std::string progress;
        SolverSolution solution = solve(settings, bytes, &progress);
        EXPECT_FALSE(solution.solved);
        EXPECT_STREQ("No solution found", solution.message);
        // Every index that loads runs the last stage; the damaged one never does.
        ASSERT_EQ(c.damaged ? 2u : 3u, lines_with(progress, "Stage 3: ").size()) << progress;
        std::string walk, loads;
        for (const std::string& line : lines_with(progress, "Solving with index "))
            walk += line.substr(19, 1);
        for (const std::string& line : test_support::LogCapture::current())
            if (line.find("kestil_solver_load_index: using") == 0) loads += line.substr(line.size() - 4, 1);
        EXPECT_EQ(c.walk, walk);
        EXPECT_EQ(c.loads, loads);
        EXPECT_EQ(1u, lines_with(progress, "Image 1000 x 300, binned 1 x 1").size());
    }
}

// Sharp stars mostly vanish from the image binned by default, and the stages find nothing;
// the extended search takes the stars of the unbinned image and solves it, and with
// --no-extended-search the run ends as the stages leave it. Random stars that no index knows
// never solve, whether the extended search runs to its end or to the time limit.
TEST_F(Sky, ExtendedSearchSolvesWhatTheStagesMissAndNothingElse) {
    const double arcsec = 6.0;
    sim::SkyWcs w = field(150.2, 30.1, arcsec, 75.0, -1, 800, 600);
    std::vector<uint8_t> sharp = image(w, 0, 2.4);
    std::vector<uint8_t> unknown = random_image(w, 300, 8, 13);
    struct Case {
        const char* what;
        const std::vector<uint8_t>* bytes;
        bool extended;
        double cpu_limit;
        bool solved;
        const char* message;
    };
    const Case cases[] = {
        {"sharp stars, stages only", &sharp, false, 60, false, "No solution found"},
        {"sharp stars, extended search", &sharp, true, 60, true, nullptr},
        {"random stars, to the end", &unknown, true, 0, false, "No solution found"},
        {"random stars, to the limit", &unknown, true, 2, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolveRequest s = settings();
        s.downsample = 2;  // the default, not given
        s.no_extended_search = !c.extended;
        s.cpu_limit = c.cpu_limit;
        std::string progress;
        SolverSolution solution = solve(s, *c.bytes, &progress);
        ASSERT_EQ(c.solved, solution.solved) << (solution.message ? solution.message : "");
        if (c.message) {
            EXPECT_STREQ(c.message, solution.message);
        }
        // (At the limit the stages may use up the time before the extended search starts.)
        if (c.cpu_limit == 0 || c.solved || !c.extended) {
            EXPECT_EQ(c.extended, progress.find("Extended search:") != std::string::npos);
        }
        if (!c.solved) continue;
        // The unbinned stars: the scale is that of the image as read.
        EXPECT_LT(separation_deg(solution.ra_j2000 * 15, solution.dec_j2000, 150.2, 30.1),
                  arcsec / 3600);
        EXPECT_NEAR(arcsec / 3600, solution.scale, arcsec / 3600 * 1e-3);
        EXPECT_NEAR(0.0, std::remainder(solution.angle - 75.0, 360.0), 0.05);
        EXPECT_EQ(-1, solution.parity);
        EXPECT_GE(solution.matched_stars, 6);
    }
}

TEST_F(Sky, UnsolvedRunsSayWhy) {
    std::vector<uint8_t> good = image(field(150.2, 30.1, 6.0, 10.0, 1, 800, 600));
    std::vector<uint8_t> three = image(field(150.2, 30.1, 6.0, 10.0, 1, 800, 600), 3);
    std::vector<uint8_t> garbage(64, 0x5A);
    char empty_pattern[] = "/tmp/driver_test_empty_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(empty_pattern));
    struct Case {
        const char* what;
        const std::vector<uint8_t>* bytes;
        bool empty_dir;
        int parity;
        double cpu_limit;
        const char* message;
        bool indexes_tried;
    };
    const Case cases[] = {
        {"three stars", &three, false, 0, 60, "Not enough stars detected", false},
        {"no index", &good, true, 0, 60,
         "No index files found, download them with --download or the Solvane Agent, or select "
         "another index directory", false},
        {"wrong parity", &good, false, -1, 60, "Solution has the wrong parity", true},
        {"time limit", &good, false, 0, 1e-9, "CPU time limit exceeded", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolveRequest s = settings();
        s.scales[0] = 1.0f;  // one index keeps the exhaustive runs short
        s.scale_count = 1;
        s.parity = c.parity;
        s.cpu_limit = c.cpu_limit;
        if (c.empty_dir) snprintf(s.index_dir, sizeof s.index_dir, "%s", empty_pattern);
        std::string progress;
        SolverSolution solution = solve(s, *c.bytes, &progress);
        EXPECT_FALSE(solution.solved);
        EXPECT_STREQ(c.message, solution.message);
        EXPECT_EQ(c.indexes_tried, progress.find("Solving with index") != std::string::npos)
            << progress;
        EXPECT_EQ(800, solution.image_width);
        EXPECT_GE(solution.time, 0.0);
        if (c.parity == -1) {
            EXPECT_FALSE(
                lines_with(progress, "Solution with parity 1 rejected by the parity hint -1").empty());
        }
    }
    rmdir(empty_pattern);
    SolverSolution unreadable = solve(settings(), garbage);
    EXPECT_FALSE(unreadable.solved);
    ASSERT_NE(nullptr, unreadable.message);
    EXPECT_EQ(0, unreadable.image_width);
}

// Sizes of the engine's work, read from its debug lines by a log hook that allocates nothing
// (the heap is being counted meanwhile).
struct EngineWork {
    size_t most_quads = 0;   // largest quad build
    size_t most_matches = 0; // most quads matched by hash
};
EngineWork engine_work;

void note_engine_work(int, const char* line) {
    int stars = 0, count = 0;
    if (sscanf(line, "kestil_solver_build_image_quads: %d stars used to form %d", &stars,
               &count) == 2)
        engine_work.most_quads = std::max(engine_work.most_quads, static_cast<size_t>(count));
    if (sscanf(line, "kestil_solver_match_quads: %d quads matched by hash", &count) == 1)
        engine_work.most_matches = std::max(engine_work.most_matches, static_cast<size_t>(count));
}

// The heap of a solve, as main runs it (the image file read into one block, then the solve).
// Its peak is the driver's fixed buffers (500 image stars, 1,000,000 image quads, 1,000,000 quad
// matches, 1,000 star pairs), the file, the working image and the engine's scratch: the quad
// build's 16 bytes per quad (two 64-bit sort keys) or the vote's 36 bytes per match found by
// hash, whichever is larger; plus 1 MB of slack for the small scratch (the noise histogram of
// 256 KB, the detector's 500 stars, grid cells, cone flags, fit arrays). At the limit of
// 1,000,000 quads the quad build adds 16 MB to the 112 MB of buffers.
// Nothing of the solve is left allocated after it but what a thread keeps for the next solve.
TEST_F(Sky, PeakHeapOfASolve) {
    if (!test_support::HeapWatch::available())
        GTEST_SKIP() << "the heap is counted through the AddressSanitizer allocator's hooks "
                        "(debug preset); the Release process is measured in bench/README.md";
    struct Case {
        const char* what;
        int width, height, downsample;
        bool random;  // stars no index knows: every stage runs against every index
        bool solved;
    };
    const Case cases[] = {
        {"solved in the first stage", 800, 600, 1, false, true},
        {"binned 2", 1600, 1200, 2, false, true},
        {"every stage and index, 916,895 quads", 1200, 900, 1, true, false},
    };
    const size_t fixed = 500 * sizeof(ImageStar) + 1000000 * sizeof(ImageQuad) +
                         1000000 * sizeof(QuadMatch) + 1000 * sizeof(StarMatch);
    const size_t slack = 1 << 20;
    // The first solve of a thread makes what is kept for later ones (the log's line buffer, the
    // time zone, the star detector's scratch): made here, before anything is counted.
    {
        SolverSolution warm_up{};
        const std::vector<uint8_t> bytes = image(field(150.2, 30.1, 6.0, 10.0, 1, 800, 600));
        const SolveRequest settings = Sky::settings();
        engine_work = {};
        test_support::LogHandlerScope log(note_engine_work);
        kestil_solver_solve(&settings, bytes.data(), static_cast<uint32_t>(bytes.size()), &warm_up);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::SkyWcs w = field(150.2, 30.1, 6.0 * c.downsample, 10.0, 1, c.width, c.height);
        std::vector<uint8_t> bytes =
            c.random ? random_image(w, 400, 3, 9) : image(w, 0, c.downsample == 2 ? 5.0 : 3.0);
        SolveRequest settings = Sky::settings();
        settings.downsample = c.downsample;
        SolverSolution solution{};
        size_t peak = 0, left = 0;
        bool overflow = false;
        {
            engine_work = {};
            test_support::LogHandlerScope log(note_engine_work);  // the engine's debug lines: scratch sizes
            test_support::HeapWatch watch;
            auto* file = static_cast<uint8_t*>(kestil_checked_malloc(bytes.size()));
            std::memcpy(file, bytes.data(), bytes.size());
            kestil_solver_solve(&settings, file, static_cast<uint32_t>(bytes.size()), &solution);
            free(file);
            overflow = watch.overflow();
            peak = watch.peak();
            left = watch.live();
        }
        ASSERT_FALSE(overflow);
        EXPECT_EQ(c.solved, solution.solved);
        const size_t image_bytes = 12 + 2 * static_cast<size_t>(c.width / c.downsample) *
                                            static_cast<size_t>(c.height / c.downsample);
        const size_t scratch = std::max(16 * engine_work.most_quads, 36 * engine_work.most_matches);
        const size_t floor = fixed + bytes.size() + image_bytes;  // all live at once
        SCOPED_TRACE("peak " + std::to_string(peak) + " = buffers, file and image + " +
                     std::to_string(static_cast<ssize_t>(peak - floor)) + ", engine scratch " +
                     std::to_string(scratch));
        RecordProperty(std::string("peak of ") + c.what, std::to_string(peak) + " bytes, " +
                                                         std::to_string(scratch) + " of scratch");
        EXPECT_GE(peak, floor);  // the count sees the buffers
        EXPECT_LE(peak, floor + scratch + slack);
        // The star detector's per-thread scratch may grow for larger stars (a few KB); a
        // buffer of the solve left behind is far larger.
        EXPECT_LE(left, size_t{64} << 10);
    }
}

}  // namespace
