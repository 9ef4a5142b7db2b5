// Tests of the solved FITS copy: every input kind read back by cfitsio (and by astropy where
// installed) for its data, its HDUs and its cards; the targets refused; failures that leave
// nothing behind.
#include "app/new_fits.h"

#include <fitsio.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "framework/handles.hpp"
#include "solver/image/solver_image.h"
#include "tests/support/files.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/simulator/simulator.hpp"

namespace {

using test_support::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr long width = 7, height = 5;  // odd sizes: a transposed or flipped copy shows

// The WCS of an earlier solution, to be replaced, and cards that are not WCS, to be kept
// (PLTSOLVD is replaced as a card of the new solution).
const char* const old_cards[] = {
    "CTYPE1  = 'RA---TAN-SIP'", "CTYPE2  = 'DEC--TAN-SIP'", "CRVAL1  = 10.0", "CRVAL2  = 20.0",
    "CRPIX1  = 1.0",            "CDELT1  = -0.001",         "CDELT2  = 0.001", "CROTA2  = 12.5",
    "PC1_1   = 1.0",            "A_ORDER = 3",              "A_3_0   = 1E-9",  "AP_1_0  = 2E-5",
    "EQUINOX = 1950.0",         "LONPOLE = 180.0",          "OBJECT  = 'M42'",
    "CTYPE1A = 'RA---TAN'",     "DATE-OBS= '2024-01-01T00:00:00'", "PLTSOLVD= F"};
const char* const removed[] = {"CDELT1", "CDELT2", "CROTA2", "PC1_1", "A_3_0", "AP_1_0",
                               "LONPOLE"};
const char* const kept[] = {"OBJECT", "CTYPE1A", "DATE-OBS"};

// A solution's header as format_wcs_header lays it out (with its own SIMPLE, BITPIX and NAXIS,
// which must not reach the image), with distortion terms.
WcsHeader solution_header() {
    const char* const cards[][2] = {
        {"SIMPLE", "T"},          {"BITPIX", "8"},          {"NAXIS", "0"},
        {"WCSAXES", "2"},         {"CTYPE1", "'RA---TAN-SIP'"}, {"CTYPE2", "'DEC--TAN-SIP'"},
        {"EQUINOX", "2000.0"},    {"CRVAL1", "150.25"},     {"CRVAL2", "-30.5"},
        {"CRPIX1", "4"},          {"CRPIX2", "3"},          {"CD1_1", "-0.0002"},
        {"CD1_2", "0.0001"},      {"CD2_1", "0.0001"},      {"CD2_2", "0.0002"},
        {"A_ORDER", "2"},         {"A_2_0", "1E-6"},        {"B_ORDER", "2"},
        {"B_0_2", "2E-6"},        {"PLTSOLVD", "T"},        {"COMMENT", nullptr},
        {"END", nullptr}};
    WcsHeader h{};
    for (const auto& card : cards) append_card(&h, card[0], card[1], nullptr);
    return h;
}

std::string trimmed(std::string card) {
    while (!card.empty() && card.back() == ' ') card.pop_back();
    return card;
}

std::string keyword_of(const std::string& card) { return trimmed(card.substr(0, 8)); }

// How to lay the test image out in a FITS file.
struct FitsInput {
    int image_type;     // cfitsio's: USHORT_IMG, SHORT_IMG, FLOAT_IMG
    bool extension;     // after a primary header without data
    bool compressed;    // tile-compressed (Rice) after an empty primary; SHORT_IMG only
    bool table_after;   // a binary table after the image
    bool checksum;      // CHECKSUM and DATASUM on the image HDU
};

// The input file made by cfitsio, the old cards on the image's HDU.
Bytes make_fits(const FitsInput& input, const std::vector<double>& values) {
    int status = 0;
    size_t size = 2880;
    void* buffer = calloc(1, size);
    fitsfile* f = nullptr;
    fits_create_memfile(&f, &buffer, &size, 0, realloc, &status);
    long axes[2] = {width, height};
    if (input.extension) fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    if (input.compressed) fits_set_compression_type(f, RICE_1, &status);
    fits_create_img(f, input.image_type, 2, axes, &status);
    for (const char* card : old_cards) fits_write_record(f, card, &status);
    if (input.compressed) {  // cfitsio converts no type when compressing: the image's own
        std::vector<short> samples(values.begin(), values.end());
        fits_write_img(f, TSHORT, 1, LONGLONG(samples.size()), samples.data(), &status);
    } else {
        fits_write_img(f, TDOUBLE, 1, LONGLONG(values.size()), const_cast<double*>(values.data()),
                       &status);
    }
    if (input.checksum) fits_write_chksum(f, &status);
    if (input.table_after) {
        char name[] = "flux", format[] = "1E";
        char* names[] = {name};
        char* formats[] = {format};
        float flux[3] = {1.5f, 2.5f, 3.5f};
        fits_create_tbl(f, BINARY_TBL, 3, 1, names, formats, nullptr, "STARS", &status);
        fits_write_col(f, TFLOAT, 1, 1, 1, 3, flux, &status);
    }
    LONGLONG start = 0, data_start = 0, end = 0;
    fits_get_hduaddrll(f, &start, &data_start, &end, &status);
    fits_close_file(f, &status);
    EXPECT_EQ(0, status) << "cfitsio status";
    Bytes bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + end);
    free(buffer);
    return bytes;
}

// What cfitsio reads back from an output file.
struct Readback {
    int status = 0;
    int hdus = 0, image_type = 0, checksum_ok = 0;
    long axes[2] = {0, 0};
    std::vector<double> values;
    std::vector<std::string> cards;  // of the image HDU
    double table_flux = 0;           // the sum of the table after the image, when there
};

Readback read_output(const std::string& path, int image_hdu) {
    Readback r;
    fitsfile* f = nullptr;
    int* s = &r.status;
    if (fits_open_diskfile(&f, path.c_str(), READONLY, s)) return r;
    int naxis = 0, count = 0, data_ok = 0;
    fits_get_num_hdus(f, &r.hdus, s);
    fits_movabs_hdu(f, image_hdu, nullptr, s);
    fits_get_img_equivtype(f, &r.image_type, s);
    fits_get_img_dim(f, &naxis, s);
    fits_get_img_size(f, 2, r.axes, s);
    r.values.resize(size_t(r.axes[0] * r.axes[1]));
    fits_read_img(f, TDOUBLE, 1, LONGLONG(r.values.size()), nullptr, r.values.data(), nullptr, s);
    fits_verify_chksum(f, &data_ok, &r.checksum_ok, s);
    fits_get_hdrspace(f, &count, nullptr, s);
    for (int n = 1; n <= count && *s == 0; ++n) {
        char card[FLEN_CARD];
        fits_read_record(f, n, card, s);
        r.cards.push_back(card);
    }
    if (image_hdu < r.hdus && fits_movabs_hdu(f, image_hdu + 1, nullptr, s) == 0) {
        float flux[3] = {};
        fits_read_col(f, TFLOAT, 1, 1, 1, 3, nullptr, flux, nullptr, s);
        r.table_flux = flux[0] + flux[1] + flux[2];
    }
    int ignored = 0;
    fits_close_file(f, &ignored);
    return r;
}

int count_keyword(const Readback& r, const std::string& keyword) {
    int n = 0;
    for (const std::string& card : r.cards) n += keyword_of(card) == keyword;
    return n;
}

std::string card_of(const Readback& r, const std::string& keyword) {
    for (const std::string& card : r.cards)
        if (keyword_of(card) == keyword) return trimmed(card);
    return "";
}

// Every output file as astropy reads it: one line "<hdu> <width> <height> <sum> <ra> <dec>" of
// the first HDU with image data, ra and dec at CRPIX through its WCS (SIP included). Empty
// when astropy isn't installed.
std::vector<std::string> astropy_lines(const std::vector<std::string>& paths) {
    std::string command =
        "/usr/bin/python3 -c '\n"
        "import sys, warnings\n"
        "warnings.simplefilter(\"ignore\")\n"
        "try:\n"
        "    from astropy.io import fits\n"
        "    from astropy.wcs import WCS\n"
        "except ImportError:\n"
        "    sys.exit(0)\n"
        "for path in sys.argv[1:]:\n"
        "    with fits.open(path) as hdus:\n"
        "        n = next(i for i, h in enumerate(hdus) if h.is_image and h.data is not None)\n"
        "        h = hdus[n]\n"
        "        crpix = [[h.header[\"CRPIX1\"], h.header[\"CRPIX2\"]]]\n"
        "        ra, dec = WCS(h.header).all_pix2world(crpix, 1)[0]\n"
        "        total = float(h.data.astype(\"f8\").sum())\n"
        "        print(n, h.data.shape[1], h.data.shape[0], repr(total), repr(float(ra)),\n"
        "              repr(float(dec)))\n"
        "' 2>&1";
    for (const std::string& path : paths) command += " '" + path + "'";
    std::vector<std::string> lines;
    if (access("/usr/bin/python3", X_OK) != 0) return lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return lines;
    char line[512];
    while (fgets(line, sizeof line, pipe))
        lines.push_back(trimmed(std::string(line, strcspn(line, "\n"))));
    pclose(pipe);
    return lines;
}

std::vector<double> test_values(int image_type) {
    std::vector<double> values;
    for (long i = 0; i < width * height; ++i)
        values.push_back(image_type == FLOAT_IMG   ? -2.5 + 0.25 * double(i)
                         : image_type == SHORT_IMG ? -300.0 + 37.0 * double(i)
                                                   : 1000.0 + 1811.0 * double(i));
    return values;
}

// A simulator image of width x height with distinct rows, encoded in a non-FITS format.
Bytes encoded(kestil_simulator::ImageFormat format, bool bayer, std::vector<double>* expected) {
    kestil_simulator::SkyImage image;
    image.width = int(width);
    image.height = int(height);
    for (long i = 0; i < width * height; ++i) image.pixels.push_back(uint16_t(4000 + 1500 * i));
    kestil_simulator::SimulatorSettings settings;
    settings.bayer = bayer;
    settings.wcs.width = image.width;
    settings.wcs.height = image.height;
    Bytes bytes;
    const char* message = nullptr;
    EXPECT_TRUE(kestil_simulator::encode_image(image, settings, format, 100, &bytes, &message));
    expected->assign(image.pixels.begin(), image.pixels.end());
    if (format == kestil_simulator::ImageFormat::jpeg) {  // lossy: the grey the solver reads
        int32_t factor = 0, w = 0, h = 0;
        bool mosaic = false;
        HeapBlock<SolverImage> grey(kestil_solver_load_image(
            bytes.data(), int32_t(bytes.size()), 1, &factor, &w, &h, &mosaic, &message));
        EXPECT_TRUE(grey);
        if (grey) expected->assign(grey->pixels, grey->pixels + expected->size());
    }
    return bytes;
}

TEST(NewFits, CopiesCarryTheDataAndTheNewWcsOnce) {
    using kestil_simulator::ImageFormat;
    struct Case {
        const char* what;
        FitsInput fits;            // image_type 0: not FITS
        ImageFormat format;
        bool bayer;
        int image_hdu, hdus, output_type;
    };
    const Case cases[] = {
        {"16-bit primary", {USHORT_IMG, false, false, false, true}, {}, false, 1, 1, USHORT_IMG},
        {"float primary", {FLOAT_IMG, false, false, false, false}, {}, false, 1, 1, FLOAT_IMG},
        {"extension, table after", {SHORT_IMG, true, false, true, false}, {}, false, 2, 3,
         SHORT_IMG},
        {"rice compressed", {SHORT_IMG, true, true, false, true}, {}, false, 2, 2, SHORT_IMG},
        {"jpeg", {}, ImageFormat::jpeg, false, 1, 1, USHORT_IMG},
        {"raw2", {}, ImageFormat::raw2, false, 1, 1, USHORT_IMG},
        {"raw2 bayer mosaic", {}, ImageFormat::raw2, true, 1, 1, USHORT_IMG},
    };
    TempDir dir("new_fits");
    const WcsHeader wcs = solution_header();
    std::vector<std::string> outputs;
    std::vector<std::vector<double>> expected_values;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<double> expected = test_values(c.fits.image_type);
        const Bytes input = c.fits.image_type ? make_fits(c.fits, expected)
                                              : encoded(c.format, c.bayer, &expected);
        const std::string out = dir.file(std::to_string(outputs.size()) + ".fits");
        ASSERT_TRUE(write_new_fits(out.c_str(), input.data(), uint32_t(input.size()), &wcs));
        outputs.push_back(out);
        expected_values.push_back(expected);

        const Readback r = read_output(out, c.image_hdu);
        ASSERT_EQ(0, r.status);
        EXPECT_EQ(c.hdus, r.hdus);
        EXPECT_EQ(c.output_type, r.image_type);
        EXPECT_EQ(width, r.axes[0]);
        EXPECT_EQ(height, r.axes[1]);
        EXPECT_EQ(expected, r.values);  // exact: every sample is representable
        if (c.fits.checksum) {
            EXPECT_EQ(1, r.checksum_ok);
        }
        if (c.fits.table_after) {
            EXPECT_EQ(7.5, r.table_flux);
        }
        for (size_t at = 0; at < wcs.position; at += WCS_CARD_SIZE) {
            const std::string card = trimmed(std::string(wcs.data + at, WCS_CARD_SIZE));
            const std::string keyword = keyword_of(card);
            if (keyword == "SIMPLE" || keyword == "BITPIX" || keyword == "NAXIS" ||
                keyword == "COMMENT" || keyword == "END" || keyword.empty())
                continue;
            EXPECT_EQ(1, count_keyword(r, keyword)) << keyword;
            EXPECT_EQ(card, card_of(r, keyword));
        }
        for (const char* keyword : removed) EXPECT_EQ(0, count_keyword(r, keyword)) << keyword;
        for (const char* keyword : kept)
            EXPECT_EQ(c.fits.image_type ? 1 : 0, count_keyword(r, keyword)) << keyword;
        // Only the image's own structure: a header of NAXIS 0 would hide the data.
        EXPECT_EQ(1, count_keyword(r, c.fits.compressed ? "ZBITPIX" : "BITPIX"));
    }
    EXPECT_EQ(outputs.size(), dir.entries().size());  // no temporary file left

    const std::vector<std::string> lines = astropy_lines(outputs);
    if (lines.empty()) GTEST_SKIP() << "astropy is not installed";
    ASSERT_EQ(outputs.size(), lines.size()) << lines[0];
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        std::istringstream in(lines[i]);
        int hdu = -1;
        long w = 0, h = 0;
        double sum = NAN, ra = NAN, dec = NAN;
        in >> hdu >> w >> h >> sum >> ra >> dec;
        double expected_sum = 0;
        for (double v : expected_values[i]) expected_sum += v;
        EXPECT_EQ(cases[i].image_hdu - 1, hdu) << lines[i];
        EXPECT_EQ(width, w);
        EXPECT_EQ(height, h);
        EXPECT_EQ(expected_sum, sum);  // integers and quarters: every partial sum is exact
        // At CRPIX the distortion terms vanish: the WCS reads CRVAL back, to rounding.
        EXPECT_NEAR(150.25, ra, 1e-9);
        EXPECT_NEAR(-30.5, dec, 1e-9);
    }
}

TEST(NewFits, RefusesTheInputAndMissingDirectories) {
    TempDir dir("new_fits");
    const std::string input = dir.file("in.fits", "SIMPLE  = T");
    ASSERT_EQ(0, link(input.c_str(), dir.file("hard.fits").c_str()));
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
    struct Case {
        std::string target;
        bool allowed;
    };
    const Case cases[] = {
        {input, false},
        {dir.path() + "/./sub/../in.fits", false},
        {dir.file("hard.fits"), false},  // another name of the same file
        {dir.file("sub"), false},
        {dir.file("missing/out.fits"), false},
        {dir.file("in.fits/out.fits"), false},  // "directory" is a file
        {"", false},
        {"/dev/null", false},  // replacing it would replace the device
        {dir.file("out.fits"), true},
        {dir.file("sub/in.fits"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(c.allowed, new_fits_target_allowed(c.target.c_str(), input.c_str()));
    }
}

TEST(NewFits, FailuresLeaveNothingBehindAndTheTargetUntouched) {
    TempDir dir("new_fits");
    const WcsHeader wcs = solution_header();
    std::vector<double> values;
    const Bytes good = encoded(kestil_simulator::ImageFormat::raw2, false, &values);
    Bytes truncated = make_fits({SHORT_IMG, false, false, false, false}, test_values(SHORT_IMG));
    truncated.resize(2880 + 10);  // the header and part of the data
    const Bytes garbage(100, 'x');
    const std::string existing = dir.file("old.fits", "old content");
    ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0755));
    struct Case {
        const char* what;
        std::string target;
        const Bytes* input;
        rlim_t file_size_limit;  // bytes a file may take; 0: no limit
    };
    const Case cases[] = {
        {"truncated FITS", existing, &truncated, 0},
        {"unreadable image", existing, &garbage, 0},
        {"the file can't be written whole", existing, &good, 4000},  // the copy takes 5760
        {"directory", dir.file("folder"), &good, 0},
        {"missing directory", dir.file("missing/out.fits"), &good, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // In a child: the file size limit holds for that process only.
        const test_support::ChildRun run = test_support::run_in_child([&] {
            if (c.file_size_limit) {
                signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
                const rlimit limit{c.file_size_limit, c.file_size_limit};
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
            }
            return write_new_fits(c.target.c_str(), c.input->data(), uint32_t(c.input->size()),
                                  &wcs)
                       ? 0
                       : 1;
        });
        EXPECT_EQ(1, run.exit_code);
        // One diagnostic line (a reader may log its own line before it).
        const std::string diagnostic = "\nkestil_solver: can't write '" + c.target + "': ";
        const std::string err = "\n" + run.err;
        EXPECT_NE(std::string::npos, err.find(diagnostic)) << run.err;
        EXPECT_EQ(err.find("\nkestil_solver:"), err.rfind("\nkestil_solver:")) << run.err;
        EXPECT_EQ((std::vector<std::string>{"folder", "old.fits"}), dir.entries());
        EXPECT_EQ("old content", test_support::read_file(existing));
    }
}

}  // namespace
