// Tests of the picture of a solve, read back with cairo: its size for small, middle and large
// images, the orientation of FITS against raw images (image and marks flipped together), the
// marks' colours where the details put them (only the detections when not solved), grid lines
// at round RA and Dec (also across RA 0 and around a pole), and failed writes leaving nothing.
#include "app/annotate.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/angles.h"
#include "framework/pixel_formats.h"
#include "tests/support/files.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using test_support::TempDir;

// Releases the font caches of cairo and fontconfig after the last test, so that the leak checker
// of the sanitizer builds sees only our own blocks.
class FontCaches : public testing::Environment {
public:
    void TearDown() override { annotate_release_fonts(); }
};
const testing::Environment* const font_caches = testing::AddGlobalTestEnvironment(new FontCaches);

// A "RAW2" image: background 1000 with a deterministic ripple, and a bright strip over the
// first 20 stored rows of the right half (to see which way up the picture is).
std::string raw_image(uint32_t width, uint32_t height) {
    std::string bytes(12 + size_t(width) * height * 2, '\0');
    const uint32_t header[3] = {KESTIL_PIXEL_FORMAT_RAW2, width, height};
    memcpy(bytes.data(), header, sizeof header);
    for (uint32_t r = 0; r < height; ++r)
        for (uint32_t c = 0; c < width; ++c) {
            const uint16_t v = r < 20 && c >= width / 2 ? 30000 : uint16_t(1000 + (r * 7 + c * 13) % 97);
            memcpy(bytes.data() + 12 + (size_t(r) * width + c) * 2, &v, 2);
        }
    return bytes;
}

// The same samples as a 16-bit FITS file (BZERO 32768, big-endian), first stored row first.
std::string fits_image(uint32_t width, uint32_t height) {
    const std::string raw = raw_image(width, height);
    std::string header;
    auto card = [&](const std::string& text) {
        header += text + std::string(80 - text.size(), ' ');
    };
    card("SIMPLE  =                    T");
    card("BITPIX  =                   16");
    card("NAXIS   =                    2");
    card("NAXIS1  = " + std::string(20 - std::to_string(width).size(), ' ') + std::to_string(width));
    card("NAXIS2  = " + std::string(20 - std::to_string(height).size(), ' ') + std::to_string(height));
    card("BZERO   =                32768");
    card("END");
    header.resize(2880, ' ');
    std::string data(size_t(width) * height * 2, '\0');
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        uint16_t v;
        memcpy(&v, raw.data() + 12 + i * 2, 2);
        const uint16_t stored = uint16_t(v - 32768);
        data[2 * i] = char(stored >> 8);
        data[2 * i + 1] = char(stored & 0xFF);
    }
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    return header + data;
}

// A TAN plate about the image centre: north up, east left when row 1 is at the bottom.
SolverWcs tan_plate(double ra, double dec, double scale, int32_t width, int32_t height) {
    SolverWcs wcs{};
    wcs.crpix[0] = (width + 1) * 0.5;
    wcs.crpix[1] = (height + 1) * 0.5;
    wcs.crval[0] = ra;
    wcs.crval[1] = dec;
    wcs.cd[0][0] = -scale;
    wcs.cd[1][1] = scale;
    return wcs;
}

// The same plate's inverse, by the deprojection of Calabretta & Greisen (2002) eq. 54-55 for
// TAN (an independent formula, not the solver's code): pixel -> RA, Dec in degrees.
void tan_sky(const SolverWcs& wcs, double x, double y, double* ra, double* dec) {
    const double xi = wcs.cd[0][0] * (x - wcs.crpix[0]) * rad_per_deg;
    const double eta = wcs.cd[1][1] * (y - wcs.crpix[1]) * rad_per_deg;
    const double d0 = wcs.crval[1] * rad_per_deg;
    const double denominator = std::cos(d0) - eta * std::sin(d0);
    *ra = std::fmod(wcs.crval[0] + std::atan2(xi, denominator) * deg_per_rad + 360.0, 360.0);
    *dec = std::atan2(std::sin(d0) + eta * std::cos(d0), std::hypot(xi, denominator)) * deg_per_rad;
}

struct Picture {
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface{nullptr,
                                                                            cairo_surface_destroy};
    int width = 0, height = 0;
    explicit Picture(const std::string& path)
        : surface(cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy) {
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return;
        width = cairo_image_surface_get_width(surface.get());
        height = cairo_image_surface_get_height(surface.get());
    }
    uint32_t at(int u, int v) const {
        const unsigned char* data = cairo_image_surface_get_data(surface.get());
        const int stride = cairo_image_surface_get_stride(surface.get());
        uint32_t pixel;
        memcpy(&pixel, data + size_t(v) * size_t(stride) + size_t(u) * 4, 4);
        return pixel & 0xFFFFFF;
    }
};

// Whether the pixel is the colour drawn over some grey (a translucent or antialiased line over
// the image, or a line on its dark outline): pixel = a * colour + (1 - a) * grey, a >= 0.3 (a
// thin line may cover two pixels by half each). No grey passes for any of the marks' colours:
// their channels span over 160, so a grey would need a < 0.27 to stay within 22 of each.
bool looks_like(uint32_t pixel, uint32_t rgb) {
    const double p[3] = {double(pixel >> 16 & 0xFF), double(pixel >> 8 & 0xFF), double(pixel & 0xFF)};
    const double c[3] = {double(rgb >> 16 & 0xFF), double(rgb >> 8 & 0xFF), double(rgb & 0xFF)};
    for (double a = 0.3; a <= 1.0001; a += 0.05) {
        double grey = 0;
        for (int i = 0; i < 3; ++i) grey += (p[i] - a * c[i]) / 3.0;
        grey = a > 0.999 ? 0 : std::clamp(grey / (1 - a), 0.0, 255.0);
        bool close = true;
        for (int i = 0; i < 3; ++i) close = close && std::fabs(p[i] - (a * c[i] + (1 - a) * grey)) < 22;
        if (close) return true;
    }
    return false;
}

// Pixels of the colour within radius of (u, v).
int colour_near(const Picture& picture, double u, double v, double radius, uint32_t rgb) {
    int count = 0;
    for (int y = std::max(0, int(v - radius)); y <= std::min(picture.height - 1, int(v + radius)); ++y)
        for (int x = std::max(0, int(u - radius)); x <= std::min(picture.width - 1, int(u + radius)); ++x)
            if (looks_like(picture.at(x, y), rgb)) ++count;
    return count;
}

// The share of near-white pixels in 11 rows about v, right half (grid lines may cross it).
double white_fraction(const Picture& picture, double v) {
    int white = 0, all = 0;
    for (int y = int(v) - 5; y <= int(v) + 5; ++y)
        for (int x = picture.width / 2 + 100; x < picture.width - 50; ++x, ++all) {
            const uint32_t p = picture.at(x, y);
            white += std::min({p >> 16 & 0xFF, p >> 8 & 0xFF, p & 0xFF}) > 200;
        }
    return double(white) / all;
}

SolverSolution solved_solution(double ra, double dec, int32_t width, int32_t height) {
    SolverSolution solution{};
    solution.solved = true;
    solution.ra = solution.ra_j2000 = ra / deg_per_hour;
    solution.dec = solution.dec_j2000 = dec;
    solution.scale = 0.002;
    solution.parity = 1;
    solution.image_width = width;
    solution.image_height = height;
    solution.matched_stars = 1;
    snprintf(solution.index, sizeof solution.index, "test index");
    return solution;
}

TEST(Annotate, PictureSizeFollowsTheBinningAndEnlargement) {
    struct Case { uint32_t width, height; int picture_width, picture_height; const char* what; };
    const Case cases[] = {
        {100, 50, 800, 400, "enlarged 8 times to reach 800"},
        {600, 400, 1200, 800, "enlarged twice"},
        {2000, 1500, 2000, 1500, "as it is"},
        {4100, 1000, 1366, 333, "binned 3 x 3, the remainder dropped"},
    };
    TempDir folder("annotate");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = raw_image(c.width, c.height);
        SolverSolution solution{};
        solution.message = "No solution found";
        const std::string target = folder.file("size.png");
        ASSERT_TRUE(write_annotation(target.c_str(), image.data(), uint32_t(image.size()),
                                     &solution, nullptr));
        const Picture picture(target);
        EXPECT_EQ(c.picture_width, picture.width);
        EXPECT_EQ(c.picture_height, picture.height);
    }
    EXPECT_EQ(std::vector<std::string>{"size.png"}, folder.entries());  // replaced, no leftovers
}

TEST(Annotate, MarksSitWhereTheDetailsPutThemFitsFlipped) {
    const int32_t width = 600, height = 400;
    const double k = 2.0;  // picture pixels per stored pixel (enlarged twice)
    SolverStar detections[] = {{450, 300, 0, 0, 900}, {500, 120, 0, 0, 500}};
    SolverStar index_stars[] = {{450, 300, 0, 0, 0}, {380, 220, 0, 0, 0}};
    SolverMatch matches[] = {{450, 300, 0, 0, 0.2, 900}};
    struct Case { bool fits, solved; const char* what; };
    const Case cases[] = {{false, true, "raw: first stored row at the top"},
                          {true, true, "FITS: first stored row at the bottom"},
                          {false, false, "not solved: the detections only"}};
    TempDir folder("annotate");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolveDetails details{};
        details.solved = c.solved;
        details.width = width;
        details.height = height;
        details.wcs = tan_plate(150.1234, 30, 0.002, width, height);
        details.stars = detections;
        details.star_count = 2;
        if (c.solved) {
            details.index_stars = index_stars;
            details.index_star_count = 2;
            details.matches = matches;
            details.match_count = 1;
        }
        SolverSolution solution = solved_solution(150.1234, 30, width, height);
        if (!c.solved) solution = SolverSolution{false, "No solution found"};
        const std::string image = c.fits ? fits_image(width, height) : raw_image(width, height);
        const std::string target = folder.file("marks.png");
        ASSERT_TRUE(write_annotation(target.c_str(), image.data(), uint32_t(image.size()),
                                     &solution, &details));
        const Picture picture(target);
        ASSERT_EQ(1200, picture.width);
        auto v_of = [&](double y, bool flipped) {
            const double v = (y - 0.5) * k;
            return flipped ? picture.height - v : v;
        };
        // The bright strip of stored rows 1-20, right half: top for raw, bottom for FITS.
        EXPECT_GT(white_fraction(picture, v_of(10, c.fits)), 0.7);
        EXPECT_LT(white_fraction(picture, v_of(10, !c.fits)), 0.05);
        const double search = 30;  // wider than any mark, narrower than the marks' spacing
        const int match = colour_near(picture, 900, v_of(300, c.fits), search, ANNOTATE_MATCH_RGB);
        const int index =
            colour_near(picture, 760, v_of(220, c.fits), search, ANNOTATE_INDEX_STAR_RGB);
        EXPECT_TRUE(c.solved ? match > 10 : match == 0) << match;
        EXPECT_TRUE(c.solved ? index > 10 : index == 0) << index;
        EXPECT_GT(colour_near(picture, 1000, v_of(120, c.fits), search, ANNOTATE_DETECTION_RGB), 10);
        EXPECT_EQ(0, colour_near(picture, 1000, v_of(120, c.fits), search, ANNOTATE_MATCH_RGB));
        EXPECT_EQ(0, colour_near(picture, 900, v_of(300, !c.fits), search, ANNOTATE_MATCH_RGB));
        EXPECT_EQ(0, colour_near(picture, 760, v_of(220, !c.fits), search, ANNOTATE_INDEX_STAR_RGB));
        if (!c.solved) {  // no grid either
            EXPECT_EQ(0, colour_near(picture, 600, 400, 600, ANNOTATE_GRID_RGB));
        }
    }
}

// Centres of the runs of grid-coloured pixels along a line of the picture.
std::vector<double> grid_crossings(const Picture& picture, bool column, int at, int from, int to) {
    std::vector<double> centres;
    int start = -1;
    for (int i = from; i <= to; ++i) {
        const bool grid = i < to && looks_like(column ? picture.at(at, i) : picture.at(i, at),
                                               ANNOTATE_GRID_RGB);
        if (grid && start < 0) start = i;
        if (!grid && start >= 0) {
            centres.push_back((start + i - 1) * 0.5 + 0.5);
            start = -1;
        }
    }
    return centres;
}

TEST(Annotate, GridLinesLieAtRoundRaAndDec) {
    // The middle of the picture (away from the labels at the edges and the text box): lines of
    // constant Dec cross the central column, lines of constant RA the central row. Round: Dec a
    // multiple of 5', RA of 30 s (every spacing offered for a 1.2 degree field is).
    struct Case { double ra, dec; const char* what; };
    // Centres off the round Dec values, so that no parallel runs along the central row.
    const Case cases[] = {{150.1234, 30.0333, "mid sky"},
                          {0.03, -20.04, "across RA 0"},
                          {359.9, 62.07, "far north, across RA 0 the other way"}};
    const int32_t width = 600, height = 400;
    const double k = 2.0, scale = 0.002;
    TempDir folder("annotate");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolveDetails details{};
        details.solved = true;
        details.width = width;
        details.height = height;
        details.wcs = tan_plate(c.ra, c.dec, scale, width, height);
        const SolverSolution solution = solved_solution(c.ra, c.dec, width, height);
        const std::string image = raw_image(width, height);
        const std::string target = folder.file("grid.png");
        ASSERT_TRUE(write_annotation(target.c_str(), image.data(), uint32_t(image.size()),
                                     &solution, &details));
        const Picture picture(target);
        const double tolerance_deg = 1.0 * scale;  // a stored pixel: line width and rounding
        const auto rows = grid_crossings(picture, true, 601, 160, 720);
        EXPECT_GE(rows.size(), 3u);
        for (double v : rows) {
            double ra, dec;
            tan_sky(details.wcs, 601.5 / k + 0.5, v / k + 0.5, &ra, &dec);
            const double minutes = dec * 60.0;
            EXPECT_NEAR(std::round(minutes / 5) * 5, minutes, tolerance_deg * 60) << "v " << v;
        }
        const auto columns = grid_crossings(picture, false, 401, 120, 1000);
        EXPECT_GE(columns.size(), 3u);
        for (double u : columns) {
            double ra, dec;
            tan_sky(details.wcs, u / k + 0.5, 401.5 / k + 0.5, &ra, &dec);
            const double seconds = ra / deg_per_hour * 3600.0;
            const double tolerance = tolerance_deg / std::cos(dec * rad_per_deg) / deg_per_hour * 3600;
            EXPECT_NEAR(std::round(seconds / 30) * 30, seconds, tolerance) << "u " << u;
        }
    }
}

TEST(Annotate, MeridiansMeetAtAPoleInsideTheField) {
    const int32_t width = 600, height = 400;
    SolveDetails details{};
    details.solved = true;
    details.width = width;
    details.height = height;
    details.wcs = tan_plate(40.0, 89.8, 0.002, width, height);  // the pole 100 px above centre
    const SolverSolution solution = solved_solution(40.0, 89.8, width, height);
    const std::string image = raw_image(width, height);
    TempDir folder("annotate");
    const std::string target = folder.file("pole.png");
    ASSERT_TRUE(write_annotation(target.c_str(), image.data(), uint32_t(image.size()),
                                 &solution, &details));
    const Picture picture(target);
    // The pole at stored (300.5, 300.5): picture (600, 600) with row 1 at the top. A circle of
    // 40 px about it crosses every meridian once and no parallel (they are 10' = 166 px apart).
    int crossings = 0;
    bool previous = false;
    for (int i = 0; i <= 720; ++i) {
        const double angle = i * two_pi / 720;
        const bool grid = looks_like(picture.at(int(600 + 40 * std::cos(angle)),
                                                int(600 + 40 * std::sin(angle))),
                                     ANNOTATE_GRID_RGB);
        if (grid && !previous) ++crossings;
        previous = grid;
    }
    EXPECT_GE(crossings, 6);
    EXPECT_LE(crossings, 24);
}

TEST(Annotate, FailedWritesLeaveNothingBehind) {
    TempDir folder("annotate");
    const std::string image = raw_image(64, 48);
    const std::string garbage = "not an image at all";
    mkdir(folder.file("taken").c_str(), 0755);
    struct Case { std::string target; const std::string* data; const char* reason; };
    const Case cases[] = {
        {folder.file("missing/picture.png"), &image, "No such file or directory"},
        {folder.file("taken"), &image, "Is a directory"},
        {folder.file("garbage.png"), &garbage, nullptr},
    };
    SolverSolution solution{};
    solution.message = "No solution found";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(write_annotation(c.target.c_str(), c.data->data(), uint32_t(c.data->size()),
                                      &solution, nullptr));
        // The reader may log lines of its own before (not a contract); ours is the last.
        std::string errors = testing::internal::GetCapturedStderr();
        const std::string start = "kestil_solver: can't write '" + c.target + "': ";
        const size_t ours = errors.find(start);
        ASSERT_NE(std::string::npos, ours) << errors;
        errors.erase(0, ours);
        EXPECT_EQ(1, std::count(errors.begin(), errors.end(), '\n')) << errors;
        if (c.reason) {
            EXPECT_EQ(start + c.reason + "\n", errors);
        }
        EXPECT_EQ(std::vector<std::string>{"taken"}, folder.entries());
        EXPECT_TRUE(std::filesystem::is_empty(folder.file("taken")));
    }
}

}  // namespace
