// End to end: the real programs of this build. kestil_deep_catalog makes a catalogue of a patch
// of sky, kestil_build_index builds indexes of scales 1 and 2 from it, kestil_simulate renders
// images in RAW2, FITS, JPEG and DNG, and kestil_solver solves them blind and with hints, in
// J2000 and JNow; the JSON report is read back with jq and the WCS header with wcslib.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "framework/angles.h"
#include "framework/precession.h"

namespace {

std::string bin_dir() {
    const char* dir = getenv("KESTIL_BIN_DIR");
    return dir ? dir : ".";
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a shell command line; returns its exit status (-1 when it did not exit normally).
int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double separation_deg(double ra1, double dec1, double ra2, double dec2) {
    double r = rad_per_deg;
    double h = std::pow(std::sin((dec1 - dec2) * r / 2), 2) +
               std::cos(dec1 * r) * std::cos(dec2 * r) * std::pow(std::sin((ra1 - ra2) * r / 2), 2);
    return 2 * std::asin(std::sqrt(h)) / r;
}

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/end_to_end_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = new std::string(pattern);
        std::string b = bin_dir();
        ASSERT_EQ(0, run(b + "/tools/deep_catalog/kestil_deep_catalog --ra 60 --dec -35 --radius 4 "
                             "--faint 14.5 --seed 3 --output " + *dir + "/sky.csv > /dev/null"));
        for (const char* scale : {"1", "2"})
            ASSERT_EQ(0, run(b + "/tools/index_builder/kestil_build_index --quiet --catalog " +
                             *dir + "/sky.csv --scale " + scale +
                             " --ra 60 --dec -35 --radius 3.5 --dir " + *dir + "/indexes > " +
                             *dir + "/build.txt"));
        // The report of the builder names the file, the scale and the counts.
        EXPECT_NE(std::string::npos, read_text(*dir + "/build.txt").find("index-02deg-tyc2.zeph: scale 2°, "));
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir);
        delete dir;
    }
    static std::string* dir;
};

std::string* EndToEnd::dir = nullptr;

struct Field {
    const char* what;
    const char* format;
    double ra, dec, arcsec, angle;
    int parity, width, height;
    double fwhm;
    const char* extra;  // simulator options
    const char* solver; // solver options
    bool jnow;
};

TEST_F(EndToEnd, SolvesEveryImageFormatBlindAndWithHints) {
    const Field fields[] = {
        {"RAW2 blind", "raw2", 60.4, -35.3, 6.0, 25.0, 1, 800, 600, 3.0, "", "-D 1", false},
        {"FITS, scale hint, binned", "fits16", 59.5, -34.6, 4.0, 200.0, -1, 1200, 900, 5.0, "",
         "-s 0.0011111111", false},
        {"JPEG, position hint", "jpeg", 60.2, -35.6, 6.5, 310.0, 1, 800, 600, 3.0, "",
         "-D 1 -r 4:01:00 -d -35:20 -R 2", false},
        {"DNG Bayer mosaic, blind", "dng", 59.8, -34.9, 4.5, 95.0, -1, 1200, 900, 5.0, "--bayer", "",
         false},
        {"FITS, JNow hint and result", "fits16", 60.1, -35.1, 6.0, 140.0, 1, 800, 600, 3.0, "",
         "-D 1 -e 0 -R 1.5", true},
    };
    std::string b = bin_dir();
    for (const Field& f : fields) {
        SCOPED_TRACE(f.what);
        std::string image = *dir + "/image." + f.format;
        char command[1024];
        snprintf(command, sizeof command,
                 "%s/tools/simulator/kestil_simulate --catalog %s/sky.csv --ra %.6f --dec %.6f "
                 "--scale %g --angle %g --parity %d --width %d --height %d --fwhm %g "
                 "--flux10 200000 %s --no-truth --format %s --output %s > /dev/null 2>&1",
                 b.c_str(), dir->c_str(), f.ra, f.dec, f.arcsec, f.angle, f.parity, f.width,
                 f.height, f.fwhm, f.extra, f.format, image.c_str());
        ASSERT_EQ(0, run(command));
        std::string options = f.solver;
        double now = kestil_jnow();
        if (f.jnow) {
            // The hint in the equinox of the date: the truth moved by 25 years of precession.
            SphericalPoint truth{f.ra * rad_per_deg, f.dec * rad_per_deg, 1};
            SphericalPoint dated = kestil_precess(&truth, 2000, now);
            char hint[96];
            snprintf(hint, sizeof hint, " -r %.6f -d %.6f", dated.lon * deg_per_rad / deg_per_hour,
                     dated.lat * deg_per_rad);
            options += hint;
        }
        std::string solver = b + "/app/kestil_solver -i " + *dir + "/indexes " + options + " ";
        std::string json = *dir + "/solution.json";
        ASSERT_EQ(0, run(solver + "-f json " + image + " > " + json + " 2> /dev/null"))
            << read_text(json);
        // jq reads the document back: solved, centre, angle, scale, parity.
        std::string values = *dir + "/values.txt";
        ASSERT_EQ(0, run("jq -r '\"\\(.solved) \\(.ra) \\(.dec) \\(.angle) \\(.scale) \\(.parity) "
                         "\\(.epoch) \\(.image_width)\"' " + json + " > " + values));
        std::istringstream in(read_text(values));
        std::string solved, epoch;
        double ra = 0, dec = 0, angle = 0, scale = 0;
        int parity = 0, width = 0;
        in >> solved >> ra >> dec >> angle >> scale >> parity >> epoch >> width;
        EXPECT_EQ("true", solved);
        EXPECT_EQ(f.width, width);
        EXPECT_EQ(f.jnow ? "JNow" : "J2000", epoch);
        double pixel = f.arcsec / 3600;
        double expected_ra = f.ra, expected_dec = f.dec;
        if (f.jnow) {
            SphericalPoint truth{f.ra * rad_per_deg, f.dec * rad_per_deg, 1};
            SphericalPoint dated = kestil_precess(&truth, 2000, now);
            expected_ra = dated.lon * deg_per_rad;
            expected_dec = dated.lat * deg_per_rad;
        }
        // Centre within one pixel, scale within 0.1 %, angle within 0.05 degree, parity right.
        EXPECT_LT(separation_deg(ra * 15, dec, expected_ra, expected_dec), pixel);
        EXPECT_NEAR(pixel, scale, 1e-3 * pixel);
        EXPECT_NEAR(0.0, std::remainder(angle - f.angle, 360.0), 0.05);
        EXPECT_EQ(f.parity, parity);

        // The WCS header (always J2000) read by wcslib: the image centre maps to the truth.
        std::string header = *dir + "/solution.wcs";
        ASSERT_EQ(0, run(solver + "-f wcs " + image + " > " + header + " 2> /dev/null"));
        std::string text = read_text(header);
        ASSERT_EQ(0u, text.size() % 2880);
        int cards = 0;
        while (cards * 80 < static_cast<int>(text.size()) && text.compare(cards * 80, 8, "END     ") != 0)
            ++cards;
        int rejected = 0, count = 0;
        wcsprm* wcs = nullptr;
        ASSERT_EQ(0, wcspih(text.data(), cards + 1, WCSHDR_none, 0, &rejected, &count, &wcs));
        ASSERT_EQ(1, count);
        ASSERT_EQ(0, wcsset(wcs));
        double pixels[2] = {(f.width + 1) / 2.0, (f.height + 1) / 2.0}, intermediate[2], phi,
               theta, world[2];
        int status = 0;
        ASSERT_EQ(0, wcsp2s(wcs, 1, 2, pixels, intermediate, &phi, &theta, world, &status));
        EXPECT_LT(separation_deg(world[0], world[1], f.ra, f.dec), pixel);
        // One pixel to the right of the centre lies one pixel scale away.
        double right[2] = {pixels[0] + 100, pixels[1]}, world_right[2];
        ASSERT_EQ(0, wcsp2s(wcs, 1, 2, right, intermediate, &phi, &theta, world_right, &status));
        EXPECT_NEAR(100 * pixel, separation_deg(world[0], world[1], world_right[0], world_right[1]),
                    1e-3 * 100 * pixel);
        wcsvfree(&count, &wcs);
    }
}

TEST_F(EndToEnd, UnsolvableImagesExitWithOne) {
    std::string b = bin_dir();
    std::string image = *dir + "/elsewhere.raw";
    // A field far from the indexed patch: every stage fails, exit status 1.
    ASSERT_EQ(0, run(b + "/tools/simulator/kestil_simulate --random 150 --ra 200 --dec 10 "
                         "--scale 6 --width 800 --height 300 --no-truth --format raw2 --output " +
                     image + " > /dev/null 2>&1"));
    std::string err = *dir + "/err.txt";
    EXPECT_EQ(1, run(b + "/app/kestil_solver -D 1 -i " + *dir + "/indexes " + image + " > /dev/null 2> " + err));
    EXPECT_NE(std::string::npos, read_text(err).find("Not solved: No solution found"));
    EXPECT_EQ(1, run(b + "/app/kestil_solver -i " + *dir + "/nothing " + image + " > /dev/null 2> " + err));
    EXPECT_NE(std::string::npos, read_text(err).find("Not solved: No index files found"));
}

}  // namespace
