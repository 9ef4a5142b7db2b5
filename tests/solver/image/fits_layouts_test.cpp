// Tests of the FITS reader on images outside the primary array (extensions, tile compression)
// and on floating-point data in 0..1, over files written by cfitsio and by astropy.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "fits_test_writer.hpp"
#include "image_test_support.hpp"
#include "solver/stars/image_stars.h"
#include "tools/simulator/simulator.hpp"

namespace {

using namespace image_test;

constexpr long width = 13, height = 9;

// Samples from low to high in a scrambled order, whole numbers unless fractions is set.
std::vector<double> ramp(double low, double high, bool fractions = false) {
    std::vector<double> values;
    const long n = width * height;
    for (long i = 0; i < n; ++i) {
        const double v = low + (high - low) * double((i * 37) % n) / double(n - 1);
        values.push_back(fractions ? v : std::round(v));
    }
    return values;
}

const char* container_name(Container c) {
    switch (c) {
        case Container::primary: return "primary";
        case Container::extension: return "image extension";
        case Container::after_table: return "image extension after a table";
        case Container::rice: return "RICE_1";
        case Container::gzip1: return "GZIP_1";
        default: return "GZIP_2";
    }
}

TEST(FitsLayouts, ExtensionsAndCompressedImagesGiveThePixelsOfThePrimaryArray) {
    struct Case { int bitpix; std::vector<double> values; bool bayer; };
    const Case encodings[] = {
        {USHORT_IMG, ramp(0, 65535), false},  // BITPIX 16 with BZERO 32768
        {SHORT_IMG, ramp(-32768, 32767), true},
        {BYTE_IMG, ramp(0, 255), false},
        {FLOAT_IMG, ramp(0, 1, true), false},       // compressed without loss (not quantized)
    };
    const Container containers[] = {Container::extension, Container::after_table,
                                    Container::rice, Container::gzip1, Container::gzip2};
    for (const Case& c : encodings) {
        FitsLayout layout{c.bitpix, {width, height}, c.values};
        layout.physical = true;
        layout.bayer = c.bayer;
        const Loaded reference = load(write_fits(layout), 1);
        ASSERT_TRUE(reference.image) << reference.text();
        const std::vector<uint16_t> pixels = reference.pixels();
        // The plain file is read as the tests of the primary array pin down: 16-bit counts
        // kept, floating point stretched onto the whole range.
        if (c.bitpix == USHORT_IMG) {
            EXPECT_EQ(uint16_t(c.values[1]), pixels[1]);
        }
        if (c.bitpix == FLOAT_IMG) {
            EXPECT_EQ(65535, *std::max_element(pixels.begin(), pixels.end()));
        }
        for (Container container : containers) {
            if (c.bitpix == FLOAT_IMG && container == Container::rice) continue;  // quantizes
            SCOPED_TRACE(testing::Message() << "BITPIX " << c.bitpix << ", "
                                            << container_name(container));
            layout.container = container;
            const Loaded r = load(write_fits(layout), 1);
            ASSERT_TRUE(r.image) << r.text();
            EXPECT_EQ(pixels, r.pixels());
            EXPECT_EQ(c.bayer, r.bayer);
            EXPECT_EQ(reference.factor, r.factor);
            EXPECT_EQ(int32_t(width), r.width);
            EXPECT_EQ(int32_t(height), r.height);
        }
    }
}

// The first block of the image extension's header: a primary header of one block comes first.
constexpr size_t extension_header = 2880;

TEST(FitsLayouts, EveryTruncationAndCorruptionEndsCleanly) {
    FitsLayout layout{USHORT_IMG, {width, height}, ramp(0, 65535)};
    layout.physical = true;
    const char* const documented[] = {"Unsupported image format", "Truncated FITS header",
                                      "Unsupported FITS image", "Truncated FITS image",
                                      "Unreadable compressed FITS image"};
    auto documented_failure = [&](const Loaded& r) {
        return !r.image && std::any_of(std::begin(documented), std::end(documented),
                                       [&](const char* m) { return r.text() == m; });
    };
    for (Container container : {Container::after_table, Container::rice, Container::gzip2}) {
        SCOPED_TRACE(container_name(container));
        layout.container = container;
        const Bytes file = write_fits(layout);
        ASSERT_TRUE(load(file, 1).image);
        EXPECT_EQ("Unsupported FITS image", load(file, 1, extension_header).text());
        EXPECT_EQ("Truncated FITS header", load(file, 1, extension_header + 2879).text());
        size_t loaded = 0;
        for (size_t length = 0; length < file.size(); ++length) {
            const Loaded r = load(file, 1, length);
            loaded += r.image ? 1 : 0;
            ASSERT_TRUE(r.image || documented_failure(r)) << length << ": " << r.text();
        }
        EXPECT_LT(loaded, size_t(2880));  // only cuts inside the last block's padding load
        // Header cards of the extension and every data byte, corrupted in turn.
        const char replacements[] = {'\0', '9', '-', ' ', 'T', '\''};
        for (size_t position = extension_header; position < file.size(); ++position) {
            for (char replacement : replacements) {
                if (position >= 2 * extension_header && replacement != '\0') continue;
                Bytes corrupt = file;
                corrupt[position] = uint8_t(replacement == '\0' ? ~corrupt[position] : replacement);
                const Loaded r = load(corrupt, 1);
                if (r.image) {
                    EXPECT_LE(r.image->width * r.image->height, 1u << 20) << position;
                } else {
                    ASSERT_TRUE(documented_failure(r)) << position << ": " << r.text();
                }
            }
        }
    }
}

TEST(FitsLayouts, CompressedHeaderClaimingFarMoreThanItsTilesIsRefused) {
    FitsLayout layout{USHORT_IMG, {width, height}, ramp(0, 65535)};
    layout.physical = true;
    layout.container = Container::rice;
    layout.whole_image_tile = true;
    Bytes file = write_fits(layout);
    // The one tile raised to 65535 x 65535: 8.6 GB of samples from a table of a few hundred
    // bytes, consistent otherwise.
    for (const char* card : {"ZNAXIS1 =", "ZNAXIS2 =", "ZTILE1  =", "ZTILE2  ="}) {
        const std::string text(file.begin(), file.end());
        const size_t at = text.find(card);
        ASSERT_NE(std::string::npos, at) << card;
        const std::string value = "                65535";
        std::copy(value.begin(), value.end(), file.begin() + long(at) + 9);
    }
    AllocationWatch watch;
    EXPECT_EQ("Truncated FITS image", load(file, 1).text());
    if (AllocationWatch::available()) {
        EXPECT_LT(watch.largest(), size_t(1) << 20);
    }
}

// An independent writer: astropy, with numpy's uint16 (BZERO 32768) and float32 arrays.
const char astropy_writer[] = R"(
import sys
try:
    import numpy as np
    from astropy.io import fits
except ImportError:
    sys.exit(77)
out = sys.argv[1]
counts = np.array([[0, 1, 1000, 32768, 65535, 12345]], dtype=np.uint16)
unit = np.array([[0.0, 0.25, 0.5, 0.75, 1.0, 0.125]], dtype=np.float32)
holes = np.array([[0.5, np.nan, 0.75, 1.0, np.nan, 0.625]], dtype=np.float32)
fits.PrimaryHDU(unit).writeto(out + '/unit.fits')
fits.PrimaryHDU(holes).writeto(out + '/holes.fits')
fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(counts)]).writeto(out + '/extension.fits')
fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(counts, compression_type='RICE_1')]
             ).writeto(out + '/rice.fits')
fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(unit, compression_type='GZIP_2',
                                                   quantize_level=0.0)]).writeto(out + '/gzip.fits')
)";

TEST(FitsLayouts, FilesWrittenByAstropy) {
    TempDir dir;
    const int status = run_python(dir, astropy_writer);
    if (status == 77 || status == 127) GTEST_SKIP() << "/usr/bin/python3 with astropy is missing";
    ASSERT_EQ(0, status);
    // 0..1 onto 0..65535: x 65535 + 0.5, truncated (0.25 gives 16384.25, 0.125 gives 8192.375).
    const std::vector<uint16_t> unit = {0, 16384, 32768, 49151, 65535, 8192};
    struct Case { const char* file; std::vector<uint16_t> expected; };
    const Case cases[] = {
        {"unit.fits", unit},
        // 0.5..1 with NaN holes: the holes stay out of the range and become 0.
        {"holes.fits", {0, 0, 32768, 65535, 0, 16384}},
        {"extension.fits", {0, 1, 1000, 32768, 65535, 12345}},
        {"rice.fits", {0, 1, 1000, 32768, 65535, 12345}},
        {"gzip.fits", unit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Loaded r = load(read_bytes(dir.file(c.file)), 1);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_EQ(c.expected, r.pixels());
    }
}

TEST(FitsLayouts, FloatFileScaledToOneFindsTheStarsOfTheCountsFile) {
    namespace sim = kestil_simulator;
    sim::SimulatorSettings s;
    s.wcs.width = 480;
    s.wcs.height = 360;
    s.wcs.scale_arcsec = 20;
    const auto stars = sim::random_stars(s.wcs, 300, 5, 12, 10, 3);
    const sim::SkyImage sky = sim::render_sky(s, stars.data(), stars.size());
    std::vector<double> counts(sky.pixels.begin(), sky.pixels.end()), unit;
    for (double v : counts) unit.push_back(v / 65535);  // as processing programs write it
    FitsLayout layout{USHORT_IMG, {sky.width, sky.height}, counts};
    layout.physical = true;
    const Loaded from_counts = load(write_fits(layout), 1);
    const Loaded from_unit = load(write_fits(FitsLayout{FLOAT_IMG, {sky.width, sky.height}, unit}), 1);
    ASSERT_TRUE(from_counts.image && from_unit.image);
    std::vector<ImageStar> found(SOLVER_MAX_IMAGE_STARS);
    const int n_counts = kestil_solver_image_stars(from_counts.image.get(), found.data());
    const int n_unit = kestil_solver_image_stars(from_unit.image.get(), found.data());
    EXPECT_GE(n_counts, 100);
    // The stretch from the data's own range (sky minus noise to saturation) multiplies the
    // counts by about 1.02 and rounds anew: only stars at the detection limit may change.
    EXPECT_NEAR(n_counts, n_unit, n_counts / 20);
}

}  // namespace
