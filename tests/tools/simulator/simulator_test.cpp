// Tests of the sky simulator: its orientation convention against the solver's, round trips of
// the WCS, flux and position truth of the rendering, the encoders and determinism.
#include "tools/simulator/simulator.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <cmath>
#include <cstring>

#include "framework/angles.h"
#include "solver/image/solver_image.h"
#include "tests/support/files.hpp"
#include "tests/support/temp_dir.hpp"

using namespace kestil_simulator;

namespace {

SkyWcs field(double angle, int parity) {
    SkyWcs w;
    w.ra_deg = 120.0;
    w.dec_deg = 35.0;
    w.scale_arcsec = 3.0;
    w.angle_deg = angle;
    w.parity = parity;
    w.width = 801;
    w.height = 600;
    return w;
}

TEST(SimulatorWcs, CdMatrixOfTheWcsHeader) {
    // The solver's WCS header examples: parity 1, angle 0 gives CD1_1 = -s, CD2_2 = s;
    // parity -1, angle 0 gives CD1_1 = s, CD2_2 = s (off-diagonals 0 up to rounding).
    SkyWcs w;
    w.scale_arcsec = 3.6;
    double cd[2][2];
    w.cd_matrix(cd);
    EXPECT_DOUBLE_EQ(-0.001, cd[0][0]);
    EXPECT_DOUBLE_EQ(0.001, cd[1][1]);
    EXPECT_EQ(0.0, cd[0][1]);
    EXPECT_EQ(0.0, cd[1][0]);
    w.parity = -1;
    w.cd_matrix(cd);
    EXPECT_DOUBLE_EQ(0.001, cd[0][0]);
    EXPECT_DOUBLE_EQ(0.001, cd[1][1]);
    EXPECT_NEAR(0.0, cd[0][1], 1e-18);
    EXPECT_NEAR(0.0, cd[1][0], 1e-18);
}

// The solver's reading of a fitted map (xi, eta per pixel in x and y) as angle and parity.
void solver_orientation(const double cd[2][2], double* angle_deg, int* parity) {
    const double xi_x = cd[0][0], xi_y = cd[0][1], eta_x = cd[1][0], eta_y = cd[1][1];
    const double d = xi_x * eta_y - xi_y * eta_x;
    const double q = d >= 0 ? 1.0 : -1.0;
    double a = std::fmod(-std::atan2(q * eta_x - xi_y, q * xi_x + eta_y) + 4 * pi,
                         two_pi);
    *angle_deg = a * deg_per_rad;
    *parity = d < 0 ? 1 : -1;
}

TEST(SimulatorWcs, SolverReadsBackAngleAndParity) {
    for (int parity : {1, -1})
        for (double angle : {0.0, 10.0, 90.0, 179.5, 180.0, 270.0, 359.0}) {
            SCOPED_TRACE(angle);
            SCOPED_TRACE(parity);
            SkyWcs w = field(angle, parity);
            double cd[2][2], a = 0.0;
            int p = 0;
            w.cd_matrix(cd);
            solver_orientation(cd, &a, &p);
            EXPECT_EQ(parity, p);
            const double diff = std::remainder(a - angle, 360.0);
            EXPECT_NEAR(0.0, diff, 1e-9);  // double rounding of the trigonometry only
        }
}

TEST(SimulatorWcs, DirectionsOnTheImage) {
    // Angle 0, parity 1: north is towards larger y, east (larger RA) towards smaller x.
    // Angle 90, parity 1: north towards larger x. Parity -1, angle 0: the mirror image in x,
    // north towards larger y and east towards larger x.
    struct Case { double angle; int parity; double north_dx, north_dy, east_dx, east_dy; };
    const Case cases[] = {{0, 1, 0, 1, -1, 0}, {90, 1, 1, 0, 0, 1}, {0, -1, 0, 1, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.angle);
        SkyWcs w = field(c.angle, c.parity);
        double x0, y0, xn, yn, xe, ye;
        ASSERT_TRUE(w.sky_to_pixel(w.ra_deg, w.dec_deg, &x0, &y0));
        EXPECT_NEAR(400.5, x0, 1e-9);  // the centre of an odd width is the middle of column 400
        EXPECT_NEAR(300.0, y0, 1e-9);
        ASSERT_TRUE(w.sky_to_pixel(w.ra_deg, w.dec_deg + 0.01, &xn, &yn));
        ASSERT_TRUE(w.sky_to_pixel(w.ra_deg + 0.01, w.dec_deg, &xe, &ye));
        const double n = std::hypot(xn - x0, yn - y0), e = std::hypot(xe - x0, ye - y0);
        EXPECT_NEAR(12.0, n, 1e-3);  // 36" / 3" per pixel, tangent-plane stretch < 1e-4
        EXPECT_NEAR(c.north_dx, (xn - x0) / n, 1e-6);
        EXPECT_NEAR(c.north_dy, (yn - y0) / n, 1e-6);
        EXPECT_NEAR(c.east_dx, (xe - x0) / e, 1e-3);  // RA lines converge: direction to 1e-3
        EXPECT_NEAR(c.east_dy, (ye - y0) / e, 1e-3);
    }
}

TEST(SimulatorWcs, PixelSkyRoundTrip) {
    for (int parity : {1, -1})
        for (double angle : {0.0, 33.0, 211.0}) {
            SkyWcs w = field(angle, parity);
            w.dec_deg = 89.5;  // near the pole too
            for (double x : {0.0, 100.25, 800.9})
                for (double y : {0.0, 333.3, 599.5}) {
                    double ra, dec, xb, yb;
                    w.pixel_to_sky(x, y, &ra, &dec);
                    ASSERT_TRUE(w.sky_to_pixel(ra, dec, &xb, &yb));
                    EXPECT_NEAR(x, xb, 1e-7);
                    EXPECT_NEAR(y, yb, 1e-7);
                }
        }
    SkyWcs w = field(0, 1);
    double x, y;
    EXPECT_FALSE(w.sky_to_pixel(w.ra_deg + 180.0, -w.dec_deg, &x, &y));  // antipode
}

SimulatorSettings quiet(int width, int height) {
    SimulatorSettings s;
    s.wcs = field(25.0, 1);
    s.wcs.width = width;
    s.wcs.height = height;
    s.noise = false;
    s.sky_adu = 100.0;
    return s;
}

TEST(SimulatorRender, FluxAndCentroidMatchTheTruth) {
    struct Case { Psf psf; double fwhm; double flux_tolerance; };
    // Gaussian pixels are integrated exactly (erf); Moffat wings are cut at 0.02 ADU and the
    // core is sampled 4 x 4 per pixel: a few per cent of the flux may be missing.
    const Case cases[] = {{Psf::gaussian, 2.0, 0.002}, {Psf::gaussian, 5.0, 0.002}, {Psf::moffat, 3.0, 0.05}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fwhm);
        SimulatorSettings s = quiet(200, 160);
        s.psf = c.psf;
        s.fwhm_px = c.fwhm;
        CsvStar star;
        s.wcs.pixel_to_sky(90.3, 70.8, &star.ra, &star.dec);
        star.mag = 10.0;
        SkyImage image = render_sky(s, &star, 1);
        ASSERT_EQ(1u, image.stars.size());
        const TruthStar& t = image.stars[0];
        EXPECT_NEAR(90.3, t.x, 1e-9);
        EXPECT_NEAR(70.8, t.y, 1e-9);
        EXPECT_DOUBLE_EQ(s.flux_mag10, t.flux);
        double sum = 0, sx = 0, sy = 0;
        for (int r = 0; r < image.height; ++r)
            for (int col = 0; col < image.width; ++col) {
                const double v = image.pixels[size_t(r) * image.width + col] - s.sky_adu;
                sum += v;
                sx += v * (col + 0.5);
                sy += v * (r + 0.5);
            }
        EXPECT_NEAR(1.0, sum / t.flux, c.flux_tolerance + 0.001);  // + rounding to whole ADU
        EXPECT_NEAR(t.x, sx / sum, 0.01);  // symmetric profile: only rounding moves it
        EXPECT_NEAR(t.y, sy / sum, 0.01);
    }
}

TEST(SimulatorRender, MagnitudesDistortionAndSaturation) {
    SimulatorSettings s = quiet(300, 300);
    s.distortion_k1 = 0.1;
    s.saturation_adu = 20000;
    CsvStar stars[3];
    s.wcs.pixel_to_sky(150.0, 150.0, &stars[0].ra, &stars[0].dec);
    s.wcs.pixel_to_sky(250.0, 150.0, &stars[1].ra, &stars[1].dec);
    s.wcs.pixel_to_sky(50.0, 50.0, &stars[2].ra, &stars[2].dec);
    stars[0].mag = 5.0;   // saturates
    stars[1].mag = 12.5;  // 10 times fainter than mag 10
    stars[2].mag = 30.0;
    s.mag_limit = 20.0;   // star 2 is not rendered
    SkyImage image = render_sky(s, stars, 3);
    ASSERT_EQ(2u, image.stars.size());
    EXPECT_TRUE(image.stars[0].saturated);
    EXPECT_EQ(20000, image.pixels[150 * 300 + 150]);
    EXPECT_NEAR(s.flux_mag10 / 10.0, image.stars[1].flux, 1e-6);
    // r = 100 of r_corner = 150 sqrt(2): factor 1 + 0.1 (100 / 212.13)^2
    EXPECT_NEAR(150.0 + 100.0 * (1 + 0.1 * 10000.0 / 45000.0), image.stars[1].x, 1e-9);
    EXPECT_NEAR(250.0, image.stars[1].x_linear, 1e-9);
    EXPECT_NEAR(150.0, image.stars[0].x, 1e-9);
}

TEST(SimulatorRender, NoiseLevelMatchesTheSettings) {
    SimulatorSettings s = quiet(256, 256);
    s.noise = true;
    s.sky_adu = 900.0;
    s.gain = 4.0;
    s.read_noise_adu = 3.0;
    SkyImage image = render_sky(s, nullptr, 0);
    double sum = 0, squares = 0;
    for (uint16_t v : image.pixels) sum += v, squares += double(v) * v;
    const double n = double(image.pixels.size()), mean = sum / n;
    const double sigma = std::sqrt(squares / n - mean * mean);
    EXPECT_NEAR(900.0, mean, 0.1);
    // sqrt(900 / 4 + 9) = 15.30 (plus 1/12 of rounding); 65536 samples: 1% is 3.5 sigma
    EXPECT_NEAR(std::sqrt(225.0 + 9.0 + 1.0 / 12), sigma, 0.15);
}

TEST(SimulatorOutput, SameSeedSameBytes) {
    SimulatorSettings s;
    s.wcs = field(30.0, -1);
    s.wcs.width = 320;
    s.wcs.height = 200;
    s.hot_pixels = 5;
    s.cosmic_rays = 3;
    s.satellite_trail = true;
    s.vignetting = 0.2;
    s.bayer = true;
    s.psf = Psf::moffat;
    std::vector<CsvStar> stars = random_stars(s.wcs, 60, 6.0, 13.0, 10.0, 9);
    for (ImageFormat f : {ImageFormat::raw2, ImageFormat::fits16, ImageFormat::fits32, ImageFormat::jpeg}) {
        std::vector<uint8_t> a, b, c;
        const char* message = nullptr;
        SkyImage first = render_sky(s, stars.data(), stars.size());
        SkyImage second = render_sky(s, stars.data(), stars.size());
        ASSERT_TRUE(encode_image(first, s, f, 90, &a, &message));
        ASSERT_TRUE(encode_image(second, s, f, 90, &b, &message));
        EXPECT_TRUE(a == b);
        EXPECT_EQ(truth_json(first, s), truth_json(second, s));
        SimulatorSettings other = s;
        other.seed = 2;
        ASSERT_TRUE(encode_image(render_sky(other, stars.data(), stars.size()), other, f, 90, &c, &message));
        EXPECT_FALSE(a == c);
    }
}

TEST(SimulatorOutput, RawAndFitsLayouts) {
    SimulatorSettings s = quiet(5, 3);
    SkyImage image;
    image.width = 5;
    image.height = 3;
    for (int i = 0; i < 15; ++i) image.pixels.push_back(uint16_t(i * 4369));  // 0 .. 61166
    image.pixels[14] = 65535;
    std::vector<uint8_t> bytes;
    const char* message = nullptr;

    ASSERT_TRUE(encode_image(image, s, ImageFormat::raw2, 0, &bytes, &message));
    ASSERT_EQ(12u + 30u, bytes.size());
    EXPECT_EQ(0, std::memcmp(bytes.data(), "RAW2\x05\0\0\0\x03\0\0\0", 12));
    EXPECT_EQ(0x11, bytes[12 + 2]);  // 4369 = 0x1111, little-endian
    s.bayer = true;
    ASSERT_TRUE(encode_image(image, s, ImageFormat::raw2, 0, &bytes, &message));
    EXPECT_NE(std::string::npos, std::string(bytes.begin() + 42, bytes.end()).find("BAYERPAT"));
    ASSERT_TRUE(encode_image(image, s, ImageFormat::raw3, 0, &bytes, &message));
    EXPECT_EQ(12u + 45u, bytes.size());  // no trailer for colour layouts
    EXPECT_EQ(255, bytes[12 + 42]);      // 65535 / 257
    EXPECT_EQ(17, bytes[12 + 3]);        // 4369 / 257
    ASSERT_TRUE(encode_image(image, s, ImageFormat::raw6, 0, &bytes, &message));
    EXPECT_EQ(12u + 90u, bytes.size());

    ASSERT_TRUE(encode_image(image, s, ImageFormat::fits16, 0, &bytes, &message));
    ASSERT_EQ(2u * 2880u, bytes.size());
    const std::string header(bytes.begin(), bytes.begin() + 2880);
    EXPECT_EQ(0u, header.find("SIMPLE  =                    T"));
    EXPECT_NE(std::string::npos, header.find("BZERO   =                32768"));
    EXPECT_NE(std::string::npos, header.find("BAYERPAT= 'RGGB'"));
    EXPECT_NE(std::string::npos, header.find("CRPIX1  =                    3 "));
    // value 0 is stored as -32768 (0x8000), 65535 as 32767 (0x7FFF), big-endian
    EXPECT_EQ(0x80, bytes[2880]);
    EXPECT_EQ(0x00, bytes[2881]);
    EXPECT_EQ(0x7F, bytes[2880 + 28]);
    EXPECT_EQ(0xFF, bytes[2880 + 29]);
    ASSERT_TRUE(encode_image(image, s, ImageFormat::fits32, 0, &bytes, &message));
    EXPECT_EQ(0x47, bytes[2880 + 56]);  // 65535.0f = 0x477FFF00
    EXPECT_EQ(0x7F, bytes[2880 + 57]);
    ASSERT_TRUE(encode_image(image, s, ImageFormat::jpeg, 90, &bytes, &message));
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xD8, bytes[1]);
}

}  // namespace

namespace {

// Every file format the simulator writes is read back by the solver's image input with the
// same samples (8-bit formats: value / 257, expanded again by 257 except for FITS).
TEST(SimulatorOutput, FilesReadBackThroughTheImageInput) {
    const test_support::TempDir dir("simulator");
    SimulatorSettings s;
    s.wcs = field(10.0, 1);
    s.wcs.width = 64;
    s.wcs.height = 48;
    s.bayer = true;
    std::vector<CsvStar> stars = random_stars(s.wcs, 10, 6.0, 12.0, 0.0, 3);
    const SkyImage sky = render_sky(s, stars.data(), stars.size());
    struct Case { ImageFormat format; const char* name; bool bayer; int scale; };
    const Case cases[] = {{ImageFormat::raw2, "a.raw", true, 0},    {ImageFormat::raw1, "b.raw", true, 257},
                          {ImageFormat::fits16, "c.fits", true, 0}, {ImageFormat::fits32, "d.fits", true, 0},
                          {ImageFormat::fits8, "e.fits", true, 1},  {ImageFormat::dng, "f.dng", false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        const char* message = nullptr;
        ASSERT_TRUE(write_image(sky, s, c.format, 90, path, &message)) << message;
        const std::string bytes = test_support::read_file(path);
        int32_t factor = 0, w = 0, h = 0;
        bool bayer = false;
        // Binning 1 asked; a Bayer flag makes it 2, so compare the unbinned size and the flag.
        SolverImage* image = kestil_solver_load_image(bytes.data(), int32_t(bytes.size()), 1, &factor, &w,
                                                      &h, &bayer, &message);
        ASSERT_NE(nullptr, image) << message;
        EXPECT_EQ(64, w);
        EXPECT_EQ(48, h);
        EXPECT_EQ(c.bayer, bayer);
        if (factor == 1) {
            for (size_t i = 0; i < sky.pixels.size(); ++i) {
                const uint16_t v = sky.pixels[i];
                const uint16_t expected = c.scale == 0 ? v : uint16_t((v + 128) / 257 * c.scale);
                ASSERT_EQ(expected, image->pixels[i]) << i;
            }
        } else {
            // 2 x 2 binning: the mean of each cell, truncated
            const size_t k = 5 * 32 + 7;  // any output sample
            const size_t r = k / 32, col = k % 32;
            auto at = [&](size_t y, size_t x) {
                const uint16_t v = sky.pixels[y * 64 + x];
                return c.scale == 0 ? unsigned(v) : unsigned((v + 128) / 257 * c.scale);
            };
            const unsigned sum = at(2 * r, 2 * col) + at(2 * r, 2 * col + 1) + at(2 * r + 1, 2 * col) +
                                 at(2 * r + 1, 2 * col + 1);
            EXPECT_EQ(sum / 4, image->pixels[k]);
        }
        std::free(image);
    }
}

}  // namespace

namespace {

// An independent reading of the FITS header the simulator writes: WCSLIB maps the FITS pixel
// (x + 0.5, y + 0.5) of every rendered star to its catalogue position.
TEST(SimulatorOutput, FitsWcsAgreesWithWcslib) {
    for (int parity : {1, -1}) {
        SCOPED_TRACE(parity);
        SimulatorSettings s = quiet(300, 200);
        s.wcs = field(137.0, parity);
        s.wcs.width = 300;
        s.wcs.height = 200;
        std::vector<CsvStar> stars = random_stars(s.wcs, 20, 8.0, 10.0, -10.0, 5);
        const SkyImage sky = render_sky(s, stars.data(), stars.size());
        ASSERT_EQ(20u, sky.stars.size());
        std::vector<uint8_t> bytes;
        const char* message = nullptr;
        ASSERT_TRUE(encode_image(sky, s, ImageFormat::fits16, 0, &bytes, &message));
        std::string header(bytes.begin(), bytes.begin() + 2880);
        int rejected = 0, count = 0;
        wcsprm* wcs = nullptr;
        ASSERT_EQ(0, wcspih(header.data(), 36, WCSHDR_all, 0, &rejected, &count, &wcs));
        ASSERT_EQ(1, count);
        ASSERT_EQ(0, wcsset(wcs));
        for (const TruthStar& t : sky.stars) {
            double pixel[2] = {t.x + 0.5, t.y + 0.5}, imgcrd[2], phi, theta, world[2];
            int status = 0;
            ASSERT_EQ(0, wcsp2s(wcs, 1, 2, pixel, imgcrd, &phi, &theta, world, &status));
            // 1e-9 degrees = 4 microarcseconds: rounding of the 12-digit header values only
            EXPECT_NEAR(0.0, std::remainder(world[0] - t.ra_deg, 360.0), 1e-9);
            EXPECT_NEAR(t.dec_deg, world[1], 1e-9);
        }
        wcsvfree(&count, &wcs);
    }
}

}  // namespace
