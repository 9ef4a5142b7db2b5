// Tests of the WCS header: read back by wcslib (centre, scale, orientation of both parities),
// the card layout of the FITS fixed format and the block size; with SIP distortion terms, read
// back by wcslib and (where installed) astropy and compared with the solver's own mapping.
#include "app/wcs_header.h"
#include "solver/engine/sip.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <regex>
#include <sstream>
#include <string>

#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include "tests/support/temp_dir.hpp"

namespace {

constexpr double deg_per_rad = 57.29577951308232;

SolverSolution solution_with(double ra_hours, double dec, double angle, int parity,
                             double scale = 0.001) {
    SolverSolution s{};
    s.solved = true;
    s.ra = s.ra_j2000 = ra_hours;
    s.dec = s.dec_j2000 = dec;
    s.angle = angle;
    s.parity = parity;
    s.scale = scale;
    s.image_width = 4000;
    s.image_height = 3000;
    return s;
}

std::string header_text(const SolverSolution& solution, const char* file = "image.fits") {
    SolverSettings settings{};
    settings.image_file = file;
    WcsHeader header;
    size_t size = format_wcs_header(&settings, &solution, &header);
    return std::string(header.data, size);
}

// The header parsed by wcslib; null when it can't be read.
struct ParsedWcs {
    wcsprm* wcs = nullptr;
    int count = 0;
    explicit ParsedWcs(std::string text) {
        // The cards up to END: wcslib counts the block's blank padding after it as rejected.
        int cards = 0;
        while (cards * 80 < static_cast<int>(text.size()) && text.compare(cards * 80, 8, "END     ") != 0)
            ++cards;
        int rejected = 0;
        int status = wcspih(text.data(), cards + 1, WCSHDR_none, 0, &rejected, &count, &wcs);
        if (status != 0 || count != 1 || rejected != 0 || wcsset(wcs) != 0) release();
    }
    ~ParsedWcs() { release(); }
    void release() {
        if (wcs) wcsvfree(&count, &wcs);
        wcs = nullptr;
    }
    // Pixel (FITS coordinates, 1-based) to RA and Dec in degrees.
    bool sky(double x, double y, double* ra, double* dec) const {
        double pixel[2] = {x, y}, intermediate[2], phi, theta, world[2];
        int status = 0;
        if (wcsp2s(wcs, 1, 2, pixel, intermediate, &phi, &theta, world, &status) != 0) return false;
        *ra = world[0];
        *dec = world[1];
        return true;
    }
};

// Great-circle distance in degrees (haversine form, accurate for small angles).
double separation(double ra1, double dec1, double ra2, double dec2) {
    double a1 = ra1 / deg_per_rad, d1 = dec1 / deg_per_rad, a2 = ra2 / deg_per_rad,
           d2 = dec2 / deg_per_rad;
    double h = sin((d2 - d1) / 2) * sin((d2 - d1) / 2) +
               cos(d1) * cos(d2) * sin((a2 - a1) / 2) * sin((a2 - a1) / 2);
    return 2 * asin(sqrt(h)) * deg_per_rad;
}

TEST(WcsHeader, CentrePixelMapsToTheJ2000Centre) {
    struct Case { double ra_hours, dec, angle; int parity; };
    const Case cases[] = {{0.0, 0.0, 0.0, 1},         {0.0, 0.0, 0.0, -1},
                          {5.5880555, -5.391111, 37.5, 1}, {5.5880555, -5.391111, 37.5, -1},
                          {23.9876543219, 89.5, 300.25, 1}, {12.3456789012, -72.0012345678, 181.0, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ra_hours) + " " + std::to_string(c.parity));
        SolverSolution solution = solution_with(c.ra_hours, c.dec, c.angle, c.parity);
        solution.ra = 1.0;  // the epoch-of-date position must not be used
        solution.dec = 2.0;
        ParsedWcs parsed(header_text(solution));
        ASSERT_NE(nullptr, parsed.wcs);
        EXPECT_EQ(2000.5, parsed.wcs->crpix[0]);  // (4000 + 1) / 2, exact
        EXPECT_EQ(1500.5, parsed.wcs->crpix[1]);
        double ra = 0, dec = 0;
        ASSERT_TRUE(parsed.sky(2000.5, 1500.5, &ra, &dec));
        // Twelve significant digits of CRVAL: below 5e-10 degree of rounding.
        EXPECT_NEAR(c.ra_hours * 15.0, ra, 1e-9);
        EXPECT_NEAR(c.dec, dec, 1e-9);

        // 1000 pixels off the centre along x lie 1000 scale = 1 degree away on the tangent
        // plane, atan(1 degree in radians) on the sky (gnomonic); 1e-9 degree covers the
        // twelve-digit CD values.
        double ra_x = 0, dec_x = 0;
        ASSERT_TRUE(parsed.sky(2000.5 + 1000, 1500.5, &ra_x, &dec_x));
        EXPECT_NEAR(atan(1000 * 0.001 / deg_per_rad) * deg_per_rad, separation(ra, dec, ra_x, dec_x), 1e-9);
    }
}

TEST(WcsHeader, ParityMirrorsTheImage) {
    // Near RA 6 h, Dec 0: going +x moves west (RA down) for parity 1 at angle 0 and east for
    // parity -1; +y goes north for both. At angle 90 (parity 1) +x goes north.
    struct Case { double angle; int parity; int ra_sign_x; int dec_sign_x; int dec_sign_y; };
    const Case cases[] = {{0, 1, -1, 0, 1}, {0, -1, 1, 0, 1}, {90, 1, 0, 1, 0}, {90, -1, 0, -1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.angle) + " " + std::to_string(c.parity));
        ParsedWcs parsed(header_text(solution_with(6.0, 0.0, c.angle, c.parity)));
        ASSERT_NE(nullptr, parsed.wcs);
        double ra0, dec0, ra_x, dec_x, ra_y, dec_y;
        ASSERT_TRUE(parsed.sky(2000.5, 1500.5, &ra0, &dec0));
        ASSERT_TRUE(parsed.sky(2010.5, 1500.5, &ra_x, &dec_x));
        ASSERT_TRUE(parsed.sky(2000.5, 1510.5, &ra_y, &dec_y));
        auto sign = [](double d) { return fabs(d) < 1e-9 ? 0 : (d > 0 ? 1 : -1); };  // 10 px = 0.01°
        EXPECT_EQ(c.ra_sign_x, sign(ra_x - ra0));
        EXPECT_EQ(c.dec_sign_x, sign(dec_x - dec0));
        EXPECT_EQ(c.dec_sign_y, sign(dec_y - dec0));
    }
}

TEST(WcsHeader, CdMatrixOfTheDocumentedCases) {
    struct Case { int parity; double cd[4]; };
    const Case cases[] = {{1, {-0.001, 0.0, 0.0, 0.001}}, {-1, {0.001, 0.0, 0.0, 0.001}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parity);
        ParsedWcs parsed(header_text(solution_with(1.0, 1.0, 0.0, c.parity)));
        ASSERT_NE(nullptr, parsed.wcs);
        for (int i = 0; i < 4; ++i)
            // sin 180° is 1.2e-16, not 0: the off-diagonal terms are 0 up to that times the scale.
            EXPECT_NEAR(c.cd[i], parsed.wcs->cd[i], 1e-18) << i;
    }
}

TEST(WcsHeader, OneBlockOfEightyByteCards) {
    std::string text = header_text(solution_with(5.5, -5.5, 10.0, 1),
                                   "C:\\images/night\\m42 \xc3\xa9t\xc3\xa9.fits");
    ASSERT_EQ(2880u, text.size());
    for (char c : text) EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << static_cast<int>(c);
    const char* keywords[] = {"SIMPLE", "BITPIX", "NAXIS", "WCSAXES", "CTYPE1", "CTYPE2", "CUNIT1",
                              "CUNIT2", "RADESYS", "EQUINOX", "CRVAL1", "CRVAL2", "CRPIX1",
                              "CRPIX2", "CD1_1", "CD1_2", "CD2_1", "CD2_2", "IMAGEW", "IMAGEH",
                              "PLTSOLVD", "DATE", "CREATOR", "COMMENT", "END"};
    for (size_t i = 0; i < 25; ++i) {
        std::string card = text.substr(i * 80, 80);
        SCOPED_TRACE(card);
        std::string keyword = card.substr(0, 8);
        EXPECT_EQ(keywords[i], keyword.substr(0, keyword.find(' ')));
    }
    EXPECT_EQ(std::string(880, ' '), text.substr(2000));
    auto card_text = [&](size_t index, const std::string& expected) {
        EXPECT_EQ(expected + std::string(80 - expected.size(), ' '), text.substr(index * 80, 80));
    };
    card_text(0, "SIMPLE  =                    T / file does conform to FITS standard");
    card_text(4, "CTYPE1  = 'RA---TAN'           / TAN (gnomonic) projection");
    card_text(12, "CRPIX1  =               2000.5 / X of the reference pixel, the image center");
    card_text(18, "IMAGEW  =                 4000 / image width, pixels");
    EXPECT_EQ(std::string("NAXIS   =                    0") + std::string(50, ' '),
              text.substr(2 * 80, 80));
    // Only the file's name after the last separator of either kind; non-ASCII bytes become "?".
    EXPECT_EQ("COMMENT Solution of m42 ??t??.fits" + std::string(46, ' '), text.substr(23 * 80, 80));
    EXPECT_EQ("END" + std::string(77, ' '), text.substr(24 * 80, 80));
    static const std::regex date(
        R"(DATE    = '20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]' +/ creation date of this file, UTC +)");
    EXPECT_TRUE(std::regex_match(text.substr(21 * 80, 80), date)) << text.substr(21 * 80, 80);
}

TEST(WcsHeader, AppendCardLayoutAndCapacity) {
    WcsHeader header{};
    append_card(&header, "LONGKEYWORD", "'text'", nullptr);
    append_card(&header, "NUM", "1.5E-05", std::string(100, 'c').c_str());
    append_card(&header, "HISTORY", nullptr, nullptr);
    std::string cards(header.data, header.position);
    ASSERT_EQ(240u, cards.size());
    EXPECT_EQ("LONGKEYW= 'text'              " + std::string(50, ' '), cards.substr(0, 80));
    EXPECT_EQ("NUM     =              1.5E-05 / " + std::string(47, 'c'), cards.substr(80, 80));
    EXPECT_EQ("HISTORY" + std::string(73, ' '), cards.substr(160, 80));
    for (int i = 0; i < 120; ++i) append_card(&header, "FILL", "1", nullptr);
    EXPECT_EQ(8640u, header.position);  // 108 cards; the others were dropped
}

TEST(WcsHeader, StreamReceivesExactlyTheBlock) {
    SolverSettings settings{};
    settings.image_file = "x.fits";
    SolverSolution solution = solution_with(1.0, 2.0, 3.0, 1);
    FILE* out = tmpfile();
    ASSERT_NE(nullptr, out);
    write_wcs_header_to(out, &settings, &solution);
    EXPECT_EQ(2880, ftell(out));
    fclose(out);
}

// A plate of 0.005 degree per pixel over 4000 x 3000 pixels with order-3 radial terms (8 pixels
// at the corners) plus a quadratic one, and inverse terms of order 4 (the leading ones only:
// readers that use them refine by iteration or ignore them).
SolverWcs distorted_plate(int parity) {
    SolverWcs w{};
    w.crpix[0] = 2000.5;
    w.crpix[1] = 1500.5;
    w.crval[0] = 359.5;  // across RA 0 at the corners
    w.crval[1] = 41.25;
    const double t = 0.6;
    w.cd[0][0] = -0.005 * cos(t);
    w.cd[0][1] = 0.005 * sin(t) * parity;
    w.cd[1][0] = 0.005 * sin(t);
    w.cd[1][1] = 0.005 * cos(t) * parity;
    const double k = 0.0032 / (2500.0 * 2500.0);
    w.sip_order = 3;
    w.a[3][0] = w.a[1][2] = w.b[2][1] = w.b[0][3] = k;
    w.a[1][1] = 3.0e-7;
    w.inverse_order = 4;
    w.ap[3][0] = w.ap[1][2] = w.bp[2][1] = w.bp[0][3] = -k;
    w.ap[1][1] = -3.0e-7;
    return w;
}

std::string header_with(const SolverSolution& solution, const SolverWcs* wcs) {
    SolverSettings settings{};
    settings.image_file = "image.fits";
    WcsHeader header;
    size_t size = format_wcs_header_with(&settings, &solution, wcs, &header);
    return std::string(header.data, size);
}

// The header without its DATE card, which holds the time of the call.
std::string without_date(std::string text) {
    for (size_t at = 0; at + 80 <= text.size(); at += 80)
        if (text.compare(at, 8, "DATE    ") == 0) text.replace(at, 80, 80, 'D');
    return text;
}

const double corners[4][2] = {{0.5, 0.5}, {4000.5, 0.5}, {0.5, 3000.5}, {4000.5, 3000.5}};

// Distance in pixels of the plate (0.005 degree per pixel).
double pixels_apart(double ra1, double dec1, double ra2, double dec2) {
    return separation(ra1, dec1, ra2, dec2) / 0.005;
}

TEST(WcsHeaderSip, WithoutTermsTheTanBytes) {
    SolverSolution solution = solution_with(5.5880555, -5.391111, 37.5, -1);
    const std::string tan = without_date(header_text(solution));
    SolverWcs zero_order = distorted_plate(1);
    zero_order.sip_order = 0;
    SolverWcs bad_order = distorted_plate(1);
    bad_order.sip_order = 4;
    SolverWcs bad_inverse = distorted_plate(1);
    bad_inverse.inverse_order = 5;
    struct Case { const SolverWcs* wcs; const char* what; };
    const Case cases[] = {{nullptr, "no plate"}, {&zero_order, "order 0"},
                          {&bad_order, "order 4"}, {&bad_inverse, "inverse order 5"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(tan, without_date(header_with(solution, c.wcs)));
    }
}

TEST(WcsHeaderSip, CardsOfTheTerms) {
    // The names and values of the terms are checked by the readers below (a term lost or
    // misnamed moves the corners by pixels); here the cards they can't see: the count, the
    // block padding and the fixed-format text.
    SolverWcs wcs = distorted_plate(1);
    const std::string text = header_with(solution_with(1.0, 2.0, 3.0, 1), &wcs);
    ASSERT_EQ(5760u, text.size());
    // 25 cards of the TAN header, the four orders, 7 + 7 forward and 14 + 14 inverse terms.
    EXPECT_EQ("END" + std::string(77, ' '), text.substr(70 * 80, 80));
    EXPECT_EQ(std::string(80, ' '), text.substr(71 * 80));
    auto card_text = [&](size_t index, const std::string& expected) {
        EXPECT_EQ(expected + std::string(80 - expected.size(), ' '), text.substr(index * 80, 80));
    };
    card_text(4, "CTYPE1  = 'RA---TAN-SIP'       / TAN projection, SIP distortion");
    card_text(5, "CTYPE2  = 'DEC--TAN-SIP'       / TAN projection, SIP distortion");
    card_text(18, "A_ORDER =                    3 / polynomial order, pixel x distortion");
    card_text(22, "A_3_0   =             5.12E-10");  // 0.0032 / 2500^2
}

TEST(WcsHeaderSip, WcslibAgreesAtTheCorners) {
    for (int parity : {1, -1}) {
        SCOPED_TRACE(parity);
        SolverWcs wcs = distorted_plate(parity);
        ParsedWcs parsed(header_with(solution_with(1.0, 2.0, 3.0, parity), &wcs));
        ASSERT_NE(nullptr, parsed.wcs);
        ASSERT_NE(nullptr, parsed.wcs->lin.dispre);  // the SIP terms were taken
        for (const auto& corner : corners) {
            double ra, dec, ours_ra, ours_dec;
            ASSERT_TRUE(parsed.sky(corner[0], corner[1], &ra, &dec));
            ASSERT_TRUE(kestil_solver_wcs_pixel_to_sky(&wcs, corner[0], corner[1], &ours_ra, &ours_dec));
            // Twelve significant digits of every card: far below 1e-3 pixel; the terms move
            // the corners by 8 pixels, so a term lost or misnamed shows.
            EXPECT_LT(pixels_apart(ra, dec, ours_ra, ours_dec), 1e-3) << corner[0] << " " << corner[1];
        }
    }
}

// Runs the command, returns its standard output; empty when it fails.
std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    return pclose(pipe) == 0 ? out : std::string();
}

TEST(WcsHeaderSip, AstropyAgreesAtTheCorners) {
    if (command_output("/usr/bin/python3 -c 'import astropy.wcs' 2>/dev/null && echo yes") != "yes\n")
        GTEST_SKIP() << "astropy is not installed";
    SolverWcs wcs = distorted_plate(-1);
    test_support::TempDir dir("wcs_header_sip");
    const std::string path =
        dir.file("sip.wcs", header_with(solution_with(1.0, 2.0, 3.0, -1), &wcs));
    // all_pix2world applies the forward terms; all_world2pix inverts them by iteration (from
    // AP and BP). Origin 1: FITS pixels.
    const std::string script =
        "import sys, warnings\n"
        "warnings.simplefilter('ignore')\n"
        "from astropy.io import fits\n"
        "from astropy.wcs import WCS\n"
        "w = WCS(fits.getheader(sys.argv[1]))\n"
        "assert w.sip is not None and w.sip.a_order == 3 and w.sip.ap_order == 4\n"
        "for x, y in ((0.5, 0.5), (4000.5, 0.5), (0.5, 3000.5), (4000.5, 3000.5)):\n"
        "    ra, dec = w.all_pix2world([[x, y]], 1)[0]\n"
        "    bx, by = w.all_world2pix([[ra, dec]], 1, tolerance=1e-8)[0]\n"
        "    print('%.12f %.12f %.9f %.9f' % (ra, dec, bx, by))\n";
    const std::string out =
        command_output("/usr/bin/python3 -c \"" + script + "\" " + path + " 2>&1");
    std::istringstream lines(out);
    int count = 0;
    for (const auto& corner : corners) {
        double ra, dec, x, y, ours_ra, ours_dec;
        ASSERT_TRUE(static_cast<bool>(lines >> ra >> dec >> x >> y)) << out;
        ASSERT_TRUE(kestil_solver_wcs_pixel_to_sky(&wcs, corner[0], corner[1], &ours_ra, &ours_dec));
        EXPECT_LT(pixels_apart(ra, dec, ours_ra, ours_dec), 1e-3) << corner[0] << " " << corner[1];
        EXPECT_NEAR(corner[0], x, 1e-3);
        EXPECT_NEAR(corner[1], y, 1e-3);
        ++count;
    }
    EXPECT_EQ(4, count);
}

}  // namespace
